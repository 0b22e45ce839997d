// multicast_pipeline.h - what the multicast transport does to a message between the receiver
// function and the sockets, without a socket: on the way out a message is split into fragments
// and each fragment sealed with the cluster key; on the way in a datagram is opened (seal and
// replay window) and its fragment added to its message. The datagrams' layout and the replay
// window: docs/multicast-protocol.md.
//
// Ownership and threads: a MulticastOutbound belongs to one transport and is used by one thread
// at a time (the transport's send lock); a MulticastInbound belongs to one delivery lane and is
// used by that lane's thread only. Neither keeps the cluster key beyond a call.
//
//   MulticastOutbound out(senderId, MulticastFragmentPayload(datagramBytes));
//   out.Seal(*ring->InUse(), SealPath::kGroup, text, [&](std::string_view d) { return Put(d); });
//   ...
//   MulticastInbound in(limits, nullptr);
//   if (auto message = in.Take(ring.get(), datagram, SealPath::kGroup, from, now)) Use(*message);
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "common/hresult.h"
#include "keys/cluster_keys.h"
#include "messaging/datagram_seal.h"
#include "messaging/multicast_fragments.h"

namespace qx {

// The message bytes a datagram of datagramBytes carries: what the sealed header and the tag
// leave (datagramBytes must exceed them; CheckMulticastSettings sees to that).
std::size_t MulticastFragmentPayload(std::uint32_t datagramBytes);

// The way out: one sender's incarnation, its message ids and its fragment size.
class MulticastOutbound {
 public:
  // The sealed datagrams go to put one by one; false from put ends the message there.
  using Put = std::function<bool(std::string_view sealed)>;

  MulticastOutbound(std::uint32_t senderId, std::size_t fragmentPayload)
      : sealer_(senderId), fragmentPayload_(fragmentPayload) {}

  // Splits text under the next message id and hands put each fragment as soon as it is sealed
  // under key for path. S_OK when put took every datagram; E_INVALIDARG when text needs more
  // fragments than a message may have; E_FAIL when a fragment could not be sealed or put
  // refused it (the datagrams before it are out, the ones after it are not sealed).
  HRESULT Seal(const ClusterKey& key, SealPath path, std::string_view text, const Put& put);

  std::uint32_t senderId() const { return sealer_.senderId(); }
  std::uint64_t incarnation() const { return sealer_.incarnation(); }

 private:
  DatagramSealer sealer_;
  std::uint32_t nextMessageId_ = 1;
  const std::size_t fragmentPayload_;
};

// What a MulticastInbound has taken in since it was made.
struct InboundCounters {
  std::uint64_t delivered = 0;  // whole messages handed out
  std::uint64_t notSealed = 0;  // malformed before opening (OpenStatus::kMalformed)
  std::uint64_t unopenable = 0;
  std::uint64_t foreignKey = 0;  // also every datagram taken without a ring
  std::uint64_t replayed = 0;
  AssemblerCounters assembled;  // malformed fragments, duplicates, expired and evicted sets
  std::uint64_t copies = 0;     // replayed group datagrams where copies are expected (harmless)
};

// The way in: a replay window for each sender and the unfinished messages of a delivery lane.
class MulticastInbound {
 public:
  using Clock = FragmentAssembler::Clock;
  // A sender (IPv4 address, host order) whose datagram is sealed under the key id that the ring
  // lacks (0 when the header cannot tell).
  using ForeignSender = std::function<void(std::uint32_t from, std::uint32_t keyId)>;

  // foreignSender (may be empty) hears of each pair once; at most kForeignSendersRemembered
  // pairs are remembered, then the memory starts afresh.
  MulticastInbound(const AssemblerLimits& limits, ForeignSender foreignSender)
      : assembler_(limits), foreignSender_(std::move(foreignSender)) {}

  // Opens one datagram that came by path from `from` with the keys of ring (null: no ring,
  // opens nothing) and adds it to its message: the whole message when it completes one.
  // Whatever is refused is counted. *opened (may be null) tells whether the datagram itself
  // opened as authentic and new, whole message or not (what a relay may forward).
  std::optional<std::string> Take(const KeyRing* ring, std::string_view datagram, SealPath path,
                                  std::uint32_t from, Clock::time_point now,
                                  bool* opened = nullptr);
  // Group datagrams come by several ways here (peers, relays): a group datagram refused as
  // replayed is then counted as a copy, not as a replay.
  void ExpectGroupCopies() { expectGroupCopies_ = true; }
  // Gives up the unfinished messages older than the expiry.
  void Expire(Clock::time_point now) { assembler_.Expire(now); }

  InboundCounters counters() const;

 private:
  void NoteForeignSender(std::uint32_t from, std::string_view datagram);

  FragmentAssembler assembler_;
  DatagramOpener opener_;
  const ForeignSender foreignSender_;
  std::set<std::pair<std::uint32_t, std::uint32_t>> foreignSenders_;  // address, key id
  InboundCounters counters_;
  bool expectGroupCopies_ = false;
  std::string plain_;  // the opened datagram, kept for its capacity
};

}  // namespace qx
