// discovery_bench.cpp - JOIN ingest through the module's C interface: a discovery server of a
// station of the benchmark's own takes 1000 JOIN announcements of distinct hosts (20 projects
// each) by onReceiveMulticast, as qxagent hands them over. Items per second are announcements (goal
// at least 20000).
//
// Every JOIN of a foreign host is answered with an UPDATE through the station's multicast
// component. No agent runs here, so BM_ModuleJoinIngest measures the reply as it fails fast
// (the component's socket is not there); BM_ModuleJoinIngestNoReply installs a component that
// accepts every call and does nothing, leaving the module's own work, the writing of each UPDATE
// reply included (the station is made with that component). BM_ModuleUpdateIngest feeds the same
// announcements as UPDATEs, which enter the tree unanswered: the difference to the JOINs is the
// cost of the replies.
//
// BM_ModuleJoinIngest calls onReceiveMulticast as qxagent does: from one thread for each of
// its delivery lanes, each sender's announcements always on the same lane; the OneLane,
// NoReply and Update variants use one thread. All are timed by the wall clock.
//
// The process keeps a registry and runtime directory of its own in a temporary directory
// (removed at the end) and, when it may, a network namespace of its own: the RPC endpoint that
// the server opens listens on 127.0.0.1 only. Each iteration starts a fresh server (untimed), so
// that every announcement enters an empty tree.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "announcements.h"
#include "client/async_commands.h"
#include "messaging/netqxkomm.h"
#include "nettree/net_tree.h"
#include "qxremoteserver.h"
#include "registry/reg_key.h"
#include "rpc/rpc_settings.h"
#include "server/remote_server.h"
#include "station/station.h"
#include "support/station_dir.h"
#include "support/station_process.h"

namespace {

constexpr int kHosts = 1000;
constexpr int kProjectsPerHost = 20;

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string Announcement(const std::string& event, int host) {
  return qxbench::AnnouncementText(event, host, kProjectsPerHost);
}

std::vector<std::u16string> Announcements(const std::string& event) {
  std::vector<std::u16string> all;
  for (int host = 0; host < kHosts; ++host) all.push_back(Widen(Announcement(event, host)));
  return all;
}

// A component that takes every call and does nothing.
class SilentComponent final : public qx::INetQXKomm {
 public:
  qx::HRESULT SendToGroup(std::string_view) override { return qx::S_OK; }
  qx::HRESULT LocalRequest(std::string_view, qx::AnswerText*) override { return qx::S_OK; }
  qx::HRESULT SendToHost(std::string_view, std::string_view) override { return qx::S_OK; }
};

qx::HRESULT CreateSilentComponent(std::unique_ptr<qx::INetQXKomm>* component) {
  *component = std::make_unique<SilentComponent>();
  return qx::S_OK;
}

// The agent delivers on one lane a core (at most four), each sender always on the same lane;
// the hosts are dealt to the lanes the same way here.
int AgentLanes() { return std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 4); }

void Feed(void* server, const std::vector<std::u16string>& texts, int lanes) {
  auto feedLane = [&](int lane) {
    for (std::size_t i = static_cast<std::size_t>(lane); i < texts.size(); i += lanes) {
      // A failed reply still leaves the host in the tree; only the tree count below decides.
      benchmark::DoNotOptimize(onReceiveMulticast(server, texts[i].c_str()));
    }
  };
  if (lanes == 1) return feedLane(0);
  std::vector<std::thread> threads;
  for (int lane = 0; lane < lanes; ++lane) threads.emplace_back(feedLane, lane);
  for (std::thread& thread : threads) thread.join();
}

// Stops the server as the module's StopRemoteServer does.
void StopServer(std::unique_ptr<qx::CSERVER> server) {
  server->stopRemoteServer();
  qx::StopAsyncCommands(qx::AfterStop::kAcceptNew);
}

