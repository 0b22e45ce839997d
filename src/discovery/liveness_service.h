// liveness_service.h - LivenessService, the station's side of the liveness extension: it runs
// the LivenessTable (liveness.h) against the multicast component and the network tree.
//
// A thread ticks the table when it has something due, and every kLivenessTick at the most: it
// sends this station's heartbeat when due (its content version is the digest of this station's
// UPDATE, built afresh for each beat; when that changed since the last beat, the fresh UPDATE
// also replaces this station's own entry in its tree, as the others will fetch it), probes silent
// and unconfirmed stations by unicast, asks stations with unseen content for their UPDATE, and
// removes the stations that stopped answering from the tree (as a LEAVE does). The receive side
// takes QXLIVE texts (liveness_wire.h): a PROBE or FETCH meant for this station is answered (ACK,
// or an UPDATE), an ACK meant for it goes to the table; texts meant for another station are
// dropped. The discovery handlers ask it whether a stamped JOIN or UPDATE may enter the tree now
// (Admit) and whether a LEAVE is fresh (Leave), and stamp this station's own announcements with its
// incarnation (random at each start) and content version.
//
// Sends that fail are tried again (multicast_port.h, SendToMulticastPortRetrying).
//
// Ownership and threads: the server of the discovery role owns the service and passes itself
// as the host (which must outlive it); the service borrows the clock. Start and Stop come from
// the server's host threads; Stop joins the thread. Every other call may come from any thread
// (the table is kept under one lock, and no lock is held while a message is sent).
//
//   LivenessService live(settings, SystemMonotonicClock(), server);
//   live.Start();
//   ... live.Receive(text); if (live.Admit(&message, true, &version)) tree.AddHost(...) ...
//   live.Stop();
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/mutex.h"
#include "discovery/discovery_host.h"
#include "discovery/liveness.h"
#include "discovery/liveness_wire.h"
#include "xml/xml_element.h"

namespace qx {

inline constexpr std::chrono::milliseconds kLivenessTick(100);

// The MULTICAST settings of the extension: HeartbeatIntervalMs (0..60000, 0: off),
// SuspectAfterMs (100..600000), ProbeIntervalMs (10..60000), ProbeAttempts (1..100),
// ReceiveBudgetBitsPerSecond (1000..1e9), MaxPeers (16..100000). Absent values keep the
// defaults of LivenessSettings; false with *error when one is wrong or cannot be read.
bool ReadLivenessSettings(LivenessSettings* settings, std::string* error);

struct LivenessStatus {
  LivenessSettings settings;
  std::chrono::milliseconds interval{0};  // this station's period now
  std::uint64_t incarnation = 0;
  LivenessCounters counters;
  std::vector<PeerView> peers;
};

// The answer of the local command GetLiveness:
// <Liveness Host=".." Incarnation="hex" IntervalMs=".." HeartbeatIntervalMs=".."
// SuspectAfterMs=".."
//   ProbeIntervalMs=".." ProbeAttempts=".." ReceiveBudgetBitsPerSecond=".." MaxPeers=".."
//   Beats=".." ProbesSent=".." ProbeAnswers=".." StaleAnswers=".." Suspected=".." Recovered=".."
//   Removed=".." Fetches=".." LeavesIgnored=".." Held=".." UnconfirmedDropped=".." Refused="..">
//   <Peer Host=".." Domain=".." Address=".." State="alive|suspect|confirming" SinceHeardMs=".."
//         Incarnation="hex"/>...
// </Liveness>
std::string LivenessStatusAnswer(const LivenessStatus& status, std::string_view host);

class LivenessService {
 public:
  LivenessService(const LivenessSettings& settings, const MonotonicClock& clock,
                  DiscoveryHost& host);
  ~LivenessService();
  LivenessService(const LivenessService&) = delete;
  LivenessService& operator=(const LivenessService&) = delete;

  // Computes this station's content version and starts the thread; false when it cannot.
  bool Start() EXCLUDES(mutex_);
  void Stop() EXCLUDES(mutex_);

  // A QXLIVE text from the component.
  void Receive(std::string_view text) EXCLUDES(mutex_);
  // A JOIN (join) or UPDATE of another station: takes the stamp out of *message; true when it
  // enters the tree now (*version: the content version it carried, 0 without a stamp).
  bool Admit(CXmlElement* message, bool join, std::uint64_t* version) EXCLUDES(mutex_);
  // After an admitted announcement entered the tree.
  void Applied(std::string_view host, std::uint64_t version) EXCLUDES(mutex_);
  // A LEAVE of another station: true when it is to be honoured.
  bool Leave(CXmlElement* message) EXCLUDES(mutex_);
  // Whether this station is in the group: between JoinMulticastGroup and LeaveMulticastGroup.
  // Only then does it beat, take beats and answer probes (a station that left is not brought
  // back by its own beats); leaving forgets every peer.
  void SetJoined(bool joined) EXCLUDES(mutex_);

  // Appends this station's incarnation and content version to its announcement text.
  void Stamp(std::string* announcement) const;

  LivenessStatus Status() const EXCLUDES(mutex_);
  std::uint64_t incarnation() const { return incarnation_; }

 private:
  void Run() EXCLUDES(mutex_);
  void Perform(const LivenessActions& actions) EXCLUDES(mutex_);
  // Builds this station's UPDATE: its fields and digest (false when it cannot be built); the
  // parsed UPDATE in *fresh when asked for.
  bool RefreshSelf(CXmlElement* fresh = nullptr) EXCLUDES(mutex_);
  PeerBeat Self() const EXCLUDES(mutex_);
  void SendTo(const LivenessAction& action, LivenessKind kind, std::uint64_t nonce);

  // A stamped JOIN or UPDATE held back until its station answers a probe: applied then, when it
  // is of the incarnation and content version that the answer names, instead of asking the
  // station for its details again.
  struct HeldAnnouncement {
    std::uint64_t incarnation = 0;
    std::uint64_t version = 0;
    std::string text;  // the announcement without its stamp
    MonotonicClock::time_point since{};
  };
  static constexpr std::size_t kMaxHeldText = 16 * 1024;
  static constexpr std::chrono::seconds kHeldFor{5};
  void Hold(const PeerBeat& beat, const CXmlElement& message) REQUIRES(mutex_);
  std::optional<HeldAnnouncement> TakeHeld(const PeerBeat& sender) REQUIRES(mutex_);
  void ApplyHeld(const HeldAnnouncement& held, const PeerBeat& sender, LivenessActions* actions)
      EXCLUDES(mutex_);

  const LivenessSettings settings_;
  const MonotonicClock& clock_;
  DiscoveryHost& host_;
  const std::uint64_t incarnation_;
  std::atomic<std::uint64_t> version_{0};
  std::atomic<bool> joined_{false};

  mutable Mutex mutex_;
  CondVar wake_{&mutex_};
  LivenessTable table_ GUARDED_BY(mutex_);
  PeerBeat self_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  // By folded host name; at most maxConfirming, none older than kHeldFor.
  std::map<std::string, HeldAnnouncement> held_ GUARDED_BY(mutex_);
  std::thread thread_;
};

}  // namespace qx
