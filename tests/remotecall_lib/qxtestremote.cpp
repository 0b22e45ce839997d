// qxtestremote.cpp - library functions of the REMOTECALL shape for tests.
//
// Echo answers its parameter ("<null>" for none), Fail returns E_NOTIMPL, Throw writes an
// answer and then throws a C++ exception, NoAnswer returns S_OK and writes nothing.
#include <stdexcept>

#include "qxremoteserver.h"

namespace {
constexpr HRESULT kOk = 0;
constexpr HRESULT kNotImplemented = static_cast<HRESULT>(0x80004001u);
}  // namespace

extern "C" {

QX_EXPORT HRESULT Echo(BSTR parameter, BSTR* answer) {
  if (answer != nullptr) {
    *answer = parameter != nullptr ? SysAllocStringLen(parameter, SysStringLen(parameter))
                                   : SysAllocString(u"<null>");
  }
  return kOk;
}

QX_EXPORT HRESULT Fail(BSTR /*parameter*/, BSTR* /*answer*/) { return kNotImplemented; }

QX_EXPORT HRESULT Throw(BSTR /*parameter*/, BSTR* answer) {
  if (answer != nullptr) *answer = SysAllocString(u"written before the throw");
  throw std::runtime_error("Throw was called");
}

QX_EXPORT HRESULT NoAnswer(BSTR /*parameter*/, BSTR* /*answer*/) { return kOk; }

}  // extern "C"
