// The station's counters and their Prometheus text: counting from many threads at once, the
// lines of the text, and the textfile writer, which replaces a file whole or leaves it as it
// was. (The text's form is checked by a real parser in the station_metrics test.)
#include "trace/metrics_text.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "trace/counters.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool HasLine(const std::string& text, const std::string& line) {
  for (const std::string& one : Lines(text)) {
    if (one == line) return true;
  }
  return false;
}

TEST(StationCounters, AddsFromManyThreadsAreNeitherLostNorShared) {
  const MetricValues before = metrics::Snapshot();
  constexpr int kThreads = 4;
  constexpr int kAdds = 50000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kAdds; ++i) {
        metrics::Add(Metric::kCopyBytesServed, 3);
        metrics::Add(Metric::kRpcHandlerQueueDepth);
        metrics::Subtract(Metric::kRpcHandlerQueueDepth);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const MetricValues after = metrics::Snapshot();
  EXPECT_EQ(after[Metric::kCopyBytesServed] - before[Metric::kCopyBytesServed],
            3u * kThreads * kAdds);
  EXPECT_EQ(after[Metric::kRpcHandlerQueueDepth], before[Metric::kRpcHandlerQueueDepth]);
  EXPECT_EQ(after[Metric::kDatagramsSent], before[Metric::kDatagramsSent]);
}

// Every counter gets a value of its own, so that a line showing another counter's value fails.
MetricsSnapshot Numbered() {
  MetricsSnapshot snapshot;
  for (std::size_t i = 0; i < kMetricCount; ++i) snapshot.counters.values[i] = 100 + i;
  return snapshot;
}

TEST(MetricsText, LinesShowTheirOwnCounterAndTheProcessFacts) {
  MetricsSnapshot snapshot = Numbered();
  snapshot.counters.values[static_cast<std::size_t>(Metric::kRpcHandlerQueueDepth)] =
      static_cast<std::uint64_t>(-1);  // a gauge seen between its two moves
  snapshot.keyIdInUse = 0xabcd;
  snapshot.process = {3723.25, 8u << 20, 17};
  auto value = [](Metric metric) { return std::to_string(100 + static_cast<int>(metric)); };
  const std::string text = RenderMetricsText(snapshot);
  const std::string expected[] = {
      "qxremote_datagrams_received_total " + value(Metric::kDatagramsReceived),
      "qxremote_datagrams_sent_total " + value(Metric::kDatagramsSent),
      "qxremote_datagrams_dropped_total{reason=\"unopenable\"} " +
          value(Metric::kDroppedUnopenable),
      "qxremote_datagrams_dropped_total{reason=\"foreign_key\"} " +
          value(Metric::kDroppedForeignKey),
      "qxremote_datagrams_dropped_total{reason=\"replayed\"} " + value(Metric::kDroppedReplayed),
      "qxremote_datagrams_dropped_total{reason=\"malformed\"} " + value(Metric::kDroppedMalformed),
      "qxremote_datagrams_dropped_total{reason=\"queue_full\"} " + value(Metric::kDroppedQueueFull),
      "qxremote_fragmented_messages_reassembled_total " +
          value(Metric::kFragmentedMessagesReassembled),
      "qxremote_fragment_sets_expired_total " + value(Metric::kFragmentSetsExpired),
      "qxremote_rpc_connections_total " + value(Metric::kRpcConnections),
      "qxremote_rpc_handshakes_refused_total " + value(Metric::kRpcHandshakesRefused),
      "qxremote_rpc_requests_total{kind=\"string\"} " + value(Metric::kRpcStringRequests),
      "qxremote_rpc_requests_total{kind=\"data\"} " + value(Metric::kRpcDataRequests),
      "qxremote_rpc_handler_queue_depth -1",
      "qxremote_rpc_handler_refusals_total " + value(Metric::kRpcHandlerRefusals),
      "qxremote_copy_served_bytes_total " + value(Metric::kCopyBytesServed),
      "qxremote_trace_lines_suppressed_total " + value(Metric::kTraceLinesSuppressed),
      "qxremote_audit_entries_total{outcome=\"written\"} " + value(Metric::kAuditEntriesWritten),
      "qxremote_audit_entries_total{outcome=\"lost\"} " + value(Metric::kAuditEntriesLost),
      "qxremote_audit_waits_total " + value(Metric::kAuditWaits),
      "qxremote_cluster_key_info{key_id=\"0000abcd\"} 1",
      "qxremote_agent_uptime_seconds 3723.25",
      "qxremote_agent_resident_memory_bytes 8388608",
      "qxremote_agent_open_fds 17",
  };
  for (const std::string& line : expected) {
    SCOPED_TRACE(line);
    EXPECT_TRUE(HasLine(text, line)) << text;
  }
}

TEST(MetricsText, WhatIsNotKnownIsSaidOrLeftOut) {
  const std::string text = RenderMetricsText(MetricsSnapshot{});
  EXPECT_TRUE(HasLine(text, "qxremote_cluster_key_info{key_id=\"none\"} 0")) << text;
  for (const char* family : {"qxremote_agent_uptime_seconds",
                             "qxremote_agent_resident_memory_bytes", "qxremote_agent_open_fds"}) {
    SCOPED_TRACE(family);
    EXPECT_EQ(text.find(family), std::string::npos);
  }
  EXPECT_LT(RenderMetricsText(Numbered()).size(), 8192u);
}

TEST(MetricsTextfile, ReplacesTheFileWholeOrLeavesItAsItWas) {
  testing::TempDir dir("qxmetrics");
  ASSERT_TRUE(dir.ok());
  const std::string old = "# HELP old\n";
  const std::string fresh = "# HELP qxremote_x x\n";
  struct Case {
    const char* name;
    std::function<std::string()> prepare;  // gives the path to write
    bool written;
    const char* untouched;  // a file that must keep `old` (relative to the dir), or null
  };
  const Case cases[] = {
      {"a new file", [&] { return dir.File("new.prom"); }, true, nullptr},
      {"an existing file is replaced",
       [&] {
         std::ofstream(dir.File("kept.prom")) << old;
         return dir.File("kept.prom");
       },
       true, nullptr},
      {"a missing folder", [&] { return dir.File("missing/x.prom"); }, false, nullptr},
      {"a folder in the file's place",
       [&] {
         dir.Make("taken.prom/inner");
         std::ofstream(dir.File("taken.prom/inner/keep")) << old;
         return dir.File("taken.prom");
       },
       false, "taken.prom/inner/keep"},
      {"no file name", [&] { return dir.path() + "/"; }, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.prepare();
    std::string error;
    EXPECT_EQ(WriteMetricsTextfile(path, fresh, &error), c.written);
    if (c.written) {
      EXPECT_EQ(ReadFile(path), fresh);
      struct stat info {};
      ASSERT_EQ(::stat(path.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0777, 0644u) << "a collector of another user reads it";
    } else {
      EXPECT_FALSE(error.empty());
    }
    if (c.untouched != nullptr) {
      EXPECT_EQ(ReadFile(dir.File(c.untouched)), old);
    }
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
      EXPECT_NE(entry.path().filename().string().front(), '.')
          << "a temporary file was left: " << entry.path();
    }
  }
}

}  // namespace
}  // namespace qx
