// liveness.h - LivenessTable, what this station knows of the other stations' liveness: pure
// logic, no sockets, no threads, time from an injected monotonic clock.
//
// A station that speaks the liveness extension sends a heartbeat every period (the "beat": its
// host, domain, address, incarnation, content version and its own period). The table keeps one
// peer for each host name it has heard a beat from, in one of three states:
//
//   confirming - heard, but not yet confirmed by a direct exchange: a probe (with a fresh nonce)
//                went to the station; it enters the tree only when the answer echoes the nonce.
//                Its probes wait 1, 2, then 4 probe intervals each; unanswered after
//                ProbeAttempts probes, the peer is forgotten (it never entered).
//   alive      - confirmed, and heard within its suspect time.
//   suspect    - silent beyond its suspect time: probed every ProbeInterval; an answer or a beat
//                makes it alive again, ProbeAttempts unanswered probes remove it (kRemove).
//
// The suspect time of a peer is max(SuspectAfter, 17/16 of the period it announces + 200 ms: the
// period with its jitter of 1/32 either way, and the tick and the way). A peer that
// never sent a beat (a station speaking only the original protocol) is not in the table at all
// and is never removed for silence. A beat of a new incarnation, or an unseen content version,
// asks the station for its details (kFetch); an announcement (JOIN, UPDATE) that carries an
// incarnation is applied only when the peer is confirmed with that incarnation, else it is held
// back and the peer probed; a LEAVE is honoured only for the incarnation the table knows.
//
// Bounds: at most maxPeers peers, of which at most maxConfirming are confirming; a beat from a
// new host beyond that is dropped and counted, so a flood of forged names never evicts a
// confirmed peer. The heartbeat period grows with the number of peers so that the beats this
// station receives stay within receiveBudgetBitsPerSecond: peers times the size of a beat on
// the wire, which the table learns from the beats it receives (a running mean, starting at
// heartbeatBits).
//
// Ownership and threads: the table owns its peers and borrows the clock (which must outlive
// it). Not thread-safe: the owner serialises every call (discovery/liveness_service.h holds it
// under a lock). Times before one seen earlier (a clock the test moved back) count as no silence.
//
//   LivenessTable table(settings, SystemMonotonicClock());
//   for (auto& action : table.OnHeartbeat(beat)) Do(action);
//   for (auto& action : table.Tick(clock.Now())) Do(action);   // every ~100 ms
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"

namespace qx {

// The registry's MULTICAST values of the liveness extension.
struct LivenessSettings {
  std::chrono::milliseconds heartbeatInterval{1200};  // HeartbeatIntervalMs; 0: no heartbeat
  std::chrono::milliseconds suspectAfter{1800};       // SuspectAfterMs
  std::chrono::milliseconds probeInterval{80};        // ProbeIntervalMs
  std::uint32_t probeAttempts = 12;                   // ProbeAttempts
  std::uint32_t receiveBudgetBitsPerSecond = 240000;  // ReceiveBudgetBitsPerSecond
  std::uint32_t heartbeatBits = 1600;  // one beat on the wire, headers included, until measured
  std::size_t maxPeers = 4096;         // MaxPeers
  std::size_t maxConfirming = 256;
  std::uint64_t seed = 0;  // of nonces and jitter; 0: from the system
};

// What a beat, a probe answer or an announcement says of its sender.
struct PeerBeat {
  std::string host;
  std::string domain;
  std::string address;
  std::uint64_t incarnation = 0;
  std::uint64_t version = 0;
  std::uint32_t intervalMs = 0;  // the sender's heartbeat period
};

enum class PeerState : std::uint8_t { kConfirming = 1, kAlive = 2, kSuspect = 3 };
const char* PeerStateName(PeerState state);  // "confirming", "alive", "suspect"

struct LivenessAction {
  enum class Kind : std::uint8_t {
    kHeartbeat = 1,  // send this station's beat to the group
    kProbe = 2,      // send a probe with nonce to the station at address
    kFetch = 3,      // ask the station at address for its details (an UPDATE)
    kRemove = 4,     // the station is gone: remove it from the tree as on a LEAVE
    kGreet = 5,      // a held JOIN was confirmed: send this station's UPDATE to it
    kRecovered = 6,  // a suspect answered or was heard again
  };
  Kind kind = Kind::kHeartbeat;
  std::string host;
  std::string domain;
  std::string address;
  std::uint64_t nonce = 0;
  std::uint64_t incarnation = 0;
};
using LivenessActions = std::vector<LivenessAction>;

struct PeerView {
  std::string host;
  std::string domain;
  std::string address;
  PeerState state = PeerState::kAlive;
  std::uint64_t incarnation = 0;
  std::chrono::milliseconds sinceHeard{0};
};

struct LivenessCounters {
  std::uint64_t beats = 0;  // heartbeats taken
  std::uint64_t probesSent = 0;
  std::uint64_t probeAnswers = 0;  // answers that echoed an outstanding nonce
  std::uint64_t staleAnswers = 0;  // answers with no matching nonce (late, replayed)
  std::uint64_t suspected = 0;
  std::uint64_t recovered = 0;
  std::uint64_t removed = 0;
  std::uint64_t fetches = 0;
  std::uint64_t leavesIgnored = 0;       // LEAVE of an incarnation not known
  std::uint64_t held = 0;                // announcements held back until confirmed
  std::uint64_t unconfirmedDropped = 0;  // never answered a probe
  std::uint64_t refused = 0;             // a new host beyond the bounds
};

// Probes whose answers a station still takes: an answer may come after the next probe left.
inline constexpr std::size_t kNoncesKept = 8;

class LivenessTable {
 public:
  using time_point = MonotonicClock::time_point;

