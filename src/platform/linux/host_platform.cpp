// host_platform.cpp - the Linux answers to "what is this computer called, who uses it and
// which IPv4 addresses does it have".
//
// LinuxHostPlatform asks the installed setting source first (the registry's
// PLATFORM\ComputerName and PLATFORM\Domain let an installation name a station independently
// of its host name), then the kernel. Nothing here queries a name server: every answer comes from
// this machine. The module-wide instance lives as long as the process; a test may put a double in
// its place. Any thread may call.
#include "platform/host_platform.h"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <string_view>

#include "common/little_endian.h"
#include "common/text.h"

namespace qx {
namespace {

constexpr std::size_t kComputerNameUnits = 15;
constexpr std::size_t kMaxAddresses = 50;
constexpr std::uint32_t kLoopback = 0x0100007Fu;  // 127.0.0.1, first octet lowest
constexpr const char* kDefaultDomain = "WORKGROUP";

std::atomic<HostSettingSource> hostSettingSource{nullptr};

// A configured value (PLATFORM\ComputerName or PLATFORM\Domain), when there is one.
std::optional<std::string> PlatformSetting(const char* name) {
  const HostSettingSource source = hostSettingSource.load();
  if (source == nullptr) return std::nullopt;
  std::optional<std::string> value = source(name);
  if (value && value->empty()) return std::nullopt;
  return value;
}

std::optional<std::string> KernelHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
  return std::string(name);
}

// The four bytes of an in_addr as they lie in memory (network order), first octet lowest.
std::uint32_t FirstOctetLowest(const in_addr& address) { return GetLe32(&address.s_addr); }

class LinuxHostPlatform final : public HostPlatform {
 public:
  std::optional<std::string> ComputerName() override {
    std::optional<std::string> name = PlatformSetting("ComputerName");
    if (!name) {
      name = KernelHostName();
      if (!name) return std::nullopt;
      // The computer name is the host's own label, without its DNS domain.
      name->erase(std::min(name->find('.'), name->size()));
      if (name->empty()) return std::nullopt;
    }
    return CutToUnits(*name, kComputerNameUnits);
  }

  std::optional<std::string> DomainName() override {
    if (std::optional<std::string> domain = PlatformSetting("Domain")) return domain;
    if (std::optional<std::string> host = KernelHostName()) {
      std::size_t dot = host->find('.');
      if (dot != std::string::npos && dot + 1 < host->size()) return host->substr(dot + 1);
    }
    char nis[256] = {};
    if (::getdomainname(nis, sizeof nis - 1) == 0 && nis[0] != '\0' &&
        std::strcmp(nis, "(none)") != 0) {
      return std::string(nis);
    }
    return std::string(kDefaultDomain);
  }

  std::optional<std::string> UserName() override {
    char login[LOGIN_NAME_MAX + 1] = {};
    if (::getlogin_r(login, sizeof login) == 0 && login[0] != '\0') return std::string(login);
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_name == nullptr) {
      return std::nullopt;
    }
    return std::string(found->pw_name);
  }

  std::optional<std::vector<Ipv4Row>> Ipv4Addresses() override {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::nullopt;
    std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
    std::vector<Ipv4Row> rows;
    for (ifaddrs* entry = list; entry != nullptr && rows.size() < kMaxAddresses;
         entry = entry->ifa_next) {
      if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
      Ipv4Row row;
      sockaddr_in address{};
      std::memcpy(&address, entry->ifa_addr, sizeof address);
      row.address = FirstOctetLowest(address.sin_addr);
      if (row.address == kLoopback) continue;
      if (entry->ifa_netmask != nullptr) {
        sockaddr_in mask{};
        std::memcpy(&mask, entry->ifa_netmask, sizeof mask);
        row.mask = FirstOctetLowest(mask.sin_addr);
      }
      rows.push_back(row);
    }
    return rows;
  }
};

}  // namespace

HostPlatform& Host() {
  static LinuxHostPlatform real;
  return real;
}

void SetHostSettingSource(HostSettingSource source) { hostSettingSource.store(source); }

}  // namespace qx
