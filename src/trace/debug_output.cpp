// debug_output.cpp - the debug output channel and the cached trace viewer test.
//
// The process's TraceViewerCache lives here; it is constant-initialised and has nothing to
// destroy, so traces written before or after the module's other static objects still find it.
#include "trace/debug_output.h"

#include <functional>

#include "platform/debug_channel.h"
#include "platform/environment.h"

namespace qx {
namespace {

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::uint64_t PathKey(const std::string& path) {
  return static_cast<std::uint64_t>(std::hash<std::string>{}(path)) & ~std::uint64_t{1};
}

constinit TraceViewerCache g_viewerCache;

}  // namespace

bool TraceViewerCache::Present(const std::string& socketPath) {
  const std::int64_t now = NowNs();
  const std::uint64_t key = PathKey(socketPath);
  const std::int64_t checkedAt = checkedAt_.load(std::memory_order_acquire);
  const std::uint64_t cached = pathAndAnswer_.load(std::memory_order_relaxed);
  if (checkedAt != kNeverChecked && now - checkedAt < maxAgeNs_ &&
      (cached & ~std::uint64_t{1}) == key) {
    return (cached & 1) != 0;
  }
  const bool present = SocketAccepts(socketPath);
  pathAndAnswer_.store(key | (present ? 1 : 0), std::memory_order_relaxed);
  checkedAt_.store(now, std::memory_order_release);
  return present;
}

void TraceViewerCache::Forget() { checkedAt_.store(kNeverChecked, std::memory_order_release); }

void OutputDebugLine(std::string_view line) {
  SendDebugDatagram(RuntimeDir() + "/debug.sock", line);
}

bool TraceViewerPresent() { return g_viewerCache.Present(RuntimeDir() + "/tracetree.sock"); }

}  // namespace qx
