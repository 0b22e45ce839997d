// metrics_command.h - qxstation metrics: the agent's counters as Prometheus text, printed or
// written whole into a file for a textfile collector.
//
// The text comes from the running agent (FetchStationMetrics); exit codes as failures.h says.
// Main thread.
//
//   return RunMetrics(std::nullopt, stdout, stderr);               // print
//   return RunMetrics("/var/lib/prometheus/node-exporter/qxremote.prom", stdout, stderr);
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace qxstation {

int RunMetrics(const std::optional<std::string>& textfile, std::FILE* out, std::FILE* err);

}  // namespace qxstation
