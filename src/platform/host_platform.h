// host_platform.h - what the operating system says about this computer.
//
// Computer name: the registry value PLATFORM\ComputerName, else gethostname, cut to 15
// characters. Domain: PLATFORM\Domain, else the DNS domain, else "WORKGROUP". User: the user
// of the login session. Addresses: getifaddrs, IPv4 only, in interface order, 127.0.0.1 left
// out. Host() is the process's real platform, for the program's edges (the C interface, the
// command-line tools); everything else is handed the platform of its station, so tests hand in
// a double. Any thread may call.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qx {

// An IPv4 address or mask with its first octet in the lowest byte (0x0100007F is 127.0.0.1).
struct Ipv4Row {
  std::uint32_t address = 0;
  std::uint32_t mask = 0;
};

class HostPlatform {
 public:
  virtual ~HostPlatform() = default;
  virtual std::optional<std::string> ComputerName() = 0;
  virtual std::optional<std::string> DomainName() = 0;
  virtual std::optional<std::string> UserName() = 0;
  virtual std::optional<std::vector<Ipv4Row>> Ipv4Addresses() = 0;
};

HostPlatform& Host();

// Where the configured computer name and domain (the registry's PLATFORM\ComputerName and
// PLATFORM\Domain) come from: the registry's reader, handed in when the station's layers are
// connected. The source answers nullopt for a value that is absent or empty.
using HostSettingSource = std::optional<std::string> (*)(const char* name);
void SetHostSettingSource(HostSettingSource source);

// The local path of a share from Samba's configuration ([share] sections and their "path").
std::optional<std::string> ResolveSharePath(const std::string& share);
// The same from the configuration file at confPath (nullopt when it cannot be read).
std::optional<std::string> ResolveSharePath(const std::string& share, const std::string& confPath);

}  // namespace qx
