// network_interfaces.cpp - getifaddrs enumeration and the selection rules (network_interfaces.h).
#include "platform/network_interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

#include "platform/unix_socket.h"

namespace qx {
namespace {

constexpr std::size_t kMaxNameChars = IFNAMSIZ - 1;
constexpr std::size_t kMaxEntries = 4096;  // a host with more addresses is not listed further
constexpr std::uint32_t kLinkLocal = 0xA9FE0000u;  // 169.254.0.0/16
constexpr std::uint32_t kLinkLocalMask = 0xFFFF0000u;
constexpr std::array<std::string_view, 4> kVirtualPrefixes = {"docker", "veth", "br-", "virbr"};

bool IsNameChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > ' ' && u != 0x7F && c != '/' && c != '*';
}

bool IsName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameChars) return false;
  for (const char c : name) {
    if (!IsNameChar(c)) return false;
  }
  return true;
}

struct Cidr {
  std::uint32_t network = 0;
  std::uint32_t mask = 0;
};

std::optional<Cidr> ParseCidr(std::string_view text) {
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::optional<std::uint32_t> address = ParseIpv4Text(text.substr(0, slash));
  const std::string_view bits = text.substr(slash + 1);
  unsigned prefix = 0;
  const auto [end, ec] = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
  if (!address || bits.empty() || bits.size() > 2 || ec != std::errc() ||
      end != bits.data() + bits.size() || prefix > 32) {
    return std::nullopt;
  }
  const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
  return Cidr{*address & mask, mask};
}

bool Matches(const InterfaceInfo& one, std::string_view pattern) {
  if (const std::optional<Cidr> block = ParseCidr(pattern)) {
    return (one.address & block->mask) == block->network;
  }
  if (!IsInterfacePattern(pattern)) return false;
  if (pattern.ends_with('*')) return one.name.starts_with(pattern.substr(0, pattern.size() - 1));
  return one.name == pattern;
}

bool DefaultSelects(const InterfaceInfo& one) {
  if (!one.multicast || one.loopback || (one.address >> 24) == 127) return false;
  if ((one.address & kLinkLocalMask) == kLinkLocal) return false;
  for (const std::string_view prefix : kVirtualPrefixes) {
    if (one.name.starts_with(prefix)) return false;
  }
  return true;
}

}  // namespace

std::string Ipv4Text(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::optional<std::uint32_t> ParseIpv4Text(std::string_view text) {
  std::uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (text.empty() || text.front() != '.') return std::nullopt;
      text.remove_prefix(1);
    }
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    unsigned value = 0;
    if (digits == 0 || digits > 3) return std::nullopt;
    std::from_chars(text.data(), text.data() + digits, value);
    if (value > 255) return std::nullopt;
    address = (address << 8) | value;
    text.remove_prefix(digits);
  }
  if (!text.empty()) return std::nullopt;
  return address;
}

std::string InterfaceInfo::AddressText() const { return Ipv4Text(address); }
std::string InterfaceInfo::MaskText() const { return Ipv4Text(mask); }

bool IsInterfacePattern(std::string_view pattern) {
  if (pattern.find('/') != std::string_view::npos) return ParseCidr(pattern).has_value();
  if (pattern == "*") return true;
  if (pattern.ends_with('*')) pattern.remove_suffix(1);
  return IsName(pattern);
}

std::vector<InterfaceInfo> SelectInterfaces(const std::vector<InterfaceInfo>& all,
                                            const std::vector<std::string>& patterns) {
  std::vector<InterfaceInfo> selected;
  for (const InterfaceInfo& one : all) {
    if (!one.up || one.address == 0 || one.index == 0) continue;
    bool chosen = false;
    if (patterns.empty()) {
      chosen = DefaultSelects(one);
    } else {
      for (const std::string& pattern : patterns) {
        if (Matches(one, pattern)) {
          chosen = true;
          break;
        }
      }
    }
    if (!chosen) continue;
    bool known = false;
    for (const InterfaceInfo& taken : selected) known = known || taken.index == one.index;
    if (!known) selected.push_back(one);
  }
  return selected;
}

std::optional<std::vector<InterfaceInfo>> EnumerateInterfaces(std::string* error) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    if (error != nullptr) *error = "getifaddrs: " + unix_socket::ErrorText(errno);
    return std::nullopt;
  }
  const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owned(list, &::freeifaddrs);
  std::vector<InterfaceInfo> all;
  for (const ifaddrs* entry = list; entry != nullptr && all.size() < kMaxEntries;
       entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
        entry->ifa_name == nullptr) {
      continue;
    }
    InterfaceInfo one;
    one.name = entry->ifa_name;
    if (!IsName(one.name)) continue;
    one.index = ::if_nametoindex(entry->ifa_name);
    if (one.index == 0) continue;  // gone since the list was taken
    sockaddr_in address{};
    std::memcpy(&address, entry->ifa_addr, sizeof address);
    one.address = ntohl(address.sin_addr.s_addr);
    if (entry->ifa_netmask != nullptr && entry->ifa_netmask->sa_family == AF_INET) {
      sockaddr_in mask{};
      std::memcpy(&mask, entry->ifa_netmask, sizeof mask);
      one.mask = ntohl(mask.sin_addr.s_addr);
    }
    one.up = (entry->ifa_flags & IFF_UP) != 0;
    one.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    one.multicast = (entry->ifa_flags & IFF_MULTICAST) != 0;
    all.push_back(std::move(one));
  }
  return all;
}

}  // namespace qx
