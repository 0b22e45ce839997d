// text.cpp - UTF-8 / UTF-16 conversion, UTF-16 unit counting and case-insensitive comparison.
#include "common/text.h"

#include <algorithm>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace qx {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

char32_t DecodeUtf8(std::string_view text, std::size_t* pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const std::size_t i = *pos;
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    *pos = i + 1;
    return lead;
  }
  int extra;
  char32_t cp;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    cp = lead & 0x07;
  } else {
    *pos = i + 1;
    return kReplacement;
  }
  if (i + extra >= text.size()) {  // sequence cut short by the end of the text
    *pos = i + 1;
    return kReplacement;
  }
  for (int k = 1; k <= extra; ++k) {
    const unsigned char c = byte(i + k);
    if ((c & 0xC0) != 0x80) {
      *pos = i + 1;
      return kReplacement;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    *pos = i + 1;
    return kReplacement;
  }
  *pos = i + 1 + extra;
  return cp;
}

namespace {

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Lower-case form of the letters that have a simple one-to-one case pair in the scripts a
// station's names and paths use (Latin, Greek, Cyrillic); every other code point is itself.
char32_t FoldCase(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c >= 0x100 && c <= 0x137 && c != 0x130) return c | 1;
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? c + 1 : c;
  if (c >= 0x14A && c <= 0x177) return c | 1;
  if (c == 0x178) return 0xFF;
  if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c + 1 : c;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

char32_t UpperCase(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 32 : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x137 && c != 0x131) return c & ~char32_t{1};
  if (c >= 0x139 && c <= 0x148) return (c & 1) ? c : c - 1;
  if (c >= 0x14A && c <= 0x177) return c & ~char32_t{1};
  if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c : c - 1;
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return c - 32;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  return c;
}

}  // namespace

std::optional<std::string> Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c < 0x80) {  // the common case: a run of ASCII is copied as it stands
      std::size_t end = i + 1;
      constexpr std::size_t kBlock = 16;  // tested a block at a time, which vectorises
      while (end + kBlock <= text.size()) {
        char16_t any = 0;
        for (std::size_t k = 0; k < kBlock; ++k) any |= text[end + k];
        if (any >= 0x80) break;
        end += kBlock;
      }
      while (end < text.size() && text[end] < 0x80) ++end;
      const std::size_t start = out.size();
      out.resize(start + (end - i));
      char* to = out.data() + start;
      const char16_t* from = text.data() + i;
      const std::size_t run = end - i;
      for (std::size_t k = 0; k < run; ++k) to[k] = static_cast<char>(from[k]);
      i = end - 1;
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return std::nullopt;
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return std::nullopt;
    }
    AppendUtf8(c, &out);
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {  // ASCII as it stands
      out.push_back(static_cast<char16_t>(text[pos++]));
      continue;
    }
    const char32_t c = DecodeUtf8(text, &pos);
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

std::size_t BoundedLength16(const char16_t* text, std::size_t maxUnits) {
  for (std::size_t i = 0; i <= maxUnits; ++i) {
    if (text[i] == 0) return i;
  }
  return maxUnits + 1;
}

std::size_t Utf16Units(std::string_view text) {
  std::size_t units = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
      ++pos;
      ++units;
      continue;
    }
    units += DecodeUtf8(text, &pos) >= 0x10000 ? 2 : 1;
  }
  return units;
}

std::string CutToUnits(std::string_view text, std::size_t maxUnits) {
  // Every character takes at least as many bytes as UTF-16 units: a text of at most maxUnits
  // bytes fits whole.
  if (text.size() <= maxUnits) return std::string(text);
  std::size_t units = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t next = pos;
    const std::size_t width = DecodeUtf8(text, &next) >= 0x10000 ? 2 : 1;
    if (units + width > maxUnits) break;
    units += width;
    pos = next;
  }
  return std::string(text.substr(0, pos));
}

int ICompare(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const unsigned char ca = static_cast<unsigned char>(a[i]);
    const unsigned char cb = static_cast<unsigned char>(b[j]);
    char32_t fa;
    char32_t fb;
    if ((ca | cb) < 0x80) {  // both ASCII: the common case, no decoding
      fa = FoldCase(ca);
      fb = FoldCase(cb);
      ++i;
      ++j;
    } else {
      fa = FoldCase(DecodeUtf8(a, &i));
      fb = FoldCase(DecodeUtf8(b, &j));
    }
    if (fa != fb) return fa < fb ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

std::size_t IEditDistance(std::string_view a, std::string_view b) {
  constexpr std::size_t kCounted = 64;
  a = a.substr(0, kCounted);
  b = b.substr(0, kCounted);
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = FoldCase(static_cast<unsigned char>(a[i - 1])) ==
                        FoldCase(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

bool IEquals(std::string_view a, std::string_view b) {
  // Most comparisons are of ASCII tags that differ: those end here, without decoding.
  std::size_t i = 0;
  const std::size_t common = std::min(a.size(), b.size());
  while (i < common) {
    const unsigned char ca = static_cast<unsigned char>(a[i]);
    const unsigned char cb = static_cast<unsigned char>(b[i]);
    if ((ca | cb) >= 0x80) return ICompare(a.substr(i), b.substr(i)) == 0;
    if (FoldCase(ca) != FoldCase(cb)) return false;
    ++i;
  }
  // Equal texts in different case may differ in byte length only outside ASCII.
  return ICompare(a.substr(i), b.substr(i)) == 0;
}

std::string FoldedKey(std::string_view text) {
  // UTF-8 keeps the order of code points, so the bytes of the folded code points order as
  // ICompare does; malformed bytes decode to U+FFFD in both.
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[pos]);
    if (c < 0x80) {  // ASCII folds to one byte
      out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
      ++pos;
      continue;
    }
    AppendUtf8(FoldCase(DecodeUtf8(text, &pos)), &out);
  }
  return out;
}

std::string ToUpper(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) AppendUtf8(UpperCase(DecodeUtf8(text, &pos)), &out);
  return out;
}

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  const int needed = std::vsnprintf(small, sizeof small, format, args);
  std::string out;
  if (needed > 0) {
    if (static_cast<std::size_t>(needed) < sizeof small) {
      out.assign(small, static_cast<std::size_t>(needed));
    } else {
      out.resize(static_cast<std::size_t>(needed));
      std::vsnprintf(out.data(), out.size() + 1, format, copy);
    }
  }
  va_end(copy);
  return out;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatV(format, args);
  va_end(args);
  return out;
}

}  // namespace qx
