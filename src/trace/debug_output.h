// debug_output.h - the platform debug output channel and the trace viewer test.
//
// OutputDebugLine sends one line, unfiltered, as a datagram to the runtime directory's debug
// socket ("debug.sock"), where "qxstation trace" reads it; with nobody listening the line is
// dropped. TraceViewerPresent tells whether "qxstation trace --tree" holds the runtime
// directory's "tracetree.sock"; the process keeps one TraceViewerCache for it, so the answer is
// cached for a short while per runtime directory. Any thread may call both.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace qx {

void OutputDebugLine(std::string_view line);
bool TraceViewerPresent();

// Whether a trace viewer holds a socket path, asked of the platform at most once per maxAge for
// the same path; between asks every thread reads the cached answer from two atomics, so the
// trace path stays free of locks and system calls. Asking about another path (another runtime
// directory) is never answered from the cache. Any thread may call Present; the owner alone
// calls Forget.
class TraceViewerCache {
 public:
  constexpr explicit TraceViewerCache(std::chrono::nanoseconds maxAge = std::chrono::seconds(1))
      : maxAgeNs_(maxAge.count()) {}
  TraceViewerCache(const TraceViewerCache&) = delete;
  TraceViewerCache& operator=(const TraceViewerCache&) = delete;

  bool Present(const std::string& socketPath);
  // The next Present asks the platform again.
  void Forget();

 private:
  static constexpr std::int64_t kNeverChecked = std::numeric_limits<std::int64_t>::min();

  const std::int64_t maxAgeNs_;
  std::atomic<std::int64_t> checkedAt_{kNeverChecked};
  // The hash of the path asked about, its lowest bit replaced by the answer.
  std::atomic<std::uint64_t> pathAndAnswer_{0};
};

}  // namespace qx
