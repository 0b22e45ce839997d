// bstr.h - BSTR allocation for the C interface, and an owner for BSTRs the module receives.
//
// A BSTR is a 32-bit byte length followed by the UTF-16 characters and a terminating zero,
// allocated by the module and freed by the caller with SysFreeString. UniqueBstr frees on
// destruction. Any thread may call these.
//
//   BSTR out = AllocBstrFromUtf8("Test Answered");   // the caller frees it
//   UniqueBstr param(BstrAlloc(u"x"));           // freed when param goes
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "qxremoteserver.h"

namespace qx {

// The allocator behind the C interface's SysAllocString family (the module exports those
// names; code inside the library calls these).
BSTR BstrAllocLen(const OLECHAR* text, uint32_t length);  // null text: zeros
BSTR BstrAlloc(const OLECHAR* text);                      // null text: null
uint32_t BstrLen(BSTR text);
void BstrFree(BSTR text);

// A BSTR holding the UTF-16 form of a UTF-8 text, or null when memory runs out.
BSTR AllocBstrFromUtf8(std::string_view text);
// The UTF-8 form of a BSTR (its whole length, embedded NULs kept); nullopt on a lone surrogate.
// A null BSTR is the empty text.
std::optional<std::string> BstrToUtf8(BSTR text);

struct BstrDeleter {
  void operator()(OLECHAR* text) const { BstrFree(text); }
};
using UniqueBstr = std::unique_ptr<OLECHAR, BstrDeleter>;

}  // namespace qx
