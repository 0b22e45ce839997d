// Two plant areas joined only by a router that forwards unicast and no multicast
// (support/two_area_network.h): ALPHA and ABLE in area A, BRAVO and BAKER in area B. ALPHA and
// BRAVO are relays, each the other's peer (ALPHA names BRAVO, resolved as RPC\HOSTS says; BRAVO
// gives ALPHA's address); ABLE and BAKER are plain stations that know nothing of the other
// area. Multicast alone leaves each area to itself; the relays join them, so that every station
// sees all four.
//
// Liveness crosses the router as well: a station killed in one area is gone from the other, and
// a silent drop between the areas heals by itself once it ends, a project written meanwhile
// included.
//
// The suite is one life of the four stations; its tests run in order.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/two_area_network.h"

namespace qx::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kAlpha = 0, kAble = 1, kBravo = 2, kBaker = 3;
const std::vector<std::size_t> kAll = {kAlpha, kAble, kBravo, kBaker};

constexpr const char* kAllProjects =
    "<GetProjectList><DomainFilter>*</DomainFilter><HostFilter>*</HostFilter>"
    "<ProjectFilter>*</ProjectFilter></GetProjectList>";

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Milliseconds since start, for the figures the tests print (never asserted).
long long MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

class Areas : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    net_ = std::make_unique<TwoAreaNetwork>(QX_AGENT_PATH, QX_STATION_PATH);
    if (!net_->Build({{"ALPHA", 0}, {"ABLE", 0}, {"BRAVO", 1}, {"BAKER", 1}}, &why_)) return;
    TwoAreaNetwork& net = *net_;
    const bool relays = net.Set(kAlpha, "MULTICAST", "Relay", "1", true) &&
                        net.Set(kAlpha, "MULTICAST", "Peers", "BRAVO") &&
                        net.Set(kBravo, "MULTICAST", "Relay", "1", true) &&
                        net.Set(kBravo, "MULTICAST", "Peers", net.address(kAlpha));
    ASSERT_TRUE(relays);
    ready_ = true;
  }
  static void TearDownTestSuite() { net_.reset(); }

  // The trees of the stations named, one after the other, for a failure message.
  static std::string Trees(const std::vector<std::size_t>& at) {
    std::string text;
    for (const std::size_t i : at) {
      text += (*net_)[i].station.name + ":\n" + net_->Tree(i) + "\n";
    }
    return text;
  }

  // The project list of station i (every domain, host and project), or "failed: ...".
  static std::string Projects(std::size_t i) {
    const ProgramResult result = net_->Station(i, {"discover", kAllProjects});
    return result.exitCode == 0 ? result.out : "failed: " + result.err;
  }

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

// A station killed without a word (kill -9) stops beating. The station of its own area and
// both of the other area, whose beats and probes cross by the relays and the router, remove it
// from their trees. A new start of it is back everywhere.
TEST_F(Areas, AKilledStationIsGoneFromBothAreas) {
  TwoAreaNetwork& net = *net_;
  std::string why;
  ASSERT_FALSE(net[kBaker].station.agent);
  ASSERT_TRUE(net.Start(kBaker, &why)) << why;
  ASSERT_TRUE(net.TreesBecome(kAll, kAll, 20s)) << Trees(kAll);

  const auto killed = std::chrono::steady_clock::now();
  net[kBaker].station.agent->Kill();
  net[kBaker].station.agent.reset();
  // The bound only keeps the test from hanging; the goal (3 s) is a figure of the benchmarks.
  EXPECT_TRUE(net.TreesBecome({kAlpha, kAble, kBravo}, {kAlpha, kAble, kBravo}, 10s))
      << Trees({kAlpha, kAble, kBravo});
  std::printf("[ measured ] kill -9 of BAKER until gone from ALPHA, ABLE and BRAVO: %lld ms\n",
              MsSince(killed));

  ASSERT_TRUE(net.Start(kBaker, &why)) << why;
  EXPECT_TRUE(net.TreesBecome(kAll, kAll, 20s)) << Trees(kAll);
}

