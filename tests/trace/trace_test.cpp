#include "trace/trace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "support/debug_capture.h"
#include "support/temp_dir.h"
#include "trace/debug_output.h"

namespace qx {
namespace {

const CTraceSource kSource("RemoteServer");

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(capture_->ready());
    Diagnosis().SetMasks(kTraceAll, kTraceAll);
  }
  void TearDown() override { Diagnosis().SetMasks(0, 0); }
  // The viewer starts in a fresh runtime directory, whose answer the trace has not cached.
  void StartViewer(int type = SOCK_STREAM) {
    capture_ = std::make_unique<testing::DebugCapture>();
    ASSERT_TRUE(capture_->ready());
    ASSERT_TRUE(capture_->StartViewer(type));
  }
  // Datagrams are queued before the trace call returns: nothing there now means nothing sent.
  bool NothingWritten() { return !capture_->Next(0).has_value(); }
  std::string NextLine() { return capture_->Next().value_or("<no line>"); }

  std::unique_ptr<testing::DebugCapture> capture_ = std::make_unique<testing::DebugCapture>();
};

TEST_F(TraceTest, MasksDecideWhichLinesAreWritten) {
  struct Case {
    const char* name;
    std::uint32_t typeMask, levelMask, type, level;
    bool written;
  };
  const Case cases[] = {
      {"both masks zero", 0, 0, kTraceServer, kLevelMain, false},
      {"type mask zero", 0, kTraceAll, kTraceServer, kLevelMain, false},
      {"level mask zero", kTraceAll, 0, kTraceServer, kLevelMain, false},
      {"type bit missing", kTraceMulticast, kTraceAll, kTraceServer, kLevelMain, false},
      {"level bit missing", kTraceAll, kLevelMain, kTraceServer, kLevelText, false},
      {"both bits shared", kTraceServer | kTraceTalk, kLevelText, kTraceTalk, kLevelText, true},
      {"one shared bit of many", kTraceRegistry, kLevelDetail, kTraceAll, kLevelDetail | 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Diagnosis().SetMasks(c.typeMask, c.levelMask);
    EXPECT_EQ(TraceEnabled(c.type, c.level), c.written);
    Trace(kSource, nullptr, nullptr, c.type, c.level, "line %d", 1);
    if (c.written) {
      EXPECT_EQ(NextLine(), "line 1");
    } else {
      EXPECT_TRUE(NothingWritten());
    }
  }
}

TEST_F(TraceTest, ErrorWarningAndPlainLinesNeedOnlyLevelOne) {
  Diagnosis().SetMasks(0, 0);
  TraceError(kSource, "e");
  TraceWarning(kSource, "w");
  TracePlain(kSource, "p");
  TraceErrorUnless(kSource, false, "u");
  EXPECT_TRUE(NothingWritten());

  Diagnosis().SetMasks(kTraceServer, kLevelMain);
  TraceError(kSource, "error %s", "x");
  EXPECT_EQ(NextLine(), "error x");
  TraceWarning(kSource, "warning");
  EXPECT_EQ(NextLine(), "warning");
  TracePlain(kSource, "plain");
  EXPECT_EQ(NextLine(), "plain");
  TraceErrorUnless(kSource, true, "not written");
  EXPECT_TRUE(NothingWritten());
  TraceErrorUnless(kSource, false, "failed %d", 5);
  EXPECT_EQ(NextLine(), "failed 5");

  Diagnosis().SetMasks(kTraceAll, kLevelText);
  TraceError(kSource, "level 1 is off");
  EXPECT_TRUE(NothingWritten());
}

TEST_F(TraceTest, TrailingLineEndsAreRemoved) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"text\r\n\r\n", "text"}, {"a\rb\r\n", "a\rb"},   {"a\nb", "a\nb"},
      {"\n\r\n", ""},           {"text \t", "text \t"},
  };
  for (bool viewer : {false, true}) {
    if (viewer) StartViewer();
    for (const auto& [text, expected] : cases) {
      SCOPED_TRACE(::testing::Message() << (viewer ? "viewer " : "") << '"' << text << '"');
      TracePlain(kSource, "%s", text.c_str());
      EXPECT_EQ(NextLine(), (viewer ? "<xtr c=\"\" p=\"RemoteServer|\"/>" : "") + expected);
    }
  }
}

