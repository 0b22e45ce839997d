// liveness.cpp - how true the network tree stays when stations crash, links lose frames and
// switch ports go down: whole qxagent stations, each in a network namespace of its own on one
// bridge (NetnsBridge), each with its own registry, runtime directory and computer name.
//
// Scenarios, in this order (each bounded in time; --scenarios picks some):
//   idle       bytes a station sends while nothing happens, in kbit/s (goal <= 2);
//   partition  a station cut for 10 s while a new station starts, three ways: its switch port
//              down and up, a silent drop at the switch, its own interface down and up; time from
//              the link back until every tree holds every running station (goal <= 5 s);
//   restart    a station announces project OLD, its entry is replaced by NEW on the same file,
//              the station is killed and started again: time from the new start until OLD is
//              gone from every other tree and NEW is there (goal <= 1 s);
//   loss10     10 % loss on every path for 60 s (--long: 600 s): hosts that vanished from a tree
//              while they ran (false removals; goal none);
//   crash      kill -9 of a station: time until it is gone from every other tree (goal p99 <=
//              3 s); while a kill is never seen, one bounded kill is reported and no more;
//   loss20     the stations started under 20 % loss on every path: time from the last "ready"
//              until every tree is complete (goal <= 5 s), and whether it stays so for 10 s;
//   hundred    100 stations started together: time from the last "ready" until every tree is
//              complete (goal <= 1 s). The kernel's neighbour table limits are raised for it and
//              restored after.
// Prints one line per figure on stdout, "FIGURE liveness_<name> <value> ... (goal ...)"; a value
// that starts with '>' is a bound that ran out. Progress goes to stderr.
//
// The trees are read in this process through each station's multicast component (its runtime
// directory, a path socket, is reachable from any namespace). Needs root, ip and nft; without them
// it prints one "SKIP" line and exits 0. Only the agents it started are signalled, by pid; the
// namespaces, the temporary directory and the sysctl values are restored at the end and on
// SIGINT/SIGTERM. One thread, but for the reads of many trees at once.
//
//   liveness [--stations N] [--scenarios a,b,...] [--long] [--hundred N] [--graceful]
// --graceful stops the crash scenario's stations with SIGTERM (they say LEAVE) instead of
// SIGKILL: a check of the harness itself, whose figure is then "stop_gone_everywhere_ms".
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "messaging/netqxkomm.h"
#include "support/netns_bridge.h"
#include "support/station_process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using qx::testing::ChildProcess;

constexpr const char* kOldProject = "QXLBOLDPROJECT";
constexpr const char* kNewProject = "QXLBNEWPROJECT";
constexpr auto kReadyLimit = 60s;
constexpr auto kConvergeLimit = 20s;
constexpr auto kCutTime = 10s;
constexpr auto kHealLimit = 15s;
constexpr auto kRestartLimit = 10s;
constexpr auto kLoss20Limit = 20s;
constexpr auto kLoss20Hold = 10s;
constexpr auto kIdleWindow = 10s;
constexpr auto kHundredLimit = 30s;
constexpr int kMaxStations = 400;
constexpr std::size_t kReaders = 8;  // threads that read trees at once

volatile std::sig_atomic_t g_stop = 0;
void OnStopSignal(int) { g_stop = 1; }
bool Stopping() { return g_stop != 0; }

double MsSince(Clock::time_point start, Clock::time_point end = Clock::now()) {
  return std::chrono::duration<double, std::milli>(end - start).count();
}

// Sleeps in short steps so that a stop signal ends the wait.
void Pause(std::chrono::milliseconds time) {
  const Clock::time_point end = Clock::now() + time;
  while (!Stopping() && Clock::now() < end) std::this_thread::sleep_for(20ms);
}

struct Station {
  int index = 0;
  std::string name;
  std::string address;
  std::string dir;
  std::string netns;
  std::unique_ptr<ChildProcess> agent;
  bool ready = false;

  qx::testing::Environment env() const {
    return {{"QX_REGISTRY", dir + "/registry.db"}, {"QX_RUNTIME_DIR", dir + "/run"}};
  }
  bool running() const { return agent && agent->running(); }
};

