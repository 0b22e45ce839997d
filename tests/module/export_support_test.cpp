#include "module/export_support.h"

#include <gtest/gtest.h>

#include <string>

#include "common/bstr.h"

namespace qx {
namespace {

TEST(ExportSupportTest, ReadsBoundedValidUtf16) {
  std::string out = "untouched";
  EXPECT_EQ(ReadInputText(nullptr, &out), E_POINTER);
  EXPECT_EQ(out, "untouched");

  struct Case {
    const char* name;
    std::u16string text;
    HRESULT result;
    std::string utf8;
  };
  const Case cases[] = {
      {"empty", u"", S_OK, ""},
      {"ascii", u"<A/>", S_OK, "<A/>"},
      {"accented and a pair", u"\u00e9\U0001F600", S_OK, "\xC3\xA9\xF0\x9F\x98\x80"},
      {"lone high surrogate", std::u16string(u"a") + char16_t(0xD800) + u"b", E_INVALIDARG, ""},
      {"lone low surrogate", std::u16string(1, char16_t(0xDC00)), E_INVALIDARG, ""},
      {"high surrogate at the end", std::u16string(1, char16_t(0xDBFF)), E_INVALIDARG, ""},
      {"longest input", std::u16string(kMaxInputUnits, u'x'), S_OK,
       std::string(kMaxInputUnits, 'x')},
      {"one unit too long", std::u16string(kMaxInputUnits + 1, u'x'), E_INVALIDARG, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = "untouched";
    EXPECT_EQ(ReadInputText(c.text.c_str(), &text), c.result);
    EXPECT_EQ(text, c.result == S_OK ? c.utf8 : "untouched");
  }
}

TEST(ExportSupportTest, SubTextOfFindsTheFirstChildIgnoringCase) {
  struct Case {
    const char* text;
    const char* tag;
    HRESULT result;
    const char* subText;
  };
  const Case cases[] = {
      {"<A><B>x</B></A>", "b", S_OK, "x"},
      {"<A><B>x</B><b>y</b></A>", "B", S_OK, "x"},
      {"<A><B>x</B></A>", "C", E_FAIL, ""},
      {"<A><B></B></A>", "B", E_FAIL, ""},
      {"<A><B>x</B>", "B", E_FAIL, ""},
      {"", "B", E_FAIL, ""},
      {"<A><B>a &amp; b</B></A>", "B", S_OK, "a & b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string subText = "untouched";
    EXPECT_EQ(SubTextOf(c.text, c.tag, &subText), c.result);
    EXPECT_EQ(subText, c.result == S_OK ? c.subText : "untouched");
  }
}

TEST(ExportSupportTest, StateRequestsEscapeAndFit) {
  std::string request;
  ASSERT_EQ(BuildMachineStateRequest("STATION<B>&", &request), S_OK);
  EXPECT_EQ(request,
            "<GetStateOfProjectManager><Host>STATION&lt;B&gt;&amp;</Host>"
            "</GetStateOfProjectManager>");
  ASSERT_EQ(BuildProjectStateRequest(".", "/srv/R&D/plant.mcp", &request), S_OK);
  EXPECT_EQ(request,
            "<GetStateOfNorvaneProject><Host>.</Host><Path>/srv/R&amp;D/plant.mcp</Path>"
            "</GetStateOfNorvaneProject>");

  // The requests are held to 527 characters, counted after escaping.
  const std::size_t machineFrame =
      std::string("<GetStateOfProjectManager><Host></Host></GetStateOfProjectManager>").size();
  const std::size_t hostRoom = kMaxStateRequestUnits - machineFrame;
  std::string out = "untouched";
  EXPECT_EQ(BuildMachineStateRequest(std::string(hostRoom, 'h'), &out), S_OK);
  EXPECT_EQ(out.size(), kMaxStateRequestUnits);
  out = "untouched";
  EXPECT_EQ(BuildMachineStateRequest(std::string(hostRoom + 1, 'h'), &out), E_INVALIDARG);
  EXPECT_EQ(out, "untouched");
  EXPECT_EQ(BuildMachineStateRequest(std::string(hostRoom - 4, 'h') + "&", &out), E_INVALIDARG);
  // Characters, not bytes: a path of two-byte characters that fits in characters is taken.
  const std::size_t projectFrame =
      request.size() - 1 - std::string("/srv/R&amp;D/plant.mcp").size();
  std::string wide;
  for (std::size_t i = 0; i < kMaxStateRequestUnits - projectFrame - 1; ++i) wide += "\xC3\xA9";
  EXPECT_EQ(BuildProjectStateRequest(".", wide, &out), S_OK);
  EXPECT_EQ(BuildProjectStateRequest(".", wide + "x", &out), E_INVALIDARG);
}

TEST(ExportSupportTest, WriteAnswerHandsOverOnlyWrittenAnswers) {
  BSTR out = nullptr;
  EXPECT_EQ(WriteAnswer(E_NOTIMPL, AnswerText(), &out), E_NOTIMPL);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(WriteAnswer(S_FALSE, AnswerText("x"), nullptr), S_FALSE);

  EXPECT_EQ(WriteAnswer(S_FALSE, AnswerText("Not Found \xC3\xA9"), &out), S_FALSE);
  ASSERT_NE(out, nullptr);
  UniqueBstr owned(out);
  EXPECT_EQ(std::u16string(out, BstrLen(out)), u"Not Found \u00e9");

  BSTR failed = nullptr;
  EXPECT_EQ(WriteAnswer(E_FAIL, AnswerText(""), &failed), E_FAIL);
  ASSERT_NE(failed, nullptr) << "an answer written with a failure is handed over too";
  UniqueBstr ownedFailed(failed);
  EXPECT_EQ(BstrLen(failed), 0u);
}

}  // namespace
}  // namespace qx
