// sim_network.cpp - the event loop, paths and counters of the liveness simulator.
#include "sim_network.h"

#include <utility>

namespace qx::sim {

namespace {
// A protocol's tick period, at least 1 ms, so that a wrong period cannot stall the run.
std::int64_t TickPeriod(const SimProtocol& protocol) {
  const std::int64_t period = protocol.TickPeriodUs();
  return period < 1000 ? 1000 : period;
}
}  // namespace

class SimNetwork::Context final : public SimContext {
 public:
  Context(SimNetwork* network, int self) : network_(network), self_(self) {}
  std::int64_t NowUs() const override { return network_->now_; }
  int Self() const override { return self_; }
  int Stations() const override { return network_->stations(); }
  void Send(int to, Datagram payload) override { network_->Send(self_, to, std::move(payload)); }
  void Removed(int station) override {
    network_->removals_.push_back({self_, station, network_->now_});
  }
  std::uint64_t Random() override { return network_->random_(); }

 private:
  SimNetwork* network_;
  int self_;
};

SimNetwork::SimNetwork(const SimConfig& config, const ProtocolFactory& factory)
    : random_(config.seed), defaultPath_(config.path) {
  const int count = config.stations < 1 ? 1 : config.stations;
  crashedAt_.assign(count, -1);
  cut_.assign(count, false);
  stats_.assign(count, {});
  for (int i = 0; i < count; ++i) {
    protocols_.push_back(factory(i));
    contexts_.push_back(std::make_unique<Context>(this, i));
    const std::int64_t at =
        config.startWindowUs > 0
            ? static_cast<std::int64_t>(random_() %
                                        static_cast<std::uint64_t>(config.startWindowUs + 1))
            : 0;
    Push(at, Kind::kStart, i, -1, nullptr);
  }
}

SimNetwork::~SimNetwork() = default;

void SimNetwork::SetPath(int from, int to, const PathModel& model) {
  paths_[static_cast<std::uint64_t>(from) * protocols_.size() + static_cast<std::uint64_t>(to)] =
      model;
}

void SimNetwork::SetLossEverywhere(double loss) {
  defaultPath_.loss = loss;
  for (auto& [key, model] : paths_) model.loss = loss;
}

void SimNetwork::SetCut(int station, bool cut) { cut_[station] = cut; }

void SimNetwork::Crash(int station) {
  if (crashedAt_[station] < 0) crashedAt_[station] = now_;
}

const PathModel& SimNetwork::Path(int from, int to) const {
  if (!paths_.empty()) {
    const auto it = paths_.find(static_cast<std::uint64_t>(from) * protocols_.size() +
                                static_cast<std::uint64_t>(to));
    if (it != paths_.end()) return it->second;
  }
  return defaultPath_;
}

void SimNetwork::Push(std::int64_t at, Kind kind, int station, int from,
                      std::shared_ptr<const Datagram> payload) {
  events_.push(Event{at, order_++, kind, station, from, std::move(payload)});
}

void SimNetwork::Send(int from, int to, Datagram payload) {
  if (crashed(from) || cut_[from]) return;
  if (to != kGroup && (to < 0 || to >= stations() || to == from)) return;
  StationStats& sender = stats_[from];
  ++sender.datagramsSent;
  sender.bytesSent += payload.size() + kHeaderBytes;
  const auto shared = std::make_shared<const Datagram>(std::move(payload));
  if (to != kGroup) {
    SendOne(from, to, shared);
    return;
  }
  for (int station = 0; station < stations(); ++station) {
    if (station != from) SendOne(from, station, shared);
  }
}

void SimNetwork::SendOne(int from, int to, const std::shared_ptr<const Datagram>& payload) {
  const PathModel& path = Path(from, to);
  if (path.loss > 0 && std::uniform_real_distribution<double>(0.0, 1.0)(random_) < path.loss) {
    return;
  }
  const std::int64_t jitter =
      path.jitterUs > 0
          ? static_cast<std::int64_t>(random_() % static_cast<std::uint64_t>(path.jitterUs + 1))
          : 0;
  Push(now_ + path.delayUs + jitter, Kind::kDeliver, to, from, payload);
}

void SimNetwork::RunUntil(std::int64_t timeUs) {
  while (!events_.empty() && events_.top().at <= timeUs) {
    // The payload is moved out before pop: the heap orders by at and order alone.
    Event event = std::move(const_cast<Event&>(events_.top()));
    events_.pop();
    now_ = event.at;
    const int station = event.station;
    if (crashed(station)) continue;
    SimProtocol& protocol = *protocols_[station];
    Context& context = *contexts_[station];
    switch (event.kind) {
      case Kind::kStart:
        protocol.Start(context);
        Push(now_ + TickPeriod(protocol), Kind::kTick, station, -1, nullptr);
        break;
      case Kind::kTick:
        protocol.Tick(context);
        Push(now_ + TickPeriod(protocol), Kind::kTick, station, -1, nullptr);
        break;
      case Kind::kDeliver:
        // A cut at either end, now, loses what was on the way.
        if (cut_[station] || cut_[event.from]) break;
        ++stats_[station].datagramsReceived;
        stats_[station].bytesReceived += event.payload->size() + kHeaderBytes;
        protocol.OnDatagram(context, event.from, *event.payload);
        break;
    }
  }
  if (timeUs > now_) now_ = timeUs;
}

}  // namespace qx::sim
