// clock.h - MonotonicClock, the time source of everything in a station that measures how long
// something took or how long ago it was heard: deadlines, liveness, rate limits.
//
// Only monotonic time is used for such decisions, so a wall clock set forward or back changes
// nothing. The station owns one clock and passes it down; production code uses
// SystemMonotonicClock(), tests pass a clock they drive by hand. Now() may be called from any
// thread.
#pragma once

#include <chrono>

namespace qx {

class MonotonicClock {
 public:
  using duration = std::chrono::steady_clock::duration;
  using time_point = std::chrono::steady_clock::time_point;

  virtual ~MonotonicClock() = default;
  virtual time_point Now() const = 0;
};

// The steady clock of the system; lives as long as the process.
const MonotonicClock& SystemMonotonicClock();

}  // namespace qx