// The station component's answer to a request; empty when it cannot be read. Any thread may
// call: the component finds its station by QX_RUNTIME_DIR when it is made, so making one is
// serialised; the requests themselves run side by side.
std::string Ask(const Station& station, const std::string& request) {
  static std::mutex making;
  std::unique_ptr<qx::INetQXKomm> component;
  {
    std::lock_guard<std::mutex> lock(making);
    setenv("QX_RUNTIME_DIR", (station.dir + "/run").c_str(), 1);
    if (qx::Failed(qx::CreateNetQXKomm(&component)) || !component) return {};
  }
  qx::AnswerText answer;
  if (qx::Failed(component->LocalRequest(request, &answer)) || !answer) return {};
  return *answer;
}

std::string Tree(const Station& station) { return Ask(station, "<GetTreeContent/>"); }

// The projects the station's tree lists for one host, in any state.
std::string ProjectsOf(const Station& station, const std::string& host) {
  return Ask(station, "<GetProjectList><HostFilter>" + host +
                          "</HostFilter><ProjectFilter>*</ProjectFilter></GetProjectList>");
}

// A counter of the station's liveness extension (GetLiveness), or -1 when it cannot be read.
long long LivenessCounter(const Station& station, const std::string& name) {
  const std::string answer = Ask(station, "<GetLiveness/>");
  const std::string key = " " + name + "=\"";
  const std::size_t at = answer.find(key);
  if (at == std::string::npos) return -1;
  return std::atoll(answer.c_str() + at + key.size());
}

bool Holds(const std::string& tree, const std::string& host) {
  return tree.find("<Host>" + host + "</Host>") != std::string::npos;
}

// The host names a tree lists, read in one pass (a tree of 100 hosts is searched once, not once
// for each host).
std::set<std::string> HostsIn(const std::string& tree) {
  static const std::string open = "<Host>";
  std::set<std::string> hosts;
  for (std::size_t at = tree.find(open); at != std::string::npos; at = tree.find(open, at)) {
    at += open.size();
    const std::size_t end = tree.find('<', at);
    if (end == std::string::npos) break;
    hosts.insert(tree.substr(at, end - at));
  }
  return hosts;
}

// Sets net.ipv4.neigh.default.gc_thresh1..3 for as long as it lives; the old values come back
// when it goes. Values it could not read are left alone.
class NeighbourLimits {
 public:
  NeighbourLimits(int low, int middle, int high) {
    const int values[] = {low, middle, high};
    for (int i = 0; i < 3; ++i) {
      const std::string path = "/proc/sys/net/ipv4/neigh/default/gc_thresh" + std::to_string(i + 1);
      std::ifstream in(path);
      std::string old;
      if (!(in >> old)) continue;
      if (Write(path, std::to_string(values[i]))) saved_.emplace_back(path, old);
    }
  }
  ~NeighbourLimits() {
    // Restored from the largest down, so that thresh1 <= thresh2 <= thresh3 holds throughout.
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) Write(it->first, it->second);
  }
  NeighbourLimits(const NeighbourLimits&) = delete;
  NeighbourLimits& operator=(const NeighbourLimits&) = delete;

 private:
  static bool Write(const std::string& path, const std::string& value) {
    std::ofstream out(path);
    out << value << "\n";
    out.flush();
    return static_cast<bool>(out);
  }
  std::vector<std::pair<std::string, std::string>> saved_;
};

struct Options {
  int stations = 20;
  int hundred = 100;
  bool longRun = false;
  bool graceful = false;  // the crash scenario stops with SIGTERM (a LEAVE): checks the harness
  std::set<std::string> scenarios = {"idle",  "partition", "restart", "loss10",
                                     "crash", "loss20",    "hundred"};
};

void Figure(const std::string& text) {
  std::printf("FIGURE liveness_%s\n", text.c_str());
  std::fflush(stdout);
}

std::string Fixed(double value, int digits = 0) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

std::string Bound(std::chrono::milliseconds limit) { return ">" + std::to_string(limit.count()); }

// The stations, their agents and the switch between them.
class Harness {
 public:
  Harness(qx::testing::NetnsBridge* bridge, std::string root) : bridge_(bridge), root_(root) {}
  ~Harness() { StopAll(); }

  std::vector<Station>& stations() { return stations_; }

