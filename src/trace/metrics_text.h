// metrics_text.h - the station's counters as the Prometheus text exposition format (version
// 0.0.4), and the writer that puts that text into a file for a textfile collector.
//
// A snapshot holds the process's counters (trace/counters.h), what /proc tells of the process
// itself (uptime, resident memory, open descriptors) and the id of the cluster key in use, which
// the caller adds (this layer knows no keys). RenderMetricsText writes one family per figure:
// HELP and TYPE lines, names qxremote_..._total for counters, base units (seconds, bytes), and
// labels from fixed sets only (a drop's reason, a request's kind, the key id). A figure that could
// not be read is left out. The text is a few KiB, whatever the station has seen.
//
// WriteMetricsTextfile replaces a file whole: a temporary file beside it is written, flushed to
// disk and renamed over it, so that a reader sees the old text or the new, never a part; on a
// failure the old file stays as it was. Its name starts with a dot and does not end in .prom,
// so a collector never reads it. No state; any thread may call.
//
//   MetricsSnapshot now = TakeMetricsSnapshot();
//   now.keyIdInUse = 0x1a2b3c4d;
//   std::string error;
//   if (!WriteMetricsTextfile("/var/lib/node_exporter/qxremote.prom", RenderMetricsText(now),
//                             &error)) Complain(error);
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/process_facts.h"
#include "trace/counters.h"

namespace qx {

struct MetricsSnapshot {
  MetricValues counters;
  ProcessFacts process;
  std::optional<std::uint32_t> keyIdInUse;  // none: no key in use (or not known)
};

// The counters now and the facts of this process; keyIdInUse stays empty.
MetricsSnapshot TakeMetricsSnapshot();

std::string RenderMetricsText(const MetricsSnapshot& snapshot);

// True when path holds text; false with *error (when given) naming what failed.
bool WriteMetricsTextfile(const std::string& path, std::string_view text, std::string* error);

}  // namespace qx
