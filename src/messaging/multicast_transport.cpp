// multicast_transport.cpp - the UDP transport of multicast_transport.h on asio, composed of its
// sockets (multicast_sockets.h), network mode's interface list (multicast_interface_rescan.h),
// the datagram pipeline (multicast_pipeline.h) and the delivery lanes (multicast_lanes.h).
//
// The receive thread runs the io_context with one pending receive on each receive socket; each
// datagram is copied into the queue of its delivery lane and the receive is armed again at
// once, so that a burst leaves the kernel's buffer as fast as it arrives. In network mode the
// receive thread also looks at the interfaces again; a link that left the list has its pending
// receive end with operation_aborted, which drops the last reference to it.
#include "messaging/multicast_transport.h"

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "common/mutex.h"
#include "keys/cluster_keys.h"
#include "messaging/datagram_seal.h"
#include "messaging/heard_addresses.h"
#include "messaging/multicast_fragments.h"
#include "messaging/multicast_interface_rescan.h"
#include "messaging/multicast_lanes.h"
#include "messaging/multicast_peers.h"
#include "messaging/multicast_pipeline.h"
#include "messaging/multicast_sockets.h"
#include "platform/network_interfaces.h"
#include "trace/counters.h"

namespace qx {
namespace {

using asio::ip::udp;

constexpr std::uint32_t kLoopbackDatagramBytes = 60000;
constexpr std::uint32_t kNetworkDatagramBytes = 1400;
constexpr auto kReceiveErrorPause = std::chrono::milliseconds(20);
constexpr std::size_t kMaxInterfacePatterns = 64;

std::uint32_t DatagramBytes(const MulticastSettings& settings) {
  if (settings.datagramBytes != 0) return settings.datagramBytes;
  const auto interfaceAddress = ParseMulticastIpv4(settings.interfaceAddress);
  return interfaceAddress && IsLoopbackIpv4(*interfaceAddress) ? kLoopbackDatagramBytes
                                                               : kNetworkDatagramBytes;
}

// FNV-1a of the unicast endpoint: the same station keeps its sender id across starts.
std::uint32_t SenderIdOf(const MulticastSettings& settings) {
  std::uint32_t hash = 2166136261u;
  const std::string key = settings.unicastAddress + ":" + std::to_string(settings.port);
  for (const char c : key) {
    hash ^= static_cast<std::uint8_t>(c);
    hash *= 16777619u;
  }
  return hash;
}

class AsioMulticastTransport final : public MulticastTransport {
 public:
  AsioMulticastTransport(const MulticastSettings& settings, MulticastReceiver receiver,
                         KeyRingSource keyRing, MulticastInterfaceHooks hooks)
      : settings_(settings),
        keyRing_(std::move(keyRing)),
        hooks_(std::move(hooks)),
        localMode_(IsLocalMulticastMode(settings_)),
        sockets_(io_, settings_),
        errorPause_(io_),
        outbound_(SenderIdOf(settings_), MulticastFragmentPayload(DatagramBytes(settings_))),
        ownSenderId_(outbound_.senderId()),
        ownIncarnation_(outbound_.incarnation()),
        rescan_(io_, settings_, sockets_, &sendMutex_, hooks_.changed),
        peers_(settings_.peers, hooks_.resolvePeer,
               std::chrono::milliseconds(settings_.peersResolveMs), hooks_.peerUnresolved,
               [this](std::uint32_t address) { return MaySendTo(address); }),
        lanes_(settings_, keyRing_, std::move(receiver), hooks_.foreignKey,
               [this](std::string_view sealed, SealPath path, bool fromPeer, std::uint32_t from) {
                 heard_.Note(from, std::chrono::steady_clock::now());
                 if (settings_.relay && path == SealPath::kGroup) Relay(sealed, fromPeer, from);
               }) {}

  ~AsioMulticastTransport() override {
    io_.stop();
    if (receiveThread_.joinable()) receiveThread_.join();
    lanes_.Stop();
  }

