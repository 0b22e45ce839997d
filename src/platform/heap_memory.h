// heap_memory.h - giving freed heap memory back to the operating system.
//
// After a burst of large requests the allocator keeps the freed pages for reuse, so the
// process stays at its peak size. ReturnFreeHeapMemory hands what is free back at once; it
// costs a walk over the heap, so callers limit how often they call it. Any thread may call.
//
// A long-running daemon calls KeepHeapSmall first thing in main (before any thread starts): few
// arenas, blocks from kMmapThreshold up mapped on their own (and unmapped when freed), and the
// top of the heap given back above kTrimThreshold. HeapTrimTimer then gives free memory back
// every interval until it is destroyed; owned by main, created and destroyed on one thread.
#pragma once

#include <chrono>
#include <thread>

#include "common/mutex.h"

namespace qx {

void ReturnFreeHeapMemory();

inline constexpr int kHeapArenas = 2;
inline constexpr int kMmapThreshold = 256 * 1024;
inline constexpr int kTrimThreshold = 1024 * 1024;
void KeepHeapSmall();

class HeapTrimTimer {
 public:
  explicit HeapTrimTimer(std::chrono::milliseconds interval);
  ~HeapTrimTimer();
  HeapTrimTimer(const HeapTrimTimer&) = delete;
  HeapTrimTimer& operator=(const HeapTrimTimer&) = delete;

 private:
  void Run(std::chrono::milliseconds interval) EXCLUDES(mutex_);

  Mutex mutex_;
  CondVar changed_{&mutex_};
  bool stop_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

}  // namespace qx
