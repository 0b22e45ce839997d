// bstr.h - BSTR allocation for the C interface, and an owner for BSTRs the module receives.
//
// A BSTR is a 32-bit byte length followed by the UTF-16 characters and a terminating zero,
// allocated by the module and freed by the caller with SysFreeString. UniqueBstr frees on
// destruction. Any thread may call these.
//
//   BSTR out = AllocBstrFromUtf8("Test Answered");   // the caller frees it
//   UniqueBstr param(SysAllocString(u"x"));           // freed when param goes
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "qxremoteserver.h"

namespace qx {

// A BSTR holding the UTF-16 form of a UTF-8 text, or null when memory runs out.
BSTR AllocBstrFromUtf8(std::string_view text);
// The UTF-8 form of a BSTR (its whole length, embedded NULs kept); nullopt on a lone surrogate.
// A null BSTR is the empty text.
std::optional<std::string> BstrToUtf8(BSTR text);

struct BstrDeleter {
  void operator()(OLECHAR* text) const { SysFreeString(text); }
};
using UniqueBstr = std::unique_ptr<OLECHAR, BstrDeleter>;

}  // namespace qx
