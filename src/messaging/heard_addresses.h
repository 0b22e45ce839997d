// heard_addresses.h - HeardAddresses, the IPv4 addresses this station heard an authentic
// datagram from lately, so that a unicast send to one of them can tell the kernel that the way
// there works (MSG_CONFIRM).
//
// Why: the kernel checks a neighbour again by unicast ARP when no upper layer confirmed it for
// about 30 s, and marks it failed when three of those checks are lost (a lossy link). Unicast
// sends to it are then dropped until a new resolution, which waits a second between tries: a
// probe of a station whose beats still arrive could go unanswered for that long. A datagram
// that opened with the cluster key and came from the address within the window is the
// confirmation that UDP cannot give by itself. A station that went away is heard no more, so
// its neighbour is checked again as usual once the window has passed.
//
// Bounded: at most kMaxHeardAddresses addresses; when full, those not heard within the window
// are dropped, and if that frees none, the new address is not kept (its sends go unconfirmed,
// as they would without this table). Thread-safe: the delivery lanes note, the senders ask.
//
//   HeardAddresses heard(std::chrono::seconds(5));
//   heard.Note(from, now);                        // an authentic datagram from `from`
//   if (heard.HeardWithin(to, now)) flags |= MSG_CONFIRM;
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "common/mutex.h"

namespace qx {

inline constexpr std::size_t kMaxHeardAddresses = 4096;

class HeardAddresses {
 public:
  using Clock = std::chrono::steady_clock;

  explicit HeardAddresses(Clock::duration window) : window_(window) {}

  void Note(std::uint32_t address, Clock::time_point now) EXCLUDES(mutex_);
  bool HeardWithin(std::uint32_t address, Clock::time_point now) const EXCLUDES(mutex_);
  std::size_t size() const EXCLUDES(mutex_);

 private:
  const Clock::duration window_;
  mutable Mutex mutex_;
  std::unordered_map<std::uint32_t, Clock::time_point> heard_ GUARDED_BY(mutex_);
};

}  // namespace qx
