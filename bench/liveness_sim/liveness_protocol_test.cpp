// liveness_protocol_test.cpp - the station's liveness table driven over the simulated network:
// a crashed station leaves every tree, and no live one does, without loss.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "discovery/liveness.h"
#include "liveness_protocol.h"
#include "sim_network.h"

namespace qx::sim {
namespace {

constexpr std::int64_t kSecond = 1'000'000;

TEST(LivenessProtocolTest, RemovesCrashedStationsEverywhereAndNoLiveOne) {
  constexpr int kStations = 20;
  const std::vector<int> crashed = {3, 11};
  SimConfig config;
  config.stations = kStations;
  config.seed = 7;
  config.startWindowUs = kSecond;
  SimNetwork network(config,
                     [](int) { return std::make_unique<LivenessProtocol>(LivenessSettings{}); });
  network.RunUntil(10 * kSecond);
  for (int i = 0; i < kStations; ++i) {
    for (int j = 0; j < kStations; ++j) {
      EXPECT_TRUE(i == j || network.protocol(i).Knows(j)) << i << " knows " << j;
    }
  }
  ASSERT_TRUE(network.removals().empty());

  for (int station : crashed) network.Crash(station);
  network.RunUntil(25 * kSecond);
  std::vector<int> removedBy(kStations, 0);
  for (const Removal& removal : network.removals()) {
    EXPECT_TRUE(network.crashed(removal.station)) << "live station " << removal.station;
    ++removedBy[static_cast<std::size_t>(removal.station)];
  }
  for (int station : crashed) {
    SCOPED_TRACE(station);
    EXPECT_EQ(removedBy[static_cast<std::size_t>(station)], kStations - 2);
    for (int i = 0; i < kStations; ++i) {
      EXPECT_FALSE(!network.crashed(i) && network.protocol(i).Knows(station)) << i;
    }
  }
}

}  // namespace
}  // namespace qx::sim