TEST_F(TraceTest, ViewerGetsTaggedLines) {
  TraceWarning(kSource, "before the viewer");
  EXPECT_EQ(NextLine(), "before the viewer");

  StartViewer();
  Trace(kSource, "OnReceive|Multicast", "warning", kTraceMulticast, kLevelEvents, "got %s", "it");
  EXPECT_EQ(NextLine(), "<xtr c=\"warning\" p=\"RemoteServer|OnReceive|Multicast\"/>got it");
  TraceError(kSource, "bad");
  EXPECT_EQ(NextLine(), "<xtr c=\"error\" p=\"RemoteServer|\"/>bad");
  Trace(kSource, nullptr, nullptr, kTraceServer, kLevelMain, "plain");
  EXPECT_EQ(NextLine(), "<xtr c=\"\" p=\"RemoteServer|\"/>plain");
}

TEST_F(TraceTest, ViewerMayHoldADatagramSocket) {
  StartViewer(SOCK_DGRAM);
  TraceWarning(kSource, "x");
  EXPECT_EQ(NextLine(), "<xtr c=\"warning\" p=\"RemoteServer|\"/>x");
}

TEST_F(TraceTest, ViewerAnswerIsCachedPerRuntimeDirectory) {
  TracePlain(kSource, "a");
  EXPECT_EQ(NextLine(), "a");
  ASSERT_TRUE(capture_->StartViewer());
  TracePlain(kSource, "b");
  EXPECT_EQ(NextLine(), "b") << "the absent viewer is remembered for a while";
  StartViewer();
  TracePlain(kSource, "c");
  EXPECT_EQ(NextLine(), "<xtr c=\"\" p=\"RemoteServer|\"/>c") << "another runtime directory";
  capture_->StopViewer();
  StartViewer();
  capture_->StopViewer();
  TracePlain(kSource, "d");
  EXPECT_EQ(NextLine(), "d") << "the viewer has gone from this runtime directory";
}

