// convergence.cpp - how fast whole stations find and lose each other.
//
// Twenty qxagent stations, STATION10 .. STATION29 on 127.0.0.10-29, each with its own registry,
// runtime directory and computer name and one multicast group on the loopback interface
// (TTL 0), are started together. Measured per run:
//   convergence_ms       from the first spawn until every station's tree holds all 20 hosts
//                        (goal under 1000);
//   after_last_ready_ms  the same moment counted from the last "ready" line of an agent
//                        (negative when the trees were complete before it);
//   leave_ms             from SIGTERM to one agent until it is gone from every other tree
//                        (goal under 100).
// The trees are read in this process through each station's multicast component (the runtime
// directory is chosen by QX_RUNTIME_DIR at every call), not by spawning qxstation.
//
// Prints one JSON object on stdout: the runs and their medians. Runs in a network namespace of
// its own when it may make one; only the agents it started are ever signalled, by pid. Every
// wait is bounded; the temporary directory is removed at the end. Single-threaded.
//
//   convergence [--runs N]        (1 <= N <= 10, default 3)
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "messaging/netqxkomm.h"
#include "support/station_process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kStations = 20;
constexpr int kFirstAddress = 10;
constexpr const char* kMulticastPort = "24797";
constexpr auto kConvergeLimit = 20s;
constexpr auto kLeaveLimit = 5s;
constexpr const char* kNorvane = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE";

struct Station {
  std::string name;
  std::string address;
  std::string dir;
  std::unique_ptr<qx::testing::ChildProcess> agent;

  qx::testing::Environment env() const {
    return {{"QX_REGISTRY", dir + "/registry.db"}, {"QX_RUNTIME_DIR", dir + "/run"}};
  }
};

struct Run {
  double convergenceMs = -1;
  double afterLastReadyMs = 0;
  double leaveMs = -1;
};

double MsSince(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double, std::milli>(end - start).count();
}

bool Set(const Station& station, const std::string& key, const std::string& name,
         const std::string& value, bool dword = false) {
  std::vector<std::string> args = {"registry", "set", std::string(kNorvane) + "\\" + key, name,
                                   value};
  if (dword) args.push_back("--dword");
  const qx::testing::ProgramResult result =
      qx::testing::RunProgram(QX_STATION_PATH, args, station.env(), 10s);
  if (result.exitCode != 0) {
    std::fprintf(stderr, "%s: registry set %s failed: %.400s\n", station.name.c_str(), name.c_str(),
                 result.err.c_str());
  }
  return result.exitCode == 0;
}

bool Configure(const Station& station) {
  return qx::testing::MakeStationDir(station.dir) &&
         Set(station, "PLATFORM", "ComputerName", station.name) &&
         Set(station, "RPC", "ListenAddress", station.address) &&
         Set(station, "MULTICAST", "Port", kMulticastPort, true);
}

// The station's tree as its component answers it; empty when it cannot be read.
std::string Tree(const Station& station) {
  setenv("QX_RUNTIME_DIR", (station.dir + "/run").c_str(), 1);
  std::unique_ptr<qx::INetQXKomm> component;
  qx::AnswerText answer;
  if (qx::Failed(qx::CreateNetQXKomm(&component)) || !component ||
      qx::Failed(component->LocalRequest("<GetTreeContent/>", &answer)) || !answer) {
    return {};
  }
  return *answer;
}

bool Holds(const std::string& tree, const Station& station) {
  return tree.find("<Host>" + station.name + "</Host>") != std::string::npos;
}

void StopAll(std::vector<Station>& stations) {
  for (Station& station : stations) {
    if (station.agent) station.agent->Signal(SIGTERM);
  }
  for (Station& station : stations) {
    if (!station.agent) continue;
    const int status = station.agent->Terminate(10s);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "%s ended with status %d: %.400s\n", station.name.c_str(), status,
                   station.agent->errors().c_str());
    }
    station.agent.reset();
  }
}