  // Makes stations up to count in all: a namespace, a directory with the cluster key, settings.
  bool AddStations(int count) {
    while (static_cast<int>(stations_.size()) < count && !Stopping()) {
      Station station;
      station.index = static_cast<int>(stations_.size());
      char name[16];
      std::snprintf(name, sizeof name, "LB%03d", station.index);
      station.name = name;
      station.address = "10.78." + std::to_string(station.index / 200) + "." +
                        std::to_string(station.index % 200 + 10);
      station.dir = root_ + "/" + station.name;
      if (!bridge_->AddStation(station.index, station.address + "/16", &station.netns) ||
          !qx::testing::MakeStationDir(station.dir) ||
          !Set(station, "PLATFORM", "ComputerName", station.name) ||
          !Set(station, "RPC", "ListenAddress", station.address) ||
          !Set(station, "MULTICAST", "Interface", station.address) ||
          !Set(station, "MULTICAST", "UnicastAddress", station.address) ||
          !Set(station, "MULTICAST", "TTL", "1", true)) {
        std::fprintf(stderr, "liveness: station %s could not be made\n", station.name.c_str());
        return false;
      }
      stations_.push_back(std::move(station));
    }
    return !Stopping();
  }

  void Start(Station& station) {
    station.ready = false;
    station.agent = std::make_unique<ChildProcess>(
        ip_, std::vector<std::string>{"netns", "exec", station.netns, QX_AGENT_PATH},
        station.env());
  }

  // Waits for "ready" from every station of the list; the moment of the last one, or nothing.
  std::optional<Clock::time_point> WaitReady(const std::vector<int>& which) {
    const Clock::time_point start = Clock::now();
    Clock::time_point last = start;
    std::size_t count = 0;
    for (int i : which) count += stations_[i].ready ? 1 : 0;
    while (count < which.size() && !Stopping() && Clock::now() - start < kReadyLimit) {
      for (int i : which) {
        Station& station = stations_[i];
        if (station.ready || !station.agent) continue;
        // A wait of 2 ms reads the agent's stdout for about 1 ms.
        if (station.agent->WaitForLine("ready", 2ms)) {
          station.ready = true;
          last = Clock::now();
          ++count;
        }
      }
    }
    if (count < which.size()) {
      for (int i : which) {
        if (!stations_[i].ready && stations_[i].agent) {
          std::fprintf(stderr, "liveness: %s not ready: %.400s\n", stations_[i].name.c_str(),
                       stations_[i].agent->errors().c_str());
        }
      }
      return std::nullopt;
    }
    return last;
  }

  std::vector<int> Running() const {
    std::vector<int> result;
    for (const Station& station : stations_) {
      if (station.running()) result.push_back(station.index);
    }
    return result;
  }

  // The trees of observers, read by up to kReaders threads at once: read one after the other,
  // 100 trees of busy stations take over a second, which would be the figure's resolution.
  std::vector<std::string> Trees(const std::vector<int>& observers) const {
    std::vector<std::string> trees(observers.size());
    std::atomic<std::size_t> next{0};
    auto reader = [&] {
      for (std::size_t i = next++; i < observers.size(); i = next++) {
        trees[i] = Tree(stations_[observers[i]]);
      }
    };
    std::vector<std::thread> readers;
    const std::size_t count = std::min<std::size_t>(kReaders, observers.size());
    for (std::size_t k = 1; k < count; ++k) readers.emplace_back(reader);
    reader();
    for (std::thread& thread : readers) thread.join();
    return trees;
  }

  // The running stations that observer's tree lacks (all of them when it cannot be read).
  int MissingFrom(int observer, const std::string& tree, const std::vector<int>& running,
                  std::vector<std::optional<std::set<int>>>* present) {
    if (present != nullptr && !tree.empty()) (*present)[observer].emplace();
    const std::set<std::string> hosts = HostsIn(tree);
    int missing = 0;
    for (int host : running) {
      if (hosts.count(stations_[host].name) != 0) {
        if (present != nullptr) (*present)[observer]->insert(host);
      } else {
        ++missing;
      }
    }
    return missing;
  }

