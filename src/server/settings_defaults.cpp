// settings_defaults.cpp - the defaults of settings_defaults.h, one row per known setting that has
// a default of its own.
#include "server/settings_defaults.h"

#include <cstdint>
#include <vector>

#include "common/text.h"
#include "discovery/liveness.h"
#include "messaging/multicast_transport.h"
#include "rpc/rpc_settings.h"
#include "server/audit_trail.h"
#include "server/path_settings.h"
#include "server/remote_server.h"

namespace qx {
namespace {

struct SettingDefault {
  const char* key;  // below HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE, as in the known table
  const char* name;
  std::string text;
};

std::vector<SettingDefault> MakeDefaults() {
  const RpcSettings rpc;
  const MulticastSettings multicast;
  const LivenessSettings liveness;
  const auto number = [](std::uint32_t value) { return std::to_string(value); };
  return {
      {"RPC", "ListenAddress", rpc.listenAddress},
      {"RPC", "ConnectTimeoutMs", number(rpc.connectTimeoutMs)},
      {"RPC", "CallTimeoutMs", number(rpc.callTimeoutMs)},
      {"RPC", "ServerThreads", number(rpc.serverThreads)},
      {"RPC", "MaxFrameBytes", number(rpc.maxFrameBytes)},
      {"RPC", "ReadFileLimit", number(rpc.readFileLimit)},
      {"RPC", "IdleConnectionMs", number(rpc.idleConnectionMs)},
      {"RPC", "BufferBudgetBytes", number(rpc.bufferBudgetBytes)},
      {"RPC", "StopGraceMs", number(rpc.stopGraceMs)},
      {"RPC", "HandlerThreads", number(rpc.handlerThreads)},
      {"RPC", "HandlerQueue", number(rpc.handlerQueue)},
      {"RPC\\PORTS", kServiceDiscovery, number(kDefaultDiscoveryPort)},
      {"RPC\\PORTS", kServiceProjectManager, number(kDefaultProjectManagerPort)},
      {"SECURITY", "LibraryDirs", kDefaultLibraryDir},
      {"SECURITY", "FileRoots", kDefaultFileRoot},
      {"MULTICAST", "Group", multicast.group},
      {"MULTICAST", "Port", number(multicast.port)},
      {"MULTICAST", "Interface", multicast.interfaceAddress},
      // The reader picks the TTL by the mode when it is absent (multicast_settings.h).
      {"MULTICAST", "TTL", "0 (1 in network mode)"},
      {"MULTICAST", "DatagramBytes", number(multicast.datagramBytes)},
      {"MULTICAST", "ReceiveBufferBytes", number(multicast.receiveBufferBytes)},
      {"MULTICAST", "MaxMessageBytes", number(multicast.maxMessageBytes)},
      {"MULTICAST", "IncompleteExpiryMs", number(multicast.incompleteExpiryMs)},
      {"MULTICAST", "QueueDatagrams", number(multicast.queueDatagrams)},
      {"MULTICAST", "Relay", number(multicast.relay ? 1 : 0)},
      {"MULTICAST", "PeersResolveMs", number(multicast.peersResolveMs)},
      {"MULTICAST", "HeartbeatIntervalMs",
       number(static_cast<std::uint32_t>(liveness.heartbeatInterval.count()))},
      {"MULTICAST", "SuspectAfterMs",
       number(static_cast<std::uint32_t>(liveness.suspectAfter.count()))},
      {"MULTICAST", "ProbeIntervalMs",
       number(static_cast<std::uint32_t>(liveness.probeInterval.count()))},
      {"MULTICAST", "ProbeAttempts", number(liveness.probeAttempts)},
      {"MULTICAST", "ReceiveBudgetBitsPerSecond", number(liveness.receiveBudgetBitsPerSecond)},
      {"MULTICAST", "MaxPeers", number(static_cast<std::uint32_t>(liveness.maxPeers))},
      // The diagnosis library's (diagnosis_object.cpp, log_writer.cpp).
      {"DIAGNOSIS", "TypeMask", "4294967295"},
      {"DIAGNOSIS", "LevelMask", "1"},
      {"DIAGNOSIS", "LogFile", "/var/log/qxremote/qxdiagnosis.log"},
      {"DIAGNOSIS", "LogFileLimit", "10485760"},
      {"STORAGE", "CleanRegistry", number(kDefaultWatchPeriodMs)},
      {"AUDIT", "Destination", "auto"},
      {"AUDIT", "File", std::string("/var/log/qxremote/") + kDefaultAuditFileName},
      {"AUDIT", "MaxBytes", number(kDefaultAuditMaxBytes)},
      {"AUDIT", "KeepFiles", number(kDefaultAuditKeepFiles)},
  };
}

}  // namespace

std::string KnownSettingDefault(const KnownSetting& setting) {
  static const std::vector<SettingDefault> defaults = MakeDefaults();
  for (const SettingDefault& row : defaults) {
    if (IEquals(row.key, setting.key) && IEquals(row.name, setting.name)) return row.text;
  }
  return std::string();
}

}  // namespace qx
