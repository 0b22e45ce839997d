// two_area_network.h - two plant areas joined only by a router, for whole-station tests.
//
// The test's own network namespaces: a router namespace that holds one bridge for each area
// (area 0: 10.81.1.0/24 on brA, area 1: 10.81.2.0/24 on brB, the router at .254 of each) and
// forwards unicast between them (ip_forward on) but no multicast (no multicast routing), and one
// namespace for each station with a veth into its area's bridge, its address .1, .2, ... of the
// area and its default route by the router. Stations multicast with TTL 1 on their veth, as on a
// plant network, and run with their own registry and runtime directory below a temporary
// directory. Everything is removed again when the object goes.
//
// Built for the tests of stations beyond one multicast domain: relays, peers, and later
// liveness across the router (Kill a station's agent, CutAreas for a silent drop).
//
// Ownership and threads: the object owns the namespaces, the directory and the agents; it is
// used by the test's main thread only.
//
//   TwoAreaNetwork net(QX_AGENT_PATH, QX_STATION_PATH);
//   if (!net.Build({{"ALPHA", 0}, {"BRAVO", 1}}, &why)) GTEST_SKIP() << why;
//   net.Set(0, "MULTICAST", "Relay", "1", true);
//   ASSERT_TRUE(net.Start(0, &why)) << why;
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/station_process.h"
#include "support/temp_dir.h"

namespace qx::testing {

class TwoAreaNetwork {
 public:
  struct Member {
    TestStation station;
    std::string netns;
    int area = 0;
  };

  TwoAreaNetwork(std::string agentPath, std::string stationPath);
  ~TwoAreaNetwork();  // agents ended (SIGTERM, then SIGKILL), namespaces and files removed
  TwoAreaNetwork(const TwoAreaNetwork&) = delete;
  TwoAreaNetwork& operator=(const TwoAreaNetwork&) = delete;

  // Makes the router, the areas and one station (name, area 0 or 1) each, with its registry
  // configured for network mode on its address (name, RPC and multicast addresses, TTL 1, file
  // root, the other stations in RPC\HOSTS) and the test cluster key. False with *why when this
  // machine does not allow it (not root, no ip netns): the caller skips.
  bool Build(const std::vector<std::pair<std::string, int>>& stations, std::string* why);

  std::size_t size() const { return members_.size(); }
  Member& operator[](std::size_t i) { return members_[i]; }
  const std::string& address(std::size_t i) const { return members_[i].station.address; }

  // A value in station i's registry (qxstation registry set); false when it failed.
  bool Set(std::size_t i, const std::string& key, const std::string& name, const std::string& value,
           bool dword = false);
  // Starts station i's agent in its namespace and waits until it is ready.
  bool Start(std::size_t i, std::string* why);
  // qxstation of station i, inside its namespace.
  ProgramResult Station(std::size_t i, const std::vector<std::string>& args);
  // Station i's tree (<GetTreeContent/>), or "failed: ..." when it could not be read.
  std::string Tree(std::size_t i);
  // True once, within limit, the tree of each station in `at` holds exactly the stations named
  // by `hosts` among the members (by index).
  bool TreesBecome(const std::vector<std::size_t>& at, const std::vector<std::size_t>& hosts,
                   std::chrono::milliseconds limit);

  // A silent drop between the areas at the router (cut), or its end: the router forwards nothing
  // from one area to the other, and says nothing of it.
  bool CutAreas(bool cut);

 private:
  bool Ip(const std::vector<std::string>& args);
  void TearDown();

  const std::string agentPath_, stationPath_;
  std::string router_;
  std::vector<Member> members_;
  std::unique_ptr<TempDir> temp_;
  bool cut_ = false;
};

}  // namespace qx::testing
