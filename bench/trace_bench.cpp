// Cost of a trace call: a disabled line (the mask test only), a written line that nobody
// reads, and the password masking of a long answer.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "trace/trace.h"

namespace {

const qx::CTraceSource kSource("RemoteServer");

void BM_TraceDisabled(benchmark::State& state) {
  qx::Diagnosis().SetMasks(qx::kTraceServer, qx::kLevelMain);
  const std::string text(200, 't');
  for (auto _ : state) {
    qx::Trace(kSource, nullptr, nullptr, qx::kTraceTalk, qx::kLevelText,
              "<TalkByString>%s</TalkByString>", text.c_str());
  }
  qx::Diagnosis().SetMasks(0, 0);
}
BENCHMARK(BM_TraceDisabled);

void BM_TraceWrittenUnread(benchmark::State& state) {
  // A runtime directory where nobody listens (asked anew, being another directory): the line
  // is built and its datagram dropped.
  ::setenv("QX_RUNTIME_DIR", "/tmp/qx-trace-bench-nobody", 1);
  qx::Diagnosis().SetMasks(qx::kTraceAll, qx::kTraceAll);
  const std::string text(static_cast<std::size_t>(state.range(0)), 't');
  for (auto _ : state) {
    qx::Trace(kSource, nullptr, nullptr, qx::kTraceTalk, qx::kLevelText,
              "<TalkByString>%s</TalkByString>", text.c_str());
  }
  qx::Diagnosis().SetMasks(0, 0);
}
BENCHMARK(BM_TraceWrittenUnread)->Arg(200)->Arg(32000);

void BM_MaskPasswords(benchmark::State& state) {
  std::string answer;
  for (int i = 0; i < 100; ++i)
    answer += "<Project><DSN>Plant</DSN><PASSWORD>pw</PASSWORD></Project>";
  for (auto _ : state) benchmark::DoNotOptimize(qx::MaskPasswords(answer));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(answer.size()));
}
BENCHMARK(BM_MaskPasswords);

}  // namespace

BENCHMARK_MAIN();