  // Host entries missing from the trees: for every running observer, each running station that
  // its tree lacks (an unreadable tree lacks them all). present, when given, gets per observer
  // the running hosts its tree holds, or nothing when the tree could not be read.
  int Missing(std::vector<std::optional<std::set<int>>>* present = nullptr) {
    const std::vector<int> running = Running();
    if (present != nullptr) present->assign(stations_.size(), std::nullopt);
    const std::vector<std::string> trees = Trees(running);
    int missing = 0;
    for (std::size_t i = 0; i < running.size(); ++i) {
      missing += MissingFrom(running[i], trees[i], running, present);
    }
    return missing;
  }

  // Polls until every running tree holds every running station; the time it took from start,
  // or nothing when limit ran out (*missing then holds the entries still missing). A tree seen
  // complete is not read again until every tree was; one pass over all of them then confirms
  // (the polls themselves cost the stations work, which a start of 100 would feel).
  std::optional<double> UntilComplete(Clock::time_point start, std::chrono::milliseconds limit,
                                      int* missing) {
    const std::vector<int> running = Running();
    std::vector<int> pending = running;
    std::optional<double> lastComplete;
    while (!Stopping()) {
      *missing = 0;
      std::vector<int> still;
      const std::vector<std::string> trees = Trees(pending);
      for (std::size_t i = 0; i < pending.size(); ++i) {
        const int lacks = MissingFrom(pending[i], trees[i], running, nullptr);
        *missing += lacks;
        if (lacks > 0) still.push_back(pending[i]);
      }
      if (still.empty()) {
        if (!pending.empty()) lastComplete = MsSince(start);
        *missing = Missing();
        if (*missing == 0) return lastComplete;
        still = running;
      }
      pending = std::move(still);
      if (Clock::now() - start > limit) break;
      std::this_thread::sleep_for(5ms);
    }
    return std::nullopt;
  }

  // Polls until no running tree but the host's own holds the host; ms from start, or nothing
  // (*left: the trees that still hold it).
  std::optional<double> UntilGone(int host, Clock::time_point start,
                                  std::chrono::milliseconds limit, int* left) {
    while (!Stopping()) {
      *left = 0;
      for (int observer : Running()) {
        if (observer == host) continue;
        // A tree that cannot be read is not taken for one without the host.
        const std::string tree = Tree(stations_[observer]);
        if (tree.empty() || Holds(tree, stations_[host].name)) ++*left;
      }
      if (*left == 0) return MsSince(start);
      if (Clock::now() - start > limit) break;
      std::this_thread::sleep_for(5ms);
    }
    return std::nullopt;
  }

  bool Set(const Station& station, const std::string& key, const std::string& name,
           const std::string& value, bool dword = false) {
    const qx::testing::ProgramResult result = qx::testing::RunProgram(
        QX_STATION_PATH, qx::testing::RegistrySetArgs(key, name, value, dword), station.env(), 10s);
    if (result.exitCode != 0) {
      std::fprintf(stderr, "%s: registry set %s failed: %.400s\n", station.name.c_str(),
                   name.c_str(), result.err.c_str());
    }
    return result.exitCode == 0;
  }

  bool WriteProject(const Station& station, const std::string& dsn) {
    const std::string file = station.dir + "/plant.mcp";
    std::ofstream(file) << "project\n";
    const qx::testing::ProgramResult result = qx::testing::RunProgram(
        QX_STATION_PATH,
        {"write-project", "--dsn", dsn, "--name", dsn, "--type", "Multi User", "--full-path", file,
         "--server", station.name, "--host", station.name},
        station.env(), 10s);
    if (result.exitCode != 0) {
      std::fprintf(stderr, "%s: write-project failed: %.400s\n", station.name.c_str(),
                   result.err.c_str());
    }
    return result.exitCode == 0;
  }

  void StopAll() {
    for (Station& station : stations_) {
      if (station.running()) station.agent->Signal(SIGTERM);
    }
    for (Station& station : stations_) {
      if (station.agent) station.agent->Terminate(10s);
      station.agent.reset();
      station.ready = false;
    }
  }

 private:
  qx::testing::NetnsBridge* bridge_;
  std::string root_;
  std::string ip_ = qx::testing::FindSystemProgram("ip");
  std::vector<Station> stations_;
};

std::vector<int> FirstN(int n) {
  std::vector<int> result;
  for (int i = 0; i < n; ++i) result.push_back(i);
  return result;
}

