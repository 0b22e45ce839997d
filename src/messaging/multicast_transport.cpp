// multicast_transport.cpp - the UDP transport of multicast_transport.h on asio.
//
// The receive thread runs the io_context with one pending receive on each receive socket; each
// datagram is copied into the queue of a delivery lane (bounded in datagrams and bytes; a full
// queue drops and counts) and the receive is armed again at once, so that a burst leaves the
// kernel's buffer as fast as it arrives. Each lane's thread opens the sealed datagrams (its own
// DatagramOpener with the replay windows of its senders), reassembles the fragments and calls
// the receiver; it also expires unfinished sets a few times a second. A sender's datagrams
// always take the same lane (chosen by the sender id in the header, not by the address they came
// from, so that a copy replayed from elsewhere meets the same replay window), so its fragments
// meet in one assembler and its messages arrive in the order sent, while the lanes take in
// different senders side by side: one lane for each core, at most kMaxLanes. The receiver is
// called from every lane's thread.
//
// The receive buffer is asked for with SO_RCVBUFFORCE (which passes rmem_max for a privileged
// process) and else with SO_RCVBUF; the granted size is in the counters.
//
// Network mode: each selected interface is a Link (its unicast and send sockets). The receive
// thread owns the list's changes (a timer lists the interfaces again); senders take a snapshot
// of it. A link leaves the list under the send lock, so no send is using its sockets when they
// are closed; its pending receive then ends with operation_aborted and drops the last
// reference.
#include "messaging/multicast_transport.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "common/little_endian.h"
#include "common/mutex.h"
#include "keys/cluster_keys.h"
#include "messaging/datagram_seal.h"
#include "messaging/multicast_fragments.h"
#include "platform/network_interfaces.h"