// Ten seconds of silent drop between the areas. Each area keeps its own stations; the other
// area's fall silent and may go. ABLE writes a project meanwhile: only its own
// area hears of it. Once the drop ends, beats cross again and the receivers ask for what they
// missed: every tree holds all four stations again and area B lists ABLE's new project.
TEST_F(Areas, ASilentDropBetweenTheAreasHealsWithAProjectWrittenMeanwhile) {
  TwoAreaNetwork& net = *net_;
  ASSERT_TRUE(net.TreesBecome(kAll, kAll, 20s)) << Trees(kAll);
  const std::string file = net[kAble].station.dir + "/cut.mcp";
  std::ofstream(file) << "project";
  const auto listsCutLine = [](const std::string& list) {
    return Contains(list, "<DSN>CutLine</DSN>") && Contains(list, "<HOST>ABLE</HOST>");
  };

  ASSERT_TRUE(net.CutAreas(true));
  const auto cut = std::chrono::steady_clock::now();
  const ProgramResult written =
      net.Station(kAble, {"write-project", "--dsn", "CutLine", "--name", "CutLine", "--type",
                          "Multi User", "--full-path", file, "--server", "ABLE"});
  EXPECT_EQ(written.exitCode, 0) << written.out << written.err;
  // No JOIN: ABLE's next beat carries a new content version, ALPHA asks for its UPDATE, and
  // ABLE's own tree takes the same. ALPHA, in ABLE's area, lists the project during the cut.
  bool heardInArea = false;
  for (int attempt = 0; attempt < 50 && !heardInArea; ++attempt) {
    heardInArea = listsCutLine(Projects(kAlpha));
    if (!heardInArea) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(heardInArea) << Projects(kAlpha);
  std::this_thread::sleep_for(10s - (std::chrono::steady_clock::now() - cut));
  // Neither area lost one of its own stations to the cut.
  for (const std::size_t i : kAll) {
    SCOPED_TRACE(net[i].station.name);
    const std::string tree = net.Tree(i);
    for (const std::size_t m : kAll) {
      if (net[m].area == net[i].area) {
        EXPECT_TRUE(Contains(tree, "<Host>" + net[m].station.name + "</Host>")) << tree;
      }
    }
  }
  // Whether the other area's stations went during the cut is printed, not asserted.
  std::printf("[ measured ] after the 10 s cut, ABLE's tree: %s; BAKER's tree: %s\n",
              Contains(net.Tree(kAble), "<Host>BAKER</Host>") ? "holds BAKER" : "without BAKER",
              Contains(net.Tree(kBaker), "<Host>ABLE</Host>") ? "holds ABLE" : "without ABLE");

  ASSERT_TRUE(net.CutAreas(false));
  const auto healing = std::chrono::steady_clock::now();
  EXPECT_TRUE(net.TreesBecome(kAll, kAll, 20s)) << Trees(kAll);
  std::printf("[ measured ] end of the cut until every tree holds all four stations: %lld ms\n",
              MsSince(healing));
  bool reached = false;
  while (!reached && std::chrono::steady_clock::now() - healing < 20s) {
    reached = listsCutLine(Projects(kBravo)) && listsCutLine(Projects(kBaker));
    if (!reached) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(reached) << "BRAVO:\n" << Projects(kBravo) << "\nBAKER:\n" << Projects(kBaker);
  std::printf("[ measured ] end of the cut until area B lists ABLE's project: %lld ms\n",
              MsSince(healing));
  // Every station's project list agrees.
  for (const std::size_t i : {kAble, kBravo, kBaker}) {
    SCOPED_TRACE(net[i].station.name);
    EXPECT_EQ(Projects(i), Projects(kAlpha));
  }
}

}  // namespace
}  // namespace qx::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  signal(SIGPIPE, SIG_IGN);
  return RUN_ALL_TESTS();
}
