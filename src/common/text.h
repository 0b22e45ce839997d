// text.h - the module's text helpers: UTF-8 inside, UTF-16 at the C interface.
//
// Inside the module every text is UTF-8 in std::string. Limits that the protocol gives in
// UTF-16 characters (1023 for a field, 63 for a name, 127 for a record field) are applied with
// CutToUnits, which counts UTF-16 units and never splits a surrogate pair or a UTF-8 sequence.
// Tags, keywords and ordered keys compare ignoring case through IEquals / ICompare / ILess.
// All functions are pure and safe to call from any thread.
//
//   std::string name = CutToUnits(text, 63);
//   if (IEquals(tag, "GetHostDetails")) { ... }
#pragma once

#include <cstdarg>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qx {

// UTF-16 -> UTF-8. Fails (nullopt) on a lone surrogate. Embedded NULs are kept.
std::optional<std::string> Utf16ToUtf8(std::u16string_view text);
// UTF-8 -> UTF-16. Invalid UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
// Decodes one code point at text[*pos] (*pos < text.size()) and advances *pos. A malformed,
// overlong, cut-short or surrogate sequence yields U+FFFD and advances by one byte, so that
// decoding always terminates; a real U+FFFD advances by three.
char32_t DecodeUtf8(std::string_view text, std::size_t* pos);
// Length of a NUL-terminated UTF-16 text, reading at most maxUnits units; returns maxUnits+1
// when no terminator was found within maxUnits (the caller treats that as "too long").
std::size_t BoundedLength16(const char16_t* text, std::size_t maxUnits);

// Number of UTF-16 units that the UTF-8 text takes.
std::size_t Utf16Units(std::string_view text);
// The longest prefix of text that fits in maxUnits UTF-16 units, cut at a character boundary.
std::string CutToUnits(std::string_view text, std::size_t maxUnits);

// Case-insensitive comparison of UTF-8 texts: ASCII and the common Latin, Greek and Cyrillic
// letters fold to one case; every other character compares by code point.
bool IEquals(std::string_view a, std::string_view b);
int ICompare(std::string_view a, std::string_view b);  // <0, 0, >0
// The number of single-byte edits (insert, delete, replace) that turn a into b, ASCII letters
// compared ignoring case: how near a mistyped name is to a known one. Only the first 64 bytes
// of each count, so that a hostile text costs little.
std::size_t IEditDistance(std::string_view a, std::string_view b);
struct ILess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return ICompare(a, b) < 0; }
};
// The key of a text under ICompare: byte order (memcmp, then length) of two keys is the
// order of ICompare, and equal keys are IEquals texts. Stores that order or look up names
// ignoring case keep this form beside the name.
std::string FoldedKey(std::string_view text);
// Upper-case form of a text (each code point's simple upper case). Executable paths are
// matched and shown in this form, and service GUIDs and host names are keyed by it, so that
// their case never tells two apart.
std::string ToUpper(std::string_view text);

// XML character escaping of a text value (& < > " ') for texts pasted into markup.
std::string XmlEscape(std::string_view text);

// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace qx