// One life of the twenty stations: start, converge, one leaves, the rest stop.
Run RunOnce(std::vector<Station>& stations) {
  Run run;
  const Clock::time_point start = Clock::now();
  for (Station& station : stations) {
    station.agent = std::make_unique<qx::testing::ChildProcess>(
        QX_AGENT_PATH, std::vector<std::string>{}, station.env());
  }
  std::vector<bool> ready(stations.size(), false);
  std::vector<bool> complete(stations.size(), false);
  Clock::time_point lastReady = start;
  std::size_t readyCount = 0;
  std::size_t completeCount = 0;
  std::string lastTree;
  while (completeCount < stations.size() && Clock::now() - start < kConvergeLimit) {
    // A wait of 2 ms polls the agent's stdout for about 1 ms (shorter waits do not read).
    for (std::size_t i = 0; i < stations.size(); ++i) {
      if (ready[i]) continue;
      if (stations[i].agent->WaitForLine("ready", 2ms)) {
        ready[i] = true;
        ++readyCount;
        lastReady = Clock::now();
      }
    }
    for (std::size_t i = 0; i < stations.size(); ++i) {
      if (complete[i]) continue;
      lastTree = Tree(stations[i]);
      if (std::all_of(stations.begin(), stations.end(),
                      [&](const Station& other) { return Holds(lastTree, other); })) {
        complete[i] = true;
        ++completeCount;
      }
    }
    if (completeCount < stations.size()) std::this_thread::sleep_for(2ms);
  }
  const Clock::time_point converged = Clock::now();
  if (completeCount < stations.size()) {
    std::fprintf(stderr, "not converged: %zu of %zu trees complete, %zu ready; a tree:\n%.2000s\n",
                 completeCount, stations.size(), readyCount, lastTree.c_str());
    StopAll(stations);
    return run;
  }
  run.convergenceMs = MsSince(start, converged);
  // The trees may be complete before the last agent printed "ready": the lines still missing
  // are read on (a round lags up to 20 ms), and the figure is then negative.
  const Clock::time_point readyLimit = Clock::now() + 10s;
  while (readyCount < stations.size() && Clock::now() < readyLimit) {
    for (std::size_t i = 0; i < stations.size(); ++i) {
      if (!ready[i] && stations[i].agent->WaitForLine("ready", 2ms)) {
        ready[i] = true;
        ++readyCount;
        lastReady = Clock::now();
      }
    }
  }
  run.afterLastReadyMs = MsSince(lastReady, converged);

  Station& leaving = stations.back();
  const Clock::time_point signalled = Clock::now();
  leaving.agent->Signal(SIGTERM);
  std::vector<bool> gone(stations.size() - 1, false);
  std::size_t goneCount = 0;
  while (goneCount < gone.size() && Clock::now() - signalled < kLeaveLimit) {
    for (std::size_t i = 0; i < gone.size(); ++i) {
      if (gone[i]) continue;
      lastTree = Tree(stations[i]);
      if (!lastTree.empty() && !Holds(lastTree, leaving)) {
        gone[i] = true;
        ++goneCount;
      }
    }
    if (goneCount < gone.size()) std::this_thread::sleep_for(1ms);
  }
  if (goneCount == gone.size()) {
    run.leaveMs = MsSince(signalled, Clock::now());
  } else {
    std::fprintf(stderr, "%s still in %zu trees after %lld ms\n", leaving.name.c_str(),
                 gone.size() - goneCount,
                 static_cast<long long>(
                     std::chrono::duration_cast<std::chrono::milliseconds>(kLeaveLimit).count()));
  }
  StopAll(stations);
  return run;
}

// Median of the runs that measured it; -1 when none did.
double Median(std::vector<double> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: convergence [--runs N]\n");
      return 2;
    }
  }
  if (runs < 1 || runs > 10) {
    std::fprintf(stderr, "--runs takes 1 to 10\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  const bool privateNetwork = qx::testing::EnterPrivateNetwork();
  if (!privateNetwork) {
    std::fprintf(stderr, "note: no private network namespace; using 127.0.0.%d-%d\n", kFirstAddress,
                 kFirstAddress + kStations - 1);
  }
  char pattern[] = "/tmp/qxconvergence.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string root = pattern;
  std::vector<Station> stations(kStations);
  bool configured = true;
  for (int i = 0; i < kStations && configured; ++i) {
    Station& station = stations[static_cast<std::size_t>(i)];
    station.name = "STATION" + std::to_string(kFirstAddress + i);
    station.address = "127.0.0." + std::to_string(kFirstAddress + i);
    station.dir = root + "/" + station.name;
    configured = Configure(station);
  }
  std::vector<Run> results;
  for (int i = 0; i < runs && configured; ++i) {
    results.push_back(RunOnce(stations));
    std::fprintf(stderr, "run %d: convergence %.1f ms (%.1f after the last ready), leave %.1f ms\n",
                 i + 1, results.back().convergenceMs, results.back().afterLastReadyMs,
                 results.back().leaveMs);
  }
  std::error_code ignored;
  fs::remove_all(root, ignored);
  if (!configured) return 1;

  std::vector<double> convergence, afterReady, leave;
  std::string list;
  for (const Run& run : results) {
    if (run.convergenceMs >= 0) {
      convergence.push_back(run.convergenceMs);
      afterReady.push_back(run.afterLastReadyMs);
    }
    if (run.leaveMs >= 0) leave.push_back(run.leaveMs);
    char item[160];
    std::snprintf(item, sizeof item,
                  "%s{\"convergence_ms\": %.3f, \"after_last_ready_ms\": %.3f, \"leave_ms\": %.3f}",
                  list.empty() ? "" : ", ", run.convergenceMs, run.afterLastReadyMs, run.leaveMs);
    list += item;
  }
  std::printf(
      "{\"stations\": %d, \"private_network\": %s, \"runs\": [%s], \"convergence_ms\": %.3f, "
      "\"after_last_ready_ms\": %.3f, \"leave_ms\": %.3f}\n",
      kStations, privateNetwork ? "true" : "false", list.c_str(), Median(convergence),
      Median(afterReady), Median(leave));
  const bool allMeasured = std::none_of(results.begin(), results.end(), [](const Run& run) {
    return run.convergenceMs < 0 || run.leaveMs < 0;
  });
  return allMeasured ? 0 : 1;
}
