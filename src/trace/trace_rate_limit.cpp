// trace_rate_limit.cpp - the token bucket of a trace source (see trace_rate_limit.h).
#include "trace/trace_rate_limit.h"

#include <algorithm>

#include "trace/counters.h"

namespace qx {
namespace {

constexpr std::int64_t kNanosPerLine = 1'000'000'000 / kTraceLinesPerSecond;
constexpr std::int64_t kFullBucket = kNanosPerLine * kTraceBurstLines;

}  // namespace

TraceRateLimit::Decision TraceRateLimit::Take(Clock::time_point now) {
  MutexLock lock(&mutex_);
  if (credit_ < 0) {
    credit_ = kFullBucket;
  } else if (now > last_) {
    const std::int64_t elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - last_).count();
    credit_ = std::min(kFullBucket, credit_ + std::min(elapsed, kFullBucket));
  }
  last_ = std::max(last_, now);
  Decision decision;
  if (credit_ < kNanosPerLine) {
    ++suppressed_;
    metrics::Add(Metric::kTraceLinesSuppressed);
    return decision;
  }
  credit_ -= kNanosPerLine;
  decision.write = true;
  decision.suppressed = suppressed_;
  suppressed_ = 0;
  return decision;
}

}  // namespace qx
