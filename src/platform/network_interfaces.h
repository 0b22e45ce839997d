// network_interfaces.h - the host's IPv4 interfaces, and which of them a station announces on.
//
// EnumerateInterfaces lists every IPv4 address of every interface (one InterfaceInfo for each
// address, so an interface with two addresses appears twice). SelectInterfaces picks from such
// a list the interfaces that the station joins its group on and announces by, with the rules
// of the MULTICAST "Interfaces" setting:
//   - no patterns: every interface that is up, can multicast, has an IPv4 address, and is not
//     loopback, not link-local (169.254.0.0/16) and not named docker*, veth*, br-* or virbr*
//     (containers' and virtual machines' bridges, which no other station reaches);
//   - patterns: every interface that is up, has an IPv4 address and matches one of them. A
//     pattern is an interface name ("eth0"), a name with a trailing * ("enp*") or an IPv4 CIDR
//     block ("10.1.0.0/16", matched by the address). A pattern that is none of these
//     (IsInterfacePattern) matches nothing.
// Each interface is selected at most once, with the first of its addresses that qualifies.
//
// Threads: all functions are free of state; any thread may call them.
//
//   const auto all = EnumerateInterfaces(&error);
//   if (all) for (const InterfaceInfo& one : SelectInterfaces(*all, {"10.1.0.0/16"})) ...
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx {

struct InterfaceInfo {
  std::string name;           // "eth0"
  unsigned index = 0;         // the kernel's interface index
  std::uint32_t address = 0;  // IPv4 address, host byte order
  std::uint32_t mask = 0;     // its netmask, host byte order
  bool up = false;            // IFF_UP
  bool loopback = false;      // IFF_LOOPBACK
  bool multicast = false;     // IFF_MULTICAST

  std::string AddressText() const;  // "10.1.2.3"
  std::string MaskText() const;     // "255.255.0.0"
  // True when ipv4 (host byte order) lies in this address's subnet.
  bool Holds(std::uint32_t ipv4) const { return (ipv4 & mask) == (address & mask); }
  bool operator==(const InterfaceInfo&) const = default;
};

// The dotted text of an IPv4 address in host byte order.
std::string Ipv4Text(std::uint32_t address);
// A dotted IPv4 text as a host-byte-order number; nullopt for anything else.
std::optional<std::uint32_t> ParseIpv4Text(std::string_view text);

// True for an interface name (1..15 characters, none of them '/', '*', blank or control), such a
// name with one trailing '*' (also "*" alone), or an IPv4 CIDR block "a.b.c.d/n" with n 0..32.
bool IsInterfacePattern(std::string_view pattern);

// The interfaces of all that the patterns (empty: the default rule) select, in the order of all.
std::vector<InterfaceInfo> SelectInterfaces(const std::vector<InterfaceInfo>& all,
                                            const std::vector<std::string>& patterns);

// Every IPv4 address of every interface; nullopt with *error set when the system cannot list
// them.
std::optional<std::vector<InterfaceInfo>> EnumerateInterfaces(std::string* error);

}  // namespace qx
