// sim_protocol.h - the interface between the liveness simulator and a membership protocol.
//
// The simulator (SimNetwork) holds one SimProtocol object per simulated station and drives it:
// Start once when the station starts, OnDatagram for every datagram that reaches it, Tick every
// TickPeriodUs(). The protocol acts through the SimContext it is given: the simulated clock (in
// microseconds, monotonic, starting at 0), datagrams to one station or to the group, and the
// report that it removed a station from its tree (a crashed one is a detection, a live one a
// false removal). A protocol is pure logic: no threads, no sockets, no wall clock. Every call
// comes from the simulator's one thread.
//
// To measure another protocol, wrap it in a SimProtocol: feed OnDatagram to its receive path,
// Tick to its timers, and call Send and Removed where it would send and drop a host.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace qx::sim {

using Datagram = std::vector<std::uint8_t>;

// The group: a datagram sent to it reaches every other station, each copy lost or delayed on
// its own path, as a switch floods a multicast frame.
inline constexpr int kGroup = -1;

class SimContext {
 public:
  virtual ~SimContext() = default;
  virtual std::int64_t NowUs() const = 0;
  virtual int Self() const = 0;
  virtual int Stations() const = 0;
  // to: a station's index (0 .. Stations()-1) or kGroup. The payload as it would leave the
  // socket; the simulator adds the frame, IP and UDP headers when it counts bytes.
  virtual void Send(int to, Datagram payload) = 0;
  virtual void Removed(int station) = 0;
  virtual std::uint64_t Random() = 0;  // from the run's seeded generator
};

class SimProtocol {
 public:
  virtual ~SimProtocol() = default;
  virtual std::int64_t TickPeriodUs() const = 0;
  virtual void Start(SimContext& context) = 0;
  virtual void OnDatagram(SimContext& context, int from, std::span<const std::uint8_t> bytes) = 0;
  virtual void Tick(SimContext& context) = 0;
  // The station is in this protocol's tree.
  virtual bool Knows(int station) const = 0;
  // The period of the station's own heartbeat now, 0 when it has none.
  virtual std::int64_t HeartbeatPeriodUs() const { return 0; }
};

}  // namespace qx::sim