  bool Open(std::string* error) {
    if (localMode_) return sockets_.OpenLocal(error);
    if (!sockets_.OpenNetwork(error)) return false;
    rescan_.Rescan(false);
    return true;
  }

  void StartThreads() {
    Arm(sockets_.group(), groupBuffer_, groupFrom_, MulticastDelivery::kGroup);
    if (localMode_) {
      Arm(sockets_.unicast(), unicastBuffer_, unicastFrom_, MulticastDelivery::kUnicast);
    } else {
      rescan_.StartReceiving([this](const std::shared_ptr<MulticastLink>& link) { ArmLink(link); });
    }
    lanes_.Start();
    receiveThread_ = std::thread([this] {
      try {
        io_.run();
      } catch (...) {
        // Only a failing allocation gets here; the station then receives nothing more.
      }
    });
  }

  HRESULT SendToGroup(std::string_view text) override {
    if (!localMode_) return SendByInterfaces(std::nullopt, text);
    return Send(sockets_.GroupEndpoint(), SealPath::kGroup, text,
                PeerEndpoints(peers_.Addresses()));
  }

  HRESULT SendTo(std::string_view ipv4, std::string_view text) override {
    const auto address = ParseMulticastIpv4(ipv4);
    if (!address || address->is_multicast() || address->is_unspecified()) return E_INVALIDARG;
    if (localMode_ && !IsLoopbackIpv4(*address)) return E_ACCESSDENIED;
    if (!localMode_) return SendByInterfaces(*address, text);
    return Send(udp::endpoint(*address, settings_.port), SealPath::kStation, text);
  }

  std::vector<InterfaceInfo> Interfaces() const override { return rescan_.Interfaces(); }

  MulticastCounters Counters() const override {
    MulticastCounters counters;
    lanes_.AddCounters(&counters);
    counters.datagramsReceived = datagramsReceived_.load();
    counters.messagesSent = messagesSent_.load();
    counters.sendFailures = sendFailures_.load();
    counters.relayed = relayed_.load();
    counters.receiveBufferBytes = sockets_.receiveBufferBytes();
    counters.receiveBufferForced = sockets_.receiveBufferForced();
    return counters;
  }

  const MulticastSettings& settings() const override { return settings_; }

 private:
  void ArmLink(const std::shared_ptr<MulticastLink>& link) {
    if (link->closed) return;
    link->unicast.async_receive_from(
        asio::buffer(link->buffer), link->from,
        [this, link](const asio::error_code& ec, std::size_t size) {
          if (ec == asio::error::operation_aborted || link->closed) return;
          if (ec) {
            link->errorPause.expires_after(kReceiveErrorPause);
            link->errorPause.async_wait([this, link](const asio::error_code& waited) {
              if (waited != asio::error::operation_aborted) ArmLink(link);
            });
            return;
          }
          Received(MulticastDelivery::kUnicast, link->buffer, size, link->from);
          ArmLink(link);
        });
  }

  void Arm(udp::socket& socket, MulticastBuffer& buffer, udp::endpoint& from,
           MulticastDelivery delivery) {
    socket.async_receive_from(
        asio::buffer(buffer), from,
        [this, &socket, &buffer, &from, delivery](const asio::error_code& ec, std::size_t size) {
          if (ec == asio::error::operation_aborted) return;
          if (ec) {
            // A lasting socket error must not spin the thread.
            errorPause_.expires_after(kReceiveErrorPause);
            errorPause_.async_wait([this, &socket, &buffer, &from, delivery](auto) {
              Arm(socket, buffer, from, delivery);
            });
            return;
          }
          Received(delivery, buffer, size, from);
          Arm(socket, buffer, from, delivery);
        });
  }

  void Received(MulticastDelivery delivery, const MulticastBuffer& buffer, std::size_t size,
                const udp::endpoint& from) {
    ++datagramsReceived_;
    metrics::Add(Metric::kDatagramsReceived);
    if (size <= kLargestDatagram) {
      lanes_.Enqueue(delivery, std::string_view(buffer.data(), size),
                     from.address().to_v4().to_uint());
    }
  }

