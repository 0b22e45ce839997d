// manual_clock.h - ManualClock, a monotonic clock that a test moves by hand. Starts at an
// arbitrary non-zero point; Advance may be called from the test's thread while others read Now().
#pragma once

#include <atomic>

#include "common/clock.h"

namespace qx::testing {

class ManualClock final : public MonotonicClock {
 public:
  time_point Now() const override { return time_point(duration(ticks_.load())); }
  void Advance(duration by) { ticks_ += by.count(); }

 private:
  std::atomic<duration::rep> ticks_{duration(std::chrono::hours(1)).count()};
};

}  // namespace qx::testing
