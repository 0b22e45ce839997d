// rpc_settings.h - the RPC layer's settings: the services' GUIDs and ports, the limits and
// timeouts of clients and servers, and the hosts table, read with their defaults.
//
// Keys HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE\RPC (the values of RpcSettings), RPC\PORTS
// (a DWORD port per service GUID) and RPC\HOSTS (an SZ address per host name); ListenAddress
// and the ports are root's alone (registry/store/protected_settings.h). A value that is missing,
// of another type or out of range keeps its default. RpcSettings are read again only after the
// registry's content or the settings file changed (registry/store/settings.h: SettingsCache);
// ports and hosts are read at each call. Any thread may call.
//
//   RpcSettings rpc = ReadRpcSettings();
//   std::uint16_t port = ServicePort(kServiceProjectManager).value_or(0);
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qx {

inline constexpr const char* kRpcKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\RPC";
inline constexpr const char* kRpcPortsKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\RPC\\PORTS";  // DWORD per service GUID
inline constexpr const char* kRpcHostsKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\RPC\\HOSTS";  // SZ address per host name

inline constexpr const char* kServiceDiscovery = "E5C46732-E547-4867-9100-B99D57B8B2EC";
inline constexpr const char* kServiceProjectManager = "D41CAB86-77B0-4081-8404-E75568C24F98";
inline constexpr std::uint16_t kDefaultDiscoveryPort = 24781;
inline constexpr std::uint16_t kDefaultProjectManagerPort = 24782;
// Below Linux's ephemeral range (32768-60999), so that no outgoing connection holds them, and
// above the well-known ports (0-1023).
static_assert(kDefaultDiscoveryPort > 1023 && kDefaultDiscoveryPort < 32768);
static_assert(kDefaultProjectManagerPort > 1023 && kDefaultProjectManagerPort < 32768);

struct RpcSettings {
  std::string listenAddress = "127.0.0.1";  // "ListenAddress"
  std::uint32_t connectTimeoutMs = 3000;    // "ConnectTimeoutMs"
  std::uint32_t callTimeoutMs = 30000;      // "CallTimeoutMs"
  std::uint32_t serverThreads = 8;          // "ServerThreads"
  std::uint32_t maxFrameBytes = 64u << 20;  // "MaxFrameBytes"
  std::uint32_t readFileLimit = 16u << 20;  // "ReadFileLimit": largest READFILE COUNT
  std::uint32_t idleConnectionMs = 30000;   // "IdleConnectionMs": kept client connections
  // Bytes of unfinished request frames that a server buffers across all its connections.
  std::uint32_t bufferBudgetBytes = 256u << 20;  // "BufferBudgetBytes"
  std::uint32_t stopGraceMs = 5000;              // "StopGraceMs": stop waits for handlers
  std::uint32_t handlerThreads = 8;              // "HandlerThreads": threads running handlers
  std::uint32_t handlerQueue = 64;               // "HandlerQueue": requests waiting for one
};
RpcSettings ReadRpcSettings();
// ReadRpcSettings().callTimeoutMs: also the platform's timeout of local calls.
std::uint32_t RpcCallTimeoutMs();

// The port of a service GUID (ignoring case); nullopt for an unknown GUID without an entry.
std::optional<std::uint16_t> ServicePort(std::string_view serviceGuid);
// The address of a host name from the registry's hosts table, if it has one.
std::optional<std::string> HostsTableAddress(std::string_view host);

}  // namespace qx
