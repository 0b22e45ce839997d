// The C interface's BSTR allocator, exported by the test program as the module exports it, so
// that the REMOTECALL test library finds SysAllocString in the process that loads it.
#include "common/bstr.h"

extern "C" {
__attribute__((visibility("default"))) BSTR SysAllocStringLen(const OLECHAR* text,
                                                              uint32_t length) {
  return qx::BstrAllocLen(text, length);
}
__attribute__((visibility("default"))) BSTR SysAllocString(const OLECHAR* text) {
  return qx::BstrAlloc(text);
}
__attribute__((visibility("default"))) uint32_t SysStringLen(BSTR text) {
  return qx::BstrLen(text);
}
__attribute__((visibility("default"))) void SysFreeString(BSTR text) { qx::BstrFree(text); }
}
