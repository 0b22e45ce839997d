// multicast_sockets.cpp - opening the multicast transport's sockets (see multicast_sockets.h).
#include "messaging/multicast_sockets.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace qx {
namespace {

using asio::ip::udp;

constexpr int kSendBufferBytes = 4 << 20;
constexpr auto kSendTimeout = std::chrono::seconds(1);

asio::ip::address_v4 AddressOf(const std::string& text) {
  return ParseMulticastIpv4(text).value_or(asio::ip::address_v4::any());
}

// ip_mreqn for the group on one interface (by index; the address only names it further).
ip_mreqn MembershipOn(const asio::ip::address_v4& group, const InterfaceInfo& one) {
  ip_mreqn request{};
  request.imr_multiaddr.s_addr = htonl(group.to_uint());
  request.imr_address.s_addr = htonl(one.address);
  request.imr_ifindex = static_cast<int>(one.index);
  return request;
}

std::string SystemError(const char* what, int error) {
  return std::string(what) + ": " + asio::error_code(error, asio::system_category()).message();
}

void SetSendOptions(udp::socket& socket) {
  asio::error_code ignored;
  socket.set_option(asio::socket_base::send_buffer_size(kSendBufferBytes), ignored);
  timeval timeout{};
  timeout.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(kSendTimeout).count();
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

}  // namespace

std::optional<asio::ip::address_v4> ParseMulticastIpv4(std::string_view text) {
  asio::error_code ec;
  const asio::ip::address_v4 address = asio::ip::make_address_v4(std::string(text), ec);
  if (ec) return std::nullopt;
  return address;
}

MulticastSockets::MulticastSockets(asio::io_context& io, const MulticastSettings& settings)
    : io_(io),
      settings_(settings),
      groupAddress_(AddressOf(settings.group)),
      interface_(AddressOf(settings.interfaceAddress)),
      unicastAddress_(AddressOf(settings.unicastAddress)),
      group_(io),
      unicast_(io),
      send_(io),
      route_(io) {}

bool MulticastSockets::OpenLocal(std::string* error) {
  asio::error_code ec;
  auto failed = [&](const std::string& what) {
    *error = what + ": " + ec.message();
    return false;
  };
  // The group's socket: shared with the other stations of this machine.
  if (!OpenGroupSocket(/*onlyJoinedGroups=*/false, error)) return false;
  group_.set_option(asio::ip::multicast::join_group(groupAddress_, interface_), ec);
  if (ec) return failed("join " + settings_.group + " on " + settings_.interfaceAddress);
  // This station's own socket for unicast replies.
  unicast_.open(udp::v4(), ec);
  if (ec) return failed("unicast socket");
  unicast_.bind(udp::endpoint(unicastAddress_, settings_.port), ec);
  if (ec) {
    return failed("bind to " + settings_.unicastAddress + ":" + std::to_string(settings_.port));
  }
  SetReceiveBuffer(unicast_.native_handle());
  // Sends leave from the station's address on the configured interface and TTL.
  send_.open(udp::v4(), ec);
  if (ec) return failed("send socket");
  send_.bind(udp::endpoint(unicastAddress_, 0), ec);
  if (ec) return failed("bind the send socket");
  send_.set_option(asio::ip::multicast::outbound_interface(interface_), ec);
  if (ec) return failed("IP_MULTICAST_IF " + settings_.interfaceAddress);
  send_.set_option(asio::ip::multicast::hops(static_cast<int>(settings_.ttl)), ec);
  if (ec) return failed("IP_MULTICAST_TTL");
  send_.set_option(asio::ip::multicast::enable_loopback(true), ec);
  if (ec) return failed("IP_MULTICAST_LOOP");
  SetSendOptions(send_);
  return true;
}

bool MulticastSockets::OpenNetwork(std::string* error) {
  if (!OpenGroupSocket(/*onlyJoinedGroups=*/true, error)) return false;
  asio::error_code ec;
  route_.open(udp::v4(), ec);
  if (ec) {
    *error = "unicast send socket: " + ec.message();
    return false;
  }
  SetSendOptions(route_);
  return true;
}

// The socket bound to group:port, shared with the other stations of this machine. With
// onlyJoinedGroups it takes only the groups this socket joins, not every group of the host.
bool MulticastSockets::OpenGroupSocket(bool onlyJoinedGroups, std::string* error) {
  asio::error_code ec;
  auto failed = [&](const std::string& what) {
    *error = what + ": " + ec.message();
    return false;
  };
  group_.open(udp::v4(), ec);
  if (ec) return failed("group socket");
  group_.set_option(udp::socket::reuse_address(true), ec);
  if (ec) return failed("group socket SO_REUSEADDR");
  const int all = 0;
  if (onlyJoinedGroups &&
      ::setsockopt(group_.native_handle(), IPPROTO_IP, IP_MULTICAST_ALL, &all, sizeof all) != 0) {
    *error = SystemError("group socket IP_MULTICAST_ALL", errno);
    return false;
  }
  group_.bind(udp::endpoint(groupAddress_, settings_.port), ec);
  if (ec) return failed("bind to " + settings_.group + ":" + std::to_string(settings_.port));
  SetReceiveBuffer(group_.native_handle());
  return true;
}

std::shared_ptr<MulticastLink> MulticastSockets::OpenLink(const InterfaceInfo& one,
                                                          std::string* error) {
  auto link = std::make_shared<MulticastLink>(io_, one);
  const asio::ip::address_v4 address(one.address);
  asio::error_code ec;
  auto failed = [&](const std::string& what) -> std::shared_ptr<MulticastLink> {
    *error = what + ": " + ec.message();
    return nullptr;
  };
  link->unicast.open(udp::v4(), ec);
  if (ec) return failed("unicast socket");
  link->unicast.bind(udp::endpoint(address, settings_.port), ec);
  if (ec) return failed("bind to " + one.AddressText() + ":" + std::to_string(settings_.port));
  SetReceiveBuffer(link->unicast.native_handle());
  link->send.open(udp::v4(), ec);
  if (ec) return failed("send socket");
  link->send.bind(udp::endpoint(address, 0), ec);
  if (ec) return failed("bind the send socket to " + one.AddressText());
  const ip_mreqn outbound = MembershipOn(groupAddress_, one);
  if (::setsockopt(link->send.native_handle(), IPPROTO_IP, IP_MULTICAST_IF, &outbound,
                   sizeof outbound) != 0) {
    *error = SystemError("IP_MULTICAST_IF", errno);
    return nullptr;
  }
  link->send.set_option(asio::ip::multicast::hops(static_cast<int>(settings_.ttl)), ec);
  if (ec) return failed("IP_MULTICAST_TTL");
  link->send.set_option(asio::ip::multicast::enable_loopback(true), ec);
  if (ec) return failed("IP_MULTICAST_LOOP");
  SetSendOptions(link->send);
  const ip_mreqn join = MembershipOn(groupAddress_, one);
  if (::setsockopt(group_.native_handle(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) !=
          0 &&
      errno != EADDRINUSE) {
    *error = SystemError(("join " + settings_.group).c_str(), errno);
    return nullptr;
  }
  return link;
}

void MulticastSockets::CloseLink(MulticastLink& link) {
  const ip_mreqn leave = MembershipOn(groupAddress_, link.info);
  // Fails when the interface is gone, which has left the group already.
  ::setsockopt(group_.native_handle(), IPPROTO_IP, IP_DROP_MEMBERSHIP, &leave, sizeof leave);
  link.closed = true;
  asio::error_code ignored;
  link.errorPause.cancel();
  link.unicast.close(ignored);
  link.send.close(ignored);
}

void MulticastSockets::SetReceiveBuffer(int fd) {
  const int wanted = static_cast<int>(
      std::min<std::uint32_t>(settings_.receiveBufferBytes, std::uint32_t{1} << 30));
  const bool forced = ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) == 0;
  if (!forced) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
  int granted = 0;
  socklen_t length = sizeof granted;
  if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length) == 0) {
    receiveBufferBytes_ = static_cast<std::uint32_t>(granted);
  }
  receiveBufferForced_ = forced;
}

}  // namespace qx