  // The key in use for a send of text, with the ring that holds it; null with *refused set
  // when text is too long or the ring has no key in use.
  const ClusterKey* SendKey(std::string_view text, std::shared_ptr<const KeyRing>* ring,
                            HRESULT* refused) {
    if (text.size() > settings_.maxMessageBytes) {
      *refused = E_INVALIDARG;
      return nullptr;
    }
    *ring = keyRing_();
    const ClusterKey* key = *ring ? (*ring)->InUse() : nullptr;
    if (key == nullptr) {
      ++sendFailures_;
      *refused = kMulticastNoKey;
    }
    return key;
  }

  HRESULT Send(const udp::endpoint& to, SealPath path, std::string_view text,
               const std::vector<udp::endpoint>& peers = {}) EXCLUDES(sendMutex_) {
    std::shared_ptr<const KeyRing> ring;
    HRESULT refused = S_OK;
    const ClusterKey* key = SendKey(text, &ring, &refused);
    if (key == nullptr) return refused;
    MutexLock lock(&sendMutex_);
    const HRESULT result =
        SealAndSendLocked(sockets_.send(), to, path, text, *key, sockets_.send(), peers);
    Count(result);
    return result;
  }

  // Network mode: to the group on every interface (to empty), or to one station by the route.
  HRESULT SendByInterfaces(std::optional<asio::ip::address_v4> to, std::string_view text)
      EXCLUDES(sendMutex_) {
    std::shared_ptr<const KeyRing> ring;
    HRESULT refused = S_OK;
    const ClusterKey* key = SendKey(text, &ring, &refused);
    if (key == nullptr) return refused;
    std::vector<std::shared_ptr<MulticastLink>> links = rescan_.Snapshot();
    // A group message goes to each peer as the copy of the interface that reaches it.
    std::vector<std::vector<udp::endpoint>> peersOf(links.size());
    if (!to && !links.empty()) {
      for (const std::uint32_t peer : peers_.Addresses()) {
        std::size_t by = 0;
        while (by < links.size() && !links[by]->info.Holds(peer)) ++by;
        peersOf[by < links.size() ? by : 0].emplace_back(asio::ip::address_v4(peer),
                                                         settings_.port);
      }
    }
    if (to) {
      // A reply names the interface whose subnet holds its receiver, else the first one.
      const auto holder = std::find_if(links.begin(), links.end(), [&to](const auto& link) {
        return link->info.Holds(to->to_uint());
      });
      if (holder != links.end()) std::rotate(links.begin(), holder, holder + 1);
      if (!links.empty()) links.resize(1);
    }
    if (links.empty()) {
      ++sendFailures_;
      return E_FAIL;  // no interface to announce on: nothing leaves
    }
    // The copies are written before the send lock, which serialises only the sending.
    std::vector<std::optional<std::string>> copies;
    copies.reserve(links.size());
    for (const std::shared_ptr<MulticastLink>& link : links) {
      copies.push_back(Rewritten(text, link->info));
    }
    MutexLock lock(&sendMutex_);
    HRESULT result = S_OK;
    for (std::size_t i = 0; i < links.size(); ++i) {
      MulticastLink& link = *links[i];
      if (!to && link.retired.load()) continue;  // went away meanwhile: nobody to reach
      HRESULT one = E_FAIL;
      if (copies[i] && copies[i]->size() <= settings_.maxMessageBytes) {
        one = to ? SealAndSendLocked(sockets_.route(), udp::endpoint(*to, settings_.port),
                                     SealPath::kStation, *copies[i], *key)
                 : SealAndSendLocked(link.send, sockets_.GroupEndpoint(), SealPath::kGroup,
                                     *copies[i], *key, sockets_.route(), peersOf[i]);
      }
      if (Failed(one)) result = E_FAIL;
    }
    Count(result);
    return result;
  }

