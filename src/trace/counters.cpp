// counters.cpp - the counters' cells: one cache line each, so that threads counting different
// things do not contend for one line.
#include "trace/counters.h"

#include <atomic>

namespace qx::metrics {
namespace {

struct alignas(64) Cell {
  std::atomic<std::uint64_t> value{0};
};

Cell gCells[kMetricCount];

Cell& CellOf(Metric metric) { return gCells[static_cast<std::size_t>(metric)]; }

}  // namespace

void Add(Metric metric, std::uint64_t amount) noexcept {
  CellOf(metric).value.fetch_add(amount, std::memory_order_relaxed);
}

void Subtract(Metric metric, std::uint64_t amount) noexcept {
  CellOf(metric).value.fetch_sub(amount, std::memory_order_relaxed);
}

MetricValues Snapshot() noexcept {
  MetricValues now;
  for (std::size_t i = 0; i < kMetricCount; ++i) {
    now.values[i] = gCells[i].value.load(std::memory_order_relaxed);
  }
  return now;
}

}  // namespace qx::metrics