namespace qx {
namespace {

using asio::ip::udp;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLoopbackDatagramBytes = 60000;
constexpr std::uint32_t kNetworkDatagramBytes = 1400;
constexpr std::uint32_t kLargestDatagram = 65507;  // IPv4 UDP payload
constexpr std::size_t kQueueBytes = 64u << 20;
constexpr int kSendBufferBytes = 4 << 20;
constexpr auto kSendTimeout = std::chrono::seconds(1);
constexpr auto kExpiryTick = std::chrono::milliseconds(250);
constexpr auto kReceiveErrorPause = std::chrono::milliseconds(20);
constexpr unsigned kMaxLanes = 4;
constexpr std::size_t kMaxInterfacePatterns = 64;

std::size_t LaneCount() {
  return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, kMaxLanes);
}

bool IsLoopback(const asio::ip::address_v4& address) { return (address.to_uint() >> 24) == 127; }

std::optional<asio::ip::address_v4> ParseIpv4(std::string_view text) {
  asio::error_code ec;
  const asio::ip::address_v4 address = asio::ip::make_address_v4(std::string(text), ec);
  if (ec) return std::nullopt;
  return address;
}

std::uint32_t DatagramBytes(const MulticastSettings& settings) {
  if (settings.datagramBytes != 0) return settings.datagramBytes;
  const auto interfaceAddress = ParseIpv4(settings.interfaceAddress);
  return interfaceAddress && IsLoopback(*interfaceAddress) ? kLoopbackDatagramBytes
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

// The payload of a datagram of DatagramBytes: what the sealed header and the tag leave.
std::size_t FragmentPayload(std::uint32_t datagramBytes) {
  return datagramBytes - kSealedHeaderBytes - kSealTagBytes;
}

// An interface of network mode: its unicast receive socket (bound to its address:port) and its
// send socket (bound to its address, IP_MULTICAST_IF on it).
struct Link {
  Link(asio::io_context& io, const InterfaceInfo& one)
      : info(one), unicast(io), send(io), errorPause(io) {}
  const InterfaceInfo info;
  udp::socket unicast;  // receive thread only
  udp::socket send;     // under the transport's send lock
  asio::steady_timer errorPause;
  std::array<char, kLargestDatagram + 1> buffer{};
  udp::endpoint from;
  bool closed = false;               // receive thread only
  std::atomic<bool> retired{false};  // set under the send lock when it left the list
};

bool SameLink(const InterfaceInfo& a, const InterfaceInfo& b) {
  return a.index == b.index && a.address == b.address && a.mask == b.mask && a.name == b.name;
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

struct Datagram {
  MulticastDelivery delivery;
  std::string bytes;
  asio::ip::address_v4 from;
};

// One delivery lane: its queue, its thread and its assembler's counters.
struct Lane {
  Mutex mutex;
  CondVar changed{&mutex};
  std::deque<Datagram> queue GUARDED_BY(mutex);
  std::size_t queueBytes GUARDED_BY(mutex) = 0;
  bool stopping GUARDED_BY(mutex) = false;
  AssemblerCounters assembled GUARDED_BY(mutex);
  std::uint64_t notSealedHeader GUARDED_BY(mutex) = 0;  // malformed before opening
  std::uint64_t unopenable GUARDED_BY(mutex) = 0;
  std::uint64_t foreignKey GUARDED_BY(mutex) = 0;
  std::uint64_t replayed GUARDED_BY(mutex) = 0;
  std::uint64_t messagesDelivered GUARDED_BY(mutex) = 0;
  std::thread thread;
};

class AsioMulticastTransport final : public MulticastTransport {
 public:
  AsioMulticastTransport(const MulticastSettings& settings, MulticastReceiver receiver,
                         KeyRingSource keyRing, MulticastInterfaceHooks hooks)
      : settings_(settings),
        receiver_(std::move(receiver)),
        keyRing_(std::move(keyRing)),
        hooks_(std::move(hooks)),
        fragmentPayload_(FragmentPayload(DatagramBytes(settings))),
        groupSocket_(io_),
        unicastSocket_(io_),
        sendSocket_(io_),
        routeSocket_(io_),
        errorPause_(io_),
        rescanTimer_(io_),
        sealer_(SenderIdOf(settings)) {
    const std::size_t lanes = LaneCount();
    for (std::size_t i = 0; i < lanes; ++i) lanes_.push_back(std::make_unique<Lane>());
    laneDatagrams_ = std::max<std::size_t>(1, settings_.queueDatagrams / lanes);
    laneBytes_ = kQueueBytes / lanes;
  }

  ~AsioMulticastTransport() override {
    io_.stop();
    if (receiveThread_.joinable()) receiveThread_.join();
    for (const auto& lane : lanes_) {
      {
        MutexLock lock(&lane->mutex);
        lane->stopping = true;
      }
      lane->changed.SignalAll();
      if (lane->thread.joinable()) lane->thread.join();
    }
  }

  bool Open(std::string* error) {
    group_ = *ParseIpv4(settings_.group);
    interface_ = *ParseIpv4(settings_.interfaceAddress);
    unicast_ = *ParseIpv4(settings_.unicastAddress);
    localMode_ = IsLoopback(interface_);
    return localMode_ ? OpenLocal(error) : OpenNetwork(error);
  }

  bool OpenLocal(std::string* error) {
    asio::error_code ec;
    auto failed = [&](const std::string& what) {
      *error = what + ": " + ec.message();
      return false;
    };
    // The group's socket: shared with the other stations of this machine.
    if (!OpenGroupSocket(/*onlyJoinedGroups=*/false, error)) return false;
    groupSocket_.set_option(asio::ip::multicast::join_group(group_, interface_), ec);
    if (ec) return failed("join " + settings_.group + " on " + settings_.interfaceAddress);
    // This station's own socket for unicast replies.
    unicastSocket_.open(udp::v4(), ec);
    if (ec) return failed("unicast socket");
    unicastSocket_.bind(udp::endpoint(unicast_, settings_.port), ec);
    if (ec)
      return failed("bind to " + settings_.unicastAddress + ":" + std::to_string(settings_.port));
    SetReceiveBuffer(unicastSocket_.native_handle());
    // Sends leave from the station's address on the configured interface and TTL.
    sendSocket_.open(udp::v4(), ec);
    if (ec) return failed("send socket");
    sendSocket_.bind(udp::endpoint(unicast_, 0), ec);
    if (ec) return failed("bind the send socket");
    sendSocket_.set_option(asio::ip::multicast::outbound_interface(interface_), ec);
    if (ec) return failed("IP_MULTICAST_IF " + settings_.interfaceAddress);
    sendSocket_.set_option(asio::ip::multicast::hops(static_cast<int>(settings_.ttl)), ec);
    if (ec) return failed("IP_MULTICAST_TTL");
    sendSocket_.set_option(asio::ip::multicast::enable_loopback(true), ec);
    if (ec) return failed("IP_MULTICAST_LOOP");
    SetSendOptions(sendSocket_);
    return true;
  }

  // The socket bound to group:port, shared with the other stations of this machine. With
  // onlyJoinedGroups it takes only the groups this socket joins, not every group of the host.
  bool OpenGroupSocket(bool onlyJoinedGroups, std::string* error) {
    asio::error_code ec;
    auto failed = [&](const std::string& what) {
      *error = what + ": " + ec.message();
      return false;
    };
    groupSocket_.open(udp::v4(), ec);
    if (ec) return failed("group socket");
    groupSocket_.set_option(udp::socket::reuse_address(true), ec);
    if (ec) return failed("group socket SO_REUSEADDR");
    const int all = 0;
    if (onlyJoinedGroups && ::setsockopt(groupSocket_.native_handle(), IPPROTO_IP, IP_MULTICAST_ALL,
                                         &all, sizeof all) != 0) {
      *error = SystemError("group socket IP_MULTICAST_ALL", errno);
      return false;
    }
    groupSocket_.bind(udp::endpoint(group_, settings_.port), ec);
    if (ec) return failed("bind to " + settings_.group + ":" + std::to_string(settings_.port));
    SetReceiveBuffer(groupSocket_.native_handle());
    return true;
  }

  // The group socket takes only what arrives on the interfaces it joined; sockets of each
  // interface come with the first look at the interfaces.
  bool OpenNetwork(std::string* error) {
    if (!OpenGroupSocket(/*onlyJoinedGroups=*/true, error)) return false;
    // Unicast sends go by the kernel's route.
    asio::error_code ec;
    routeSocket_.open(udp::v4(), ec);
    if (ec) {
      *error = "unicast send socket: " + ec.message();
      return false;
    }
    SetSendOptions(routeSocket_);
    Rescan(false);
    return true;
  }

  void StartThreads() {
    Arm(groupSocket_, groupBuffer_, groupFrom_, MulticastDelivery::kGroup);
    if (localMode_) {
      Arm(unicastSocket_, unicastBuffer_, unicastFrom_, MulticastDelivery::kUnicast);
    } else {
      for (const std::shared_ptr<Link>& link : Snapshot()) ArmLink(link);
      linksArmed_ = true;
      ArmRescan();
    }
    for (const auto& lane : lanes_) {
      Lane* one = lane.get();
      one->thread = std::thread([this, one] { DeliveryLoop(one); });
    }
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
    return Send(udp::endpoint(group_, settings_.port), SealPath::kGroup, text);
  }

  HRESULT SendTo(std::string_view ipv4, std::string_view text) override {
    const auto address = ParseIpv4(ipv4);
    if (!address || address->is_multicast() || address->is_unspecified()) return E_INVALIDARG;
    if (localMode_ && !IsLoopback(*address)) return E_ACCESSDENIED;
    if (!localMode_) return SendByInterfaces(*address, text);
    return Send(udp::endpoint(*address, settings_.port), SealPath::kStation, text);
  }

  std::vector<InterfaceInfo> Interfaces() const override EXCLUDES(linksMutex_) {
    std::vector<InterfaceInfo> infos;
    MutexLock lock(&linksMutex_);
    for (const std::shared_ptr<Link>& link : links_) infos.push_back(link->info);
    return infos;
  }

  MulticastCounters Counters() const override {
    MulticastCounters counters;
    for (const auto& lane : lanes_) {
      MutexLock lock(&lane->mutex);
      counters.malformed += lane->assembled.malformed + lane->notSealedHeader;
      counters.unopenable += lane->unopenable;
      counters.foreignKey += lane->foreignKey;
      counters.replayed += lane->replayed;
      counters.duplicates += lane->assembled.duplicates;
      counters.expiredSets += lane->assembled.expiredSets;
      counters.evictedSets += lane->assembled.evictedSets;
      counters.messagesDelivered += lane->messagesDelivered;
    }
    counters.datagramsReceived = datagramsReceived_.load();
    counters.queueDrops = queueDrops_.load();
    counters.messagesSent = messagesSent_.load();
    counters.sendFailures = sendFailures_.load();
    counters.receiveBufferBytes = receiveBufferBytes_.load();
    counters.receiveBufferForced = receiveBufferForced_.load();
    return counters;
  }

  const MulticastSettings& settings() const override { return settings_; }

 private:
  using Buffer = std::array<char, kLargestDatagram + 1>;

  void SetReceiveBuffer(int fd) {
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

  void SetSendOptions(udp::socket& socket) {
    asio::error_code ignored;
    socket.set_option(asio::socket_base::send_buffer_size(kSendBufferBytes), ignored);
    timeval timeout{};
    timeout.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(kSendTimeout).count();
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  }

  std::vector<std::shared_ptr<Link>> Snapshot() const EXCLUDES(linksMutex_) {
    MutexLock lock(&linksMutex_);
    return links_;
  }

  // The sockets of one interface, and the group joined on it; null with *error on a failure.
  std::shared_ptr<Link> OpenLink(const InterfaceInfo& one, std::string* error) {
    auto link = std::make_shared<Link>(io_, one);
    const asio::ip::address_v4 address(one.address);
    asio::error_code ec;
    auto failed = [&](const std::string& what) -> std::shared_ptr<Link> {
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
    const ip_mreqn outbound = MembershipOn(group_, one);
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
    const ip_mreqn join = MembershipOn(group_, one);
    if (::setsockopt(groupSocket_.native_handle(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &join,
                     sizeof join) != 0 &&
        errno != EADDRINUSE) {
      *error = SystemError(("join " + settings_.group).c_str(), errno);
      return nullptr;
    }
    return link;
  }

  void CloseLink(Link& link) {
    const ip_mreqn leave = MembershipOn(group_, link.info);
    // Fails when the interface is gone, which has left the group already.
    ::setsockopt(groupSocket_.native_handle(), IPPROTO_IP, IP_DROP_MEMBERSHIP, &leave,
                 sizeof leave);
    link.closed = true;
    asio::error_code ignored;
    link.errorPause.cancel();
    link.unicast.close(ignored);
    link.send.close(ignored);
  }

  // Lists the interfaces, joins on the newly selected ones and leaves the others. The receive
  // thread (or Start, before the threads run).
  void Rescan(bool running) EXCLUDES(sendMutex_, linksMutex_) {
    std::vector<MulticastInterfaceEvent> events;
    auto event = [&](MulticastInterfaceEvent::Kind kind, const InterfaceInfo& one,
                     std::string error) {
      events.push_back(MulticastInterfaceEvent{kind, one, std::move(error), running});
    };
    std::vector<InterfaceInfo> wanted;
    if (settings_.interfacesError.empty()) {
      std::string error;
      const std::optional<std::vector<InterfaceInfo>> all = EnumerateInterfaces(&error);
      if (!all) {
        // Keeps what it has until the list can be taken again; says so once.
        if (error != listError_) event(MulticastInterfaceEvent::Kind::kFailed, {}, error);
        listError_ = error;
        Report(events);
        return;
      }
      listError_.clear();
      wanted = SelectInterfaces(*all, settings_.interfaces);
    }
    const std::vector<std::shared_ptr<Link>> current = Snapshot();
    auto selected = [&wanted](const InterfaceInfo& one) {
      return std::any_of(wanted.begin(), wanted.end(),
                         [&one](const InterfaceInfo& w) { return SameLink(w, one); });
    };
    std::erase_if(failed_, [&](const InterfaceInfo& one) { return !selected(one); });
    std::vector<std::shared_ptr<Link>> gone;
    for (const std::shared_ptr<Link>& link : current) {
      if (!selected(link->info)) gone.push_back(link);
    }
    std::vector<std::shared_ptr<Link>> added;
    for (const InterfaceInfo& one : wanted) {
      const bool have = std::any_of(current.begin(), current.end(),
                                    [&one](const auto& link) { return SameLink(link->info, one); });
      const bool failedBefore = std::any_of(failed_.begin(), failed_.end(),
                                            [&one](const auto& f) { return SameLink(f, one); });
      if (have || failedBefore) continue;
      std::string error;
      std::shared_ptr<Link> link = OpenLink(one, &error);
      if (!link) {
        failed_.push_back(one);
        event(MulticastInterfaceEvent::Kind::kFailed, one, error);
        continue;
      }
      added.push_back(std::move(link));
    }
    if (!gone.empty() || !added.empty()) {
      MutexLock sending(&sendMutex_);
      MutexLock lock(&linksMutex_);
      std::erase_if(links_, [&gone](const std::shared_ptr<Link>& link) {
        return std::find(gone.begin(), gone.end(), link) != gone.end();
      });
      for (const std::shared_ptr<Link>& link : gone) link->retired = true;
      for (const std::shared_ptr<Link>& link : added) links_.push_back(link);
    }
    for (const std::shared_ptr<Link>& link : gone) {
      CloseLink(*link);
      event(MulticastInterfaceEvent::Kind::kLeft, link->info, {});
    }
    for (const std::shared_ptr<Link>& link : added) {
      if (linksArmed_) ArmLink(link);
      event(MulticastInterfaceEvent::Kind::kJoined, link->info, {});
    }
    Report(events);
  }

  void Report(const std::vector<MulticastInterfaceEvent>& events) const {
    if (!hooks_.changed) return;
    for (const MulticastInterfaceEvent& one : events) {
      try {
        hooks_.changed(one);
      } catch (...) {
        // The owner's failure is its own.
      }
    }
  }

  void ArmRescan() {
    rescanTimer_.expires_after(std::chrono::milliseconds(settings_.interfaceRescanMs));
    rescanTimer_.async_wait([this](const asio::error_code& ec) {
      if (ec == asio::error::operation_aborted) return;
      try {
        Rescan(true);
      } catch (...) {
        // A failing allocation: the next look tries again.
      }
      ArmRescan();
    });
  }

  void ArmLink(const std::shared_ptr<Link>& link) {
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
          ++datagramsReceived_;
          if (size <= kLargestDatagram) {
            Enqueue(MulticastDelivery::kUnicast, std::string_view(link->buffer.data(), size),
                    link->from.address().to_v4());
          }
          ArmLink(link);
        });
  }

  void Arm(udp::socket& socket, Buffer& buffer, udp::endpoint& from, MulticastDelivery delivery) {
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
          ++datagramsReceived_;
          if (size <= kLargestDatagram) {
            Enqueue(delivery, std::string_view(buffer.data(), size), from.address().to_v4());
          }
          Arm(socket, buffer, from, delivery);
        });
  }

  void Enqueue(MulticastDelivery delivery, std::string_view bytes,
               const asio::ip::address_v4& from) {
    Lane& lane = *lanes_[LaneOf(bytes)];
    {
      MutexLock lock(&lane.mutex);
      if (lane.queue.size() >= laneDatagrams_ || lane.queueBytes + bytes.size() > laneBytes_) {
        ++queueDrops_;
        return;
      }
      lane.queueBytes += bytes.size();
      lane.queue.push_back(Datagram{delivery, std::string(bytes), from});
    }
    lane.changed.Signal();
  }

  // By the sender id the datagram names (a datagram too short for one is dropped on lane 0).
  std::size_t LaneOf(std::string_view datagram) const {
    constexpr std::size_t kSenderIdAt = 8;
    if (datagram.size() < kSenderIdAt + 4) return 0;
    const std::uint32_t hash = GetLe32(datagram.data() + kSenderIdAt) * 2654435761u;  // Knuth's
    return (hash >> 16) % lanes_.size();
  }

  void DeliveryLoop(Lane* lane) {
    AssemblerLimits limits;
    limits.maxMessageBytes = settings_.maxMessageBytes;
    limits.expiry = std::chrono::milliseconds(settings_.incompleteExpiryMs);
    FragmentAssembler assembler(limits);
    DatagramOpener opener;
    auto nextExpiry = Clock::now() + kExpiryTick;
    std::deque<Datagram> batch;
    std::string plain;
    std::set<std::pair<std::uint32_t, std::uint32_t>> foreignSenders;  // address, key id
    for (;;) {
      {
        MutexLock lock(&lane->mutex);
        while (!lane->stopping && lane->queue.empty() && Clock::now() < nextExpiry) {
          lane->changed.WaitUntil(nextExpiry);
        }
        if (lane->stopping) return;
        batch.swap(lane->queue);
        lane->queueBytes = 0;
      }
      const auto now = Clock::now();
      std::uint64_t delivered = 0, malformed = 0, unopenable = 0, foreignKey = 0, replayed = 0;
      const std::shared_ptr<const KeyRing> ring = batch.empty() ? nullptr : keyRing_();
      for (Datagram& datagram : batch) {
        const OpenStatus status =
            ring ? opener.Open(*ring, datagram.bytes,
                               datagram.delivery == MulticastDelivery::kUnicast ? SealPath::kStation
                                                                                : SealPath::kGroup,
                               &plain)
                 : OpenStatus::kForeignKey;
        switch (status) {
          case OpenStatus::kOpened:
            break;
          case OpenStatus::kMalformed:
            ++malformed;
            break;
          case OpenStatus::kUnopenable:
            ++unopenable;
            break;
          case OpenStatus::kForeignKey:
            ++foreignKey;
            NoteForeignSender(datagram, &foreignSenders);
            break;
          case OpenStatus::kReplayed:
            ++replayed;
            break;
        }
        if (status != OpenStatus::kOpened) continue;
        std::optional<std::string> text = assembler.Add(plain, now);
        if (!text) continue;
        ++delivered;
        MulticastMessage message{datagram.delivery, std::move(*text), datagram.from.to_string()};
        try {
          receiver_(message);
        } catch (...) {
          // The receiver's failure is its own; the next message still comes.
        }
      }
      batch.clear();
      if (now >= nextExpiry) {
        assembler.Expire(now);
        nextExpiry = now + kExpiryTick;
      }
      MutexLock lock(&lane->mutex);
      lane->assembled = assembler.counters();
      lane->messagesDelivered += delivered;
      lane->notSealedHeader += malformed;
      lane->unopenable += unopenable;
      lane->foreignKey += foreignKey;
      lane->replayed += replayed;
    }
  }

  HRESULT Send(const udp::endpoint& to, SealPath path, std::string_view text) EXCLUDES(sendMutex_) {
    if (text.size() > settings_.maxMessageBytes) return E_INVALIDARG;
    const std::shared_ptr<const KeyRing> ring = keyRing_();
    const ClusterKey* key = ring ? ring->InUse() : nullptr;
    if (key == nullptr) {
      ++sendFailures_;
      return kMulticastNoKey;
    }
    MutexLock lock(&sendMutex_);
    const HRESULT result = SealAndSendLocked(sendSocket_, to, path, text, *key);
    if (result == S_OK) ++messagesSent_;
    if (result == E_FAIL) ++sendFailures_;
    return result;
  }

  // Network mode: to the group on every interface (to empty), or to one station by the route.
  HRESULT SendByInterfaces(std::optional<asio::ip::address_v4> to, std::string_view text)
      EXCLUDES(sendMutex_, linksMutex_) {
    if (text.size() > settings_.maxMessageBytes) return E_INVALIDARG;
    const std::shared_ptr<const KeyRing> ring = keyRing_();
    const ClusterKey* key = ring ? ring->InUse() : nullptr;
    if (key == nullptr) {
      ++sendFailures_;
      return kMulticastNoKey;
    }
    std::vector<std::shared_ptr<Link>> links = Snapshot();
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
    for (const std::shared_ptr<Link>& link : links) copies.push_back(Rewritten(text, link->info));
    MutexLock lock(&sendMutex_);
    HRESULT result = S_OK;
    for (std::size_t i = 0; i < links.size(); ++i) {
      Link& link = *links[i];
      if (!to && link.retired.load()) continue;  // went away meanwhile: nobody to reach
      HRESULT one = E_FAIL;
      if (copies[i] && copies[i]->size() <= settings_.maxMessageBytes) {
        one = to ? SealAndSendLocked(routeSocket_, udp::endpoint(*to, settings_.port),
                                     SealPath::kStation, *copies[i], *key)
                 : SealAndSendLocked(link.send, udp::endpoint(group_, settings_.port),
                                     SealPath::kGroup, *copies[i], *key);
      }
      if (Failed(one)) result = E_FAIL;
    }
    if (result == S_OK) ++messagesSent_;
    if (result == E_FAIL) ++sendFailures_;
    return result;
  }

  // Tells the owner of a sender with a foreign key, once per sender and key id on this lane.
  void NoteForeignSender(const Datagram& datagram,
                         std::set<std::pair<std::uint32_t, std::uint32_t>>* seen) const {
    if (!hooks_.foreignKey) return;
    const std::pair<std::uint32_t, std::uint32_t> pair{datagram.from.to_uint(),
                                                       SealedKeyId(datagram.bytes)};
    if (seen->count(pair) > 0) return;
    if (seen->size() >= kForeignSendersRemembered) seen->clear();
    seen->insert(pair);
    try {
      hooks_.foreignKey(datagram.from.to_string(), pair.second);
    } catch (...) {
      // The owner's failure is its own.
    }
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

  HRESULT SealAndSendLocked(udp::socket& socket, const udp::endpoint& to, SealPath path,
                            std::string_view text, const ClusterKey& key) REQUIRES(sendMutex_) {
    const std::vector<std::string> datagrams = SplitMessage(
        sealer_.senderId(), sealer_.incarnationLow(), nextMessageId_++, text, fragmentPayload_);
    if (datagrams.empty()) return E_INVALIDARG;
    std::string sealed;
    for (const std::string& datagram : datagrams) {
      if (!sealer_.Seal(key, datagram, path, &sealed)) return E_FAIL;
      asio::error_code ec;
      socket.send_to(asio::buffer(sealed), to, 0, ec);
      if (ec) return E_FAIL;
    }
    return S_OK;
  }

  const MulticastSettings settings_;
  const MulticastReceiver receiver_;
  const KeyRingSource keyRing_;
  const MulticastInterfaceHooks hooks_;
  const std::size_t fragmentPayload_;
  asio::ip::address_v4 group_, interface_, unicast_;
  bool localMode_ = true;

  asio::io_context io_;
  udp::socket groupSocket_;
  udp::socket unicastSocket_;
  udp::socket sendSocket_;
  udp::socket routeSocket_;  // network mode: unicast sends, under sendMutex_
  asio::steady_timer errorPause_;
  asio::steady_timer rescanTimer_;
  Buffer groupBuffer_{};
  Buffer unicastBuffer_{};
  udp::endpoint groupFrom_, unicastFrom_;
  std::atomic<std::uint32_t> receiveBufferBytes_{0};
  std::atomic<bool> receiveBufferForced_{false};

  // Lock order: sendMutex_, then linksMutex_.
  Mutex sendMutex_;
  DatagramSealer sealer_ GUARDED_BY(sendMutex_);
  std::uint32_t nextMessageId_ GUARDED_BY(sendMutex_) = 1;

  // Network mode. links_ changes only on the receive thread (or in Start), under both locks.
  mutable Mutex linksMutex_;
  std::vector<std::shared_ptr<Link>> links_ GUARDED_BY(linksMutex_);
  std::vector<InterfaceInfo> failed_;  // receive thread: not tried again while selected
  std::string listError_;              // receive thread: the last failure to list interfaces
  bool linksArmed_ = false;            // receive thread: new links get a receive at once

  std::vector<std::unique_ptr<Lane>> lanes_;  // fixed after construction
  std::size_t laneDatagrams_ = 1;
  std::size_t laneBytes_ = 0;

  std::atomic<std::uint64_t> datagramsReceived_{0};
  std::atomic<std::uint64_t> queueDrops_{0};
  std::atomic<std::uint64_t> messagesSent_{0};
  std::atomic<std::uint64_t> sendFailures_{0};

  std::thread receiveThread_;
};

}  // namespace

bool IsLocalMulticastMode(const MulticastSettings& settings) {
  const auto interfaceAddress = ParseIpv4(settings.interfaceAddress);
  return interfaceAddress && IsLoopback(*interfaceAddress);
}

bool CheckMulticastSettings(const MulticastSettings& settings, std::string* error) {
  auto fail = [error](std::string text) {
    if (error != nullptr) *error = std::move(text);
    return false;
  };
  const auto group = ParseIpv4(settings.group);
  if (!group || !group->is_multicast()) {
    return fail("Group " + settings.group + " is not an IPv4 multicast address");
  }
  const auto interfaceAddress = ParseIpv4(settings.interfaceAddress);
  if (!interfaceAddress || interfaceAddress->is_multicast()) {
    return fail("Interface " + settings.interfaceAddress + " is not an IPv4 interface address");
  }
  // In network mode the unicast address only names the station (replies arrive at each
  // interface's address), so it may be 0.0.0.0 there.
  const bool local = IsLoopback(*interfaceAddress);
  const auto unicast = ParseIpv4(settings.unicastAddress);
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
      settings.maxMessageBytes / FragmentPayload(datagram) >= kMaxFragmentsPerMessage) {
    return fail("MaxMessageBytes " + std::to_string(settings.maxMessageBytes) +
                " needs more fragments than a message may have");
  }
  if (settings.queueDatagrams == 0) return fail("QueueDatagrams 0 would drop everything");
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
