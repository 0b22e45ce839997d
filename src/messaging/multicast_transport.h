// multicast_transport.h - the station's UDP transport for multicast discovery messages.
//
// A transport sends whole messages (up to MulticastSettings::maxMessageBytes) to the stations'
// group or to one station, and hands every whole message that reaches this station to a
// receiver function. Every datagram is sealed with the cluster key in use: without one nothing
// is sent (kMulticastNoKey) and nothing taken in; what cannot be opened, comes under a key not
// in the ring, or repeats a sequence number of its sender is dropped and counted. The key ring
// is read again for every send and every batch of received datagrams, so a rotation takes
// effect without a restart. The datagrams' layout, the seal and the replay window:
// docs/multicast-protocol.md.
//
// Local mode (the Interface is a loopback address): several stations share the machine and the
// group; a unicast reply reaches exactly one of them. Network mode (any other Interface): the
// group is joined on each interface that the settings' patterns select, looked at again every
// interfaceRescanMs; a group message goes out on every interface, each copy passed through the
// rewrite hook with that interface; a unicast message goes by the kernel's route, rewritten for
// the interface whose subnet holds the receiver (else the first one). The sockets:
// multicast_sockets.h; the interface list: multicast_interface_rescan.h.
//
// Peers and relays (multicast_peers.h): a group message also goes to each peer by unicast, and a
// relay carries group datagrams between its group and its peers, each at most once (a copy that
// comes round again is a replay): docs/multicast-protocol.md, "Peers and relays".
//
// Threads: a receive thread takes datagrams off the sockets into the delivery lanes
// (multicast_lanes.h), whose threads open, reassemble and call the receiver: one sender's
// messages arrive in the order sent, messages of different senders may arrive at once, so the
// receiver must be safe to call from several threads. Nothing is traced here (a flood must cost
// no log lines): what was dropped is counted, and the owner reads the counters and traces them.
//
// Ownership: the object owns its sockets and threads; the destructor stops and joins them
// (the receiver is not called after it returns). Sends may come from any thread at once; the
// destructor must not be called from inside the receiver.
//
//   auto transport = MulticastTransport::Start(settings, [](const MulticastMessage& m) {...},
//                                              &error);
//   transport->SendToGroup("<QXDISCOVER>...</QXDISCOVER>");
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/hresult.h"
#include "platform/network_interfaces.h"

