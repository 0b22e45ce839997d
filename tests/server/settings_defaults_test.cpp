// The defaults that qxstation config shows for the known settings: they must be what the
// readers use, and each must be a value the table would accept.
#include "server/settings_defaults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "discovery/liveness.h"
#include "messaging/multicast_transport.h"
#include "rpc/rpc_settings.h"
#include "server/audit_trail.h"
#include "server/path_settings.h"
#include "server/remote_server.h"

namespace qx {
namespace {

std::string Key(const std::string& relative) {
  return std::string(kSettingsBaseKey) + "\\" + relative;
}

// config and export show the table's defaults: they must be what the readers use.
TEST(KnownSettings, DefaultsAreTheReadersDefaults) {
  const RpcSettings rpc;
  const MulticastSettings multicast;
  const LivenessSettings liveness;
  const struct {
    const char* key;
    const char* name;
    std::string value;
  } cases[] = {
      {"RPC", "ListenAddress", rpc.listenAddress},
      {"RPC", "ConnectTimeoutMs", std::to_string(rpc.connectTimeoutMs)},
      {"RPC", "CallTimeoutMs", std::to_string(rpc.callTimeoutMs)},
      {"RPC", "ServerThreads", std::to_string(rpc.serverThreads)},
      {"RPC", "MaxFrameBytes", std::to_string(rpc.maxFrameBytes)},
      {"RPC", "ReadFileLimit", std::to_string(rpc.readFileLimit)},
      {"RPC", "IdleConnectionMs", std::to_string(rpc.idleConnectionMs)},
      {"RPC", "BufferBudgetBytes", std::to_string(rpc.bufferBudgetBytes)},
      {"RPC", "StopGraceMs", std::to_string(rpc.stopGraceMs)},
      {"RPC", "HandlerThreads", std::to_string(rpc.handlerThreads)},
      {"RPC", "HandlerQueue", std::to_string(rpc.handlerQueue)},
      {"RPC\\PORTS", kServiceDiscovery, std::to_string(kDefaultDiscoveryPort)},
      {"RPC\\PORTS", kServiceProjectManager, std::to_string(kDefaultProjectManagerPort)},
      {"SECURITY", "LibraryDirs", kDefaultLibraryDir},
      {"SECURITY", "FileRoots", kDefaultFileRoot},
      {"MULTICAST", "Group", multicast.group},
      {"MULTICAST", "Port", std::to_string(multicast.port)},
      {"MULTICAST", "Interface", multicast.interfaceAddress},
      {"MULTICAST", "DatagramBytes", std::to_string(multicast.datagramBytes)},
      {"MULTICAST", "ReceiveBufferBytes", std::to_string(multicast.receiveBufferBytes)},
      {"MULTICAST", "MaxMessageBytes", std::to_string(multicast.maxMessageBytes)},
      {"MULTICAST", "IncompleteExpiryMs", std::to_string(multicast.incompleteExpiryMs)},
      {"MULTICAST", "QueueDatagrams", std::to_string(multicast.queueDatagrams)},
      {"MULTICAST", "Relay", "0"},
      {"MULTICAST", "PeersResolveMs", "30000"},
      {"MULTICAST", "HeartbeatIntervalMs", std::to_string(liveness.heartbeatInterval.count())},
      {"MULTICAST", "SuspectAfterMs", std::to_string(liveness.suspectAfter.count())},
      {"MULTICAST", "ProbeIntervalMs", std::to_string(liveness.probeInterval.count())},
      {"MULTICAST", "ProbeAttempts", std::to_string(liveness.probeAttempts)},
      {"MULTICAST", "ReceiveBudgetBitsPerSecond",
       std::to_string(liveness.receiveBudgetBitsPerSecond)},
      {"MULTICAST", "MaxPeers", std::to_string(liveness.maxPeers)},
      {"MULTICAST", "Peers", ""},
      {"STORAGE", "CleanRegistry", std::to_string(kDefaultWatchPeriodMs)},
      {"AUDIT", "MaxBytes", std::to_string(kDefaultAuditMaxBytes)},
      {"AUDIT", "KeepFiles", std::to_string(kDefaultAuditKeepFiles)},
      // Values the station decides have no default text.
      {"PLATFORM", "ComputerName", ""},
      {"MULTICAST", "UnicastAddress", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "\\" + c.name);
    const KnownSetting* known = FindKnownSetting(Key(c.key), c.name);
    ASSERT_NE(known, nullptr);
    EXPECT_EQ(KnownSettingDefault(*known), c.value);
  }
}

// A default written into the registry or the settings file as shown must be accepted by the
// checks of a write.
TEST(KnownSettings, EveryDefaultFitsItsSetting) {
  for (const KnownSetting& setting : KnownSettings()) {
    const std::string text = KnownSettingDefault(setting);
    if (text.empty()) continue;
    SCOPED_TRACE(std::string(setting.key) + "\\" + setting.name + " = " + text);
    RegValue value;
    if (setting.type == RegType::kDword) {
      // A default that depends on the station ("0 (1 in network mode)") is shown, not written.
      if (!std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(c) != 0; })) {
        continue;
      }
      value = RegValue::Dword(static_cast<std::uint32_t>(std::stoul(text)));
    } else if (setting.type == RegType::kMultiSz) {
      value = RegValue::MultiString({text});
    } else {
      value = RegValue::String(text);
    }
    EXPECT_EQ(CheckKnownValue(setting, value), std::nullopt);
  }
}

}  // namespace
}  // namespace qx
