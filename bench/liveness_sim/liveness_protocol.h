// liveness_protocol.h - LivenessProtocol, the station's own liveness table (discovery/liveness.h)
// driven as a SimProtocol, so that the simulator measures the protocol the agent runs.
//
// Each simulated station holds a LivenessTable on a clock whose Now() is the simulator's time,
// and does what LivenessService and the discovery handler do with the table's actions and with
// what arrives:
//   start      a stamped JOIN to the group (the agent announces its start);
//   every tick the table's Tick: its BEAT to the group, PROBEs, removals (kRemove takes the
//              station out of the tree and is reported to the simulator as a removal);
//   BEAT       OnHeartbeat; PROBE is answered by an ACK; ACK goes to OnProbeAnswer; FETCH is
//              answered by a stamped UPDATE to the asker;
//   JOIN/UPDATE OnAnnouncement: applied (the host enters the tree, NoteApplied) or held while
//              the table probes; an applied JOIN is answered by this station's UPDATE;
//   kGreet     this station's UPDATE to the station whose JOIN was held.
// Every datagram carries the real text (BuildLivenessMessage, a stamped <QXDISCOVER> of the
// shape the agent writes, one project) between zero bytes standing for the fragment header and
// the seal's header and tag, so that the simulator counts the bytes of the real sealed datagram.
// Station i is host "st<i>" in domain "sim" at 10.0.<i/250>.<i%250+1>.
//
// What it leaves out: sealing and opening (no CPU time, no forged datagrams), the tree's
// content, send retries and failures, LEAVE.
//
// One object per simulated station; it owns its clock and table. The simulator's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/clock.h"
#include "discovery/liveness.h"
#include "discovery/liveness_wire.h"
#include "sim_protocol.h"

namespace qx::sim {

class LivenessProtocol final : public SimProtocol {
 public:
  // settings.seed is replaced by one from the run's generator at Start.
  explicit LivenessProtocol(const LivenessSettings& settings) : settings_(settings) {}

  std::int64_t TickPeriodUs() const override;
  void Start(SimContext& context) override;
  void OnDatagram(SimContext& context, int from, std::span<const std::uint8_t> bytes) override;
  void Tick(SimContext& context) override;
  bool Knows(int station) const override;
  std::int64_t HeartbeatPeriodUs() const override;

  // The bytes around the text of every datagram: fragment header, seal header and tag.
  static std::size_t Overhead();
  static std::string HostName(int station);
  static std::string Address(int station);
  // The station at a dotted address of Address's form; -1 for any other text.
  static int StationAt(const std::string& address);

 private:
  class Clock final : public MonotonicClock {
   public:
    time_point Now() const override { return time_point(std::chrono::microseconds(nowUs)); }
    std::int64_t nowUs = 0;
  };

  PeerBeat Self() const;
  // The stamped announcement of this station (event JOIN or UPDATE) for receiver.
  std::string Announcement(const char* event, const std::string& receiver) const;
  void SendText(SimContext& context, int to, const std::string& text);
  void SendLive(SimContext& context, const LivenessAction& action, LivenessKind kind,
                std::uint64_t nonce);
  void Perform(SimContext& context, const LivenessActions& actions);
  void ReceiveLive(SimContext& context, const std::string& text);
  void ReceiveAnnouncement(SimContext& context, const std::string& text);

  LivenessSettings settings_;
  Clock clock_;
  std::unique_ptr<LivenessTable> table_;
  PeerBeat self_;
  std::string details_;       // this station's details, unstamped, receiver "*"
  std::vector<bool> inTree_;  // by station
};

}  // namespace qx::sim
