// liveness_sim.cpp - crash detection and load of a membership protocol at 1000 stations, over
// the simulated network of SimNetwork (no sockets; the run is the same for the same seed).
//
// One run, in simulated time:
//   warm-up     the stations start within 1 s and run --warmup seconds without loss;
//   load        then, over whole heartbeat periods (20 s at the least), the bytes each station
//               receives give the load (kbit/s; goal <= 256 at 1000), and those it sends (goal
//               <= 2 at 20);
//   crash       at a moment within the next period picked by the seed, --crashes stations,
//               picked by the seed too, stop at once; for each, the time until
//               every running station has removed it (goal p99 <= 10 s at 1000), bounded by
//               --limit seconds (a crash not removed everywhere by then counts as unresolved);
//   loss        --loss-seconds with --loss of every datagram lost on its own path: removals of
//               stations that still run (false removals; goal none).
// Prints "FIGURE liveness_sim_<name> <value> ... (goal ...)" lines on stdout.
//
// The protocol is the station's own liveness table with its default settings (LivenessProtocol,
// --protocol liveness); --protocol heartbeat selects the placeholder HeartbeatProtocol (group
// heartbeats with a fixed timeout, --period-ms and --timeout-ms). What the figures leave out:
// the CPU time of sealing and opening, the kernel's queues and their drops, bursts, clocks that
// differ. Path loss is independent per datagram (no correlated loss).
//
//   liveness_sim [--stations N] [--seed S] [--warmup S] [--crashes K] [--limit S]
//                [--loss P] [--loss-seconds S] [--protocol liveness|heartbeat]
//                [--period-ms MS] [--timeout-ms MS]
//                [--heartbeat-ms MS] [--suspect-ms MS] [--probe-interval-ms MS]
//                [--probe-attempts N] [--beat-bits B]
// The last five replace the liveness table's defaults (HeartbeatIntervalMs, SuspectAfterMs,
// ProbeIntervalMs, ProbeAttempts, the size of a beat it assumes until it has measured one), to
// weigh other values.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "discovery/liveness.h"
#include "heartbeat_protocol.h"
#include "liveness_protocol.h"
#include "sim_network.h"

