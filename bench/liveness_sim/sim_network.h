// sim_network.h - SimNetwork, a discrete-event network of simulated stations for measuring a
// membership protocol at a scale that namespaces on one machine cannot reach (1000 stations).
//
// Each station holds a SimProtocol (sim_protocol.h). Events - a station's start, its ticks, the
// arrival of a datagram - run in order of simulated time (ties in the order they were made), so
// a run is the same for the same seed. Every path (sender, receiver) loses a datagram with its
// probability and delays it by its delay plus a uniform jitter; a group datagram is copied to
// every other station, each copy on its own path. A crashed station stops: no ticks, nothing
// sent, nothing delivered. A cut station neither sends nor receives until the cut ends.
//
// Measured per station: datagrams and bytes sent and received (payload plus kHeaderBytes of
// frame, IP and UDP headers each), and every removal a protocol reports, with its time.
//
// The network owns the protocols. One thread: the caller's.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <random>
#include <unordered_map>
#include <vector>

#include "sim_protocol.h"

namespace qx::sim {

struct PathModel {
  double loss = 0;              // 0..1, each datagram on its own
  std::int64_t delayUs = 200;   // the least time on the path
  std::int64_t jitterUs = 300;  // uniform 0..jitterUs on top
};

struct SimConfig {
  int stations = 20;
  std::uint64_t seed = 1;
  PathModel path;                  // every path that has no model of its own
  std::int64_t startWindowUs = 0;  // each station starts at a uniform time in [0, window]
};

struct StationStats {
  std::uint64_t datagramsSent = 0;
  std::uint64_t bytesSent = 0;  // each group datagram counted once, as it leaves the station
  std::uint64_t datagramsReceived = 0;
  std::uint64_t bytesReceived = 0;
};

struct Removal {
  int observer;
  int station;
  std::int64_t atUs;
};

using ProtocolFactory = std::function<std::unique_ptr<SimProtocol>(int station)>;

class SimNetwork {
 public:
  static constexpr std::uint64_t kHeaderBytes = 14 + 20 + 8;  // Ethernet, IPv4, UDP

  SimNetwork(const SimConfig& config, const ProtocolFactory& factory);
  ~SimNetwork();
  SimNetwork(const SimNetwork&) = delete;
  SimNetwork& operator=(const SimNetwork&) = delete;

  void SetPath(int from, int to, const PathModel& model);
  void SetLossEverywhere(double loss);  // every path, those with models of their own too
  void SetCut(int station, bool cut);
  void Crash(int station);  // now

  // Runs every event up to and including timeUs; the clock then reads timeUs.
  void RunUntil(std::int64_t timeUs);

  std::int64_t NowUs() const { return now_; }
  int stations() const { return static_cast<int>(protocols_.size()); }
  bool crashed(int station) const { return crashedAt_[station] >= 0; }
  std::int64_t crashedAtUs(int station) const { return crashedAt_[station]; }
  const StationStats& stats(int station) const { return stats_[station]; }
  const std::vector<Removal>& removals() const { return removals_; }
  const SimProtocol& protocol(int station) const { return *protocols_[station]; }

 private:
  class Context;
  friend class Context;
  enum class Kind : std::uint8_t { kStart, kTick, kDeliver };
  struct Event {
    std::int64_t at;
    std::uint64_t order;
    Kind kind;
    int station;
    int from;
    std::shared_ptr<const Datagram> payload;
    bool operator>(const Event& other) const {
      return at != other.at ? at > other.at : order > other.order;
    }
  };

  void Push(std::int64_t at, Kind kind, int station, int from,
            std::shared_ptr<const Datagram> payload);
  void Send(int from, int to, Datagram payload);
  void SendOne(int from, int to, const std::shared_ptr<const Datagram>& payload);
  const PathModel& Path(int from, int to) const;

  std::int64_t now_ = 0;
  std::uint64_t order_ = 0;
  std::mt19937_64 random_;
  PathModel defaultPath_;
  std::unordered_map<std::uint64_t, PathModel> paths_;
  std::vector<std::unique_ptr<SimProtocol>> protocols_;
  std::vector<std::unique_ptr<Context>> contexts_;
  std::vector<std::int64_t> crashedAt_;  // -1 while running
  std::vector<bool> cut_;
  std::vector<StationStats> stats_;
  std::vector<Removal> removals_;
  std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events_;
};

}  // namespace qx::sim
