// liveness_view.h - what the station's liveness extension says of the other stations, read for
// people: the answer of the discovery service's local command GetLiveness, parsed.
//
// The answer is hostile until parsed: at most kMaxEntries peers are taken, every attribute is
// read as text and numbers that do not parse read as absent. A host of the tree that is not
// among the peers sends no heartbeat (it speaks only the original protocol, or the answer could
// not be had): its state is "silent" and it is never removed for silence. The records are
// values; any thread.
//
//   if (auto live = LoadLiveness()) ApplyLiveness(*live, &view.hosts);
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "network_view.h"

namespace qxstation {

struct LivenessPeer {
  std::string host, state;
  std::optional<std::uint64_t> sinceHeardMs;
};

struct LivenessView {
  std::string host;  // this station
  // The settings and counters, as named in the answer, in its order.
  std::vector<std::pair<std::string, std::string>> values;
  std::vector<LivenessPeer> peers;
};

std::optional<LivenessView> ParseLiveness(std::string_view xml);
// Asks this station's discovery service; nullopt when it does not answer (no agent, or a
// station without the extension).
std::optional<LivenessView> LoadLiveness();
// Sets state and sinceHeardMs of every host: its peer's, "this station" for the station
// itself, "silent" for the others.
void ApplyLiveness(const LivenessView& live, std::vector<HostEntry>* hosts);
// "0.4 s ago", "12 s ago", "3 min ago"; "-" when unknown.
std::string HeardText(const std::optional<std::uint64_t>& sinceHeardMs);
// The settings and counters as a JSON object of numbers (texts where they are no number).
nlohmann::json LivenessJson(const LivenessView& live);
// One line for status: "heartbeat 1000 ms (now 1000 ms), suspect after 1500 ms, ...".
std::string LivenessSummary(const LivenessView& live);

}  // namespace qxstation
