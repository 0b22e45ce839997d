// sim_network_test.cpp - the liveness simulator: loss, delay, crashes, cuts, byte counts, and the
// placeholder heartbeat protocol's detection bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "heartbeat_protocol.h"
#include "sim_network.h"

namespace qx::sim {
namespace {

constexpr std::int64_t kSecond = 1'000'000;

// Records what reaches it; station 0 sends `count` datagrams of `bytes` bytes to `to`, one a
// tick, from its first tick on.
class Recorder final : public SimProtocol {
 public:
  struct Arrival {
    int from;
    std::int64_t atUs;
  };
  Recorder(int to, int count, std::size_t bytes) : to_(to), count_(count), bytes_(bytes) {}
  std::int64_t TickPeriodUs() const override { return 10'000; }
  void Start(SimContext&) override {}
  void OnDatagram(SimContext& context, int from, std::span<const std::uint8_t>) override {
    arrivals.push_back({from, context.NowUs()});
  }
  void Tick(SimContext& context) override {
    ++ticks;
    if (context.Self() == 0 && sent_ < count_) {
      ++sent_;
      context.Send(to_, Datagram(bytes_, 0));
    }
  }
  bool Knows(int) const override { return false; }

  std::vector<Arrival> arrivals;
  int ticks = 0;

 private:
  int to_;
  int count_;
  std::size_t bytes_;
  int sent_ = 0;
};

struct Net {
  Net(int stations, const PathModel& path, int to, int count, std::size_t bytes = 10) {
    SimConfig config;
    config.stations = stations;
    config.path = path;
    network = std::make_unique<SimNetwork>(config, [&](int station) {
      auto protocol = std::make_unique<Recorder>(to, count, bytes);
      recorders.push_back(protocol.get());
      (void)station;
      return protocol;
    });
  }
  std::vector<Recorder*> recorders;
  std::unique_ptr<SimNetwork> network;
};

TEST(SimNetwork, LosesTheShareOfDatagramsItsPathsSay) {
  struct Case {
    double loss;
    double low;
    double high;
  };
  // 2000 datagrams to the group of 5: 8000 copies, each lost on its own.
  const Case cases[] = {{0.0, 1.0, 1.0}, {0.2, 0.77, 0.83}, {0.5, 0.47, 0.53}, {1.0, 0.0, 0.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.loss);
    Net net(5, {c.loss, 100, 0}, kGroup, 2000);
    net.network->RunUntil(30 * kSecond);
    std::size_t arrived = 0;
    for (int i = 1; i < 5; ++i) arrived += net.recorders[i]->arrivals.size();
    EXPECT_TRUE(net.recorders[0]->arrivals.empty()) << "a group datagram came back to its sender";
    const double share = static_cast<double>(arrived) / 8000;
    EXPECT_GE(share, c.low);
    EXPECT_LE(share, c.high);
  }
}

TEST(SimNetwork, DelaysEachDatagramWithinItsPathsBounds) {
  Net net(2, {0, 5000, 2000}, 1, 500);
  net.network->RunUntil(10 * kSecond);
  const auto& arrivals = net.recorders[1]->arrivals;
  ASSERT_EQ(arrivals.size(), 500u);
  // Sent on the ticks at 10 ms, 20 ms, ...: the k-th leaves at (k+1) * 10 ms.
  std::vector<std::int64_t> delays;
  for (std::size_t k = 0; k < arrivals.size(); ++k) {
    delays.push_back(arrivals[k].atUs - static_cast<std::int64_t>(k + 1) * 10'000);
  }
  EXPECT_GE(*std::min_element(delays.begin(), delays.end()), 5000);
  EXPECT_LE(*std::max_element(delays.begin(), delays.end()), 7000);
  EXPECT_GT(*std::max_element(delays.begin(), delays.end()) -
                *std::min_element(delays.begin(), delays.end()),
            1000)
      << "no jitter";
}

TEST(SimNetwork, APathOfItsOwnOverridesTheDefault) {
  Net net(3, {0, 100, 0}, kGroup, 100);
  net.network->SetPath(0, 2, {1.0, 100, 0});
  net.network->RunUntil(5 * kSecond);
  EXPECT_EQ(net.recorders[1]->arrivals.size(), 100u);
  EXPECT_TRUE(net.recorders[2]->arrivals.empty());
}

TEST(SimNetwork, ACrashedStationNeitherTicksNorSendsNorReceives) {
  struct Case {
    const char* name;
    int crashed;
  };
  const Case cases[] = {{"sender", 0}, {"receiver", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Net net(2, {0, 100, 0}, 1, 1000);
    net.network->RunUntil(kSecond);
    const int ticks = net.recorders[c.crashed]->ticks;
    EXPECT_GT(net.recorders[1]->arrivals.size(), 0u);
    net.network->Crash(c.crashed);
    const std::int64_t crashedAt = net.network->NowUs();
    net.network->RunUntil(3 * kSecond);
    // What was on the wire may still arrive at a live receiver; nothing sent later does.
    for (const Recorder::Arrival& arrival : net.recorders[1]->arrivals) {
      EXPECT_LE(arrival.atUs, crashedAt + (c.crashed == 1 ? 0 : 100));
    }
    EXPECT_EQ(net.recorders[c.crashed]->ticks, ticks);
    EXPECT_TRUE(net.network->crashed(c.crashed));
  }
}

TEST(SimNetwork, ACutLosesTrafficBothWaysUntilItEnds) {
  Net net(2, {0, 100, 0}, 1, 300);
  net.network->SetCut(1, true);
  net.network->RunUntil(kSecond);
  EXPECT_TRUE(net.recorders[1]->arrivals.empty());
  net.network->SetCut(1, false);
  net.network->RunUntil(2 * kSecond);
  EXPECT_EQ(net.recorders[1]->arrivals.size(), 100u);
}

TEST(SimNetwork, CountsPayloadAndHeadersOnBothEnds) {
  Net net(3, {0, 100, 0}, kGroup, 10, 100);
  net.network->RunUntil(kSecond);
  const std::uint64_t datagram = 100 + SimNetwork::kHeaderBytes;
  EXPECT_EQ(net.network->stats(0).datagramsSent, 10u);
  EXPECT_EQ(net.network->stats(0).bytesSent, 10 * datagram);
  for (int i = 1; i < 3; ++i) {
    EXPECT_EQ(net.network->stats(i).datagramsReceived, 10u);
    EXPECT_EQ(net.network->stats(i).bytesReceived, 10 * datagram);
  }
}

TEST(SimNetwork, TheSameSeedGivesTheSameRun) {
  auto run = [](std::uint64_t seed) {
    SimConfig config;
    config.stations = 6;
    config.seed = seed;
    config.path = {0.3, 100, 500};
    config.startWindowUs = kSecond;
    SimNetwork network(
        config, [](int) { return std::make_unique<HeartbeatProtocol>(HeartbeatSettings{}); });
    network.RunUntil(20 * kSecond);
    std::vector<std::int64_t> trace;
    for (const Removal& removal : network.removals()) trace.push_back(removal.atUs);
    for (int i = 0; i < 6; ++i) trace.push_back(network.stats(i).bytesReceived);
    return trace;
  };
  EXPECT_EQ(run(7), run(7));
  EXPECT_NE(run(7), run(8));
}

// The placeholder: a crash is removed everywhere after the timeout and before timeout plus one
// period plus one tick (plus the path's delay); without loss nothing live is removed.
TEST(HeartbeatProtocol, RemovesACrashedStationWithinItsBoundsAndNoLiveOne) {
  struct Case {
    std::int64_t periodUs;
    std::int64_t timeoutUs;
  };
  const Case cases[] = {{1'000'000, 3'000'000}, {500'000, 2'000'000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.periodUs);
    HeartbeatSettings settings;
    settings.periodUs = c.periodUs;
    settings.timeoutUs = c.timeoutUs;
    SimConfig config;
    config.stations = 10;
    config.startWindowUs = kSecond;
    SimNetwork network(config, [&](int) { return std::make_unique<HeartbeatProtocol>(settings); });
    network.RunUntil(10 * kSecond);
    for (int i = 0; i < 10; ++i) {
      for (int j = 0; j < 10; ++j) EXPECT_EQ(network.protocol(i).Knows(j), i != j) << i << " " << j;
    }
    EXPECT_TRUE(network.removals().empty());
    network.Crash(3);
    const std::int64_t crashedAt = network.NowUs();
    network.RunUntil(crashedAt + 20 * kSecond);
    ASSERT_EQ(network.removals().size(), 9u);
    for (const Removal& removal : network.removals()) {
      EXPECT_EQ(removal.station, 3);
      const std::int64_t after = removal.atUs - crashedAt;
      EXPECT_GE(after, c.timeoutUs - c.periodUs - 1000);
      EXPECT_LE(after, c.timeoutUs + settings.tickUs + 1000);
    }
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(network.protocol(i).Knows(3));
  }
}

}  // namespace
}  // namespace qx::sim