// The cache on its own: what it answers about a socket path as a viewer comes and goes.
TEST(TraceViewerCacheTest, AsksAgainOnlyWhenForgottenExpiredOrAskedAboutAnotherPath) {
  testing::TempDir dir("qxviewer");
  const std::string first = dir.path() + "/first.sock";
  const std::string second = dir.path() + "/second.sock";
  struct Case {
    const char* name;
    std::chrono::nanoseconds maxAge;
    bool forget;             // Forget() between binding the viewer and asking again
    const std::string* ask;  // the path asked about after the viewer was bound at first
    bool expected;
  };
  const Case cases[] = {
      {"cached", std::chrono::hours(1), false, &first, false},
      {"forgotten", std::chrono::hours(1), true, &first, true},
      {"expired", std::chrono::nanoseconds(0), false, &first, true},
      {"another path", std::chrono::hours(1), false, &second, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(first);
    std::filesystem::remove(second);
    TraceViewerCache cache(c.maxAge);
    EXPECT_FALSE(cache.Present(first));
    testing::BoundSocket viewerFirst(SOCK_STREAM, first);
    testing::BoundSocket viewerSecond(SOCK_STREAM, second);
    ASSERT_GE(viewerFirst.fd(), 0);
    ASSERT_GE(viewerSecond.fd(), 0);
    if (c.forget) cache.Forget();
    EXPECT_EQ(cache.Present(*c.ask), c.expected);
    EXPECT_TRUE(cache.Present(second)) << "the answer about the other path is its own";
    viewerSecond.Close();
    EXPECT_EQ(cache.Present(second), c.maxAge != std::chrono::nanoseconds(0))
        << "the viewer that went away is remembered unless the cache keeps nothing";
  }
}

TEST_F(TraceTest, LongNamesDropThePrefix) {
  StartViewer();
  // Source "RemoteServer" (12) + detail + category "warning" (7): the prefix stays below 384.
  struct Case {
    std::size_t detailUnits;
    bool prefixed;
  };
  for (const Case c : {Case{364, true}, Case{365, false}, Case{1000, false}}) {
    SCOPED_TRACE(c.detailUnits);
    const std::string detail(c.detailUnits, 'd');
    Trace(kSource, detail.c_str(), "warning", kTraceServer, kLevelMain, "text");
    const std::string line = NextLine();
    if (c.prefixed) {
      EXPECT_EQ(line, "<xtr c=\"warning\" p=\"RemoteServer|" + detail + "\"/>text");
    } else {
      EXPECT_EQ(line, "text");
    }
  }
  // Names are counted in UTF-16 characters, not bytes: 200 two-byte characters are 200.
  std::string wide;
  for (int i = 0; i < 200; ++i) wide += "\xC3\xA9";
  Trace(kSource, wide.c_str(), "warning", kTraceServer, kLevelMain, "t");
  EXPECT_EQ(NextLine().rfind("<xtr", 0), 0u);
}

TEST_F(TraceTest, LongTextsAreCutAt32000Characters) {
  const std::string ascii(40000, 'a');
  std::string pairs;  // characters outside the BMP take two UTF-16 units each
  for (int i = 0; i < 20000; ++i) pairs += "\xF0\x9F\x98\x80";
  const std::string prefix = "<xtr c=\"\" p=\"RemoteServer|\"/>";

  TracePlain(kSource, "%s", ascii.c_str());
  EXPECT_EQ(NextLine(), ascii.substr(0, 32000));
  TracePlain(kSource, "%s", pairs.c_str());
  EXPECT_EQ(NextLine(), pairs.substr(0, 16000 * 4));
  TracePlain(kSource, "x%s", pairs.c_str());  // the pair at unit 32000 is not split
  EXPECT_EQ(NextLine(), "x" + pairs.substr(0, 15999 * 4));

  StartViewer();
  TracePlain(kSource, "%s", ascii.c_str());
  EXPECT_EQ(NextLine(), prefix + ascii.substr(0, 32000));
  // The longest prefix and the longest text together still fit the line buffer.
  const std::string detail(383 - 12 - 7, 'd');
  Trace(kSource, detail.c_str(), "warning", kTraceServer, kLevelMain, "%s", ascii.c_str());
  const std::string line = NextLine();
  EXPECT_EQ(Utf16Units(line), 32383u);
  EXPECT_EQ(line.rfind("<xtr c=\"warning\"", 0), 0u);
}

TEST_F(TraceTest, ABurstOfErrorsIsLimitedAndSummarised) {
  const CTraceSource source("Flooded");
  constexpr int kBurst = 2000;
  int written = 0;
  for (int i = 0; i < kBurst; ++i) {
    TraceError(source, "<E>unparsable request</E>");
    while (capture_->Next(0)) ++written;  // the reader's queue holds only a few datagrams
  }
  EXPECT_GE(written, static_cast<int>(kTraceBurstLines));
  EXPECT_LE(written, static_cast<int>(kTraceBurstLines) + 5);

  // The next line after a pause tells how many were left out, then goes out itself.
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  TraceWarning(source, "after the burst");
  const std::string summary = NextLine();
  const std::size_t at = summary.find("suppressed ");
  ASSERT_NE(at, std::string::npos) << summary;
  EXPECT_EQ(written + std::stoi(summary.substr(at + 11)), kBurst);
  EXPECT_EQ(NextLine(), "after the burst");
  TraceError(kSource, "other sources are not held back");
  EXPECT_EQ(NextLine(), "other sources are not held back");
}

TEST_F(TraceTest, ErrorAndWarningTextsAreCutAtAWholeCharacter) {
  const struct {
    const char* name;
    std::string unit;  // repeated to 32000 bytes
  } cases[] = {{"ascii", "a"},
               {"two-byte", "\xC3\xA9"},
               {"four-byte", "\xF0\x9F\x98\x80"},
               {"three-byte", "\xE2\x82\xAC"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string peer;
    while (peer.size() + c.unit.size() <= 32000) peer += c.unit;
    TraceWarning(kSource, "<S>%s</S>", peer.c_str());
    const std::string line = NextLine();
    EXPECT_LE(line.size(), kMaxErrorTextBytes + 64);
    const std::string full = "<S>" + peer + "</S>";
    std::size_t kept = 3;
    while (kept + c.unit.size() <= line.size() && line.compare(kept, c.unit.size(), c.unit) == 0) {
      kept += c.unit.size();
    }
    EXPECT_GT(kept, kMaxErrorTextBytes - 4);
    EXPECT_LE(kept, kMaxErrorTextBytes);
    EXPECT_GT(line.size(), kept) << "a marker tells of the cut";
    EXPECT_EQ(line.find("</S>"), std::string::npos);
  }
  TraceError(kSource, "%s", std::string(kMaxErrorTextBytes, 'x').c_str());
  EXPECT_EQ(NextLine(), std::string(kMaxErrorTextBytes, 'x')) << "a text that fits stays whole";
}

TEST_F(TraceTest, SourceNamesAreCutTo255Characters) {
  EXPECT_EQ(CTraceSource(std::string(300, 'n')).name(), std::string(255, 'n'));
  EXPECT_EQ(CTraceSource("NetTree").name(), "NetTree");
}

TEST(MaskPasswordsTest, HidesPasswordContent) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<A><Password>secret</Password></A>", "<A><Password>***</Password></A>"},
      {"<Result><PASSWORD>s</PASSWORD><USER>u</USER></Result>",
       "<Result><PASSWORD>***</PASSWORD><USER>u</USER></Result>"},
      {"<password>a</password><x/><pAssWord>b</PaSsWoRd>",
       "<password>***</password><x/><pAssWord>***</PaSsWoRd>"},
      {"<Password kind=\"x\">s</Password>", "<Password kind=\"x\">***</Password>"},
      {"<Password/><Password />", "<Password/><Password />"},
      {"<Password></Password>", "<Password></Password>"},
      {"<Password><![CDATA[a<b]]></Password>", "<Password>***</Password>"},
      {"<Password>cut off by the length limit", "<Password>***"},
      {"&lt;PASSWORD&gt;s&lt;/PASSWORD&gt;", "&lt;PASSWORD&gt;***&lt;/PASSWORD&gt;"},
      {"<PasswordHint>visible</PasswordHint><IsPasswordAvailable/>",
       "<PasswordHint>visible</PasswordHint><IsPasswordAvailable/>"},
      {"no markup Password here", "no markup Password here"},
      {"<Password", "<Password"},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(MaskPasswords(text), expected);
  }
}