// Starts the first n stations together; true once every tree is complete.
bool StartAndConverge(Harness& harness, int n) {
  for (int i : FirstN(n)) {
    if (!harness.stations()[i].running()) harness.Start(harness.stations()[i]);
  }
  if (!harness.WaitReady(FirstN(n))) return false;
  int missing = 0;
  if (!harness.UntilComplete(Clock::now(), kConvergeLimit, &missing)) {
    std::fprintf(stderr, "liveness: %d host entries missing after %lld s\n", missing,
                 static_cast<long long>(kConvergeLimit.count()));
    return false;
  }
  return true;
}

void ScenarioIdle(Harness& harness, qx::testing::NetnsBridge& bridge, const Options& options) {
  // The start's answers settle, and so do their neighbour entries: every unicast of the start
  // (probes, answers, details) leaves an entry that the kernel confirms with unicast ARP probes
  // about 5 s later, 42 bytes for each peer, which would count as this station's idle traffic.
  Pause(10s);
  const std::vector<int> running = harness.Running();
  std::vector<std::optional<std::uint64_t>> before;
  for (int i : running) before.push_back(bridge.BytesFromStation(i));
  const Clock::time_point start = Clock::now();
  Pause(options.longRun ? 60s : kIdleWindow);
  const double seconds = MsSince(start) / 1000;
  std::vector<double> kbits;
  for (std::size_t k = 0; k < running.size(); ++k) {
    const std::optional<std::uint64_t> after = bridge.BytesFromStation(running[k]);
    if (before[k] && after) kbits.push_back((*after - *before[k]) * 8.0 / 1000 / seconds);
  }
  if (kbits.empty()) {
    Figure("idle_kbit_per_s_sent unreadable (goal <=2)");
    return;
  }
  std::sort(kbits.begin(), kbits.end());
  double sum = 0;
  for (double value : kbits) sum += value;
  Figure("idle_kbit_per_s_sent " + Fixed(sum / kbits.size(), 3) + " max " + Fixed(kbits.back(), 3) +
         " stations " + std::to_string(kbits.size()) + " seconds " + Fixed(seconds, 1) +
         " (goal <=2)");
}

// One cut of station `cut` for 10 s; a spare station starts during it.
void Partition(Harness& harness, qx::testing::NetnsBridge& bridge, const std::string& kind, int cut,
               int spare) {
  auto apply = [&](bool on) {
    if (kind == "port") return bridge.SetPortUp(cut, !on);
    if (kind == "drop") return bridge.SetSilenced(cut, on);
    return bridge.SetStationLinkUp(cut, !on);
  };
  const Clock::time_point cutAt = Clock::now();
  if (!apply(true)) {
    Figure("partition_heal_" + kind + "_ms failed: the cut could not be made");
    return;
  }
  Pause(1s);
  harness.Start(harness.stations()[spare]);
  const bool spareReady = harness.WaitReady({spare}).has_value();
  Pause(std::chrono::duration_cast<std::chrono::milliseconds>(kCutTime - (Clock::now() - cutAt)));
  const Clock::time_point back = Clock::now();
  if (!apply(false)) {
    Figure("partition_heal_" + kind + "_ms failed: the link could not be restored");
    return;
  }
  int missing = 0;
  const std::optional<double> ms = harness.UntilComplete(back, kHealLimit, &missing);
  const int running = static_cast<int>(harness.Running().size());
  Figure("partition_heal_" + kind + "_ms " +
         (ms ? Fixed(*ms)
             : Bound(kHealLimit) + " not_healed missing " + std::to_string(missing) + " of " +
                   std::to_string(running * running)) +
         (spareReady ? "" : " spare_not_ready") + " (goal <=5000)");
}

void ScenarioPartition(Harness& harness, qx::testing::NetnsBridge& bridge, int n) {
  const char* kinds[] = {"port", "drop", "ifdown"};
  for (int k = 0; k < 3 && !Stopping(); ++k) {
    // Each cut starts from trees that agree, so that one cut's failure to heal does not count
    // against the next: the stations start again when they do not.
    if (harness.Missing() > 0) {
      harness.StopAll();
      if (!StartAndConverge(harness, n)) {
        Figure(std::string("partition_heal_") + kinds[k] +
               "_ms failed: no agreement before the cut");
        return;
      }
    }
    Partition(harness, bridge, kinds[k], 1 + k, n + k);
  }
}