namespace qx {

struct KeyRing;

// A send refused because the key ring has no key in use: nothing leaves unsealed.
inline constexpr HRESULT kMulticastNoKey = static_cast<HRESULT>(0x8009000Du);

// Where the transport finds the key ring; CurrentKeyRing() unless a test gives another.
using KeyRingSource = std::function<std::shared_ptr<const KeyRing>()>;

// How a message reached the station.
enum class MulticastDelivery : std::uint8_t { kGroup = 1, kUnicast = 2 };

// The transport's settings (read from the registry by the layer that owns it).
struct MulticastSettings {
  std::string group = "239.255.47.81";         // "Group": an IPv4 multicast address
  std::uint16_t port = 24780;                  // "Port": below the ephemeral range
  std::string interfaceAddress = "127.0.0.1";  // "Interface": IPv4 address of the interface
  std::uint32_t ttl = 0;                       // "TTL": 0..255; 0 keeps the datagrams on the host
  std::string unicastAddress = "127.0.0.1";    // "UnicastAddress": this station's own address
  // "DatagramBytes": the largest datagram sent, sealed header and tag included. 0 chooses:
  // 60000 when the interface is a loopback address, else 1400 (below the Ethernet MTU).
  std::uint32_t datagramBytes = 0;
  std::uint32_t receiveBufferBytes = 32u << 20;  // "ReceiveBufferBytes", per receive socket
  std::uint32_t maxMessageBytes = 1u << 20;      // "MaxMessageBytes": largest whole message
  std::uint32_t incompleteExpiryMs = 2000;       // "IncompleteExpiryMs": unfinished sets go
  std::uint32_t queueDatagrams = 16384;          // "QueueDatagrams": received, not yet delivered
  // "Interfaces" (network mode): names, name* patterns or IPv4 CIDR blocks; empty: the default.
  std::vector<std::string> interfaces;
  // Set when "Interfaces" could not be read: then no interface is selected (fail closed).
  std::string interfacesError;
  std::uint32_t interfaceRescanMs = 2000;  // network mode: how often the interfaces are listed
  // "Peers": stations that get every group datagram by unicast too, and whose group datagrams
  // are taken in by unicast (multicast_peers.h); IPv4 addresses or host names.
  std::vector<std::string> peers;
  std::uint32_t peersResolveMs = 30000;  // "PeersResolveMs": how often names are resolved again
  // "Relay": carry the group datagrams heard between the group and the peers, both ways.
  bool relay = false;
};

// True when the settings' Interface is a loopback address: several stations on one machine.
bool IsLocalMulticastMode(const MulticastSettings& settings);

// Checks the addresses and ranges; false with *error naming the first fault.
bool CheckMulticastSettings(const MulticastSettings& settings, std::string* error);

struct MulticastMessage {
  MulticastDelivery delivery = MulticastDelivery::kGroup;
  std::string text;
  std::string from;  // the sender's IPv4 address text
};
using MulticastReceiver = std::function<void(const MulticastMessage& message)>;

// What the transport has seen since it started.
struct MulticastCounters {
  std::uint64_t datagramsReceived = 0;
  std::uint64_t messagesDelivered = 0;
  std::uint64_t malformed = 0;   // not ours, cut or inconsistent
  std::uint64_t unopenable = 0;  // unsealed, or a seal that does not check (forged, altered)
  std::uint64_t foreignKey = 0;  // sealed under a key id not in the ring
  std::uint64_t replayed = 0;    // a sequence number seen before from that sender incarnation
  // fragments seen before, and with peers or as a relay group datagrams that came again by
  // another way (harmless)
  std::uint64_t duplicates = 0;
  std::uint64_t expiredSets = 0;  // unfinished messages given up after the expiry
  std::uint64_t evictedSets = 0;  // unfinished messages given up for the memory bound
  std::uint64_t queueDrops = 0;   // datagrams dropped because the delivery queue was full
  std::uint64_t messagesSent = 0;
  std::uint64_t sendFailures = 0;
  std::uint64_t relayed = 0;             // datagrams a relay forwarded (one for each target)
  std::uint32_t receiveBufferBytes = 0;  // what the kernel granted (as getsockopt reports it)
  bool receiveBufferForced = false;      // SO_RCVBUFFORCE worked (beyond rmem_max)
};

// What became of an interface in network mode.
struct MulticastInterfaceEvent {
  enum class Kind : std::uint8_t {
    kJoined = 1,  // the group was joined on it
    kLeft = 2,    // it is no longer selected (down, gone, address changed): left
    kFailed = 3,  // selected, but the group could not be joined on it (tried again once it
                  // was away from the selection)
  };
  Kind kind = Kind::kJoined;
  InterfaceInfo interface;
  std::string error;     // kFailed: what failed; also a failed listing of the interfaces
  bool running = false;  // false for what happened inside Start
};

// The owner's hooks; rewrite and changed serve network mode only. Each may be empty.
struct MulticastInterfaceHooks {
  // The text to send by the interface `by` instead of text (a copy for each interface).
  std::function<std::string(std::string_view text, const InterfaceInfo& by)> rewrite;
  // Called on the receive thread (inside Start for the first look) for every change; it must
  // not block and must not destroy the transport. A kJoined with running set means that an
  // interface came up: the owner announces the station again.
  std::function<void(const MulticastInterfaceEvent& event)> changed;
  // In both modes: a sender whose datagrams are sealed under a key id that the ring lacks
  // (from: its IPv4 text; keyId 0 when the header cannot tell). Called on a delivery lane the
  // first time that lane sees the pair (each lane remembers at most kForeignSendersRemembered
  // pairs, then starts afresh); it must not block.
  std::function<void(const std::string& from, std::uint32_t keyId)> foreignKey;
  // Peers (multicast_peers.h): the address of a peer's name, waiting no longer than a bounded
  // time (empty: only addresses are peers), and a name that did not resolve (at most once each
  // PeersResolveMs for each name). Both are called on the peer list's own thread.
  std::function<std::optional<std::uint32_t>(const std::string& name)> resolvePeer;
  std::function<void(const std::string& name)> peerUnresolved;
};
inline constexpr std::size_t kForeignSendersRemembered = 64;

class MulticastTransport {
 public:
  // Binds the sockets, joins the group on the interface (network mode: on each selected one)
  // and starts the threads. Null, with *error set, when the settings are wrong or a socket cannot
  // be set up; in network mode an interface that fails (or none at all) is no reason to fail:
  // it is reported through the hooks and looked at again.
  static std::unique_ptr<MulticastTransport> Start(const MulticastSettings& settings,
                                                   MulticastReceiver receiver, std::string* error);
  // The same with the key ring from keyRing (never null when called) instead of the process's.
  static std::unique_ptr<MulticastTransport> Start(const MulticastSettings& settings,
                                                   MulticastReceiver receiver,
                                                   KeyRingSource keyRing, std::string* error);
  // The same with the owner's hooks for network mode.
  static std::unique_ptr<MulticastTransport> Start(const MulticastSettings& settings,
                                                   MulticastReceiver receiver,
                                                   KeyRingSource keyRing,
                                                   MulticastInterfaceHooks hooks,
                                                   std::string* error);
  virtual ~MulticastTransport() = default;

  // S_OK when every datagram went out; E_INVALIDARG for a message beyond maxMessageBytes;
  // kMulticastNoKey when the key ring has no key in use; E_FAIL when a datagram could not be
  // sealed or the system refused it, or in network mode when no interface is selected or a
  // copy for one could not be written. The rewrite hook is called on the sending thread.
  virtual HRESULT SendToGroup(std::string_view text) = 0;
  // To the station whose unicast address is ipv4 (a dotted IPv4 text), at the settings' port.
  // E_INVALIDARG for anything but an IPv4 text; E_ACCESSDENIED for an address beyond
  // 127.0.0.0/8 while the interface is a loopback address (local mode).
  virtual HRESULT SendTo(std::string_view ipv4, std::string_view text) = 0;

  // Network mode: the interfaces the group is joined on now (local mode: none).
  virtual std::vector<InterfaceInfo> Interfaces() const = 0;
  virtual MulticastCounters Counters() const = 0;
  virtual const MulticastSettings& settings() const = 0;
};

}  // namespace qx
