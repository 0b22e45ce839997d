// web_bench.cpp - the web view at 1000 hosts of 20 projects: the tree's part of a /metrics
// scrape (counted from the tree, and served over HTTP on 127.0.0.1) and the JSON of the first
// view. Goal: a scrape under 5 ms.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <string>

#include "web_content.h"
#include "web_server.h"
#include "web_state.h"

namespace {

qxstation::NetworkView Plant() {
  qxstation::NetworkView view;
  for (int d = 0; d < 10; ++d) view.domains.push_back({"DOMAIN" + std::to_string(d), {}});
  for (int h = 0; h < 1000; ++h) {
    qxstation::HostEntry host;
    host.name = "STATION" + std::to_string(h);
    host.domain = view.domains[h % 10].name;
    host.address = "10.0." + std::to_string(h / 250) + "." + std::to_string(h % 250);
    host.user = "operator";
    host.version = "0.1.0";
    host.state = h % 50 == 0 ? "failed" : "alive";
    host.projectCount = 20;
    view.domains[h % 10].hosts.push_back(host.name);
    for (int p = 0; p < 20; ++p) {
      qxstation::ProjectEntry project;
      project.dsn = host.name + "_PROJECT" + std::to_string(p);
      project.name = project.dsn;
      project.type = "Multi User";
      project.state = p % 2 == 0 ? "Run Time" : "Configuration";
      project.host = host.name;
      project.server = host.name;
      view.projects.push_back(std::move(project));
    }
    view.hosts.push_back(std::move(host));
  }
  return view;
}

void BM_TreeMetrics(benchmark::State& state) {
  const qxstation::NetworkView view = Plant();
  for (auto _ : state) benchmark::DoNotOptimize(qxstation::TreeMetricsText(view));
}
BENCHMARK(BM_TreeMetrics)->Unit(benchmark::kMicrosecond)->Iterations(200);

void BM_FirstViewJson(benchmark::State& state) {
  const qxstation::NetworkView view = Plant();
  for (auto _ : state) {
    benchmark::DoNotOptimize(qxstation::WebJsonText(qxstation::WebTreeJson(view)));
  }
}
BENCHMARK(BM_FirstViewJson)->Unit(benchmark::kMillisecond)->Iterations(20);

// A whole scrape of /metrics over HTTP on loopback (the agent's own part left out).
void BM_MetricsScrapeHttp(benchmark::State& state) {
  qxstation::WebState web;
  web.SetView(Plant(), true);
  qxstation::WebOptions options;
  options.port = 0;
  qxstation::WebLogin login;
  qxstation::WebServer server(
      options, {}, &web, &login,
      {[] { return std::string("{}"); }, [] { return std::optional<std::string>(); }});
  std::string error;
  if (!server.Start(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  httplib::Client client("127.0.0.1", server.port());
  client.set_keep_alive(true);
  client.set_read_timeout(10, 0);
  for (auto _ : state) {
    const httplib::Result result = client.Get("/metrics");
    if (!result || result->status != 200) {
      state.SkipWithError("the scrape failed");
      break;
    }
    benchmark::DoNotOptimize(result->body.size());
  }
  server.Stop();
}
BENCHMARK(BM_MetricsScrapeHttp)->Unit(benchmark::kMicrosecond)->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
