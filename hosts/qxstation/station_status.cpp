// station_status.cpp - the state of this station at a glance.
#include "station_status.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "common/text.h"
#include "failures.h"
#include "keys/cluster_keys.h"
#include "liveness_view.h"
#include "messaging/multicast_settings.h"
#include "messaging/netqxkomm.h"
#include "messaging/netqxkomm_station.h"
#include "messaging/project_manager_link.h"
#include "network_view.h"
#include "output.h"
#include "platform/environment.h"
#include "platform/network_interfaces.h"
#include "platform/process_facts.h"
#include "platform/unix_socket.h"
#include "registry/store/settings_file.h"
#include "registry_commands.h"
#include "rpc/rpc_settings.h"
#include "web_options.h"

namespace qxstation {
namespace {

// The agent's process as its socket tells (SO_PEERCRED) and /proc shows it.
struct AgentProcess {
  pid_t pid = 0;
  std::string executable;
  std::optional<std::uint64_t> uptimeSeconds;
  std::optional<std::uint64_t> memoryBytes;  // resident
  std::string version;                       // of the core library it runs; empty: unknown
};

std::optional<AgentProcess> FindAgentProcess() {
  namespace us = qx::unix_socket;
  const us::UniqueFd fd = us::ConnectWithin(
      qx::NetQXKommSocketPath(), std::chrono::steady_clock::now() + std::chrono::seconds(1));
  if (!fd) return std::nullopt;
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.pid <= 0) {
    return std::nullopt;
  }
  AgentProcess process;
  process.pid = peer.pid;
  const std::string dir = "/proc/" + std::to_string(peer.pid);
  char exe[4096];
  const ssize_t length = readlink((dir + "/exe").c_str(), exe, sizeof exe - 1);
  if (length > 0) process.executable.assign(exe, static_cast<std::size_t>(length));
  const qx::ProcessFacts facts = qx::ReadProcessFacts(dir);
  if (facts.uptimeSeconds) process.uptimeSeconds = static_cast<std::uint64_t>(*facts.uptimeSeconds);
  process.memoryBytes = facts.residentBytes;
  // The version the agent runs (after an upgrade, the one it started with): its mapped core
  // library's name, libqxremotecore.so.X.Y.Z.
  const std::string maps = qx::ReadProcText(dir + "/maps", 1u << 20);
  constexpr std::string_view kCore = "/libqxremotecore.so.";
  const std::size_t at = maps.find(kCore);
  if (at != std::string::npos) {
    const std::size_t start = at + kCore.size();
    const std::size_t end = maps.find_first_not_of("0123456789.", start);
    process.version = maps.substr(start, std::min<std::size_t>(end, maps.size()) - start);
    if (process.version.size() > 32) process.version.clear();
  }
  return process;
}

bool IsAddressOfThisMachine(const std::string& address) {
  const std::optional<std::uint32_t> parsed = qx::ParseIpv4Text(address);
  if (!parsed) return false;
  if (*parsed == 0 || (*parsed >> 24) == 127) return true;
  std::string error;
  const auto all = qx::EnumerateInterfaces(&error);
  if (!all) return true;  // cannot tell: no warning
  for (const qx::InterfaceInfo& one : *all) {
    if (one.address == *parsed) return true;
  }
  return false;
}

// The settings that cannot work, one line each with the fix.
std::vector<std::string> SettingWarnings(const qx::RpcSettings& rpc, bool multicastRead,
                                         const qx::MulticastSettings& multicast) {
  std::vector<std::string> warnings;
  const std::string file = qx::SettingsFile::StationPath();
  if (const std::optional<std::string> damage = RegistryDamage()) warnings.push_back(*damage);
  if (multicastRead && !qx::IsLocalMulticastMode(multicast)) {
    if (multicast.ttl == 0) {
      warnings.push_back(
          "MULTICAST\\TTL is 0 in network mode: no datagram leaves this machine, so no other "
          "station sees this one; set TTL = 1 in [MULTICAST] of " +
          file + " (or remove it)");
    }
    if (!multicast.interfacesError.empty()) {
      warnings.push_back(multicast.interfacesError +
                         ": the station announces on no interface; correct it in [MULTICAST] of " +
                         file);
    } else {
      std::string error;
      const auto all = qx::EnumerateInterfaces(&error);
      if (all && qx::SelectInterfaces(*all, multicast.interfaces).empty()) {
        std::string names;
        for (const qx::InterfaceInfo& one : *all) {
          names += (names.empty() ? "" : ", ") + one.name + " " + one.AddressText();
        }
        warnings.push_back(
            "MULTICAST\\Interfaces selects no interface of this machine (it has " + names +
            "): the station announces nowhere; name one in Interfaces in [MULTICAST] of " + file);
      }
    }
  }
  if (!IsAddressOfThisMachine(rpc.listenAddress)) {
    warnings.push_back("RPC\\ListenAddress " + rpc.listenAddress +
                       " is no address of this machine: the services cannot listen; set one of "
                       "its addresses in [RPC] of " +
                       file);
  }
  qx::KeyRing ring;
  if (qx::ReadKeyRing(qx::KeyRingPath(), &ring, nullptr) == qx::KeyRingStatus::kOk) {
    if (ring.InUse() == nullptr) {
      warnings.push_back(
          "no cluster key is in use: the station sends nothing; qxstation key use "
          "ID (qxstation key list shows the keys)");
    } else if (!ring.NetworkReady() && !IsLoopbackAddress(rpc.listenAddress)) {
      warnings.push_back(
          "the cluster key in use was made by this machine, so no other station has it, and "
          "ListenAddress is not loopback: install one key everywhere (qxstation key generate, "
          "then qxstation key install - and key use ID on every station)");
    }
  }
  return warnings;
}

// The agent's counts of the datagrams it dropped, asked over the component's socket.
bool AgentCounters(qx::MulticastCounters* counters) {
  std::unique_ptr<qx::INetQXKomm> component;
  if (qx::CreateNetQXKomm(&component) < 0 || !component) return false;
  qx::AnswerText answer;
  return component->LocalRequest(qx::kMulticastCountersRequest, &answer) >= 0 && answer &&
         qx::ParseMulticastCountersAnswer(*answer, counters);
}

// The key in use as "1a2b3c4d (installed)", or why it cannot be told.
std::string KeyInUse() {
  qx::KeyRing ring;
  std::string error;
  const qx::KeyRingStatus status = qx::ReadKeyRing(qx::KeyRingPath(), &ring, &error);
  if (status == qx::KeyRingStatus::kDenied) return "cannot be read by this user";
  if (status == qx::KeyRingStatus::kMissing) return "none (no key ring " + qx::KeyRingPath() + ")";
  if (status != qx::KeyRingStatus::kOk) return "cannot be read: " + error;
  const qx::ClusterKey* key = ring.InUse();
  if (key == nullptr) return "none";
  return qx::KeyIdText(key->id) + (key->installed ? " (installed)" : " (made by this machine)");
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
  const bool multicastRead =
      qx::ReadMulticastSettings(rpc.listenAddress, &multicast, &multicastError);
  if (!multicastRead && RegistryDamage()) multicastError = "the registry is damaged (see below)";
  const bool local = IsLoopbackAddress(rpc.listenAddress) && (!multicastRead || multicast.ttl == 0);

  NetworkView view;
  LocalFailure failure;
  bool counted = false;
  if (agent) counted = LoadNetworkView(&view, /*withHostDetails=*/false, &failure) >= 0;
  std::size_t hosts = 0;
  for (const DomainEntry& domain : view.domains) hosts += domain.hosts.size();

  const std::vector<std::string> warnings = SettingWarnings(rpc, multicastRead, multicast);
  const std::optional<AgentProcess> process = agent ? FindAgentProcess() : std::nullopt;
  const std::string keyInUse = KeyInUse();
  qx::MulticastCounters dropped{};
  const bool droppedRead = agent && AgentCounters(&dropped);
  const std::optional<LivenessView> live = agent ? LoadLiveness() : std::nullopt;
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
                             {"unicastAddress", multicast.unicastAddress},
                             {"peers", multicast.peers},
                             {"relay", multicast.relay}};
      if (droppedRead) status["multicast"]["relayed"] = dropped.relayed;
    } else {
      status["multicast"] = nullptr;
    }
    status["warnings"] = warnings;
    if (droppedRead) {
      status["dropped"] = {{"unopenable", dropped.unopenable},
                           {"foreignKey", dropped.foreignKey},
                           {"replayed", dropped.replayed},
                           {"malformed", dropped.malformed},
                           {"queueFull", dropped.queueDrops}};
    } else {
      status["dropped"] = nullptr;
    }
    status["liveness"] = live ? LivenessJson(*live) : nlohmann::json(nullptr);
    status["key"] = keyInUse;
    if (process) {
      status["agent"]["pid"] = process->pid;
      status["agent"]["executable"] = process->executable;
      status["agent"]["version"] =
          process->version.empty() ? nlohmann::json(nullptr) : nlohmann::json(process->version);
      status["agent"]["uptimeSeconds"] =
          process->uptimeSeconds ? nlohmann::json(*process->uptimeSeconds) : nullptr;
      status["agent"]["memoryBytes"] =
          process->memoryBytes ? nlohmann::json(*process->memoryBytes) : nullptr;
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
    if (process) {
      std::string text = qx::Format("pid %d", static_cast<int>(process->pid));
      if (!process->executable.empty()) text += ", " + process->executable;
      if (!process->version.empty()) text += " " + process->version;
      if (process->uptimeSeconds) text += ", up " + ClockTime(*process->uptimeSeconds);
      if (process->memoryBytes) {
        text += ", memory " + WithThousands(*process->memoryBytes / 1024) + " KiB";
      }
      fields.push_back({"Process", text});
    }
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
    if (multicastRead && (!multicast.peers.empty() || multicast.relay)) {
      std::string peers;
      for (const std::string& peer : multicast.peers) peers += (peers.empty() ? "" : " ") + peer;
      if (peers.empty()) peers = "none";
      if (multicast.relay) {
        peers += droppedRead ? qx::Format(" (relay, %llu datagrams carried)",
                                          static_cast<unsigned long long>(dropped.relayed))
                             : std::string(" (relay)");
      }
      fields.push_back({"Peers", peers});
    }
    if (counted) {
      fields.push_back({"Tree", Counted(view.domains.size(), "domain", "domains") + ", " +
                                    Counted(hosts, "host", "hosts") + ", " +
                                    Counted(view.projects.size(), "project", "projects")});
    } else if (agent) {
      fields.push_back({"Tree", "cannot be read (" + HresultName(failure.hr) + ")"});
    }
    if (live) {
      fields.push_back({"Liveness", LivenessSummary(*live)});
    } else if (agent) {
      fields.push_back({"Liveness", "not running (no heartbeat; nobody is removed for silence)"});
    }
    fields.push_back({"Key", keyInUse});
    if (droppedRead) {
      fields.push_back(
          {"Dropped", qx::Format("%llu could not be opened, %llu with a foreign key, %llu replayed",
                                 static_cast<unsigned long long>(dropped.unopenable),
                                 static_cast<unsigned long long>(dropped.foreignKey),
                                 static_cast<unsigned long long>(dropped.replayed))});
    }
    PrintFields(fields, out);
    for (const std::string& warning : warnings) std::fprintf(out, "Warning: %s\n", warning.c_str());
  }
  if (!agent) return ReportNoStation(err);
  return kSuccess;
}

}  // namespace qxstation
