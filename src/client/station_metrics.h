// station_metrics.h - FetchStationMetrics, the running agent's own counters as a reader outside
// the agent sees them.
//
// Asks the local agent over its local socket and returns its counters (datagrams, fragments,
// RPC connections and requests, copy bytes, suppressed trace lines, key id, uptime, memory and
// descriptors) in the text exposition format of Prometheus, one family per counter. The tree's
// hosts and projects are not part of it: a reader counts those from the tree itself. The answer
// is bounded in size and time; any thread.
#pragma once

#include <string>

#include "common/hresult.h"

namespace qx {

// S_OK and the agent's exposition text; an error when no agent answers in time.
HRESULT FetchStationMetrics(std::string* exposition);

}  // namespace qx
