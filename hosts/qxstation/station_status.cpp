// station_status.cpp - the state of this station at a glance.
#include "station_status.h"

#include <arpa/inet.h>

#include <string>

#include "common/text.h"
#include "failures.h"
#include "network_view.h"
#include "output.h"
#include "platform/environment.h"
#include "platform/multicast_component.h"
#include "platform/project_manager_link.h"
#include "registry/store/multicast_settings.h"
#include "registry/store/settings.h"

namespace qxstation {
namespace {

bool IsLoopback(const std::string& address) {
  in_addr parsed{};
  return inet_pton(AF_INET, address.c_str(), &parsed) == 1 && (ntohl(parsed.s_addr) >> 24) == 127;
}

}  // namespace

int RunStatus(bool json, std::FILE* out, std::FILE* err) {
  const bool agent = AgentRuns();
  const bool projectManager = qx::ProjectManagerSocketAccepts();
  const qx::RpcSettings rpc = qx::ReadRpcSettings();
  const std::uint16_t discoveryPort =
      qx::ServicePort(qx::kServiceDiscovery).value_or(qx::kDefaultDiscoveryPort);
  const std::uint16_t managerPort =
      qx::ServicePort(qx::kServiceProjectManager).value_or(qx::kDefaultProjectManagerPort);
  qx::MulticastSettings multicast;
  std::string multicastError;
  const bool multicastRead = qx::ReadMulticastSettings(&multicast, &multicastError);
  const bool local = IsLoopback(rpc.listenAddress) && (!multicastRead || multicast.ttl == 0);

  NetworkView view;
  LocalFailure failure;
  bool counted = false;
  if (agent) counted = LoadNetworkView(&view, /*withHostDetails=*/false, &failure) >= 0;
  std::size_t hosts = 0;
  for (const DomainEntry& domain : view.domains) hosts += domain.hosts.size();

  const std::string registry = qx::RegistryPath();
  const std::string runtime = qx::RuntimeDir();
  if (json) {
    nlohmann::json status = {
        {"registry", registry},
        {"runtimeDir", runtime},
        {"agent", {{"running", agent}, {"socket", qx::NetQXKommSocketPath()}}},
        {"projectManager",
         {{"running", projectManager}, {"socket", qx::ProjectManagerSocketPath()}}},
        {"mode", local ? "local" : "network"},
        {"services",
         {{{"name", "discovery"},
           {"guid", qx::kServiceDiscovery},
           {"address", rpc.listenAddress},
           {"port", discoveryPort}},
          {{"name", "project-manager"},
           {"guid", qx::kServiceProjectManager},
           {"address", rpc.listenAddress},
           {"port", managerPort}}}}};
    if (multicastRead) {
      status["multicast"] = {{"group", multicast.group},
                             {"port", multicast.port},
                             {"interface", multicast.interfaceAddress},
                             {"ttl", multicast.ttl},
                             {"unicastAddress", multicast.unicastAddress}};
    } else {
      status["multicast"] = nullptr;
    }
    if (counted) {
      status["counts"] = {
          {"domains", view.domains.size()}, {"hosts", hosts}, {"projects", view.projects.size()}};
    } else {
      status["counts"] = nullptr;
    }
    WriteJson(status, out);
  } else {
    std::vector<std::pair<std::string, std::string>> fields;
    if (const std::optional<std::string> dir = StationDirectory())
      fields.push_back({"Station", *dir});
    fields.push_back({"Registry", registry});
    fields.push_back({"Runtime", runtime});
    fields.push_back(
        {"Agent", agent ? "running (" + qx::NetQXKommSocketPath() + " answers)"
                        : "not running (no answer on " + qx::NetQXKommSocketPath() + ")"});
    fields.push_back({"Project manager",
                      projectManager
                          ? "running (" + qx::ProjectManagerSocketPath() + " answers)"
                          : "not running (no answer on " + qx::ProjectManagerSocketPath() + ")"});
    fields.push_back({"Mode", local ? "local (loopback only)" : "network"});
    fields.push_back(
        {"Discovery", qx::Format("%s:%u (service %s)", rpc.listenAddress.c_str(),
                                 static_cast<unsigned>(discoveryPort), qx::kServiceDiscovery)});
    fields.push_back({"Project-manager",
                      qx::Format("%s:%u (service %s)", rpc.listenAddress.c_str(),
                                 static_cast<unsigned>(managerPort), qx::kServiceProjectManager)});
    fields.push_back(
        {"Multicast",
         multicastRead
             ? qx::Format("%s:%u on %s, TTL %u, unicast %s", multicast.group.c_str(),
                          static_cast<unsigned>(multicast.port), multicast.interfaceAddress.c_str(),
                          static_cast<unsigned>(multicast.ttl), multicast.unicastAddress.c_str())
             : "settings cannot be read: " + multicastError});
    if (counted) {
      fields.push_back({"Tree", Counted(view.domains.size(), "domain", "domains") + ", " +
                                    Counted(hosts, "host", "hosts") + ", " +
                                    Counted(view.projects.size(), "project", "projects")});
    } else if (agent) {
      fields.push_back({"Tree", "cannot be read (" + HresultName(failure.hr) + ")"});
    }
    PrintFields(fields, out);
  }
  if (!agent) return ReportNoStation(err);
  return kSuccess;
}

}  // namespace qxstation
