// environment.h - where this station keeps its registry and runtime files, and who we are.
//
// Only two environment variables exist: QX_REGISTRY (the registry database, default
// /var/lib/qxremote/registry.db) and QX_RUNTIME_DIR (sockets of the station, default
// /run/qxremote), so that several stations can run on one machine. Any thread may call.
#pragma once

#include <string>

namespace qx {

std::string RegistryPath();
std::string RuntimeDir();
// Creates the runtime directory (mode 0750) when missing; false when it cannot.
bool EnsureRuntimeDir();
// Full path of the running executable (the RPC client name, host identification).
std::string ExecutablePath();

}  // namespace qx
