// Two plant areas joined only by a router that forwards unicast and no multicast
// (support/two_area_network.h): ALPHA and ABLE in area A, BRAVO and BAKER in area B. ALPHA and
// BRAVO are relays, each the other's peer; ABLE and BAKER are plain stations that know nothing
// of the other area. Multicast alone leaves each area to itself; the relays join them, so that
// every station sees all four.
//
// The suite is one life of the four stations; its tests run in order.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "support/two_area_network.h"

namespace qx::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kAlpha = 0, kAble = 1, kBravo = 2, kBaker = 3;

class Areas : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    net_ = std::make_unique<TwoAreaNetwork>(QX_AGENT_PATH, QX_STATION_PATH);
    if (!net_->Build({{"ALPHA", 0}, {"ABLE", 0}, {"BRAVO", 1}, {"BAKER", 1}}, &why_)) return;
    TwoAreaNetwork& net = *net_;
    const bool relays = net.Set(kAlpha, "MULTICAST", "Relay", "1", true) &&
                        net.Set(kAlpha, "MULTICAST", "Peers", net.address(kBravo)) &&
                        net.Set(kBravo, "MULTICAST", "Relay", "1", true) &&
                        net.Set(kBravo, "MULTICAST", "Peers", net.address(kAlpha));
    ASSERT_TRUE(relays);
    ready_ = true;
  }
  static void TearDownTestSuite() { net_.reset(); }

  void SetUp() override {
    if (!ready_) GTEST_SKIP() << why_;
  }

  static inline std::unique_ptr<TwoAreaNetwork> net_;
  static inline std::string why_;
  static inline bool ready_ = false;
};

// Without the relays, the router carries no multicast: ABLE and BAKER stay apart.
TEST_F(Areas, MulticastStaysInsideEachArea) {
  TwoAreaNetwork& net = *net_;
  std::string why;
  ASSERT_TRUE(net.Start(kAble, &why)) << why;
  ASSERT_TRUE(net.Start(kBaker, &why)) << why;
  // Both have announced; a second announcement each, then a look after it would have arrived.
  ASSERT_EQ(net.Station(kAble, {"join"}).exitCode, 0);
  ASSERT_EQ(net.Station(kBaker, {"join"}).exitCode, 0);
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(net.TreesBecome({kAble}, {kAble}, 0ms)) << net.Tree(kAble);
  EXPECT_TRUE(net.TreesBecome({kBaker}, {kBaker}, 0ms)) << net.Tree(kBaker);
}

// With a relay in each area, each the other's peer, all four stations see each other.
TEST_F(Areas, RelaysJoinTheAreas) {
  TwoAreaNetwork& net = *net_;
  std::string why;
  ASSERT_TRUE(net.Start(kAlpha, &why)) << why;
  ASSERT_TRUE(net.Start(kBravo, &why)) << why;
  // ABLE and BAKER announced before the relays were there: they announce again, as any station
  // does when it joins.
  ASSERT_EQ(net.Station(kAble, {"join"}).exitCode, 0);
  ASSERT_EQ(net.Station(kBaker, {"join"}).exitCode, 0);
  EXPECT_TRUE(
      net.TreesBecome({kAlpha, kAble, kBravo, kBaker}, {kAlpha, kAble, kBravo, kBaker}, 20s))
      << "ALPHA:\n"
      << net.Tree(kAlpha) << "\nABLE:\n"
      << net.Tree(kAble) << "\nBRAVO:\n"
      << net.Tree(kBravo) << "\nBAKER:\n"
      << net.Tree(kBaker);
  // A station of the other area answers a request over the router, too.
  const ProgramResult details = net.Station(kAble, {"host", "BAKER"});
  EXPECT_EQ(details.exitCode, 0) << details.out << details.err;
}

// A station that leaves is gone from the other area as well: its LEAVE travels by the relays.
TEST_F(Areas, ALeaveCrossesTheRouter) {
  TwoAreaNetwork& net = *net_;
  ASSERT_TRUE(net[kBaker].station.agent);
  net[kBaker].station.agent->Terminate(10s);
  net[kBaker].station.agent.reset();
  EXPECT_TRUE(net.TreesBecome({kAlpha, kAble, kBravo}, {kAlpha, kAble, kBravo}, 20s))
      << net.Tree(kAble);
}

// The fixture's silent drop: while the areas are cut, a station of one cannot reach the other
// by the router; after the cut they reach each other again.
TEST_F(Areas, ACutBetweenTheAreasDropsAndEnds) {
  TwoAreaNetwork& net = *net_;
  ASSERT_TRUE(net.CutAreas(true));
  const ProgramResult cut = net.Station(kAble, {"host", "BRAVO"});
  EXPECT_NE(cut.exitCode, 0) << cut.out;
  ASSERT_TRUE(net.CutAreas(false));
  const ProgramResult healed = net.Station(kAble, {"host", "BRAVO"});
  EXPECT_EQ(healed.exitCode, 0) << healed.out << healed.err;
}

}  // namespace
}  // namespace qx::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  signal(SIGPIPE, SIG_IGN);
  return RUN_ALL_TESTS();
}