void ScenarioRestart(Harness& harness) {
  Station& station = harness.stations()[4];
  auto others = [&] {
    std::vector<int> result;
    for (int i : harness.Running()) {
      if (i != station.index) result.push_back(i);
    }
    return result;
  };
  // Counts the other trees that hold OLD and that lack NEW.
  auto census = [&](int* withOld, int* withoutNew) {
    *withOld = *withoutNew = 0;
    for (int i : others()) {
      const std::string tree = ProjectsOf(harness.stations()[i], station.name);
      *withOld += tree.find(kOldProject) != std::string::npos ? 1 : 0;
      *withoutNew += tree.find(kNewProject) == std::string::npos ? 1 : 0;
    }
  };
  station.agent->Signal(SIGTERM);
  station.agent->Terminate(10s);
  if (!harness.WriteProject(station, kOldProject)) return;
  harness.Start(station);
  int withOld = 0;
  int withoutNew = 0;
  const Clock::time_point joined = Clock::now();
  while (!Stopping() && Clock::now() - joined < kConvergeLimit) {
    census(&withOld, &withoutNew);
    if (withOld == static_cast<int>(others().size())) break;
    std::this_thread::sleep_for(20ms);
  }
  if (withOld != static_cast<int>(others().size())) {
    std::fprintf(
        stderr, "liveness: a tree without OLD:\n%.3000s\n",
        others().empty() ? "" : ProjectsOf(harness.stations()[others()[0]], station.name).c_str());
    Figure("restart_old_project_gone_ms failed: OLD reached only " + std::to_string(withOld) +
           " trees");
    return;
  }
  if (!harness.WriteProject(station, kNewProject)) return;  // the same file: OLD is replaced
  station.agent->Kill();
  harness.Start(station);
  const Clock::time_point restarted = Clock::now();
  std::optional<double> ms;
  while (!Stopping()) {
    census(&withOld, &withoutNew);
    if (withOld == 0 && withoutNew == 0) {
      ms = MsSince(restarted);
      break;
    }
    if (Clock::now() - restarted > kRestartLimit) break;
    std::this_thread::sleep_for(5ms);
  }
  harness.WaitReady({station.index});
  Figure("restart_old_project_gone_ms " +
         (ms ? Fixed(*ms)
             : Bound(kRestartLimit) + " old_in " + std::to_string(withOld) + " new_missing_in " +
                   std::to_string(withoutNew) + " of " + std::to_string(others().size()) +
                   "_trees") +
         " (goal <=1000)");
}

void ScenarioLoss10(Harness& harness, qx::testing::NetnsBridge& bridge, const Options& options) {
  const auto duration = options.longRun ? std::chrono::seconds(600) : std::chrono::seconds(60);
  // The hosts each observer's tree held when last read; a host that was there and is gone while
  // it runs is a false removal. Unreadable trees are skipped.
  std::vector<std::optional<std::set<int>>> seen;
  harness.Missing(&seen);
  if (!bridge.SetLoss(10)) {
    Figure("false_removals_10pct_loss failed: no loss rule");
    return;
  }
  const Clock::time_point start = Clock::now();
  int removals = 0;
  int rounds = 0;
  int unreadable = 0;
  int missingAtEnd = 0;
  while (!Stopping() && Clock::now() - start < duration) {
    std::vector<std::optional<std::set<int>>> now;
    missingAtEnd = harness.Missing(&now);
    for (std::size_t observer = 0; observer < now.size() && observer < seen.size(); ++observer) {
      if (!now[observer]) {
        unreadable += harness.stations()[observer].running() ? 1 : 0;
        now[observer] = seen[observer];
        continue;
      }
      if (!seen[observer]) continue;
      for (int host : *seen[observer]) {
        if (now[observer]->count(host) != 0) continue;
        ++removals;
        std::fprintf(stderr, "liveness: %s lost %s after %.1f s\n",
                     harness.stations()[observer].name.c_str(),
                     harness.stations()[host].name.c_str(), MsSince(start) / 1000);
      }
    }
    seen = std::move(now);
    ++rounds;
    Pause(500ms);
  }
  bridge.SetLoss(0);
  // Removals after unanswered probes, against the suspicions they ended: tells a removal by the
  // liveness table from an entry lost some other way.
  long long removed = 0;
  long long suspected = 0;
  for (int i : harness.Running()) {
    removed += std::max(0LL, LivenessCounter(harness.stations()[i], "Removed"));
    suspected += std::max(0LL, LivenessCounter(harness.stations()[i], "Suspected"));
  }
  Figure("false_removals_10pct_loss " + std::to_string(removals) + " seconds " +
         Fixed(MsSince(start) / 1000) + " polls " + std::to_string(rounds) + " unreadable_trees " +
         std::to_string(unreadable) + " missing_at_end " + std::to_string(missingAtEnd) +
         " removed_unanswered " + std::to_string(removed) + " suspected " +
         std::to_string(suspected) + " (goal none over 600 s)");
}