// A discovery server of a station whose multicast component transport makes (nullptr: the real
// one), fed through the module's onReceiveMulticast.
void RunIngest(benchmark::State& state, const std::string& event, int lanes,
               qx::NetQXKommFactory transport) {
  const std::vector<std::u16string> texts = Announcements(event);
  qx::StationParts parts;
  parts.transport = transport;
  qx::Station station(std::move(parts));
  std::unique_ptr<qx::CSERVER> server;
  std::size_t hosts = 0;
  std::size_t projects = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (server) StopServer(std::move(server));
    server = std::make_unique<qx::CSERVER>(station);
    if (qx::Failed(server->startRemoteServer(qx::kServiceDiscovery))) {
      state.SkipWithError("startRemoteServer failed");
      break;
    }
    state.ResumeTiming();
    Feed(server.get(), texts, lanes);
  }
  if (server) {
    hosts = station.tree().HostCount();
    projects = station.tree().ProjectCount();
    StopServer(std::move(server));
  }
  if (hosts < kHosts || projects < static_cast<std::size_t>(kHosts * kProjectsPerHost)) {
    state.SkipWithError("hosts or projects lost");
  }
  state.counters["hosts_in_tree"] = static_cast<double>(hosts);
  state.counters["lanes"] = lanes;
  state.SetItemsProcessed(state.iterations() * kHosts);
}

// Wall time: with several lanes the work is spread over threads.
void BM_ModuleJoinIngest(benchmark::State& state) {
  RunIngest(state, "JOIN", AgentLanes(), nullptr);
}
BENCHMARK(BM_ModuleJoinIngest)->Unit(benchmark::kMillisecond)->MinTime(0.5)->UseRealTime();

// The same on one lane: the cost of one announcement.
void BM_ModuleJoinIngestOneLane(benchmark::State& state) { RunIngest(state, "JOIN", 1, nullptr); }
BENCHMARK(BM_ModuleJoinIngestOneLane)->Unit(benchmark::kMillisecond)->MinTime(0.5)->UseRealTime();

void BM_ModuleJoinIngestNoReply(benchmark::State& state) {
  RunIngest(state, "JOIN", 1, &CreateSilentComponent);
}
BENCHMARK(BM_ModuleJoinIngestNoReply)->Unit(benchmark::kMillisecond)->MinTime(0.5)->UseRealTime();

// The same announcements as UPDATEs, which enter the tree unanswered.
void BM_ModuleUpdateIngest(benchmark::State& state) { RunIngest(state, "UPDATE", 1, nullptr); }
BENCHMARK(BM_ModuleUpdateIngest)->Unit(benchmark::kMillisecond)->MinTime(0.5)->UseRealTime();

// The settings of this process's station (StationDir made its registry, runtime directory and
// key ring): a computer name that no announcement uses, RPC on 127.0.0.1 and no project watch.
bool ConfigureStation() {
  const std::string norvane = qx::kNorvaneKey;
  const std::string platform = norvane + "\\PLATFORM";
  const std::string rpc = norvane + "\\RPC";
  if (!qx::CREGKEY::CreateKey(platform.c_str()) || !qx::CREGKEY::CreateKey(rpc.c_str()) ||
      !qx::CREGKEY::CreateKey(qx::kStorageKey)) {
    return false;
  }
  return qx::CREGKEY(platform).SetString("ComputerName", "BENCHSTATION") &&
         qx::CREGKEY(rpc).SetString("ListenAddress", "127.0.0.1") &&
         qx::CREGKEY(qx::kStorageKey).SetInt("CleanRegistry", 0) &&
         qx::CREGKEY(qx::kStorageKey).SetInt("ReplyWithRPC", 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (!qx::testing::EnterPrivateNetwork()) {
    std::fprintf(stderr, "note: no private network namespace; the server listens on 127.0.0.1\n");
  }
  // The station of this process (made before the module's first registry use), removed at the end.
  const qx::testing::StationDir station("qxdiscoverybench");
  if (!ConfigureStation()) {
    std::fprintf(stderr, "cannot write the station's settings in %s\n", station.dir().c_str());
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
