// trace_rate_limit.h - how many error and warning lines one trace source may write.
//
// A token bucket: a source writes up to kTraceBurstLines such lines at once and
// kTraceLinesPerSecond on average; the lines beyond are dropped and counted. The next line that
// the bucket lets through learns the count, so that the trace writes one "suppressed N lines"
// summary before it. Each CTraceSource owns one; any thread may call Take.
#pragma once

#include <chrono>
#include <cstdint>

#include "common/mutex.h"

namespace qx {

inline constexpr std::uint32_t kTraceBurstLines = 20;
inline constexpr std::uint32_t kTraceLinesPerSecond = 20;

class TraceRateLimit {
 public:
  using Clock = std::chrono::steady_clock;

  struct Decision {
    bool write = false;
    std::uint64_t suppressed = 0;  // lines dropped since the last written one (when write)
  };

  TraceRateLimit() = default;
  TraceRateLimit(const TraceRateLimit&) = delete;
  TraceRateLimit& operator=(const TraceRateLimit&) = delete;

  // Whether a line at time now may be written.
  Decision Take(Clock::time_point now) EXCLUDES(mutex_);

 private:
  Mutex mutex_;
  // Tokens in nanoseconds of refill: one line costs kNanosPerLine.
  std::int64_t credit_ GUARDED_BY(mutex_) = -1;  // -1: never used (a full bucket)
  Clock::time_point last_ GUARDED_BY(mutex_);
  std::uint64_t suppressed_ GUARDED_BY(mutex_) = 0;
};

}  // namespace qx
