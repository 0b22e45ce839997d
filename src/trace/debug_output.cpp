// debug_output.cpp - the debug output channel and the cached trace viewer test.
//
// The viewer test asks the platform at most once a second; between asks every thread reads the
// cached answer from two atomics, so the trace path stays free of locks and system calls.
#include "trace/debug_output.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>

#include "platform/debug_channel.h"
#include "platform/environment.h"

namespace qx {
namespace {

constexpr std::int64_t kViewerCacheNs = 1'000'000'000;
constexpr std::int64_t kNeverChecked = std::numeric_limits<std::int64_t>::min();

std::atomic<std::int64_t> g_viewerCheckedAt{kNeverChecked};
std::atomic<bool> g_viewerPresent{false};

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void OutputDebugLine(std::string_view line) {
  SendDebugDatagram(RuntimeDir() + "/debug.sock", line);
}

bool TraceViewerPresent() {
  const std::int64_t now = NowNs();
  const std::int64_t checkedAt = g_viewerCheckedAt.load(std::memory_order_acquire);
  if (checkedAt != kNeverChecked && now - checkedAt < kViewerCacheNs) {
    return g_viewerPresent.load(std::memory_order_relaxed);
  }
  const bool present = SocketAccepts(RuntimeDir() + "/tracetree.sock");
  g_viewerPresent.store(present, std::memory_order_relaxed);
  g_viewerCheckedAt.store(now, std::memory_order_release);
  return present;
}

void ResetTraceViewerCacheForTesting() {
  g_viewerCheckedAt.store(kNeverChecked, std::memory_order_release);
}

}  // namespace qx
