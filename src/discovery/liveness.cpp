// liveness.cpp - LivenessTable: suspicion, confirmation, repair and removal of peers.
#include "discovery/liveness.h"

#include <algorithm>
#include <random>

#include "common/text.h"

namespace qx {
namespace {

using std::chrono::milliseconds;

// A peer may announce a period up to this long; a longer one (hostile or wrong) is cut, so that
// no beat can buy a station more than a minute of silence.
constexpr milliseconds kLongestPeerInterval(60000);
// An unseen content version is asked for at most this often from one station, and again this
// long after an unanswered request (a lost FETCH or UPDATE).
constexpr milliseconds kFetchRetry(500);
constexpr std::uint8_t kTickFetches = 3;
// The longest wait between two probes of a station being confirmed, in probe intervals.
constexpr std::uint32_t kConfirmBackoff = 4;
// The jitter of this station's period, 1/32 of it either way, against synchronised beats.
constexpr int kJitterFraction = 32;
// How late a beat may come besides its jitter: it leaves at the first tick after its time (the
// service ticks every 100 ms), and the way takes a little.
constexpr milliseconds kBeatLateness(200);
// What a beat may weigh in the running mean of beat sizes: a datagram is never smaller than its
// headers, and a liveness text never longer than 2 KiB; each beat moves the mean by 1/16.
constexpr std::uint32_t kSmallestBeatBits = 8 * 64;
constexpr std::uint32_t kLargestBeatBits = 8 * 2400;
constexpr std::uint32_t kBeatBitsWeight = 16;

milliseconds Silence(MonotonicClock::time_point now, MonotonicClock::time_point heard) {
  if (now <= heard) return milliseconds(0);  // monotonic only; an earlier now is no silence
  return std::chrono::duration_cast<milliseconds>(now - heard);
}

}  // namespace

const char* PeerStateName(PeerState state) {
  switch (state) {
    case PeerState::kConfirming:
      return "confirming";
    case PeerState::kAlive:
      return "alive";
    case PeerState::kSuspect:
      return "suspect";
  }
  return "unknown";
}

LivenessTable::LivenessTable(const LivenessSettings& settings, const MonotonicClock& clock)
    : settings_(settings),
      clock_(clock),
      random_(settings.seed),
      beatBits_(std::clamp(settings.heartbeatBits, kSmallestBeatBits, kLargestBeatBits)) {
  if (random_ == 0) {
    std::random_device device;
    random_ = (static_cast<std::uint64_t>(device()) << 32) ^ device();
    if (random_ == 0) random_ = 0x9E3779B97F4A7C15ull;
  }
}

std::uint64_t LivenessTable::Random() {
  // xorshift64*: nonces need only be distinct and not repeat across a peer's probes; the seal
  // (cluster key) keeps strangers from answering at all.
  random_ ^= random_ >> 12;
  random_ ^= random_ << 25;
  random_ ^= random_ >> 27;
  const std::uint64_t value = random_ * 0x2545F4914F6CDD1Dull;
  return value != 0 ? value : 1;
}

LivenessAction LivenessTable::ActionFor(LivenessAction::Kind kind, const Peer& peer) {
  LivenessAction action;
  action.kind = kind;
  action.host = peer.beat.host;
  action.domain = peer.beat.domain;
  action.address = peer.beat.address;
  action.nonce = peer.nonce;
  action.incarnation = peer.beat.incarnation;
  return action;
}

milliseconds LivenessTable::SuspectTime(const Peer& peer) const {
  const milliseconds interval = std::min(milliseconds(peer.beat.intervalMs), kLongestPeerInterval);
  return std::max(settings_.suspectAfter,
                  interval + interval / kJitterFraction * 2 + kBeatLateness);
}

milliseconds LivenessTable::HeartbeatInterval() const {
  if (settings_.heartbeatInterval.count() <= 0) return milliseconds(0);
  const std::uint64_t budget = std::max<std::uint32_t>(settings_.receiveBudgetBitsPerSecond, 1);
  const std::uint64_t needed =
      static_cast<std::uint64_t>(peers_.size()) * beatBits_ * 1000 / budget;
  return std::max(settings_.heartbeatInterval,
                  std::min(milliseconds(static_cast<std::int64_t>(needed)), kLongestPeerInterval));
}

void LivenessTable::Probe(Peer* peer, time_point now, LivenessActions* actions) {
  peer->nonce = Random();
  peer->nonces[peer->nextNonce] = peer->nonce;
  peer->nextNonce = static_cast<std::uint8_t>((peer->nextNonce + 1) % kNoncesKept);
  // A suspect is probed at the probe interval: its removal waits for nothing else. A station
  // being confirmed is new here and in no tree yet, so its probes may wait longer, doubling up
  // to kConfirmBackoff intervals: many stations that start at once answer late, and probes
  // repeated before the answer could come only add to the load that delays it.
  std::uint32_t factor = 1;
  if (peer->state == PeerState::kConfirming) {
    const std::uint32_t sent =
        std::max<std::uint32_t>(settings_.probeAttempts, 1) - peer->probesLeft;
    factor = std::min<std::uint32_t>(1u << std::min<std::uint32_t>(sent, 8), kConfirmBackoff);
  }
  peer->nextProbe = now + settings_.probeInterval * factor;
  scanDue_ = std::min(scanDue_, peer->nextProbe);
  if (peer->probesLeft > 0) --peer->probesLeft;
  ++counters_.probesSent;
  actions->push_back(ActionFor(LivenessAction::Kind::kProbe, *peer));
}

void LivenessTable::StartProbing(Peer* peer, time_point now, LivenessActions* actions) {
  peer->probesLeft = std::max<std::uint32_t>(settings_.probeAttempts, 1);
  Probe(peer, now, actions);
}

void LivenessTable::FetchIfUnseen(Peer* peer, time_point now, LivenessActions* actions) {
  if (peer->versionKnown && peer->appliedVersion == peer->beat.version) return;
  if (peer->fetched && Silence(now, peer->lastFetch) < kFetchRetry) return;
  peer->fetched = true;
  peer->lastFetch = now;
  ++counters_.fetches;
  actions->push_back(ActionFor(LivenessAction::Kind::kFetch, *peer));
}

LivenessTable::Peer* LivenessTable::Admit(const PeerBeat& beat, time_point now, bool* created) {
  *created = false;
  const std::string key = FoldedKey(beat.host);
  const auto found = peers_.find(key);
  if (found != peers_.end()) return &found->second;
  if (peers_.size() >= settings_.maxPeers || confirming_ >= settings_.maxConfirming) {
    ++counters_.refused;
    return nullptr;
  }
  Peer& peer = peers_[key];
  peer.beat = beat;
  peer.state = PeerState::kConfirming;
  peer.lastHeard = now;
  ++confirming_;
  *created = true;
  scanDue_ = std::min(scanDue_, now);
  return &peer;
}

LivenessActions LivenessTable::OnHeartbeat(const PeerBeat& beat, std::uint32_t wireBits) {
  LivenessActions actions;
  if (beat.host.empty() || beat.incarnation == 0) return actions;
  ++counters_.beats;
  if (wireBits != 0) {
    const auto bits =
        static_cast<std::int64_t>(std::clamp(wireBits, kSmallestBeatBits, kLargestBeatBits));
    const auto mean = static_cast<std::int64_t>(beatBits_);
    beatBits_ = static_cast<std::uint32_t>(mean + (bits - mean) / kBeatBitsWeight);
  }
  const time_point now = clock_.Now();
  bool created = false;
  Peer* peer = Admit(beat, now, &created);
  if (peer == nullptr) return actions;
  if (created) {
    StartProbing(peer, now, &actions);
    return actions;
  }
  if (peer->state == PeerState::kConfirming) return actions;  // the probe answer decides
  if (beat.incarnation != peer->beat.incarnation) {
    // A restart, or a replay of an earlier start: only a direct exchange tells which. A peer
    // being probed already is not probed afresh, so replays cannot keep a dead one suspect.
    if (peer->state == PeerState::kAlive) {
      peer->state = PeerState::kSuspect;
      ++counters_.suspected;
      StartProbing(peer, now, &actions);
    }
    return actions;
  }
  peer->lastHeard = now;
  peer->tickFetches = 0;
  if (peer->beat.version != beat.version) peer->fetched = false;  // news: ask at once
  peer->beat.version = beat.version;
  peer->beat.intervalMs = beat.intervalMs;
  if (!beat.address.empty()) peer->beat.address = beat.address;
  if (peer->state == PeerState::kSuspect) {
    peer->state = PeerState::kAlive;
    peer->probesLeft = 0;
    ++counters_.recovered;
    actions.push_back(ActionFor(LivenessAction::Kind::kRecovered, *peer));
  }
  FetchIfUnseen(peer, now, &actions);
  return actions;
}

LivenessActions LivenessTable::OnProbeAnswer(const PeerBeat& beat, std::uint64_t nonce) {
  LivenessActions actions;
  const auto found = peers_.find(FoldedKey(beat.host));
  if (found == peers_.end() || nonce == 0 ||
      std::find(found->second.nonces.begin(), found->second.nonces.end(), nonce) ==
          found->second.nonces.end()) {
    ++counters_.staleAnswers;
    return actions;
  }
  Peer& peer = found->second;
  const time_point now = clock_.Now();
  ++counters_.probeAnswers;
  peer.nonce = 0;  // one answer per round of probes
  peer.nonces.fill(0);
  peer.probesLeft = 0;
  peer.lastHeard = now;
  const bool newIncarnation = beat.incarnation != peer.beat.incarnation;
  const PeerState was = peer.state;
  peer.beat = beat;
  if (newIncarnation) peer.versionKnown = false;
  peer.state = PeerState::kAlive;
  if (was == PeerState::kConfirming) {
    --confirming_;
  } else if (was == PeerState::kSuspect && !newIncarnation) {
    ++counters_.recovered;
    actions.push_back(ActionFor(LivenessAction::Kind::kRecovered, peer));
  }
  if (newIncarnation) peer.probedUs = false;
  if (peer.greet && !peer.probedUs)
    actions.push_back(ActionFor(LivenessAction::Kind::kGreet, peer));
  peer.greet = false;
  peer.fetched = false;
  FetchIfUnseen(&peer, now, &actions);
  return actions;
}

LivenessActions LivenessTable::OnContacted(const PeerBeat& sender) {
  LivenessActions actions;
  if (sender.host.empty() || sender.incarnation == 0) return actions;
  bool created = false;
  Peer* peer = Admit(sender, clock_.Now(), &created);
  if (peer == nullptr) return actions;
  if (created) {
    StartProbing(peer, clock_.Now(), &actions);
  } else if (peer->beat.incarnation == sender.incarnation) {
    peer->probedUs = true;
  }
  return actions;
}

bool LivenessTable::OnAnnouncement(const PeerBeat& beat, bool join, LivenessActions* actions) {
  if (beat.host.empty() || beat.incarnation == 0) return true;  // the original protocol
  const time_point now = clock_.Now();
  bool created = false;
  Peer* peer = Admit(beat, now, &created);
  if (peer == nullptr) return false;
  if (!created && peer->state != PeerState::kConfirming &&
      peer->beat.incarnation == beat.incarnation) {
    peer->lastHeard = now;
    return true;
  }
  ++counters_.held;
  peer->greet = peer->greet || join;
  if (join) peer->probedUs = false;  // only a probe after this JOIN shows it knows this station
  if (created) {
    StartProbing(peer, now, actions);
  } else if (peer->state == PeerState::kAlive) {
    // A new incarnation announced while the old one is known: confirm which one lives.
    peer->state = PeerState::kSuspect;
    ++counters_.suspected;
    StartProbing(peer, now, actions);
  } else if (peer->probesLeft == 0) {
    StartProbing(peer, now, actions);
  }
  return false;
}

void LivenessTable::NoteApplied(std::string_view host, std::uint64_t version) {
  const auto found = peers_.find(FoldedKey(host));
  if (found == peers_.end()) return;
  found->second.appliedVersion = version;
  found->second.versionKnown = true;
}

bool LivenessTable::OnLeave(std::string_view host, std::uint64_t incarnation) {
  const auto found = peers_.find(FoldedKey(host));
  if (found == peers_.end()) {
    // Not known here by any incarnation: a LEAVE that names one is no news to this station
    // (a replay at a station started since); one that names none is the original protocol's.
    if (incarnation != 0) ++counters_.leavesIgnored;
    return incarnation == 0;
  }
  if (found->second.beat.incarnation != incarnation ||
      found->second.state == PeerState::kConfirming) {
    ++counters_.leavesIgnored;
    return false;
  }
  peers_.erase(found);
  return true;
}

void LivenessTable::Clear() {
  peers_.clear();
  confirming_ = 0;
}

LivenessActions LivenessTable::Tick(time_point now) {
  LivenessActions actions;
  const milliseconds interval = HeartbeatInterval();
  if (interval.count() > 0 && (!beatScheduled_ || now >= nextBeat_)) {
    // The first beat goes a period after the first tick (the JOIN announces the start); the
    // later ones a period apart, +-1/32 at random against beats in step.
    if (beatScheduled_) actions.push_back(LivenessAction{});
    const auto span = interval.count() / kJitterFraction;
    const auto jitter =
        span > 0
            ? static_cast<std::int64_t>(Random() % static_cast<std::uint64_t>(2 * span + 1)) - span
            : 0;
    nextBeat_ = now + interval + milliseconds(jitter);
    beatScheduled_ = true;
  }
  const bool clockBack = now < lastTick_;
  lastTick_ = now;
  if (now < scanDue_ && !clockBack) return actions;
  scanDue_ = time_point::max();
  for (auto it = peers_.begin(); it != peers_.end();) {
    Peer& peer = it->second;
    if (peer.state == PeerState::kAlive) {
      const milliseconds suspectTime = SuspectTime(peer);
      if (Silence(now, peer.lastHeard) > suspectTime) {
        peer.state = PeerState::kSuspect;
        ++counters_.suspected;
        StartProbing(&peer, now, &actions);
      } else {
        scanDue_ = std::min(scanDue_, peer.lastHeard + suspectTime + milliseconds(1));
        // The details asked for did not come (a lost FETCH or UPDATE): ask again, a few times
        // between two beats of the station.
        if (peer.fetched && peer.tickFetches < kTickFetches &&
            !(peer.versionKnown && peer.appliedVersion == peer.beat.version)) {
          const std::uint64_t before = counters_.fetches;
          FetchIfUnseen(&peer, now, &actions);
          if (counters_.fetches != before) ++peer.tickFetches;
          scanDue_ = std::min(scanDue_, peer.lastFetch + kFetchRetry);
        }
      }
      ++it;
      continue;
    }
    if (now < peer.nextProbe) {
      scanDue_ = std::min(scanDue_, peer.nextProbe);
      ++it;
      continue;
    }
    if (peer.probesLeft > 0) {
      Probe(&peer, now, &actions);
      ++it;
      continue;
    }
    // The last probe went unanswered for a whole probe interval.
    if (peer.state == PeerState::kConfirming) {
      --confirming_;
      ++counters_.unconfirmedDropped;
    } else {
      ++counters_.removed;
      actions.push_back(ActionFor(LivenessAction::Kind::kRemove, peer));
    }
    it = peers_.erase(it);
  }
  return actions;
}

LivenessTable::time_point LivenessTable::NextDue() const {
  if (HeartbeatInterval().count() <= 0) return scanDue_;
  return beatScheduled_ ? std::min(nextBeat_, scanDue_) : time_point::min();
}

std::vector<PeerView> LivenessTable::Peers() const {
  const time_point now = clock_.Now();
  std::vector<PeerView> views;
  views.reserve(peers_.size());
  for (const auto& [key, peer] : peers_) {
    PeerView view;
    view.host = peer.beat.host;
    view.domain = peer.beat.domain;
    view.address = peer.beat.address;
    view.state = peer.state;
    view.incarnation = peer.beat.incarnation;
    view.sinceHeard = Silence(now, peer.lastHeard);
    views.push_back(std::move(view));
  }
  return views;
}

}  // namespace qx
