#include "common/text.h"

#include <gtest/gtest.h>

#include "common/bstr.h"

namespace qx {
namespace {

TEST(TextTest, Utf16RoundTripKeepsEveryPlane) {
  const std::u16string wide = u"A\u00e9\u4e2d\U0001F600z";
  const auto utf8 = Utf16ToUtf8(wide);
  ASSERT_TRUE(utf8.has_value());
  EXPECT_EQ(*utf8, "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z");
  EXPECT_EQ(Utf8ToUtf16(*utf8), wide);
}

TEST(TextTest, LoneSurrogatesAreRefused) {
  const char16_t high[] = {u'a', 0xD800, u'b'};
  const char16_t low[] = {0xDC00};
  const char16_t trailingHigh[] = {u'x', 0xDBFF};
  EXPECT_FALSE(Utf16ToUtf8(std::u16string_view(high, 3)).has_value());
  EXPECT_FALSE(Utf16ToUtf8(std::u16string_view(low, 1)).has_value());
  EXPECT_FALSE(Utf16ToUtf8(std::u16string_view(trailingHigh, 2)).has_value());
}

TEST(TextTest, EmbeddedNulsSurviveConversion) {
  const std::u16string wide(u"a\0b", 3);
  const auto utf8 = Utf16ToUtf8(wide);
  ASSERT_TRUE(utf8.has_value());
  EXPECT_EQ(utf8->size(), 3u);
  EXPECT_EQ(Utf8ToUtf16(*utf8), wide);
}

TEST(TextTest, MalformedUtf8BecomesReplacementWithoutReadingPastTheEnd) {
  struct Case {
    std::string input;
    std::u16string expected;
  };
  const Case cases[] = {
      {"\xC3", u"\uFFFD"},                      // cut short at the end
      {"a\xE4\xB8", u"a\uFFFD\uFFFD"},          // three-byte sequence cut short
      {"\xC0\xAF", u"\uFFFD\uFFFD"},            // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"\xFF", u"\uFFFD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(Utf8ToUtf16(c.input), c.expected);
  }
}

TEST(TextTest, CutToUnitsCountsUtf16UnitsAndKeepsPairsWhole) {
  const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 units
  EXPECT_EQ(Utf16Units(emoji + "a"), 3u);
  EXPECT_EQ(CutToUnits("abcdef", 3), "abc");
  EXPECT_EQ(CutToUnits("ab" + emoji, 3), "ab");  // the pair does not fit: cut before it
  EXPECT_EQ(CutToUnits("ab" + emoji, 4), "ab" + emoji);
  EXPECT_EQ(CutToUnits("\xC3\xA9\xC3\xA9", 1), "\xC3\xA9");
  EXPECT_EQ(CutToUnits("", 10), "");
  EXPECT_EQ(CutToUnits("abc", 0), "");
}

TEST(TextTest, CaseInsensitiveComparison) {
  struct Case {
    const char* a;
    const char* b;
    int sign;
  };
  const Case cases[] = {
      {"GetHostDetails", "gethostdetails", 0},
      {"HOST", "Host", 0},
      {"\xC3\x84rger", "\xC3\xA4RGER", 0},                          // Ärger / äRGER
      {"\xD0\x9C\xD0\x98\xD0\xA0", "\xD0\xBC\xD0\xB8\xD1\x80", 0},  // МИР / мир
      {"a", "B", -1},
      {"b", "A", 1},
      {"abc", "ab", 1},
      {"", "", 0},
      {"", "x", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    const int result = ICompare(c.a, c.b);
    EXPECT_EQ((result > 0) - (result < 0), c.sign);
    EXPECT_EQ(IEquals(c.a, c.b), c.sign == 0);
  }
  EXPECT_TRUE(ILess()("alpha", "BETA"));
  EXPECT_EQ(ToUpper("c:\\r&d\\pl\xC3\xA4n.mcp"), "C:\\R&D\\PL\xC3\x84N.MCP");
}

TEST(TextTest, XmlEscapeAndFormat) {
  EXPECT_EQ(XmlEscape("C:\\R&D\\<a> \"q\" 'x'"),
            "C:\\R&amp;D\\&lt;a&gt; &quot;q&quot; &apos;x&apos;");
  EXPECT_EQ(Format("%s-%d", "a", 7), "a-7");
  const std::string longText(1000, 'x');
  EXPECT_EQ(Format("%s!", longText.c_str()), longText + "!");
}

TEST(BstrTest, AllocationCarriesLengthAndTerminator) {
  BSTR text = BstrAlloc(u"abc");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(BstrLen(text), 3u);
  EXPECT_EQ(text[3], 0);
  BstrFree(text);

  const char16_t withNul[] = {u'a', 0, u'b'};
  BSTR counted = BstrAllocLen(withNul, 3);
  EXPECT_EQ(BstrLen(counted), 3u);
  EXPECT_EQ(BstrToUtf8(counted), std::string("a\0b", 3));
  BstrFree(counted);

  EXPECT_EQ(BstrAlloc(nullptr), nullptr);
  EXPECT_EQ(BstrLen(nullptr), 0u);
  BstrFree(nullptr);  // harmless
  UniqueBstr owned(AllocBstrFromUtf8("\xE4\xB8\xAD"));
  EXPECT_EQ(BstrLen(owned.get()), 1u);
  EXPECT_EQ(BstrToUtf8(nullptr), std::string());
}

}  // namespace
}  // namespace qx
