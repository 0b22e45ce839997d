// qxtestremote.cpp - library functions of the REMOTECALL shape for tests.
//
// Echo answers its parameter ("<null>" for none), Fail returns E_NOTIMPL, Throw writes an
// answer and then throws a C++ exception, NoAnswer returns S_OK and writes nothing. Pid
// answers the process id through the C library, which this library thereby links; Counter is
// an exported datum, not a function.
#include <unistd.h>

#include <cstdio>
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

QX_EXPORT HRESULT Pid(BSTR /*parameter*/, BSTR* answer) {
  char digits[24];
  const int length = std::snprintf(digits, sizeof digits, "%ld", static_cast<long>(::getpid()));
  char16_t text[24] = {};
  for (int i = 0; i < length && i < 23; ++i) text[i] = static_cast<char16_t>(digits[i]);
  if (answer != nullptr) *answer = SysAllocString(text);
  return kOk;
}

QX_EXPORT int Counter = 0;

}  // extern "C"
