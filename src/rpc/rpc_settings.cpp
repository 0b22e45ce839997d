// rpc_settings.cpp - the readers of rpc_settings.h on the store's typed reader; installs the
// RPC call timeout as the platform's timeout of local calls.
#include "rpc/rpc_settings.h"

#include <limits>

#include "common/text.h"
#include "platform/environment.h"
#include "registry/store/settings.h"

namespace qx {
namespace {

RpcSettings ReadRpcSettingsFromRegistry() {
  RpcSettings settings;
  const std::string_view key = kRpcKey;
  ReadTextSetting(key, "ListenAddress", &settings.listenAddress);
  ReadDwordSetting(key, "ConnectTimeoutMs", &settings.connectTimeoutMs);
  ReadDwordSetting(key, "CallTimeoutMs", &settings.callTimeoutMs);
  ReadDwordSetting(key, "ServerThreads", &settings.serverThreads, 1);
  ReadDwordSetting(key, "MaxFrameBytes", &settings.maxFrameBytes, 1);
  ReadDwordSetting(key, "ReadFileLimit", &settings.readFileLimit, 1);
  ReadDwordSetting(key, "IdleConnectionMs", &settings.idleConnectionMs);
  ReadDwordSetting(key, "BufferBudgetBytes", &settings.bufferBudgetBytes, 1);
  ReadDwordSetting(key, "StopGraceMs", &settings.stopGraceMs);
  ReadDwordSetting(key, "HandlerThreads", &settings.handlerThreads, 1);
  ReadDwordSetting(key, "HandlerQueue", &settings.handlerQueue);
  return settings;
}

}  // namespace

std::uint32_t RpcCallTimeoutMs() { return ReadRpcSettings().callTimeoutMs; }

RpcSettings ReadRpcSettings() {
  static SettingsCache<RpcSettings> cache(&ReadRpcSettingsFromRegistry);
  return cache.Get();
}

std::optional<std::uint16_t> ServicePort(std::string_view serviceGuid) {
  std::optional<std::uint16_t> port;
  if (IEquals(serviceGuid, kServiceDiscovery)) port = kDefaultDiscoveryPort;
  if (IEquals(serviceGuid, kServiceProjectManager)) port = kDefaultProjectManagerPort;
  if (serviceGuid.empty()) return port;
  const std::optional<RegValue> value =
      ReadSettingValue(kRpcPortsKey, serviceGuid, RegType::kDword);
  if (value && value->type == RegType::kDword &&
      value->dword <= std::numeric_limits<std::uint16_t>::max()) {
    port = static_cast<std::uint16_t>(value->dword);
  }
  return port;
}

std::optional<std::string> HostsTableAddress(std::string_view host) {
  if (host.empty()) return std::nullopt;
  const std::optional<RegValue> value = ReadSettingValue(kRpcHostsKey, host, RegType::kSz);
  if (!value || value->type != RegType::kSz || value->text.empty()) return std::nullopt;
  return value->text;
}

}  // namespace qx
