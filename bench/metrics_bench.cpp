// Cost of the station's metrics: one counter increment (what the datagram and RPC paths pay),
// the same from several threads at once, and a scrape of the agent's own part (the counters'
// snapshot, /proc/self, the text). The tree's part of a scrape is weighed elsewhere.
#include <benchmark/benchmark.h>

#include <string>

#include "trace/counters.h"
#include "trace/metrics_text.h"

namespace {

void BM_CounterAdd(benchmark::State& state) {
  for (auto _ : state) qx::metrics::Add(qx::Metric::kDatagramsReceived);
}
BENCHMARK(BM_CounterAdd)->Threads(1)->Threads(2);

void BM_MetricsScrape(benchmark::State& state) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    qx::MetricsSnapshot snapshot = qx::TakeMetricsSnapshot();
    snapshot.keyIdInUse = 0xdca0a7c7;
    const std::string text = qx::RenderMetricsText(snapshot);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["text_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_MetricsScrape);

void BM_MetricsRender(benchmark::State& state) {
  qx::MetricsSnapshot snapshot = qx::TakeMetricsSnapshot();
  for (auto _ : state) {
    const std::string text = qx::RenderMetricsText(snapshot);
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_MetricsRender);

}  // namespace

BENCHMARK_MAIN();
