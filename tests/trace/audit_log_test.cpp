// Tests of the audit log: an entry's text, the file and its rotation, a failing destination,
// and the queue that waits rather than drops.
#include "trace/audit_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "trace/counters.h"

namespace qx {
namespace {

using qx::testing::TempDir;

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "/f/007": a target that numbers the entries.
std::string Format3(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "/f/%03d", i);
  return text;
}

AuditEntry Entry(const std::string& action, const std::string& target) {
  AuditEntry entry;
  entry.action = action;
  entry.target = target;
  entry.peer = "127.0.0.1:40000";
  entry.keyId = "k1";
  return entry;
}

AuditConfig FileConfig(const std::string& file, std::uint64_t maxBytes = 1u << 20, int keep = 5) {
  AuditConfig config;
  config.destination = AuditDestination::kFile;
  config.file = file;
  config.maxBytes = maxBytes;
  config.keepFiles = keep;
  return config;
}

// A configuration source that holds the writer inside its first batch until released.
struct HeldWriter {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> batches{0};

  AuditLog::ConfigSource Source(const std::string& file) {
    return [this, file] {
      if (batches++ == 0) released.wait();
      return FileConfig(file);
    };
  }
};

TEST(AuditFieldTextTest, EscapesWhatCouldBreakALineAndBoundsTheField) {
  struct Case {
    const char* name;
    std::string value;
    std::string text;
  };
  const std::string longAscii(3000, 'a');
  std::string longWide;
  for (int i = 0; i < 600; ++i) longWide += "\xc3\xa9";  // 1200 bytes of U+00E9
  const Case cases[] = {
      {"plain text stays", "libplant.so!Start", "libplant.so!Start"},
      {"UTF-8 stays", "Pumpe \xc3\xa9t\xc3\xa9", "Pumpe \xc3\xa9t\xc3\xa9"},
      {"a newline cannot start a forged entry", "a\n{\"action\":\"x\"}",
       "a\\x0a{\"action\":\"x\"}"},
      {"carriage return, tab, NUL, ESC", std::string("a\r\t\0\x1b", 5), "a\\x0d\\x09\\x00\\x1b"},
      {"DEL", "a\x7f", "a\\x7f"},
      {"a C1 control", "a\xc2\x85z", "a\\u0085z"},
      {"a byte that is not UTF-8",
       "a\xff"
       "b",
       "a\\xffb"},
      {"a cut UTF-8 character", "a\xc3", "a\\xc3"},
      {"an overlong encoding", "\xc0\xaf", "\\xc0\\xaf"},
      {"a backslash is doubled, so escapes stay unambiguous", "C:\\x0a", "C:\\\\x0a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AuditFieldText(c.value), c.text);
  }
  const std::string cut = AuditFieldText(longAscii);
  EXPECT_EQ(cut.size(), kMaxAuditFieldBytes);
  EXPECT_EQ(cut.substr(cut.size() - 8), "...[cut]");
  const std::string wide = AuditFieldText(longWide);
  EXPECT_LE(wide.size(), kMaxAuditFieldBytes);
  EXPECT_EQ(wide.substr(wide.size() - 8), "...[cut]");
  EXPECT_EQ(wide.find('\\'), std::string::npos) << "cut at a whole character";
  // A field of exactly the limit is not cut.
  EXPECT_EQ(AuditFieldText(std::string(kMaxAuditFieldBytes, 'b')),
            std::string(kMaxAuditFieldBytes, 'b'));
}

TEST(AuditFieldTextTest, JsonLineQuotesEveryFieldAndIsOneLine) {
  AuditEntry entry = Entry("REMOTECALL", "lib\"x\".so!F\nG");
  entry.result = static_cast<HRESULT>(0x80070005u);
  const std::string line = AuditJsonLine(entry);
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
  EXPECT_NE(line.find(R"("target":"lib\"x\".so!F\\x0aG")"), std::string::npos) << line;
  EXPECT_NE(line.find(R"("result":"0x80070005")"), std::string::npos) << line;
  EXPECT_NE(line.find(R"("local_uid":null)"), std::string::npos) << line;
  entry.peer.clear();
  entry.localUser = "op";
  entry.localUid = 1000;
  EXPECT_NE(AuditJsonLine(entry).find(R"("local_user":"op","local_uid":1000)"), std::string::npos);
}

TEST(AuditLogTest, RotationKeepsNFilesAndLosesNoEntryAtTheBoundary) {
  const TempDir dir("qxaudit");
  ASSERT_TRUE(dir.ok());
  const std::string file = dir.File("audit.jsonl");
  // About six entries a file: every few entries the file rotates.
  const std::size_t lineBytes = AuditJsonLine(Entry("READFILE", "/f/000")).size();
  const std::uint64_t limit = lineBytes * 6 + lineBytes / 2;
  constexpr int kKeep = 3;
  {
    AuditLog log([&] { return FileConfig(file, limit, kKeep); });
    // First as many as the kept files hold: none may be missing.
    const int fits = 6 * (kKeep + 1);
    for (int i = 0; i < fits; ++i) log.Record(Entry("READFILE", Format3(i)));
    ASSERT_TRUE(log.Flush(std::chrono::seconds(10)));
    std::multiset<std::string> seen;
    for (const std::string& name : {file, file + ".1", file + ".2", file + ".3"}) {
      SCOPED_TRACE(name);
      EXPECT_LE(std::filesystem::file_size(name), limit);
      for (const std::string& line : Lines(name)) {
        const std::size_t at = line.find("\"target\":\"/f/");
        ASSERT_NE(at, std::string::npos) << line;
        seen.insert(line.substr(at + 13, 3));
      }
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(fits));
    for (int i = 0; i < fits; ++i) EXPECT_EQ(seen.count(Format3(i).substr(3)), 1u) << i;
    // More: the oldest files go, never more than kKeep rotated ones stay.
    for (int i = fits; i < fits + 20; ++i) log.Record(Entry("READFILE", Format3(i)));
    ASSERT_TRUE(log.Flush(std::chrono::seconds(10)));
    EXPECT_TRUE(std::filesystem::exists(file + ".3"));
    EXPECT_FALSE(std::filesystem::exists(file + ".4"));
    const AuditCounters counters = log.counters();
    EXPECT_EQ(counters.recorded, static_cast<std::uint64_t>(fits + 20));
    EXPECT_EQ(counters.written, counters.recorded);
    EXPECT_EQ(counters.lost, 0u);
    // The newest entry is in the file itself.
    const std::vector<std::string> last = Lines(file);
    ASSERT_FALSE(last.empty());
    EXPECT_NE(last.back().find(Format3(fits + 19)), std::string::npos);
  }
}

// An administrator (or logrotate) moves or removes the file while the writer holds it open.
TEST(AuditLogTest, AFileMovedOrRemovedIsOpenedAgainByItsName) {
  const TempDir dir("qxaudit");
  ASSERT_TRUE(dir.ok());
  const std::string file = dir.File("audit.jsonl");
  AuditLog log([&] { return FileConfig(file); });
  for (const char* how : {"moved", "removed"}) {
    SCOPED_TRACE(how);
    log.Record(Entry("Test", "before"));
    ASSERT_TRUE(log.Flush(std::chrono::seconds(10)));
    if (std::string(how) == "moved") {
      std::filesystem::rename(file, dir.File("moved.jsonl"));
    } else {
      std::filesystem::remove(file);
    }
    log.Record(Entry("Test", "after"));
    ASSERT_TRUE(log.Flush(std::chrono::seconds(10)));
    const std::vector<std::string> lines = Lines(file);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines.front().find("\"after\""), std::string::npos);
    std::filesystem::remove(file);
  }
  EXPECT_EQ(Lines(dir.File("moved.jsonl")).size(), 1u);
}

TEST(AuditLogTest, AFailingDestinationIsCountedAndReported) {
  const TempDir dir("qxaudit");
  ASSERT_TRUE(dir.ok());
  std::ofstream(dir.File("plain")) << "x";
  struct Case {
    const char* name;
    std::string file;
  };
  const Case cases[] = {
      // Every write fails with ENOSPC, as on a full disk.
      {"a full disk", "/dev/full"},
      {"a file below a file", dir.File("plain") + "/audit.jsonl"},
      {"no file set", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AuditLog log([&] { return FileConfig(c.file); });
    const MetricValues before = metrics::Snapshot();
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(log.Record(Entry("OPENFILE", "/f")));
    ASSERT_TRUE(log.Flush(std::chrono::seconds(10)));
    const AuditCounters counters = log.counters();
    EXPECT_EQ(counters.recorded, 5u);
    EXPECT_EQ(counters.written, 0u);
    EXPECT_EQ(counters.lost, 5u);
    // The station's metrics show the loss too (other tests of this process may add to them).
    EXPECT_GE(metrics::Snapshot()[Metric::kAuditEntriesLost] - before[Metric::kAuditEntriesLost],
              5u);
  }
}

TEST(AuditLogTest, AutoWithoutAJournalWritesTheFile) {
  const TempDir dir("qxaudit");
  ASSERT_TRUE(dir.ok());
  // The log folder does not exist yet, as on a station that no service manager set up.
  AuditConfig config = FileConfig(dir.File("log/qxremote/audit.jsonl"));
  config.destination = AuditDestination::kAuto;
  config.journalSocket = dir.File("no-journal-here");
  AuditLog log([&] { return config; });
  log.Record(Entry("Test", ""));
  ASSERT_TRUE(log.Flush(std::chrono::seconds(10)));
  EXPECT_EQ(Lines(dir.File("log/qxremote/audit.jsonl")).size(), 1u);
  EXPECT_EQ(log.counters().written, 1u);
}

// The writer is held inside its first batch while handlers record more than the queue holds.
TEST(AuditLogTest, AFullQueueMakesHandlersWaitAndDropsNothing) {
  const TempDir dir("qxaudit");
  ASSERT_TRUE(dir.ok());
  const std::string file = dir.File("audit.jsonl");
  HeldWriter held;
  AuditLog log(held.Source(file), /*queueEntries=*/4, /*maxWait=*/std::chrono::seconds(30));
  constexpr int kThreads = 4;
  constexpr int kEach = 25;
  std::vector<std::thread> handlers;
  for (int t = 0; t < kThreads; ++t) {
    handlers.emplace_back([&log, t] {
      for (int i = 0; i < kEach; ++i) log.Record(Entry("READFILE", Format3(t * 100 + i)));
    });
  }
  // Some handler finds the queue full while the writer is held.
  for (int i = 0; i < 1000 && log.counters().waits == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GT(log.counters().waits, 0u);
  held.release.set_value();
  for (std::thread& handler : handlers) handler.join();
  ASSERT_TRUE(log.Flush(std::chrono::seconds(10)));
  const AuditCounters counters = log.counters();
  EXPECT_EQ(counters.lost, 0u);
  EXPECT_EQ(counters.written, static_cast<std::uint64_t>(kThreads * kEach));
  EXPECT_EQ(Lines(file).size(), static_cast<std::size_t>(kThreads * kEach));
}

// A writer that takes nothing for longer than the wait: the handler goes on, and the entry is
// counted as lost rather than silently gone.
TEST(AuditLogTest, AHandlerWaitsOnlyBoundedForAStuckWriter) {
  const TempDir dir("qxaudit");
  ASSERT_TRUE(dir.ok());
  HeldWriter held;
  AuditLog log(held.Source(dir.File("audit.jsonl")), /*queueEntries=*/1,
               /*maxWait=*/std::chrono::milliseconds(50));
  EXPECT_TRUE(log.Record(Entry("Test", "1")));  // the writer takes it and is held
  for (int i = 0; i < 1000 && held.batches == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(log.Record(Entry("Test", "2")));   // fills the queue
  EXPECT_FALSE(log.Record(Entry("Test", "3")));  // no room within the wait
  AuditCounters counters = log.counters();
  EXPECT_EQ(counters.lost, 1u);
  EXPECT_EQ(counters.waits, 1u);
  held.release.set_value();
  ASSERT_TRUE(log.Flush(std::chrono::seconds(10)));
  counters = log.counters();
  EXPECT_EQ(counters.written, 2u);
  EXPECT_EQ(counters.recorded, 3u);
}

TEST(AuditLogTest, StopWritesWhatIsQueuedAndALaterRecordStartsAgain) {
  const TempDir dir("qxaudit");
  ASSERT_TRUE(dir.ok());
  const std::string file = dir.File("audit.jsonl");
  AuditLog log([&] { return FileConfig(file); });
  for (int i = 0; i < 50; ++i) log.Record(Entry("Test", Format3(i)));
  EXPECT_TRUE(log.Stop(std::chrono::seconds(10)));
  EXPECT_EQ(Lines(file).size(), 50u);
  log.Record(Entry("Test", "after"));
  ASSERT_TRUE(log.Flush(std::chrono::seconds(10)));
  EXPECT_EQ(Lines(file).size(), 51u);
}

}  // namespace
}  // namespace qx