namespace {

using qx::sim::HeartbeatProtocol;
using qx::sim::HeartbeatSettings;
using qx::sim::LivenessProtocol;
using qx::sim::SimConfig;
using qx::sim::SimNetwork;

constexpr std::int64_t kSecond = 1'000'000;
// The load is counted after the warm-up over whole heartbeat periods (the stations' mean period,
// at least kLoadWindowUs in all): stations that started together beat nearly in phase, and a
// window that is no whole number of periods counts each of them once more or less than its
// share. The crashes come at its end.
constexpr std::int64_t kLoadWindowUs = 20 * kSecond;

struct Options {
  int stations = 1000;
  std::uint64_t seed = 1;
  int warmupSeconds = 15;
  int crashes = 20;
  int limitSeconds = 30;
  double loss = 0.10;
  int lossSeconds = 60;
  bool placeholder = false;  // --protocol heartbeat
  HeartbeatSettings heartbeat;
  qx::LivenessSettings liveness;  // the station's defaults unless changed
};

// The value at quantile q (0..1) of sorted values, by the nearest rank.
double Rank(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return -1;
  const auto index = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  return sorted[std::min(index == 0 ? 0 : index - 1, sorted.size() - 1)];
}

bool Parse(int argc, char** argv, Options* options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--stations") {
      options->stations = std::atoi(value);
    } else if (name == "--seed") {
      options->seed = std::strtoull(value, nullptr, 10);
    } else if (name == "--warmup") {
      options->warmupSeconds = std::atoi(value);
    } else if (name == "--crashes") {
      options->crashes = std::atoi(value);
    } else if (name == "--limit") {
      options->limitSeconds = std::atoi(value);
    } else if (name == "--loss") {
      options->loss = std::atof(value);
    } else if (name == "--loss-seconds") {
      options->lossSeconds = std::atoi(value);
    } else if (name == "--protocol") {
      const std::string protocol = value;
      if (protocol != "liveness" && protocol != "heartbeat") return false;
      options->placeholder = protocol == "heartbeat";
    } else if (name == "--heartbeat-ms") {
      options->liveness.heartbeatInterval = std::chrono::milliseconds(std::atoll(value));
    } else if (name == "--suspect-ms") {
      options->liveness.suspectAfter = std::chrono::milliseconds(std::atoll(value));
    } else if (name == "--probe-interval-ms") {
      options->liveness.probeInterval = std::chrono::milliseconds(std::atoll(value));
    } else if (name == "--probe-attempts") {
      options->liveness.probeAttempts = static_cast<std::uint32_t>(std::atoi(value));
    } else if (name == "--beat-bits") {
      options->liveness.heartbeatBits = static_cast<std::uint32_t>(std::atoi(value));
    } else if (name == "--period-ms") {
      options->heartbeat.periodUs = std::atoll(value) * 1000;
    } else if (name == "--timeout-ms") {
      options->heartbeat.timeoutUs = std::atoll(value) * 1000;
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && options->stations >= 2 && options->stations <= 5000 &&
         options->warmupSeconds >= 6 && options->warmupSeconds <= 600 && options->crashes >= 0 &&
         options->crashes < options->stations && options->limitSeconds >= 1 &&
         options->limitSeconds <= 600 && options->loss >= 0 && options->loss <= 1 &&
         options->lossSeconds >= 0 && options->lossSeconds <= 3600 &&
         options->heartbeat.periodUs >= 1000 && options->heartbeat.timeoutUs >= 1000 &&
         options->liveness.heartbeatInterval.count() >= 10 &&
         options->liveness.suspectAfter.count() >= 100 &&
         options->liveness.probeInterval.count() >= 10 && options->liveness.probeAttempts >= 1 &&
         options->liveness.probeAttempts <= 100 && options->liveness.heartbeatBits >= 100;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as it comes, into a file too
  Options options;
  if (!Parse(argc, argv, &options)) {
    std::fprintf(
        stderr,
        "usage: liveness_sim [--stations 2-5000] [--seed S] [--warmup 6-600] "
        "[--crashes K] [--limit 1-600] [--loss 0-1] [--loss-seconds 0-3600] "
        "[--protocol liveness|heartbeat] [--period-ms MS] [--timeout-ms MS] "
        "[--heartbeat-ms MS] [--suspect-ms MS] [--probe-interval-ms MS] [--probe-attempts 1-100] "
        "[--beat-bits B]\n");
    return 2;
  }
  const int n = options.stations;
  SimConfig config;
  config.stations = n;
  config.seed = options.seed;
  config.startWindowUs = kSecond;
  SimNetwork network(config, [&](int) -> std::unique_ptr<qx::sim::SimProtocol> {
    if (options.placeholder) return std::make_unique<HeartbeatProtocol>(options.heartbeat);
    return std::make_unique<LivenessProtocol>(options.liveness);
  });
  const std::string tag = " stations " + std::to_string(n) + " protocol " +
                          (options.placeholder ? "placeholder_heartbeat" : "liveness_table");

  // Warm-up, then the load over whole periods.
  const std::int64_t warmUpUs = options.warmupSeconds * kSecond;
  network.RunUntil(warmUpUs);
  std::int64_t periodSum = 0;
  for (int i = 0; i < n; ++i) periodSum += network.protocol(i).HeartbeatPeriodUs();
  const std::int64_t period = std::max<std::int64_t>(periodSum / n, 100'000);
  const std::int64_t loadWindowUs = (kLoadWindowUs + period - 1) / period * period;
  std::vector<std::uint64_t> received(n);
  std::vector<std::uint64_t> sent(n);
  for (int i = 0; i < n; ++i) {
    received[i] = network.stats(i).bytesReceived;
    sent[i] = network.stats(i).bytesSent;
  }
  const std::int64_t warm = warmUpUs + loadWindowUs;
  network.RunUntil(warm);
  const double windowSeconds = static_cast<double>(loadWindowUs) / kSecond;
  auto kbitPerSecond = [&](std::uint64_t bytes) {
    return static_cast<double>(bytes) * 8 / 1000 / windowSeconds;
  };
  std::vector<double> in;
  std::vector<double> out;
  std::uint64_t knownPairs = 0;
  for (int i = 0; i < n; ++i) {
    in.push_back(kbitPerSecond(network.stats(i).bytesReceived - received[i]));
    out.push_back(kbitPerSecond(network.stats(i).bytesSent - sent[i]));
    for (int j = 0; j < n; ++j) knownPairs += i != j && network.protocol(i).Knows(j) ? 1 : 0;
  }
  std::sort(in.begin(), in.end());
  std::sort(out.begin(), out.end());
  double inSum = 0;
  double outSum = 0;
  for (int i = 0; i < n; ++i) {
    inSum += in[i];
    outSum += out[i];
  }
  std::printf("FIGURE liveness_sim_received_kbit_per_s mean %.1f max %.1f%s (goal <=256 at 1000)\n",
              inSum / n, in.back(), tag.c_str());
  std::printf("FIGURE liveness_sim_sent_kbit_per_s mean %.2f max %.2f%s (goal <=2 at 20)\n",
              outSum / n, out.back(), tag.c_str());
  std::printf("FIGURE liveness_sim_tree_complete_fraction %.4f after %lld s%s\n",
              static_cast<double>(knownPairs) / (static_cast<double>(n) * (n - 1)),
              static_cast<long long>(warm / kSecond), tag.c_str());

  // Crashes, all at once, picked by the seed.
  std::vector<int> order(n);
  for (int i = 0; i < n; ++i) order[i] = i;
  std::mt19937_64 pick(options.seed ^ 0x5eed);
  std::shuffle(order.begin(), order.end(), pick);
  // Crash at a moment of the period that has no relation to the phase of the beats.
  const std::int64_t crashAt =
      warm + static_cast<std::int64_t>(pick() % static_cast<std::uint64_t>(period));
  network.RunUntil(crashAt);
  const std::vector<int> crashed(order.begin(), order.begin() + options.crashes);
  for (int station : crashed) network.Crash(station);
  const std::size_t removalsBefore = network.removals().size();
  network.RunUntil(crashAt + options.limitSeconds * kSecond);
  std::vector<std::int64_t> lastRemoval(n, -1);
  std::vector<int> removers(n, 0);
  std::vector<double> perObserver;
  int falseRemovals = 0;
  for (std::size_t k = removalsBefore; k < network.removals().size(); ++k) {
    const qx::sim::Removal& removal = network.removals()[k];
    if (!network.crashed(removal.station)) {
      ++falseRemovals;
      continue;
    }
    lastRemoval[removal.station] = std::max(lastRemoval[removal.station], removal.atUs);
    ++removers[removal.station];
    perObserver.push_back(static_cast<double>(removal.atUs - crashAt) / 1000);
  }
  const int observers = n - options.crashes;
  std::vector<double> everywhere;
  int unresolved = 0;
  for (int station : crashed) {
    if (removers[station] < observers) {
      ++unresolved;
    } else {
      everywhere.push_back(static_cast<double>(lastRemoval[station] - crashAt) / 1000);
    }
  }
  std::sort(everywhere.begin(), everywhere.end());
  std::sort(perObserver.begin(), perObserver.end());
  if (options.crashes > 0) {
    std::printf(
        "FIGURE liveness_sim_crash_gone_everywhere_ms p50 %.0f p99 %.0f crashes %d unresolved %d "
        "per_observer_p50 %.0f per_observer_p99 %.0f false_removals %d%s (goal p99 <=10000 at "
        "1000)\n",
        Rank(everywhere, 0.5), Rank(everywhere, 0.99), options.crashes, unresolved,
        Rank(perObserver, 0.5), Rank(perObserver, 0.99), falseRemovals, tag.c_str());
  }

  // Loss on every path; removals of running stations.
  if (options.lossSeconds > 0) {
    const std::size_t start = network.removals().size();
    falseRemovals = 0;
    network.SetLossEverywhere(options.loss);
    network.RunUntil(network.NowUs() + options.lossSeconds * kSecond);
    for (std::size_t k = start; k < network.removals().size(); ++k) {
      falseRemovals += network.crashed(network.removals()[k].station) ? 0 : 1;
    }
    std::printf("FIGURE liveness_sim_false_removals %d loss %.2f seconds %d%s (goal none)\n",
                falseRemovals, options.loss, options.lossSeconds, tag.c_str());
  }
  return 0;
}
