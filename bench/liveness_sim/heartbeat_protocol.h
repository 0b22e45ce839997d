// heartbeat_protocol.h - HeartbeatProtocol, the simulator's placeholder membership protocol:
// every station sends a heartbeat to the group each period (its first at a random phase), learns
// a station from its first heartbeat, and removes a station not heard for the timeout, checked
// every tick. No suspicion, no probes, no repair: it stands in until the station's own liveness
// table is plugged in, and its figures are real for this protocol only.
//
// One object per simulated station, called from the simulator's thread only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim_protocol.h"

namespace qx::sim {

struct HeartbeatSettings {
  std::int64_t periodUs = 1'000'000;
  std::int64_t timeoutUs = 3'000'000;
  std::int64_t tickUs = 100'000;
  std::size_t payloadBytes = 64;  // about a sealed heartbeat: id, incarnation, version, tag
};

class HeartbeatProtocol final : public SimProtocol {
 public:
  explicit HeartbeatProtocol(const HeartbeatSettings& settings) : settings_(settings) {}

  std::int64_t TickPeriodUs() const override { return settings_.tickUs; }
  void Start(SimContext& context) override;
  void OnDatagram(SimContext& context, int from, std::span<const std::uint8_t> bytes) override;
  void Tick(SimContext& context) override;
  bool Knows(int station) const override;
  std::int64_t HeartbeatPeriodUs() const override { return settings_.periodUs; }

 private:
  HeartbeatSettings settings_;
  std::int64_t nextSendUs_ = 0;
  std::vector<std::int64_t> lastHeardUs_;  // by station; -1 when not in the tree
};

}  // namespace qx::sim
