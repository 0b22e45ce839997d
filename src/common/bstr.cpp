// bstr.cpp - the BSTR allocator of the C interface.
//
// Layout: a 32-bit byte length, the UTF-16 characters, a terminating zero. The pointer handed
// out points at the first character, as callers of a BSTR API expect.
#include "common/bstr.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/text.h"

namespace {

constexpr std::size_t kPrefix = sizeof(std::uint32_t);
// Longest BSTR in characters: its byte length must fit the 32-bit prefix.
constexpr std::uint32_t kMaxChars = (std::numeric_limits<std::uint32_t>::max() - 8) / 2;

}  // namespace

namespace qx {

BSTR BstrAllocLen(const OLECHAR* text, uint32_t length) {
  if (length > kMaxChars) return nullptr;
  const std::size_t bytes = std::size_t{length} * sizeof(OLECHAR);
  auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  const auto prefix = static_cast<std::uint32_t>(bytes);
  std::memcpy(block, &prefix, kPrefix);
  auto* chars = reinterpret_cast<OLECHAR*>(block + kPrefix);
  if (text != nullptr) {
    std::memcpy(chars, text, bytes);
  } else {
    std::memset(chars, 0, bytes);
  }
  chars[length] = 0;
  return chars;
}

BSTR BstrAlloc(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  std::uint32_t length = 0;
  while (text[length] != 0) {
    if (length == kMaxChars) return nullptr;
    ++length;
  }
  return BstrAllocLen(text, length);
}

uint32_t BstrLen(BSTR text) {
  if (text == nullptr) return 0;
  std::uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<unsigned char*>(text) - kPrefix, kPrefix);
  return bytes / sizeof(OLECHAR);
}

void BstrFree(BSTR text) {
  if (text != nullptr) std::free(reinterpret_cast<unsigned char*>(text) - kPrefix);
}

BSTR AllocBstrFromUtf8(std::string_view text) {
  const std::u16string wide = Utf8ToUtf16(text);
  if (wide.size() > kMaxChars) return nullptr;
  return BstrAllocLen(wide.data(), static_cast<std::uint32_t>(wide.size()));
}

std::optional<std::string> BstrToUtf8(BSTR text) {
  if (text == nullptr) return std::string();
  return Utf16ToUtf8(std::u16string_view(text, BstrLen(text)));
}

}  // namespace qx