  LivenessTable(const LivenessSettings& settings, const MonotonicClock& clock);

  // A beat from the group (never this station's own). wireBits: the size of the datagram it came
  // in, every header included (LivenessDatagramBits); 0 when not known.
  LivenessActions OnHeartbeat(const PeerBeat& beat, std::uint32_t wireBits = 0);
  // The answer to a probe: taken only when nonce is one of the last kNoncesKept sent to that
  // host (an answer that comes after the next probe left still proves the station alive).
  LivenessActions OnProbeAnswer(const PeerBeat& beat, std::uint64_t nonce);
  // A probe or details request from a station. When it is the incarnation known here, that
  // station has heard of this one and takes its details itself, so a held JOIN of it needs no
  // greeting. A station not known here is probed as after a beat (its JOIN and beats may all
  // have been lost); a known one is not taken for alive by it, as a replay would keep a dead one.
  LivenessActions OnContacted(const PeerBeat& sender);
  // A JOIN (join true) or UPDATE carrying an incarnation: true when it is to be applied now
  // (the peer is confirmed with that incarnation); false when held (a probe is in *actions).
  bool OnAnnouncement(const PeerBeat& beat, bool join, LivenessActions* actions);
  // The content version that an applied announcement carried.
  void NoteApplied(std::string_view host, std::uint64_t version);
  // A LEAVE: true when it is to be honoured (its incarnation is the one known, or the host is
  // unknown here and the LEAVE carries none); the peer is then forgotten.
  bool OnLeave(std::string_view host, std::uint64_t incarnation);
  // Forgets every peer (this station left the group).
  void Clear();

  // What is due at now: this station's beat, probes, removals. Cheap while nothing is due: the
  // peers are looked at only from the earliest time one of them may need it.
  LivenessActions Tick(time_point now);
  // When Tick has something to do at the earliest (never later than the real first due time; a
  // beat, a probe or a silence may make it earlier after a call of another method).
  time_point NextDue() const;

  // This station's period: at least heartbeatInterval, longer when the peers' beats would
  // exceed the receive budget.
  std::chrono::milliseconds HeartbeatInterval() const;
  std::vector<PeerView> Peers() const;
  const LivenessCounters& counters() const { return counters_; }
  std::size_t size() const { return peers_.size(); }

 private:
  struct Peer {
    PeerBeat beat;
    PeerState state = PeerState::kConfirming;
    time_point lastHeard{};
    time_point nextProbe{};
    std::uint64_t nonce = 0;                          // the newest probe's
    std::array<std::uint64_t, kNoncesKept> nonces{};  // the last probes' (0: none)
    std::uint8_t nextNonce = 0;
    std::uint32_t probesLeft = 0;
    std::uint64_t appliedVersion = 0;  // of the last announcement applied to the tree
    bool versionKnown = false;
    bool greet = false;     // a held JOIN: greet the station once confirmed
    bool probedUs = false;  // it probed this station since its JOIN: no greeting
    time_point lastFetch{};
    bool fetched = false;
    std::uint8_t tickFetches = 0;  // details asked for again since the last beat
  };

  std::uint64_t Random();
  std::chrono::milliseconds SuspectTime(const Peer& peer) const;
  void StartProbing(Peer* peer, time_point now, LivenessActions* actions);
  void Probe(Peer* peer, time_point now, LivenessActions* actions);
  void FetchIfUnseen(Peer* peer, time_point now, LivenessActions* actions);
  // The peer of host, made confirming when new (null when the bounds refuse it).
  Peer* Admit(const PeerBeat& beat, time_point now, bool* created);
  static LivenessAction ActionFor(LivenessAction::Kind kind, const Peer& peer);

  const LivenessSettings settings_;
  const MonotonicClock& clock_;
  std::map<std::string, Peer> peers_;  // by folded host name
  std::size_t confirming_ = 0;
  time_point nextBeat_{};
  bool beatScheduled_ = false;
  time_point scanDue_{};   // no peer needs a look before this
  time_point lastTick_{};  // a Tick before it (a clock moved back) looks at every peer
  std::uint64_t random_;
  std::uint32_t beatBits_;  // the running mean of the beats received, on the wire
  LivenessCounters counters_;
};

}  // namespace qx
