// heap_memory.cpp - ReturnFreeHeapMemory with glibc's malloc_trim, KeepHeapSmall with mallopt.
#include "platform/heap_memory.h"

#include <malloc.h>

namespace qx {

void ReturnFreeHeapMemory() { ::malloc_trim(0); }

void KeepHeapSmall() {
  // Each thread that allocates could otherwise get an arena of its own (eight a core), whose
  // free lists keep what a burst left behind. Fixed thresholds also stop glibc from raising
  // the mmap threshold after the first large buffer is freed.
  ::mallopt(M_ARENA_MAX, kHeapArenas);
  ::mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
  ::mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
}

HeapTrimTimer::HeapTrimTimer(std::chrono::milliseconds interval)
    : thread_([this, interval] { Run(interval); }) {}

HeapTrimTimer::~HeapTrimTimer() {
  {
    MutexLock lock(&mutex_);
    stop_ = true;
    changed_.SignalAll();
  }
  thread_.join();
}

void HeapTrimTimer::Run(std::chrono::milliseconds interval) {
  for (;;) {
    {
      MutexLock lock(&mutex_);
      const auto next = std::chrono::steady_clock::now() + interval;
      while (!stop_ && std::chrono::steady_clock::now() < next) changed_.WaitUntil(next);
      if (stop_) return;
    }
    ReturnFreeHeapMemory();
  }
}

}  // namespace qx
