// environment.h - where this station keeps its registry and runtime files, and who we are.
//
// Three environment variables say where a station lives, so that several stations can run on
// one machine: QX_REGISTRY (the registry database, default /var/lib/qxremote/registry.db),
// QX_RUNTIME_DIR (sockets of the station, default /run/qxremote) and QX_CONFIG_DIR (what only
// root may change: the settings file qxremote.conf and the key ring cluster.keys). Without
// QX_CONFIG_DIR a station whose QX_REGISTRY is set keeps them beside its registry; the
// machine's station keeps them in /etc/qxremote. Any thread may call.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace qx {

std::string RegistryPath();
std::string RuntimeDir();
std::string ConfigDir();
// Where the station's logs go (the audit trail's file): /var/log/qxremote for the machine's
// station; beside its registry for a station whose QX_REGISTRY is set, as with ConfigDir.
std::string LogDir();
// Creates the runtime directory (mode 0750, group qxadmin when the group exists) when missing;
// false when it cannot.
bool EnsureRuntimeDir();
// The group of the station's own users ("qxadmin"), whose members may use the station's
// sockets and read its key ring; nullopt when this machine has no such group.
std::optional<std::uint32_t> AdminGroupId();
// mkdir -p: creates every missing directory of path (absolute or relative to the working
// directory) with exactly mode, whatever the umask; true when path then is a directory.
bool MakeDirectories(const std::string& path, std::uint32_t mode);
// Full path of the running executable (the RPC client name, host identification).
std::string ExecutablePath();

// How long one call to another local process (the agent's multicast component, the project
// manager) may take as a whole. The RPC layer's reader of its setting CallTimeoutMs is
// handed in when the station's layers are connected; without one it is 30 s.
using CallTimeoutSource = std::uint32_t (*)();
void SetLocalCallTimeoutSource(CallTimeoutSource source);
std::chrono::milliseconds LocalCallTimeout();

}  // namespace qx
