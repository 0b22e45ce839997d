// multicast_bench.cpp - a JOIN reply burst: 1000 unicast UPDATE replies of 20 projects each,
// sent back-to-back from one station to another on loopback, as a joining station receives
// them. Each iteration counts what arrived whole (counter "received_per_sent", goal 1) and the
// time from the first send until the last reply was delivered (or 3 s passed).
//
// BM_JoinReplyBurst/0 uses the loopback datagram size, BM_JoinReplyBurst/1400 network-sized
// datagrams (8 fragments a reply). Traffic: unicast on 127.0.0.2 and 127.0.0.3 only; the
// group is joined on the interface 127.0.0.1 with TTL 0 and receives nothing. Every datagram is
// sealed and opened as between stations, with a key ring generated beside a registry in a
// temporary directory (unless QX_REGISTRY names a station whose ring has a key in use).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "keys/cluster_keys.h"
#include "messaging/multicast_transport.h"

namespace {

constexpr int kReplies = 1000;
constexpr int kProjectsPerReply = 20;

std::string Update(int host) {
  const std::string name = "STATION-" + std::to_string(host);
  std::string text = "<QXDISCOVER><EVENT>UPDATE</EVENT><Receiver>127.0.0.2</Receiver><Host>" +
                     name + "</Host><Domain>PLANT</Domain><User>operator</User><IP>127.0.3." +
                     std::to_string(host % 250) +
                     "</IP><IP_Mask>255.0.0.0</IP_Mask><NorvaneVersion>7.20</NorvaneVersion>"
                     "<PROJECTLIST>";
  for (int p = 0; p < kProjectsPerReply; ++p) {
    const std::string n = std::to_string(p);
    text += "<PROJECT><Name>Line" + n +
            "</Name><TYPE>Multi User</TYPE><STATE>Run Time</STATE>"
            "<DSN>" +
            name + "_Line" + n + "</DSN><FullPath>/srv/projects/line" + n + "/line" + n +
            ".mcp</FullPath><UncPath>//" + name + "/projects/line" + n + "/line" + n +
            ".mcp</UncPath><SERVER>" + name + "</SERVER><HOST>" + name + "</HOST></PROJECT>";
  }
  return text + "</PROJECTLIST></QXDISCOVER>";
}

// The process's key ring for the run; the temporary directory goes with the program.
class BenchKeyRing {
 public:
  BenchKeyRing() {
    if (qx::CurrentKeyRing()->InUse() != nullptr) return;
    char pattern[] = "/tmp/qxbench.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    ::setenv("QX_REGISTRY", (dir_ + "/registry.db").c_str(), 1);
    qx::KeyRing ring;
    qx::LoadOrCreateKeyRing(qx::KeyRingPath(), &ring, &error_);
  }
  ~BenchKeyRing() {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  const std::string& error() const { return error_; }

 private:
  std::string dir_;
  std::string error_;
};

qx::MulticastSettings Settings(const char* unicast, std::uint32_t datagramBytes) {
  qx::MulticastSettings settings;
  settings.group = "239.255.47.98";
  settings.port = 24798;
  settings.interfaceAddress = "127.0.0.1";
  settings.ttl = 0;
  settings.unicastAddress = unicast;
  settings.datagramBytes = datagramBytes;
  return settings;
}

void BM_JoinReplyBurst(benchmark::State& state) {
  static const BenchKeyRing keyRing;
  if (qx::CurrentKeyRing()->InUse() == nullptr) {
    state.SkipWithError(("no key ring: " + keyRing.error()).c_str());
    return;
  }
  const auto datagramBytes = static_cast<std::uint32_t>(state.range(0));
  std::vector<std::string> replies;
  for (int i = 0; i < kReplies; ++i) replies.push_back(Update(i));
  std::atomic<int> received{0};
  std::atomic<std::int64_t> lastArrival{0};
  std::string error;
  auto receiver = qx::MulticastTransport::Start(
      Settings("127.0.0.2", datagramBytes),
      [&](const qx::MulticastMessage&) {
        ++received;
        // Lanes deliver side by side: keep the latest arrival.
        const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
        std::int64_t seen = lastArrival.load();
        while (seen < now && !lastArrival.compare_exchange_weak(seen, now)) {
        }
      },
      &error);
  auto sender = qx::MulticastTransport::Start(
      Settings("127.0.0.3", datagramBytes), [](const qx::MulticastMessage&) {}, &error);
  if (!receiver || !sender) {
    state.SkipWithError(error.c_str());
    return;
  }
  double receivedTotal = 0;
  double sentTotal = 0;
  for (auto _ : state) {
    received = 0;
    const auto start = std::chrono::steady_clock::now();
    int sent = 0;
    for (const std::string& reply : replies) {
      if (sender->SendTo("127.0.0.2", reply) == qx::S_OK) ++sent;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (received < sent && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto end = received == sent ? std::chrono::steady_clock::time_point(
                                            std::chrono::steady_clock::duration(lastArrival.load()))
                                      : std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    receivedTotal += received;
    sentTotal += sent;
  }
  const qx::MulticastCounters counters = receiver->Counters();
  state.counters["received_per_sent"] = sentTotal > 0 ? receivedTotal / sentTotal : 0;
  state.counters["sent"] = sentTotal;
  state.counters["lost"] = sentTotal - receivedTotal;
  state.counters["queue_drops"] = static_cast<double>(counters.queueDrops);
  state.counters["not_opened"] =
      static_cast<double>(counters.unopenable + counters.foreignKey + counters.replayed);
  state.counters["receive_buffer_bytes"] = counters.receiveBufferBytes;
  state.counters["receive_buffer_forced"] = counters.receiveBufferForced ? 1 : 0;
  state.SetItemsProcessed(static_cast<std::int64_t>(receivedTotal));
}
BENCHMARK(BM_JoinReplyBurst)
    ->Arg(0)
    ->Arg(1400)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