  void Count(HRESULT result) {
    if (result == S_OK) ++messagesSent_;
    if (result == E_FAIL) ++sendFailures_;
  }

  // text as it leaves by one interface; empty when the owner's rewrite failed.
  std::optional<std::string> Rewritten(std::string_view text, const InterfaceInfo& by) const {
    if (!hooks_.rewrite) return std::string(text);
    try {
      return hooks_.rewrite(text, by);
    } catch (...) {
      return std::nullopt;
    }
  }

  // Seals text for path and sends each datagram to `to` by socket, and to each of peers (may be
  // empty) by peerSocket. A peer that cannot be written to stops nothing but fails the send.
  HRESULT SealAndSendLocked(udp::socket& socket, const udp::endpoint& to, SealPath path,
                            std::string_view text, const ClusterKey& key, udp::socket& peerSocket,
                            const std::vector<udp::endpoint>& peers) REQUIRES(sendMutex_) {
    bool peerFailed = false;
    const asio::socket_base::message_flags flags = ConfirmFlags(to);
    const HRESULT result = outbound_.Seal(key, path, text, [&](std::string_view sealed) {
      asio::error_code ec;
      socket.send_to(asio::buffer(sealed.data(), sealed.size()), to, flags, ec);
      if (!ec) metrics::Add(Metric::kDatagramsSent);
      peerFailed = !SendToPeersLocked(peerSocket, peers, sealed) || peerFailed;
      return !ec;
    });
    return result == S_OK && peerFailed ? E_FAIL : result;
  }
  HRESULT SealAndSendLocked(udp::socket& socket, const udp::endpoint& to, SealPath path,
                            std::string_view text, const ClusterKey& key) REQUIRES(sendMutex_) {
    return SealAndSendLocked(socket, to, path, text, key, socket, {});
  }

  // MSG_CONFIRM for a unicast send to an address heard from lately (heard_addresses.h): the
  // kernel then keeps the neighbour without checking it by ARP, which a lossy link may fail.
  asio::socket_base::message_flags ConfirmFlags(const udp::endpoint& to) const {
    const asio::ip::address_v4 address = to.address().to_v4();
    if (address.is_multicast() ||
        !heard_.HeardWithin(address.to_uint(), std::chrono::steady_clock::now())) {
      return 0;
    }
    return MSG_CONFIRM;
  }

  // Writes one datagram to each of peers; false when any refused it.
  bool SendToPeersLocked(udp::socket& socket, const std::vector<udp::endpoint>& peers,
                         std::string_view datagram) const {
    bool all = true;
    for (const udp::endpoint& peer : peers) {
      asio::error_code ec;
      socket.send_to(asio::buffer(datagram.data(), datagram.size()), peer, ConfirmFlags(peer), ec);
      all = all && !ec;
    }
    return all;
  }

  std::vector<udp::endpoint> PeerEndpoints(const std::vector<std::uint32_t>& addresses) const {
    std::vector<udp::endpoint> endpoints;
    endpoints.reserve(addresses.size());
    for (const std::uint32_t address : addresses) {
      endpoints.emplace_back(asio::ip::address_v4(address), settings_.port);
    }
    return endpoints;
  }

  // A peer address the station may send to: a host address, not the station's own; in local
  // mode a loopback one only.
  bool MaySendTo(std::uint32_t address) const {
    const asio::ip::address_v4 peer(address);
    if (peer.is_multicast() || peer.is_unspecified() || address == 0xFFFFFFFFu) return false;
    if (localMode_ && !IsLoopbackIpv4(peer)) return false;
    const auto own = ParseMulticastIpv4(settings_.unicastAddress);
    return !own || own->to_uint() != address;
  }

