// rpc_connection_slots.h - RpcConnectionSlots, the process-wide count of the connections that
// the RPC servers of this process hold, and the bounds that keep peers without a key from
// crowding out stations.
//
// Every accepted connection takes a slot until it closes. While its TLS handshake is not done
// it is "pending": a peer that has proved nothing. Pending connections are bounded per source
// address and in total, and all connections together stay below the descriptor limit with room
// to spare for sessions, files, the registry and libraries (CapsForDescriptors). When a new
// connection would pass a bound, the OLDEST pending connection (of that source when the
// source's bound is reached, else of any source) is evicted rather than the new one refused,
// and one whose peer has sent nothing yet goes before one whose peer has begun its handshake:
// a keyed peer sends its ClientHello at once, and the slots look at a candidate's socket
// (HasSpoken) before they evict it, so the bytes count even when the connection's own thread
// has not run yet. Silent peers of other addresses never take a keyed peer's slot; those of
// its own address take it only if its ClientHello has not arrived while as many newer
// connections as that address may hold came after it. Only when every slot is held by an
// authenticated session is a new connection refused.
//
// When accept fails for want of descriptors, DescriptorsExhausted evicts a batch of the oldest
// pending connections and bounds the connections below what was open then, for a while.
//
// Eviction runs the evict callback that the connection gave Admit, under the slots' lock: it
// must only hand the work to the connection's own thread (asio::post), never block nor call
// back. The owner of connections (a running server) calls ForgetOwner before its callbacks
// stop being valid. Any thread may call; the instance is never destroyed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <utility>

#include "common/mutex.h"

namespace qx {

struct RpcConnectionCaps {
  std::size_t connections = 0;       // every connection of the process's RPC servers
  std::size_t pending = 0;           // of them, those whose TLS handshake is not done
  std::size_t pendingPerSource = 0;  // of those, from one source address
  bool operator==(const RpcConnectionCaps&) const = default;
};

// The caps for a process whose descriptor limit is `limit` with `open` descriptors open: a
// quarter of what is free stays for everything but RPC connections (at least kMinHeadroom),
// half of the rest may be pending, and half of that from one address.
RpcConnectionCaps CapsForDescriptors(std::uint64_t limit, std::uint64_t open);
// The same for this process now (RLIMIT_NOFILE and /proc/self/fd); a limit that cannot be read
// counts as 1024.
RpcConnectionCaps CapsForThisProcess();

class RpcConnectionSlots {
 public:
  using Evict = std::function<void()>;
  // Whether the peer has sent bytes; runs under the slots' lock, so it must not block.
  using HasSpoken = std::function<bool()>;
  static constexpr std::size_t kEvictBatch = 16;
  static constexpr auto kExhaustedHold = std::chrono::seconds(60);

  static RpcConnectionSlots& Instance();
  RpcConnectionSlots() = default;
  RpcConnectionSlots(const RpcConnectionSlots&) = delete;
  RpcConnectionSlots& operator=(const RpcConnectionSlots&) = delete;

  // The caps from now on (a server's start); forgets a bound learned from exhaustion.
  void SetCaps(const RpcConnectionCaps& caps) EXCLUDES(mutex_);

  // A connection just accepted from source (IPv4, host order), pending. Evicts what the caps
  // ask for; *evicted tells how many. False when every slot is held by authenticated sessions:
  // the caller closes the connection. On true, *ticket names the connection from now on.
  // hasSpoken is asked now and again before the connection would be evicted as a silent one;
  // it stays valid until Release.
  bool Admit(const void* owner, std::uint32_t source, HasSpoken hasSpoken, Evict evict,
             std::uint64_t* ticket, std::size_t* evicted) EXCLUDES(mutex_);
  // The peer of a pending connection has sent bytes: it goes after the silent ones.
  void Spoke(std::uint64_t ticket) EXCLUDES(mutex_);
  // The connection's handshake is done: it keeps its slot and is no longer evicted.
  void Authenticated(std::uint64_t ticket) EXCLUDES(mutex_);
  // The connection closed (again, or after its eviction, changes nothing).
  void Release(std::uint64_t ticket) EXCLUDES(mutex_);
  // accept found no descriptor: evicts up to kEvictBatch of the oldest pending connections and
  // bounds the connections for kExhaustedHold below what was open. Returns how many went.
  std::size_t DescriptorsExhausted() EXCLUDES(mutex_);
  // Forgets the connections of owner without evicting them (their server stops).
  void ForgetOwner(const void* owner) EXCLUDES(mutex_);

  RpcConnectionCaps caps() const EXCLUDES(mutex_);
  std::size_t open() const EXCLUDES(mutex_);
  std::size_t pending() const EXCLUDES(mutex_);

 private:
  // Eviction order: silent before spoken, then oldest first.
  using Rank = std::pair<bool, std::uint64_t>;  // (spoke, ticket)
  struct Pending {
    const void* owner = nullptr;
    std::uint32_t source = 0;
    bool spoke = false;
    HasSpoken hasSpoken;
    Evict evict;
  };
  std::size_t ConnectionCapLocked() REQUIRES(mutex_);
  // The connection to evict first among ranks (not empty): a silent one whose peer has spoken
  // after all moves behind the silent ones first.
  std::uint64_t VictimLocked(const std::set<Rank>& ranks) REQUIRES(mutex_);
  void MarkSpokenLocked(std::map<std::uint64_t, Pending>::iterator it) REQUIRES(mutex_);
  // Evicts the pending connection of ticket; false when it is not pending.
  bool EvictLocked(std::uint64_t ticket) REQUIRES(mutex_);
  void DropPendingLocked(std::map<std::uint64_t, Pending>::iterator it) REQUIRES(mutex_);

  mutable Mutex mutex_;
  RpcConnectionCaps caps_ GUARDED_BY(mutex_) = CapsForDescriptors(1024, 0);
  std::size_t exhaustedCap_ GUARDED_BY(mutex_) = 0;  // 0: none
  std::chrono::steady_clock::time_point exhaustedUntil_ GUARDED_BY(mutex_);
  std::uint64_t nextTicket_ GUARDED_BY(mutex_) = 1;
  std::set<std::uint64_t> open_ GUARDED_BY(mutex_);
  std::map<std::uint64_t, Pending> pending_ GUARDED_BY(mutex_);
  std::set<Rank> order_ GUARDED_BY(mutex_);
  std::map<std::uint32_t, std::set<Rank>> bySource_ GUARDED_BY(mutex_);
};

}  // namespace qx
