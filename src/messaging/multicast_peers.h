// multicast_peers.h - the stations a station reaches by unicast beside its multicast group
// (MULTICAST\Peers), and where a relay sends what it carries between its group and its peers.
//
// A peer is an IPv4 address or a host name. The station sends every group datagram to each peer
// too, at the multicast port, sealed for the group as it is, and takes in the group datagrams
// its peers send it. Names are resolved on a thread of the peer list's own, at once and then
// every resolvePeriod; the send path only reads the last answers and never waits for a resolver.
// A name that does not resolve is left out of the addresses until it does, and the owner hears
// of it through a hook at most once a period for each name.
//
// The list is read as the registry holds it by ParsePeerList (common/peer_list.h).
//
// RelayTargets says where a relay sends a group datagram that it opened: one heard from the group
// goes to every peer, one from a peer to the group and to the other peers. Loops end because a
// relay forwards only what it opened, and the opener takes a sender incarnation's sequence number
// once (its replay window, docs/multicast-protocol.md): a copy that comes round again is
// refused as a replay and goes nowhere.
//
// Ownership and threads: MulticastPeers owns its resolver thread, which the destructor stops and
// joins (the resolver must return within a bounded wait of its own). Addresses may be called from
// any thread at once; the hooks are called on the resolver thread.
//
//   MulticastPeers peers({"10.1.0.7", "area-b-relay"}, resolve, std::chrono::seconds(30),
//                        [](const std::string& name) { ... trace ... });
//   for (std::uint32_t address : peers.Addresses()) Send(address, datagram);
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/peer_list.h"

namespace qx {

// A name's IPv4 address (host order), or nothing; called on the resolver thread only.
using PeerResolver = std::function<std::optional<std::uint32_t>(const std::string& name)>;
// A name that did not resolve.
using PeerUnresolved = std::function<void(const std::string& name)>;

class MulticastPeers {
 public:
  // peers as ParsePeerList gives them. accept (may be empty) says which addresses may be
  // sent to (local mode: loopback only); the station's own address is left out by the owner
  // through it too. resolve may be empty: then only addresses are peers.
  MulticastPeers(std::vector<std::string> peers, PeerResolver resolve,
                 std::chrono::milliseconds resolvePeriod, PeerUnresolved unresolved,
                 std::function<bool(std::uint32_t address)> accept);
  ~MulticastPeers();
  MulticastPeers(const MulticastPeers&) = delete;
  MulticastPeers& operator=(const MulticastPeers&) = delete;

  bool empty() const { return peers_.empty(); }
  // The peers' addresses now (host order, no duplicates); never waits for a resolver.
  std::vector<std::uint32_t> Addresses() const EXCLUDES(mutex_);

 private:
  void ResolveLoop() EXCLUDES(mutex_);
  void Publish(const std::vector<std::optional<std::uint32_t>>& resolved) EXCLUDES(mutex_);

  const std::vector<std::string> peers_;
  const PeerResolver resolve_;
  const std::chrono::milliseconds resolvePeriod_;
  const PeerUnresolved unresolved_;
  const std::function<bool(std::uint32_t)> accept_;
  mutable Mutex mutex_;
  CondVar wake_{&mutex_};
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::vector<std::uint32_t> addresses_ GUARDED_BY(mutex_);
  std::thread thread_;  // only when a peer is a name
};

// Where a relay sends a group datagram it opened. fromPeer: it came by unicast from a peer
// (address from, host order); else it was heard from the group. peers: the relay's peers now.
struct RelayTargets {
  bool group = false;                // into the relay's own group
  std::vector<std::uint32_t> peers;  // to these peers by unicast
};
RelayTargets RelayTargetsOf(bool fromPeer, std::uint32_t from,
                            const std::vector<std::uint32_t>& peers);

}  // namespace qx
