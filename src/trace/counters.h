// counters.h - the process's named counters: what the station's layers count as they work
// (datagrams, fragments, RPC connections and requests, copy bytes, suppressed trace lines),
// for a reader that takes a snapshot of them all (the agent's metrics).
//
// Each counter is one process-wide atomic, moved with relaxed order: an increment is one
// atomic add, without a lock or an allocation, cheap enough for the datagram and RPC paths.
// The set is fixed at compile time (Metric); a reading is not one instant across counters,
// each value is merely some value the counter had while the snapshot ran. Gauges (kRpcHandler-
// QueueDepth) go up and down; the others only up, wrapping at 2^64. Any thread may call.
//
//   metrics::Add(Metric::kDatagramsSent);
//   metrics::Add(Metric::kCopyBytesServed, block.size());
//   const MetricValues now = metrics::Snapshot();
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qx {

enum class Metric : std::uint8_t {
  kDatagramsReceived,
  kDatagramsSent,
  // Datagrams dropped, by reason.
  kDroppedUnopenable,
  kDroppedForeignKey,
  kDroppedReplayed,
  kDroppedMalformed,
  kDroppedQueueFull,
  kFragmentedMessagesReassembled,
  kFragmentSetsExpired,
  kRpcConnections,
  kRpcHandshakesRefused,
  // RPC requests, by frame kind.
  kRpcStringRequests,
  kRpcDataRequests,
  kRpcHandlerQueueDepth,  // gauge: requests waiting for a handler thread
  kRpcHandlerRefusals,    // requests answered "retry later" because the queue was full
  kCopyBytesServed,
  kTraceLinesSuppressed,
  // Audit entries, by outcome, and the records that had to wait for room in the queue.
  kAuditEntriesWritten,
  kAuditEntriesLost,
  kAuditWaits,
  kCount
};

inline constexpr std::size_t kMetricCount = static_cast<std::size_t>(Metric::kCount);

struct MetricValues {
  std::array<std::uint64_t, kMetricCount> values{};
  std::uint64_t operator[](Metric metric) const { return values[static_cast<std::size_t>(metric)]; }
};

namespace metrics {

void Add(Metric metric, std::uint64_t amount = 1) noexcept;
// Gauges only: lowers the value by amount.
void Subtract(Metric metric, std::uint64_t amount = 1) noexcept;
MetricValues Snapshot() noexcept;

}  // namespace metrics
}  // namespace qx