TEST_F(TraceTest, WrittenLinesHidePasswords) {
  Trace(kSource, nullptr, nullptr, kTraceTalk, kLevelText, "<TalkByString>%s</TalkByString>",
        "<SetUserPassword><DSN>P</DSN><PASSWORD>hunter2</PASSWORD></SetUserPassword>");
  const std::string line = NextLine();
  EXPECT_EQ(line.find("hunter2"), std::string::npos) << line;
  EXPECT_NE(line.find("<PASSWORD>***</PASSWORD>"), std::string::npos) << line;
}

TEST(DiagnosisTest, WithoutLibraryNothingConnects) {
  CDiagnosis diagnosis;
  EXPECT_FALSE(diagnosis.LoadDiagnosticsFrom("/nonexistent/libqxdiagnosis.so", "QXAgent.exe"));
  EXPECT_FALSE(diagnosis.connected());
  EXPECT_FALSE(diagnosis.WriteTrace(kTraceServer, kLevelMain, "x"));
  EXPECT_EQ(diagnosis.typeMask(), 0u);
  diagnosis.SetMasks(0x5, 0x2);
  diagnosis.UnloadDiagnostics();
  EXPECT_EQ(diagnosis.typeMask(), 0x5u) << "the masks outlive the connection";
  EXPECT_EQ(diagnosis.levelMask(), 0x2u);
}

}  // namespace
}  // namespace qx
