// clock.cpp - the system's monotonic clock.
#include "common/clock.h"

namespace qx {
namespace {

class SteadyClock final : public MonotonicClock {
 public:
  time_point Now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace

const MonotonicClock& SystemMonotonicClock() {
  static const SteadyClock clock;
  return clock;
}

}  // namespace qx
