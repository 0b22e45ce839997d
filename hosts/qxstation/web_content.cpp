// web_content.cpp - the web view's JSON and the tree's metrics.
#include "web_content.h"

#include <array>

#include "common/text.h"
#include "liveness_view.h"

namespace qxstation {
namespace {

// The liveness states of liveness_view.h; "this station" is labelled "self".
constexpr std::array<const char*, 7> kHostStates = {"alive", "suspect", "confirming", "silent",
                                                    "self",  "unknown", "other"};
constexpr std::array<const char*, 4> kProjectStates = {"run-time", "configuration", "none",
                                                       "other"};

nlohmann::json HostRecord(const HostEntry& host) {
  nlohmann::json json = {{"name", host.name},       {"domain", host.domain},
                         {"address", host.address}, {"user", host.user},
                         {"version", host.version}, {"projectCount", host.projectCount}};
  if (!host.state.empty()) json["state"] = host.state;
  if (host.sinceHeardMs) {
    json["sinceHeardMs"] = *host.sinceHeardMs;
    json["lastHeard"] = HeardText(host.sinceHeardMs);
  }
  return json;
}

nlohmann::json ProjectRecord(const ProjectEntry& project) {
  return {{"dsn", project.dsn},     {"name", project.name}, {"type", project.type},
          {"state", project.state}, {"host", project.host}, {"server", project.server}};
}

// Index of the label of state in labels (IEquals); the index of "other" when none matches.
template <std::size_t N>
std::size_t LabelIndex(std::string_view state, const std::array<const char*, N>& labels) {
  for (std::size_t i = 0; i < N; ++i) {
    if (qx::IEquals(state, labels[i])) return i;
  }
  return N - 1;
}

std::size_t HostStateIndex(std::string_view state) {
  if (state.empty()) return 5;
  if (qx::IEquals(state, "this station")) return 4;
  return LabelIndex(state, kHostStates);
}

std::size_t ProjectStateIndex(std::string_view state) {
  if (state.empty()) return 2;
  if (qx::IEquals(state, "RT") || qx::IEquals(state, "Run Time") || qx::IEquals(state, "RunTime") ||
      qx::IEquals(state, "run-time")) {
    return 0;
  }
  if (qx::IEquals(state, "CS") || qx::IEquals(state, "Configuration")) return 1;
  return 3;
}

template <std::size_t N>
void Family(std::string* out, const char* name, const char* help,
            const std::array<const char*, N>& labels, const std::array<std::size_t, N>& counts) {
  out->append("# HELP ").append(name).append(" ").append(help).append("\n");
  out->append("# TYPE ").append(name).append(" gauge\n");
  for (std::size_t i = 0; i < N; ++i) {
    out->append(name).append("{state=\"").append(labels[i]).append("\"} ");
    out->append(std::to_string(counts[i])).append("\n");
  }
}

}  // namespace

std::string WebJsonText(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json WebTreeJson(const NetworkView& view) {
  nlohmann::json domains = nlohmann::json::array();
  for (const DomainEntry& domain : view.domains) domains.push_back(domain.name);
  nlohmann::json hosts = nlohmann::json::array();
  for (const HostEntry& host : view.hosts) hosts.push_back(HostRecord(host));
  nlohmann::json projects = nlohmann::json::array();
  for (const ProjectEntry& project : view.projects) projects.push_back(ProjectRecord(project));
  return {{"domains", std::move(domains)},
          {"hosts", std::move(hosts)},
          {"projects", std::move(projects)}};
}

std::optional<nlohmann::json> WebHostJson(const NetworkView& view, std::string_view name) {
  for (const HostEntry& host : view.hosts) {
    if (!qx::IEquals(host.name, name)) continue;
    nlohmann::json json = HostRecord(host);
    json["mask"] = host.mask;
    json["build"] = host.build;
    json["path"] = host.path;
    nlohmann::json projects = nlohmann::json::array();
    for (const ProjectEntry& project : view.projects) {
      if (qx::IEquals(project.host, name)) projects.push_back(ProjectRecord(project));
    }
    json["projects"] = std::move(projects);
    return json;
  }
  return std::nullopt;
}

nlohmann::json WebProjectJson(const NetworkView& view, std::string_view dsn) {
  nlohmann::json found = nlohmann::json::array();
  for (const ProjectEntry& project : view.projects) {
    if (qx::IEquals(project.dsn, dsn)) found.push_back(ProjectRecord(project));
  }
  return {{"dsn", dsn}, {"projects", std::move(found)}};
}

std::string HostStateLabel(std::string_view state) { return kHostStates[HostStateIndex(state)]; }

std::string ProjectStateLabel(std::string_view state) {
  return kProjectStates[ProjectStateIndex(state)];
}

std::string TreeMetricsText(const NetworkView& view) {
  std::array<std::size_t, kHostStates.size()> hosts{};
  std::array<std::size_t, kProjectStates.size()> projects{};
  for (const HostEntry& host : view.hosts) ++hosts[HostStateIndex(host.state)];
  for (const ProjectEntry& project : view.projects) ++projects[ProjectStateIndex(project.state)];
  std::string out;
  out.reserve(1024);
  out += "# HELP qxremote_tree_domains Domains in this station's network tree.\n";
  out += "# TYPE qxremote_tree_domains gauge\n";
  out += "qxremote_tree_domains " + std::to_string(view.domains.size()) + "\n";
  Family(&out, "qxremote_tree_hosts", "Hosts in this station's network tree, by state.",
         kHostStates, hosts);
  Family(&out, "qxremote_tree_projects", "Projects in this station's network tree, by state.",
         kProjectStates, projects);
  return out;
}

}  // namespace qxstation
