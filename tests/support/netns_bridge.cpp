// netns_bridge.cpp - the namespaces, links and nftables rules of a switch of namespaces.
#include "support/netns_bridge.h"

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

#include "support/station_process.h"

namespace qx::testing {

namespace {

using namespace std::chrono_literals;
constexpr const char* kTable = "qxlb";
constexpr const char* kChain = "faults";

bool Run(const std::string& program, const std::vector<std::string>& args,
         std::string* out = nullptr) {
  const ProgramResult result = RunProgram(program, args, {}, 10s);
  if (out != nullptr) *out = result.out;
  return result.exitCode == 0;
}

}  // namespace

std::string FindSystemProgram(const std::string& name) {
  for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
    const std::string path = dir + name;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

NetnsBridge::NetnsBridge(std::string tag, std::string workDir)
    : tag_(std::move(tag)), workDir_(std::move(workDir)) {}

NetnsBridge::~NetnsBridge() {
  const std::string ip = FindSystemProgram("ip");
  if (ip.empty()) return;
  // Deleting a namespace deletes its veth, and with it the peer in the hub.
  for (const std::string& netns : stations_) Run(ip, {"netns", "del", netns});
  if (!hub_.empty()) Run(ip, {"netns", "del", hub_});
}

void NetnsBridge::RemoveStale(const std::string& prefix) {
  const std::string ip = FindSystemProgram("ip");
  std::string list;
  if (ip.empty() || !Run(ip, {"netns", "list"}, &list)) return;
  std::istringstream lines(list);
  std::string line;
  while (std::getline(lines, line)) {
    const std::string name = line.substr(0, line.find(' '));
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    std::size_t end = prefix.size();
    while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end])) != 0) ++end;
    if (end == prefix.size() || end - prefix.size() > 9) continue;
    const auto pid = static_cast<pid_t>(std::stol(name.substr(prefix.size(), end - prefix.size())));
    // The run that made it is gone (its pid no longer names a process).
    if (::kill(pid, 0) != 0 && errno == ESRCH) Run(ip, {"netns", "del", name});
  }
}

bool NetnsBridge::Open(std::string* why) {
  const std::string ip = FindSystemProgram("ip");
  if (::geteuid() != 0) {
    *why = "needs root (network namespaces)";
    return false;
  }
  if (ip.empty() || FindSystemProgram("nft").empty()) {
    *why = "needs ip (iproute2) and nft (nftables)";
    return false;
  }
  const std::string hub = tag_ + "hub";
  if (!Run(ip, {"netns", "add", hub})) {
    *why = "ip netns add failed";
    return false;
  }
  hub_ = hub;
  if (!Run(ip, {"-n", hub_, "link", "add", "br0", "type", "bridge", "mcast_snooping", "0"}) ||
      !Run(ip, {"-n", hub_, "link", "set", "br0", "up"})) {
    *why = "no bridge in the hub namespace";
    return false;
  }
  const std::string nft = FindSystemProgram("nft");
  if (!Run(ip, {"netns", "exec", hub_, nft, "add", "table", "bridge", kTable}) ||
      !Run(ip, {"netns", "exec", hub_, nft, "add", "chain", "bridge", kTable, kChain,
                "{ type filter hook forward priority 0; policy accept; }"})) {
    *why = "nftables refused the bridge table (nf_tables, bridge family)";
    return false;
  }
  return true;
}

bool NetnsBridge::AddStation(int index, const std::string& addressWithPrefix, std::string* netns) {
  const std::string ip = FindSystemProgram("ip");
  const std::string name = tag_ + "s" + std::to_string(index);
  if (!Run(ip, {"netns", "add", name})) return false;
  stations_.push_back(name);
  indexes_.push_back(index);
  *netns = name;
  return Run(ip, {"link", "add", "v0", "netns", name, "type", "veth", "peer", "name",
                  PortName(index), "netns", hub_}) &&
         Run(ip, {"-n", hub_, "link", "set", PortName(index), "master", "br0", "up"}) &&
         // IPv4 only, so that the bytes a station sends are its agent's and ARP's, not IPv6's
         // router and listener messages.
         Run(ip, {"netns", "exec", name, "sh", "-c",
                  "echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6 && "
                  "echo 1 >/proc/sys/net/ipv6/conf/v0/disable_ipv6"}) &&
         Run(ip, {"-n", name, "addr", "add", addressWithPrefix, "dev", "v0"}) &&
         Run(ip, {"-n", name, "link", "set", "v0", "up"}) &&
         Run(ip, {"-n", name, "link", "set", "lo", "up"});
}

bool NetnsBridge::SetLoss(int percent) {
  lossPercent_ = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
  return ApplyRules();
}

bool NetnsBridge::SetSilenced(int index, bool silenced) {
  if (silenced) {
    silenced_.insert(index);
  } else {
    silenced_.erase(index);
  }
  return ApplyRules();
}

bool NetnsBridge::SetPortUp(int index, bool up) {
  return Run(FindSystemProgram("ip"),
             {"-n", hub_, "link", "set", PortName(index), up ? "up" : "down"});
}

bool NetnsBridge::SetStationLinkUp(int index, bool up) {
  for (std::size_t i = 0; i < indexes_.size(); ++i) {
    if (indexes_[i] == index) {
      return Run(FindSystemProgram("ip"),
                 {"-n", stations_[i], "link", "set", "v0", up ? "up" : "down"});
    }
  }
  return false;
}

std::optional<std::uint64_t> NetnsBridge::BytesFromStation(int index) const {
  std::string out;
  if (!Run(FindSystemProgram("ip"),
           {"netns", "exec", hub_, "cat",
            "/sys/class/net/" + PortName(index) + "/statistics/rx_bytes"},
           &out)) {
    return std::nullopt;
  }
  char* end = nullptr;
  const unsigned long long value = std::strtoull(out.c_str(), &end, 10);
  if (end == out.c_str()) return std::nullopt;
  return value;
}

// The whole chain is written again in one nft transaction, so a change is never half made.
bool NetnsBridge::ApplyRules() {
  const std::string file = workDir_ + "/rules.nft";
  {
    std::ofstream rules(file, std::ios::trunc);
    rules << "flush chain bridge " << kTable << " " << kChain << "\n";
    for (const int index : silenced_) {
      rules << "add rule bridge " << kTable << " " << kChain << " iifname \"" << PortName(index)
            << "\" drop\n";
      rules << "add rule bridge " << kTable << " " << kChain << " oifname \"" << PortName(index)
            << "\" drop\n";
    }
    // numgen's range is 0..99: a rule "< 100" would be refused, so all loss drops everything.
    if (lossPercent_ >= 100) {
      rules << "add rule bridge " << kTable << " " << kChain << " drop\n";
    } else if (lossPercent_ > 0) {
      rules << "add rule bridge " << kTable << " " << kChain << " numgen random mod 100 < "
            << lossPercent_ << " drop\n";
    }
    if (!rules) return false;
  }
  return Run(FindSystemProgram("ip"),
             {"netns", "exec", hub_, FindSystemProgram("nft"), "-f", file});
}

}  // namespace qx::testing
