// two_area_network.cpp - the router, the two areas and their stations (see two_area_network.h).
#include "support/two_area_network.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

namespace qx::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kIpPath = "/usr/bin/ip";
constexpr const char* kBridges[] = {"brA", "brB"};

std::string AreaPrefix(int area) { return "10.81." + std::to_string(area + 1) + "."; }

}  // namespace

TwoAreaNetwork::TwoAreaNetwork(std::string agentPath, std::string stationPath)
    : agentPath_(std::move(agentPath)), stationPath_(std::move(stationPath)) {}

TwoAreaNetwork::~TwoAreaNetwork() { TearDown(); }

bool TwoAreaNetwork::Ip(const std::vector<std::string>& args) {
  return RunProgram(kIpPath, args, {}, 10s).exitCode == 0;
}

bool TwoAreaNetwork::Build(const std::vector<std::pair<std::string, int>>& stations,
                           std::string* why) {
  auto fail = [&](const std::string& what) {
    *why = what;
    TearDown();
    return false;
  };
  if (::geteuid() != 0 || ::access(kIpPath, X_OK) != 0) {
    return fail("needs root and ip (network namespaces)");
  }
  const std::string tag = "qxa" + std::to_string(::getpid());
  if (!Ip({"netns", "add", tag + "r"})) return fail("network namespaces cannot be made here");
  router_ = tag + "r";
  // The router: one bridge for each area, its address on each, forwarding unicast only.
  for (int area = 0; area < 2; ++area) {
    const std::string bridge = kBridges[area];
    if (!Ip({"-n", router_, "link", "add", bridge, "type", "bridge"}) ||
        !Ip({"-n", router_, "link", "set", bridge, "type", "bridge", "mcast_snooping", "0"}) ||
        !Ip({"-n", router_, "addr", "add", AreaPrefix(area) + "254/24", "dev", bridge}) ||
        !Ip({"-n", router_, "link", "set", bridge, "up"})) {
      return fail("the router's bridges cannot be made");
    }
  }
  if (RunProgram(kIpPath, {"netns", "exec", router_, "sysctl", "-qw", "net.ipv4.ip_forward=1"}, {},
                 10s)
          .exitCode != 0) {
    return fail("the router cannot forward (sysctl)");
  }
  temp_ = std::make_unique<TempDir>("qxareas");
  if (!temp_->ok()) return fail("no temporary directory");
  int hostOf[2] = {0, 0};
  for (std::size_t i = 0; i < stations.size(); ++i) {
    Member& member = members_.emplace_back();
    member.area = std::clamp(stations[i].second, 0, 1);
    member.netns = tag + "s" + std::to_string(i);
    member.station.name = stations[i].first;
    member.station.address = AreaPrefix(member.area) + std::to_string(++hostOf[member.area]);
    member.station.dir = temp_->path() + "/" + member.station.name;
    const std::string inside = "v" + std::to_string(i);
    const std::string outside = tag + "p" + std::to_string(i);
    if (!Ip({"netns", "add", member.netns}) ||
        !Ip({"link", "add", inside, "netns", member.netns, "type", "veth", "peer", "name", outside,
             "netns", router_}) ||
        !Ip({"-n", router_, "link", "set", outside, "master", kBridges[member.area], "up"}) ||
        !Ip({"-n", member.netns, "addr", "add", member.station.address + "/24", "dev", inside}) ||
        !Ip({"-n", member.netns, "link", "set", inside, "up"}) ||
        !Ip({"-n", member.netns, "link", "set", "lo", "up"}) ||
        !Ip({"-n", member.netns, "route", "add", "default", "via",
             AreaPrefix(member.area) + "254"})) {
      return fail("station " + member.station.name + "'s namespace cannot be made");
    }
    if (!MakeStationDir(member.station.dir)) return fail("no directory for a station");
  }
  for (std::size_t i = 0; i < members_.size(); ++i) {
    const TestStation& station = members_[i].station;
    bool set = Set(i, "PLATFORM", "ComputerName", station.name) &&
               Set(i, "RPC", "ListenAddress", station.address) &&
               Set(i, "MULTICAST", "Interface", station.address) &&
               Set(i, "MULTICAST", "UnicastAddress", station.address) &&
               Set(i, "MULTICAST", "TTL", "1", true) &&
               Set(i, "SECURITY", "FileRoots", station.dir);
    for (const Member& other : members_) {
      if (&other.station != &station) {
        set = set && Set(i, "RPC\\HOSTS", other.station.name, other.station.address);
      }
    }
    if (!set) return fail("station " + station.name + "'s registry cannot be written");
  }
  return true;
}

void TwoAreaNetwork::TearDown() {
  for (Member& member : members_) member.station.agent.reset();
  for (Member& member : members_) Ip({"netns", "del", member.netns});
  if (!router_.empty()) Ip({"netns", "del", router_});
  router_.clear();
  members_.clear();
  temp_.reset();
}

bool TwoAreaNetwork::Set(std::size_t i, const std::string& key, const std::string& name,
                         const std::string& value, bool dword) {
  return RunProgram(stationPath_, RegistrySetArgs(key, name, value, dword),
                    members_[i].station.env(), 10s)
             .exitCode == 0;
}

bool TwoAreaNetwork::Start(std::size_t i, std::string* why) {
  TestStation& station = members_[i].station;
  station.agent = std::make_unique<ChildProcess>(
      kIpPath, std::vector<std::string>{"netns", "exec", members_[i].netns, agentPath_},
      station.env());
  if (station.agent->WaitForLine("ready", 30s)) return true;
  *why = station.name + " did not get ready:\n" + station.agent->output() + station.agent->errors();
  return false;
}

ProgramResult TwoAreaNetwork::Station(std::size_t i, const std::vector<std::string>& args) {
  std::vector<std::string> all = {"netns", "exec", members_[i].netns, stationPath_};
  all.insert(all.end(), args.begin(), args.end());
  return RunProgram(kIpPath, all, members_[i].station.env());
}

std::string TwoAreaNetwork::Tree(std::size_t i) {
  const ProgramResult result = Station(i, {"discover", "<GetTreeContent/>"});
  return result.exitCode == 0 ? result.out : "failed: " + result.err;
}

bool TwoAreaNetwork::TreesBecome(const std::vector<std::size_t>& at,
                                 const std::vector<std::size_t>& hosts,
                                 std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    bool all = true;
    for (const std::size_t i : at) {
      const std::string tree = Tree(i);
      for (std::size_t m = 0; m < members_.size(); ++m) {
        const bool wanted = std::find(hosts.begin(), hosts.end(), m) != hosts.end();
        const bool held =
            tree.find("<Host>" + members_[m].station.name + "</Host>") != std::string::npos;
        all = all && wanted == held;
      }
    }
    if (all) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
}

bool TwoAreaNetwork::CutAreas(bool cut) {
  if (cut == cut_) return true;
  // Policy rules that drop what crosses between the areas, both ways, without a word back.
  const char* verb = cut ? "add" : "del";
  bool done = true;
  for (int area = 0; area < 2; ++area) {
    done = Ip({"-n", router_, "rule", verb, "priority", std::to_string(100 + area), "from",
               AreaPrefix(area) + "0/24", "to", AreaPrefix(1 - area) + "0/24", "blackhole"}) &&
           done;
  }
  cut_ = cut;
  return done;
}

}  // namespace qx::testing