void ScenarioCrash(Harness& harness, const Options& options, int n) {
  const int kills = options.longRun ? 10 : 3;
  const auto limit =
      options.longRun ? std::chrono::milliseconds(30s) : std::chrono::milliseconds(15s);
  const std::string name =
      options.graceful ? "stop_gone_everywhere_ms " : "crash_gone_everywhere_ms ";
  std::vector<double> times;
  std::string unseen;
  for (int k = 0; k < kills && !Stopping(); ++k) {
    Station& victim = harness.stations()[n - 1 - k];
    if (!victim.running()) continue;
    if (options.graceful) {
      victim.agent->Signal(SIGTERM);
    } else {
      victim.agent->Kill();
    }
    const Clock::time_point killed = Clock::now();
    int left = 0;
    const std::optional<double> ms = harness.UntilGone(victim.index, killed, limit, &left);
    victim.agent->Terminate(10s);  // reaped, so that it no longer counts as running
    if (!ms) {
      unseen = Bound(limit) + " not_removed still_in " + std::to_string(left) + " of " +
               std::to_string(harness.Running().size()) + "_trees";
      break;  // the same bound again would tell nothing new
    }
    times.push_back(*ms);
  }
  if (!unseen.empty()) {
    Figure(name + unseen + " kills " + std::to_string(times.size() + 1) + " (goal p99 <=3000)");
    return;
  }
  if (times.empty()) return;
  std::sort(times.begin(), times.end());
  auto rank = [&](double q) {
    const std::size_t i =
        static_cast<std::size_t>(std::ceil(q * static_cast<double>(times.size()))) - 1;
    return times[std::min(i, times.size() - 1)];
  };
  Figure(name + "p50 " + Fixed(rank(0.5)) + " p99 " + Fixed(rank(0.99)) + " kills " +
         std::to_string(times.size()) + " (goal p99 <=3000)");
}

// Starts the first n stations together (the others stopped) and times, from the last "ready",
// until every tree is complete. value: the ms, or the bound and what is missing, or why not.
struct Together {
  std::optional<double> ms;
  std::string value;
};
Together StartTogether(Harness& harness, int n, std::chrono::milliseconds limit) {
  harness.StopAll();
  for (int i : FirstN(n)) harness.Start(harness.stations()[i]);
  const std::optional<Clock::time_point> lastReady = harness.WaitReady(FirstN(n));
  if (!lastReady) return {std::nullopt, "failed: stations not ready"};
  int missing = 0;
  const std::optional<double> ms = harness.UntilComplete(*lastReady, limit, &missing);
  if (ms) return {ms, Fixed(*ms)};
  return {std::nullopt, Bound(limit) + " not_complete missing " + std::to_string(missing) + " of " +
                            std::to_string(n * n)};
}