  // A relay's forward of a group datagram that opened (a delivery lane's thread): unchanged, to
  // the targets RelayTargetsOf names. The station's own datagrams went to its peers already.
  void Relay(std::string_view sealed, bool fromPeer, std::uint32_t from) EXCLUDES(sendMutex_) {
    const std::optional<SealedHeader> header = ReadSealedHeader(sealed);
    if (!header || (header->senderId == ownSenderId_ && header->incarnation == ownIncarnation_)) {
      return;
    }
    const RelayTargets targets = RelayTargetsOf(fromPeer, from, peers_.Addresses());
    const std::vector<udp::endpoint> peers = PeerEndpoints(targets.peers);
    std::vector<std::shared_ptr<MulticastLink>> links;
    if (targets.group && !localMode_) links = rescan_.Snapshot();
    MutexLock lock(&sendMutex_);
    std::uint64_t sent = 0;
    std::uint64_t failed = 0;
    auto one = [&](udp::socket& socket, const udp::endpoint& to) {
      asio::error_code ec;
      socket.send_to(asio::buffer(sealed.data(), sealed.size()), to, ConfirmFlags(to), ec);
      ++(ec ? failed : sent);
    };
    if (targets.group && localMode_) one(sockets_.send(), sockets_.GroupEndpoint());
    for (const std::shared_ptr<MulticastLink>& link : links) {
      if (!link->retired.load()) one(link->send, sockets_.GroupEndpoint());
    }
    udp::socket& peerSocket = localMode_ ? sockets_.send() : sockets_.route();
    for (const udp::endpoint& peer : peers) one(peerSocket, peer);
    relayed_ += sent;
    sendFailures_ += failed;
  }

  const MulticastSettings settings_;
  const KeyRingSource keyRing_;
  const MulticastInterfaceHooks hooks_;
  const bool localMode_;

  asio::io_context io_;
  MulticastSockets sockets_;
  asio::steady_timer errorPause_;  // local mode's receive sockets
  MulticastBuffer groupBuffer_{};
  MulticastBuffer unicastBuffer_{};
  udp::endpoint groupFrom_, unicastFrom_;

  Mutex sendMutex_;  // lock order: sendMutex_, then the interface list's lock
  MulticastOutbound outbound_ GUARDED_BY(sendMutex_);
  // outbound_'s sender id and incarnation, for telling a relay its own datagrams
  const std::uint32_t ownSenderId_;
  const std::uint64_t ownIncarnation_;
  MulticastInterfaceRescan rescan_;  // network mode
  MulticastPeers peers_;
  // Senders of authentic datagrams lately, for MSG_CONFIRM; before lanes_, which note in it.
  HeardAddresses heard_{std::chrono::seconds(5)};
  MulticastLanes lanes_;

  std::atomic<std::uint64_t> datagramsReceived_{0};
  std::atomic<std::uint64_t> messagesSent_{0};
  std::atomic<std::uint64_t> sendFailures_{0};
  std::atomic<std::uint64_t> relayed_{0};

