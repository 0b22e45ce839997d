// liveness_view.cpp - the GetLiveness answer parsed and shown.
#include "liveness_view.h"

#include <charconv>

#include "common/text.h"
#include "output.h"
#include "xml/xml_element.h"

namespace qxstation {
namespace {

std::optional<std::uint64_t> Number(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string Value(const LivenessView& live, std::string_view name) {
  for (const auto& [key, value] : live.values) {
    if (key == name) return value;
  }
  return "?";
}

}  // namespace

std::optional<LivenessView> ParseLiveness(std::string_view xml) {
  qx::CXmlElement root;
  if (!root.LoadXml(xml) || !qx::IEquals(root.GetName(), "Liveness")) return std::nullopt;
  LivenessView live;
  root.ForEachAttribute([&live](std::string_view name, std::string_view value) {
    if (live.values.size() >= 64) return false;
    if (name == "Host") {
      live.host = value;
    } else {
      live.values.emplace_back(name, value);
    }
    return true;
  });
  qx::CXmlElement::ChildList peers;
  qx::CXmlElement peer;
  root.GetChildList(&peers);
  while (live.peers.size() < kMaxEntries && root.NextChild(&peers, "Peer", &peer)) {
    LivenessPeer entry;
    entry.host = peer.GetAttribute("Host");
    entry.state = peer.GetAttribute("State");
    entry.sinceHeardMs = Number(peer.GetAttribute("SinceHeardMs"));
    live.peers.push_back(std::move(entry));
  }
  return live;
}

std::optional<LivenessView> LoadLiveness() {
  const ModuleAnswer answer = CallDiscoverCommand("<GetLiveness/>");
  if (answer.hr < 0 || !answer.text) return std::nullopt;
  return ParseLiveness(*answer.text);
}

void ApplyLiveness(const LivenessView& live, std::vector<HostEntry>* hosts) {
  for (HostEntry& host : *hosts) {
    host.state = qx::IEquals(host.name, live.host) ? "this station" : "silent";
    host.sinceHeardMs.reset();
    for (const LivenessPeer& peer : live.peers) {
      if (!qx::IEquals(peer.host, host.name)) continue;
      host.state = peer.state;
      host.sinceHeardMs = peer.sinceHeardMs;
    }
  }
}

std::string HeardText(const std::optional<std::uint64_t>& sinceHeardMs) {
  if (!sinceHeardMs) return "-";
  const std::uint64_t ms = *sinceHeardMs;
  if (ms < 10000) return qx::Format("%.1f s ago", static_cast<double>(ms) / 1000.0);
  if (ms < 120000) return qx::Format("%llu s ago", static_cast<unsigned long long>(ms / 1000));
  return qx::Format("%llu min ago", static_cast<unsigned long long>(ms / 60000));
}

nlohmann::json LivenessJson(const LivenessView& live) {
  nlohmann::json json = nlohmann::json::object();
  for (const auto& [key, value] : live.values) {
    const std::optional<std::uint64_t> number = Number(value);
    std::string name = key;
    if (!name.empty())
      name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
    json[name] = number ? nlohmann::json(*number) : nlohmann::json(value);
  }
  json["peers"] = live.peers.size();
  return json;
}

std::string LivenessSummary(const LivenessView& live) {
  return "heartbeat " + Value(live, "HeartbeatIntervalMs") + " ms (now " +
         Value(live, "IntervalMs") + " ms), suspect after " + Value(live, "SuspectAfterMs") +
         " ms, " + Value(live, "ProbeAttempts") + " probes " + Value(live, "ProbeIntervalMs") +
         " ms apart; " + std::to_string(live.peers.size()) + " peers, " + Value(live, "Suspected") +
         " suspected, " + Value(live, "Recovered") + " recovered, " + Value(live, "Removed") +
         " removed, " + Value(live, "Fetches") + " fetched, " + Value(live, "LeavesIgnored") +
         " stale leaves ignored";
}

}  // namespace qxstation
