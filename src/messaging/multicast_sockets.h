// multicast_sockets.h - the UDP sockets of the multicast transport and their options.
//
// Local mode (the Interface is a loopback address; several stations share the machine): the
// group socket, bound to group:port and shared with the other stations of the machine; the
// unicast socket, bound to unicastAddress:port, so that a reply reaches exactly this station;
// the send socket, bound to unicastAddress with the settings' interface and TTL and the loop
// flag on, so that a station receives its own group sends as every other member does.
//
// Network mode: the group socket (IP_MULTICAST_ALL off: it takes only what arrives on an
// interface it joined), the route socket for unicast sends by the kernel's route, and for each
// selected interface a MulticastLink: its unicast socket bound to its address:port, its send
// socket bound to its address with IP_MULTICAST_IF on it, and the group joined on it.
//
// Receive sockets ask for the receive buffer with SO_RCVBUFFORCE (which passes rmem_max for a
// privileged process) and else with SO_RCVBUF; what the kernel granted is kept for the
// counters. Send sockets have a 4 MiB send buffer and a one-second send timeout.
//
// Ownership and threads: MulticastSockets owns the sockets of both modes, a MulticastLink its
// own (shared with the receive that is pending on it). The Open calls come from Start or the
// receive thread; the send sockets are used under the transport's send lock, the receive
// sockets on the receive thread. Failures come back as false or null with *error set.
#pragma once

#include <netinet/in.h>

#include <array>
#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "messaging/multicast_transport.h"
#include "platform/network_interfaces.h"

namespace qx {

inline constexpr std::uint32_t kLargestDatagram = 65507;  // IPv4 UDP payload

// One received datagram's room (one byte more, so that an oversize one shows).
using MulticastBuffer = std::array<char, kLargestDatagram + 1>;

std::optional<asio::ip::address_v4> ParseMulticastIpv4(std::string_view text);
inline bool IsLoopbackIpv4(const asio::ip::address_v4& address) {
  return (address.to_uint() >> 24) == 127;
}

// An interface of network mode: its unicast receive socket (bound to its address:port) and its
// send socket (bound to its address, IP_MULTICAST_IF on it).
struct MulticastLink {
  MulticastLink(asio::io_context& io, const InterfaceInfo& one)
      : info(one), unicast(io), send(io), errorPause(io) {}
  const InterfaceInfo info;
  asio::ip::udp::socket unicast;  // receive thread only
  asio::ip::udp::socket send;     // under the transport's send lock
  asio::steady_timer errorPause;
  MulticastBuffer buffer{};
  asio::ip::udp::endpoint from;
  bool closed = false;               // receive thread only
  std::atomic<bool> retired{false};  // set under the send lock when it left the list
};

class MulticastSockets {
 public:
  // settings must be checked (CheckMulticastSettings) and outlive the sockets.
  MulticastSockets(asio::io_context& io, const MulticastSettings& settings);

  // Local mode: the group socket joined on the interface, the unicast and the send socket.
  bool OpenLocal(std::string* error);
  // Network mode: the group socket and the route socket; the links come with OpenLink.
  bool OpenNetwork(std::string* error);
  // The sockets of one interface, and the group joined on it; null with *error on a failure.
  std::shared_ptr<MulticastLink> OpenLink(const InterfaceInfo& one, std::string* error);
  // Leaves the group on the link's interface and closes its sockets (receive thread).
  void CloseLink(MulticastLink& link);

  asio::ip::udp::socket& group() { return group_; }
  asio::ip::udp::socket& unicast() { return unicast_; }  // local mode
  asio::ip::udp::socket& send() { return send_; }        // local mode
  asio::ip::udp::socket& route() { return route_; }      // network mode
  asio::ip::udp::endpoint GroupEndpoint() const { return {groupAddress_, settings_.port}; }
  std::uint32_t receiveBufferBytes() const { return receiveBufferBytes_.load(); }
  bool receiveBufferForced() const { return receiveBufferForced_.load(); }

 private:
  bool OpenGroupSocket(bool onlyJoinedGroups, std::string* error);
  void SetReceiveBuffer(int fd);

  asio::io_context& io_;
  const MulticastSettings& settings_;
  const asio::ip::address_v4 groupAddress_, interface_, unicastAddress_;
  asio::ip::udp::socket group_;
  asio::ip::udp::socket unicast_;
  asio::ip::udp::socket send_;
  asio::ip::udp::socket route_;
  std::atomic<std::uint32_t> receiveBufferBytes_{0};
  std::atomic<bool> receiveBufferForced_{false};
};

}  // namespace qx