  std::thread receiveThread_;
};

}  // namespace

bool IsLocalMulticastMode(const MulticastSettings& settings) {
  const auto interfaceAddress = ParseMulticastIpv4(settings.interfaceAddress);
  return interfaceAddress && IsLoopbackIpv4(*interfaceAddress);
}

bool CheckMulticastSettings(const MulticastSettings& settings, std::string* error) {
  auto fail = [error](std::string text) {
    if (error != nullptr) *error = std::move(text);
    return false;
  };
  const auto group = ParseMulticastIpv4(settings.group);
  if (!group || !group->is_multicast()) {
    return fail("Group " + settings.group + " is not an IPv4 multicast address");
  }
  const auto interfaceAddress = ParseMulticastIpv4(settings.interfaceAddress);
  if (!interfaceAddress || interfaceAddress->is_multicast()) {
    return fail("Interface " + settings.interfaceAddress + " is not an IPv4 interface address");
  }
  // In network mode the unicast address only names the station (replies arrive at each
  // interface's address), so it may be 0.0.0.0 there.
  const bool local = IsLoopbackIpv4(*interfaceAddress);
  const auto unicast = ParseMulticastIpv4(settings.unicastAddress);
  if (!unicast || unicast->is_multicast() || (local && unicast->is_unspecified())) {
    return fail("UnicastAddress " + settings.unicastAddress + " is not an IPv4 host address");
  }
  if (settings.interfaces.size() > kMaxInterfacePatterns) {
    return fail("Interfaces holds more than " + std::to_string(kMaxInterfacePatterns) + " items");
  }
  for (const std::string& pattern : settings.interfaces) {
    if (!IsInterfacePattern(pattern)) {
      return fail("Interfaces item \"" + pattern.substr(0, 64) +
                  "\" is no interface name, name* or IPv4 CIDR block");
    }
  }
  if (settings.interfaceRescanMs < 10 || settings.interfaceRescanMs > 600000) {
    return fail("interface rescan period " + std::to_string(settings.interfaceRescanMs) +
                " ms is outside 10..600000");
  }
  if (settings.port == 0) return fail("Port 0 is no port");
  if (settings.ttl > 255) return fail("TTL " + std::to_string(settings.ttl) + " is beyond 255");
  const std::uint32_t datagram = DatagramBytes(settings);
  // At least 17 payload bytes beside the sealed header and the tag.
  constexpr std::uint32_t kSmallest = kSealedHeaderBytes + kSealTagBytes + 17;
  if (datagram < kSmallest || datagram > kLargestDatagram) {
    return fail("DatagramBytes " + std::to_string(datagram) + " is outside " +
                std::to_string(kSmallest) + ".." + std::to_string(kLargestDatagram));
  }
  if (settings.maxMessageBytes == 0 ||
      settings.maxMessageBytes / MulticastFragmentPayload(datagram) >= kMaxFragmentsPerMessage) {
    return fail("MaxMessageBytes " + std::to_string(settings.maxMessageBytes) +
                " needs more fragments than a message may have");
  }
  if (settings.queueDatagrams == 0) return fail("QueueDatagrams 0 would drop everything");
  std::vector<std::string> peers;
  std::string peersError;
  if (!ParsePeerList(settings.peers, &peers, &peersError) ||
      peers.size() != settings.peers.size()) {
    return fail("Peers: " +
                (peersError.empty() ? "an item holds several peers or repeats one" : peersError));
  }
  if (settings.peersResolveMs < 1000 || settings.peersResolveMs > 86400000) {
    return fail("PeersResolveMs " + std::to_string(settings.peersResolveMs) +
                " is outside 1000..86400000");
  }
  return true;
}

std::unique_ptr<MulticastTransport> MulticastTransport::Start(const MulticastSettings& settings,
                                                              MulticastReceiver receiver,
                                                              std::string* error) {
  return Start(settings, std::move(receiver), &CurrentKeyRing, error);
}

std::unique_ptr<MulticastTransport> MulticastTransport::Start(const MulticastSettings& settings,
                                                              MulticastReceiver receiver,
                                                              KeyRingSource keyRing,
                                                              std::string* error) {
  return Start(settings, std::move(receiver), std::move(keyRing), MulticastInterfaceHooks{}, error);
}

std::unique_ptr<MulticastTransport> MulticastTransport::Start(const MulticastSettings& settings,
                                                              MulticastReceiver receiver,
                                                              KeyRingSource keyRing,
                                                              MulticastInterfaceHooks hooks,
                                                              std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (!receiver || !keyRing) {
    *error = receiver ? "no key ring for the multicast datagrams"
                      : "no receiver for the multicast messages";
    return nullptr;
  }
  if (!CheckMulticastSettings(settings, error)) return nullptr;
  try {
    auto transport = std::make_unique<AsioMulticastTransport>(settings, std::move(receiver),
                                                              std::move(keyRing), std::move(hooks));
    if (!transport->Open(error)) return nullptr;
    transport->StartThreads();
    return transport;
  } catch (const std::exception& e) {
    *error = std::string("multicast transport: ") + e.what();
    return nullptr;
  }
}

}  // namespace qx
