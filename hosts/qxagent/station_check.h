// station_check.h - what the agent sets up and checks before and after starting its servers.
//
// The runtime directory (QX_RUNTIME_DIR) is created, or made the agent's own again (mode 0750,
// group qxadmin); the registry (QX_REGISTRY) must open and pass a quick integrity check, and a
// settings file (ConfigDir()/qxremote.conf) that exists must be root's alone and readable, or
// the agent refuses to start (a station whose settings cannot be read would serve with
// defaults that its administrator never chose); and
// when a server cannot listen, the agent says which address and port it wanted and why that
// failed (taken by another process, not an address of this machine, ...). The module itself
// only answers E_FAIL, so the agent asks the operating system again. Any thread may call.
//
//   std::string error;
//   if (!CheckRegistry(&error)) { std::cerr << "qxagent: " << error << "\n"; return 1; }
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qxagent {

// Creates the runtime directory when missing; one that exists must belong to the agent's euid
// and lie below directories only root (or the euid) may write, and gets mode 0750 and group
// qxadmin (when the group exists) whatever it had. False with a message naming it, why, and
// what to do.
bool PrepareRuntimeDirectory(std::string* error);
// The agent's exit code when the registry cannot be read.
inline constexpr int kExitRegistryUnreadable = 3;

// Opens the registry database (created when missing: the agent owns it) and checks its
// integrity, then the settings file; false with a message naming the file and what is wrong
// with it (an empty file, not a registry database, damaged, cannot be opened or is locked; a
// settings file that others may write or that is not in the format).
bool CheckRegistry(std::string* error);

// The agent's exit code when the key ring cannot be read or made, or does not allow the
// listen address.
inline constexpr int kExitKeyRing = 5;

// Makes a key ring of an older version (0640) root's alone (0600); then reads the station's key
// ring, or makes one with a generated key at the first start; then
// checks that the RPC listen address fits it: an address beyond loopback needs a key that was
// installed on purpose (`qxstation key install`), since a generated key is known to this machine
// only. False with a message that says what to do.
bool CheckKeyRing(std::string* error);

// Where a service listens according to the station's settings.
struct ListenPoint {
  std::string address;
  std::optional<std::uint16_t> port;  // none for a service without a port setting
  std::string Text() const;           // "127.0.0.2:24781"
};
ListenPoint ServiceListenPoint(std::string_view serviceGuid);
// Why a server could not listen at the point, found by trying to bind it ourselves.
std::string DescribeListenFailure(const ListenPoint& point);

}  // namespace qxagent
