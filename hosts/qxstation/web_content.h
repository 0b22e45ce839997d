// web_content.h - what the web view serves, made from the network tree: JSON and metrics.
//
// Pure functions of a NetworkView (any thread). Every name in them came from a peer: the JSON
// is made with nlohmann::json, whose text escapes quotes, backslashes and control characters,
// and WebJsonText replaces bytes that are not UTF-8 rather than throwing, so that no name can
// break the answer or the page that reads it. The page shows the names as text. The metrics
// carry no peer's name: hosts and projects are counted by state, and a state a peer made up
// counts as "other", so that the series stay few.
//
//   std::string body = WebJsonText(WebTreeJson(view));
//   std::string metrics = TreeMetricsText(view);
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "network_view.h"

namespace qxstation {

// The JSON text of value; bytes that are not UTF-8 become U+FFFD.
std::string WebJsonText(const nlohmann::json& value);

// {"domains": [NAME...], "hosts": [{name, domain, address, user, version, projectCount,
// state?, lastHeard?}...], "projects": [{dsn, name, type, state, host, server}...]}, flat so that
// the page filters without walking a tree. Linear in hosts and projects.
nlohmann::json WebTreeJson(const NetworkView& view);
// One host with its projects, or nullopt when the tree has no host of that name.
std::optional<nlohmann::json> WebHostJson(const NetworkView& view, std::string_view name);
// The projects of that DSN (one per host that runs it): state and serving station.
nlohmann::json WebProjectJson(const NetworkView& view, std::string_view dsn);

// The label of a host's liveness state: alive, suspect, confirming, silent, self (this
// station), unknown (no state told) or other; and of a project's state: run-time, configuration,
// none or other.
std::string HostStateLabel(std::string_view state);
std::string ProjectStateLabel(std::string_view state);

// qxremote_tree_domains, qxremote_tree_hosts{state} and qxremote_tree_projects{state} in the
// text exposition format, every label of the fixed sets present (0 when none).
std::string TreeMetricsText(const NetworkView& view);

}  // namespace qxstation
