// settings.h - the station's platform settings, read from the registry with defaults.
//
// Everything that the Linux carriage of the module needs beyond the design's own values lives
// under HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE (keys PLATFORM, RPC, RPC\PORTS, RPC\HOSTS,
// SECURITY). Each value comes from the registry or the station's settings file
// (protected_settings.h: what a station exposes only root may set). The RPC settings and the
// directory lists are read again only after the registry's content changed (a write by any
// process); the other readers read at each call. Any thread may call.
//
//   RpcSettings rpc = ReadRpcSettings();
//   std::uint16_t port = ServicePort("D41CAB86-77B0-4081-8404-E75568C24F98");
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx {

inline constexpr const char* kPlatformKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\PLATFORM";  // ComputerName, Domain
inline constexpr const char* kRpcKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\RPC";
inline constexpr const char* kRpcPortsKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\RPC\\PORTS";  // DWORD per service GUID
inline constexpr const char* kRpcHostsKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\RPC\\HOSTS";  // SZ address per host name
inline constexpr const char* kSecurityKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\SECURITY";  // LibraryDirs, FileRoots

inline constexpr const char* kServiceDiscovery = "E5C46732-E547-4867-9100-B99D57B8B2EC";
inline constexpr const char* kServiceProjectManager = "D41CAB86-77B0-4081-8404-E75568C24F98";
// Below Linux's ephemeral range (32768-60999), so that no outgoing connection holds them.
inline constexpr std::uint16_t kDefaultDiscoveryPort = 24781;
inline constexpr std::uint16_t kDefaultProjectManagerPort = 24782;

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

// The port of a service GUID (ignoring case); nullopt for an unknown GUID without an entry.
std::optional<std::uint16_t> ServicePort(std::string_view serviceGuid);
// The address of a host name from the registry's hosts table, if it has one.
std::optional<std::string> HostsTableAddress(std::string_view host);

// Directories from which REMOTECALL may load libraries, and roots below which OPENFILE and
// READFILE may read. Defaults, only while the value is absent: /usr/lib/qxremote/remotecall,
// and /var/lib/qxremote/projects. A value that cannot be read (of another type, or a registry
// failure) allows nothing, and so does an empty list.
std::vector<std::string> RemoteCallLibraryDirs();
std::vector<std::string> RemoteFileRoots();

}  // namespace qx