void ScenarioLoss20(Harness& harness, qx::testing::NetnsBridge& bridge, int n) {
  if (!bridge.SetLoss(20)) {
    Figure("loss20_complete_ms failed: no loss rule");
    return;
  }
  const Together together = StartTogether(harness, n, kLoss20Limit);
  std::string text = "loss20_complete_ms " + together.value;
  if (together.ms) {
    int incompletePolls = 0;
    int polls = 0;
    int worst = 0;
    const Clock::time_point holdStart = Clock::now();
    while (!Stopping() && Clock::now() - holdStart < kLoss20Hold) {
      const int now = harness.Missing();
      incompletePolls += now > 0 ? 1 : 0;
      worst = std::max(worst, now);
      ++polls;
      Pause(200ms);
    }
    text += std::string(" stays_complete ") + (incompletePolls == 0 ? "yes" : "no") +
            " incomplete_polls " + std::to_string(incompletePolls) + " of " +
            std::to_string(polls) + " worst_missing " + std::to_string(worst);
  }
  Figure(text + " (goal <=5000 and stays complete)");
  bridge.SetLoss(0);
  harness.StopAll();
}

void ScenarioHundred(Harness& harness, const Options& options) {
  harness.StopAll();
  const int n = options.hundred;
  const NeighbourLimits limits(4096, 16384, 32768);
  if (!harness.AddStations(n)) {
    Figure("hundred_complete_ms failed: stations not made");
    return;
  }
  const Together together = StartTogether(harness, n, kHundredLimit);
  Figure("hundred_complete_ms " + together.value + " stations " + std::to_string(n) +
         " after_last_ready (goal <=1000)");
  harness.StopAll();
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--long") {
      options->longRun = true;
    } else if (arg == "--graceful") {
      options->graceful = true;
    } else if (arg == "--stations" && i + 1 < argc) {
      options->stations = std::atoi(argv[++i]);
    } else if (arg == "--hundred" && i + 1 < argc) {
      options->hundred = std::atoi(argv[++i]);
    } else if (arg == "--scenarios" && i + 1 < argc) {
      options->scenarios.clear();
      std::stringstream list(argv[++i]);
      std::string word;
      while (std::getline(list, word, ',')) options->scenarios.insert(word);
    } else {
      return false;
    }
  }
  return options->stations >= 6 && options->stations <= kMaxStations && options->hundred >= 2 &&
         options->hundred <= kMaxStations;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: liveness [--stations N (6-400)] [--scenarios idle,partition,restart,"
                 "loss10,crash,loss20,hundred] [--long] [--hundred N (2-400)] [--graceful]\n");
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  std::signal(SIGHUP, OnStopSignal);
  qx::testing::TempDir temp("qxliveness");
  if (!temp.ok()) {
    std::perror("liveness: temporary directory");
    return 1;
  }
  qx::testing::NetnsBridge::RemoveStale("qxlb");
  const std::string tag = "qxlb" + std::to_string(::getpid());
  qx::testing::NetnsBridge bridge(tag, temp.path());
  std::string why;
  if (!bridge.Open(&why)) {
    std::printf("SKIP liveness: %s\n", why.c_str());
    return 0;
  }
  const int n = options.stations;
  {
    Harness harness(&bridge, temp.path());
    auto wants = [&](const char* name) { return options.scenarios.count(name) != 0; };
    // The base stations and three spares that start during the cuts.
    const bool needBase = wants("idle") || wants("partition") || wants("restart") ||
                          wants("loss10") || wants("crash") || wants("loss20");
    if (needBase) {
      if (!harness.AddStations(n + 3) || !StartAndConverge(harness, n)) {
        std::printf("FIGURE liveness_setup failed: %d stations did not converge\n", n);
        return 1;
      }
      std::fprintf(stderr, "liveness: %d stations converged\n", n);
    }
    struct Step {
      const char* name;
      std::function<void()> run;
    };
    const std::vector<Step> steps = {
        {"idle", [&] { ScenarioIdle(harness, bridge, options); }},
        {"partition", [&] { ScenarioPartition(harness, bridge, n); }},
        {"restart", [&] { ScenarioRestart(harness); }},
        {"loss10", [&] { ScenarioLoss10(harness, bridge, options); }},
        {"crash", [&] { ScenarioCrash(harness, options, n); }},
        {"loss20", [&] { ScenarioLoss20(harness, bridge, n); }},
        {"hundred", [&] { ScenarioHundred(harness, options); }},
    };
    for (const Step& step : steps) {
      if (!wants(step.name) || Stopping()) continue;
      std::fprintf(stderr, "--- liveness %s\n", step.name);
      step.run();
    }
    harness.StopAll();
  }
  return Stopping() ? 1 : 0;
}
