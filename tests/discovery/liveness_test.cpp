// Tests of the liveness table: suspicion, confirmation, removal, repair and freshness, driven by
// a manual clock.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "discovery/liveness.h"
#include "discovery/liveness_wire.h"
#include "support/manual_clock.h"

namespace qx {
namespace {

using std::chrono::milliseconds;
using Kind = LivenessAction::Kind;

PeerBeat Beat(const std::string& host, std::uint64_t incarnation, std::uint64_t version = 7,
              std::uint32_t intervalMs = 1000) {
  PeerBeat beat;
  beat.host = host;
  beat.domain = "PLANTNET";
  beat.address = "10.0.0.9";
  beat.incarnation = incarnation;
  beat.version = version;
  beat.intervalMs = intervalMs;
  return beat;
}

std::vector<Kind> Kinds(const LivenessActions& actions, bool withBeats = false) {
  std::vector<Kind> kinds;
  for (const LivenessAction& action : actions) {
    if (withBeats || action.kind != Kind::kHeartbeat) kinds.push_back(action.kind);
  }
  return kinds;
}

const LivenessAction* Find(const LivenessActions& actions, Kind kind) {
  for (const LivenessAction& action : actions) {
    if (action.kind == kind) return &action;
  }
  return nullptr;
}

class LivenessTest : public ::testing::Test {
 protected:
  LivenessTest() : table_(Settings(), clock_) {}
  static LivenessSettings Settings() {
    LivenessSettings settings;
    settings.seed = 42;
    // The timings below count in these periods and probes.
    settings.heartbeatInterval = milliseconds(1000);
    settings.probeInterval = milliseconds(200);
    settings.probeAttempts = 6;
    settings.receiveBudgetBitsPerSecond = 240000;
    settings.suspectAfter = milliseconds(1500);
    return settings;
  }

  // Advances the clock in steps of the service's tick and collects every action.
  LivenessActions Run(milliseconds span) {
    LivenessActions all;
    for (milliseconds done(0); done < span; done += milliseconds(100)) {
      clock_.Advance(milliseconds(100));
      for (LivenessAction& action : table_.Tick(clock_.Now())) all.push_back(action);
    }
    return all;
  }

  // A peer that is confirmed and alive, its content applied.
  void Confirm(const PeerBeat& beat) {
    const LivenessActions probe = table_.OnHeartbeat(beat);
    ASSERT_NE(Find(probe, Kind::kProbe), nullptr);
    const LivenessActions answered = table_.OnProbeAnswer(beat, Find(probe, Kind::kProbe)->nonce);
    table_.NoteApplied(beat.host, beat.version);
    ASSERT_EQ(table_.Peers().size(), 1u);
    ASSERT_EQ(table_.Peers()[0].state, PeerState::kAlive);
    (void)answered;
  }

  testing::ManualClock clock_;
  LivenessTable table_;
};

TEST_F(LivenessTest, SilentPeerIsSuspectedProbedThenRemovedOnTime) {
  struct Case {
    const char* name;
    std::uint32_t peerIntervalMs;
    milliseconds quietBeforeProbe;  // no probe within this silence
    milliseconds removedBy;         // removed at the latest after this silence
  };
  // Suspect after max(1500 ms, 17/16 of the peer's period + 200 ms), then 6 probes 200 ms apart.
  const Case cases[] = {
      {"default period", 1000, milliseconds(1500), milliseconds(2800)},
      {"long period of a large group", 6000, milliseconds(6500), milliseconds(7800)},
      {"hostile period is cut to a minute", 0xFFFFFFFFu, milliseconds(63900), milliseconds(65200)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LivenessTable table(Settings(), clock_);
    const PeerBeat beat = Beat("alpha", 11, 7, c.peerIntervalMs);
    const LivenessAction probe = *Find(table.OnHeartbeat(beat), Kind::kProbe);
    table.OnProbeAnswer(beat, probe.nonce);
    table.NoteApplied("alpha", 7);
    LivenessActions early;
    for (milliseconds t(0); t < c.quietBeforeProbe; t += milliseconds(100)) {
      clock_.Advance(milliseconds(100));
      for (auto& a : table.Tick(clock_.Now())) early.push_back(a);
    }
    EXPECT_EQ(Kinds(early), std::vector<Kind>{});
    LivenessActions late;
    for (milliseconds t = c.quietBeforeProbe; t < c.removedBy; t += milliseconds(100)) {
      clock_.Advance(milliseconds(100));
      for (auto& a : table.Tick(clock_.Now())) late.push_back(a);
    }
    EXPECT_EQ(Kinds(late),
              (std::vector<Kind>{Kind::kProbe, Kind::kProbe, Kind::kProbe, Kind::kProbe,
                                 Kind::kProbe, Kind::kProbe, Kind::kRemove}));
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(table.counters().removed, 1u);
  }
}

TEST_F(LivenessTest, NextDueLetsTheServiceSleepButNeverPastWork) {
  // The service sleeps until NextDue(): each action must come at or after the due time the table
  // gave before it, and nothing may be due while a confirmed peer is freshly heard.
  LivenessSettings settings = Settings();
  settings.heartbeatInterval = milliseconds(0);  // only the peer's deadlines count
  LivenessTable table(settings, clock_);
  const PeerBeat beat = Beat("delta", 9);
  table.OnProbeAnswer(beat, Find(table.OnHeartbeat(beat), Kind::kProbe)->nonce);
  table.NoteApplied("delta", 7);
  EXPECT_TRUE(table.Tick(clock_.Now()).empty());
  EXPECT_GE(table.NextDue() - clock_.Now(), milliseconds(1400));
  std::size_t acted = 0;
  for (int i = 0; i < 70; ++i) {  // silent: suspect, six probes, removal
    const MonotonicClock::time_point due = table.NextDue();
    clock_.Advance(milliseconds(50));
    const LivenessActions actions = table.Tick(clock_.Now());
    if (!actions.empty()) {
      EXPECT_LE(due, clock_.Now());
      ++acted;
    }
  }
  EXPECT_EQ(acted, 7u);
  EXPECT_EQ(table.counters().removed, 1u);
}

TEST_F(LivenessTest, StationWithoutHeartbeatIsNeverRemovedForSilence) {
  // An announcement of the original protocol (no incarnation) enters at once and is not kept.
  PeerBeat old = Beat("legacy", 0);
  LivenessActions actions;
  EXPECT_TRUE(table_.OnAnnouncement(old, /*join=*/true, &actions));
  EXPECT_TRUE(actions.empty());
  EXPECT_EQ(Kinds(Run(milliseconds(600000))), std::vector<Kind>{});
  EXPECT_EQ(table_.size(), 0u);
}

TEST_F(LivenessTest, AnswersAndBeatsKeepASuspectAliveButStaleAnswersDoNot) {
  struct Case {
    const char* name;
    bool answer;      // answer the first probe
    bool rightNonce;  // with its nonce (else an old one: a replay)
    bool beat;        // or: a beat of the same incarnation arrives
    bool removed;
    bool previous;  // answer the probe before the newest (it came late)
  };
  const Case cases[] = {
      {"answer with the probe's nonce", true, true, false, false, false},
      {"late answer to the probe before", true, true, false, false, true},
      {"answer with another nonce", true, false, false, true, false},
      {"beat of the same incarnation", false, false, true, false, false},
      {"nothing", false, false, false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LivenessTable table(Settings(), clock_);
    const PeerBeat beat = Beat("beta", 5);
    const std::uint64_t first = Find(table.OnHeartbeat(beat), Kind::kProbe)->nonce;
    table.OnProbeAnswer(beat, first);
    table.NoteApplied("beta", beat.version);
    LivenessActions actions;
    for (int i = 0; i < 18; ++i) {  // suspect, then two probes
      clock_.Advance(milliseconds(100));
      for (auto& a : table.Tick(clock_.Now())) actions.push_back(a);
    }
    std::vector<std::uint64_t> probes;
    for (const LivenessAction& a : actions) {
      if (a.kind == Kind::kProbe) probes.push_back(a.nonce);
    }
    ASSERT_GE(probes.size(), 2u);
    const std::uint64_t sent = c.previous ? probes[probes.size() - 2] : probes.back();
    LivenessActions after;
    if (c.answer) after = table.OnProbeAnswer(beat, c.rightNonce ? sent : first);
    if (c.beat) after = table.OnHeartbeat(beat);
    if (!c.removed) {
      EXPECT_NE(Find(after, Kind::kRecovered), nullptr);
    }
    LivenessActions later;
    for (int i = 0; i < 14; ++i) {
      clock_.Advance(milliseconds(100));
      for (auto& a : table.Tick(clock_.Now())) later.push_back(a);
    }
    EXPECT_EQ(Find(later, Kind::kRemove) != nullptr, c.removed);
  }
}

TEST_F(LivenessTest, LeaveIsHonouredOnlyForTheKnownIncarnation) {
  struct Case {
    const char* name;
    bool known;  // the receiver confirmed "gamma" incarnation 21
    std::uint64_t leaveIncarnation;
    bool honoured;
  };
  const Case cases[] = {
      {"known incarnation", true, 21, true},
      {"an earlier incarnation (replayed capture)", true, 20, false},
      {"no incarnation for a station that has one", true, 0, false},
      {"stamped, at a receiver that never knew the station", false, 20, false},
      {"original protocol, unknown here", false, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LivenessTable table(Settings(), clock_);
    if (c.known) {
      const PeerBeat beat = Beat("gamma", 21);
      table.OnProbeAnswer(beat, Find(table.OnHeartbeat(beat), Kind::kProbe)->nonce);
    }
    EXPECT_EQ(table.OnLeave("GAMMA", c.leaveIncarnation), c.honoured);
    EXPECT_EQ(table.size(), c.known && !c.honoured ? 1u : 0u);
  }
}

TEST_F(LivenessTest, ReplayedJoinOfAStoppedStationBringsNoGhost) {
  // A receiver started after "ghost" stopped sees its captured JOIN: held, probed, never
  // answered, forgotten without ever entering the tree or being greeted.
  LivenessActions actions;
  EXPECT_FALSE(table_.OnAnnouncement(Beat("ghost", 99), /*join=*/true, &actions));
  EXPECT_EQ(Kinds(actions), std::vector<Kind>{Kind::kProbe});
  const LivenessActions later = Run(milliseconds(5000));
  EXPECT_EQ(Find(later, Kind::kRemove), nullptr);
  EXPECT_EQ(Find(later, Kind::kGreet), nullptr);
  EXPECT_EQ(table_.size(), 0u);
  EXPECT_EQ(table_.counters().unconfirmedDropped, 1u);
  // The same replayed again is held again: it never enters.
  actions.clear();
  EXPECT_FALSE(table_.OnAnnouncement(Beat("ghost", 99), true, &actions));
}

TEST_F(LivenessTest, NewIncarnationReplacesTheOldOnceItAnswers) {
  Confirm(Beat("delta", 1, 100));
  // The restarted station joins with incarnation 2 from another address: held until it answers.
  PeerBeat restarted = Beat("delta", 2, 200);
  restarted.address = "10.0.0.77";
  LivenessActions actions;
  EXPECT_FALSE(table_.OnAnnouncement(restarted, /*join=*/true, &actions));
  const LivenessAction* probe = Find(actions, Kind::kProbe);
  ASSERT_NE(probe, nullptr);
  const LivenessActions answered = table_.OnProbeAnswer(restarted, probe->nonce);
  // Its details are asked for (content of the new start) and it is greeted as a joiner.
  ASSERT_NE(Find(answered, Kind::kFetch), nullptr);
  EXPECT_EQ(Find(answered, Kind::kFetch)->address, "10.0.0.77");
  EXPECT_NE(Find(answered, Kind::kGreet), nullptr);
  EXPECT_TRUE(table_.OnAnnouncement(restarted, false, &actions));
  EXPECT_EQ(table_.Peers()[0].incarnation, 2u);
  EXPECT_EQ(table_.Peers()[0].address, "10.0.0.77");
  // The old incarnation's LEAVE, replayed now, is no news.
  EXPECT_FALSE(table_.OnLeave("delta", 1));
}

TEST_F(LivenessTest, HeldJoinIsGreetedUnlessTheJoinerProbedThisStationSinceIt) {
  // Stations that start together hear each other's JOIN and probe each other: a greeting
  // would only repeat what the joiner takes itself. A probe from before the JOIN (an earlier
  // life of the joiner's link) or from another incarnation does not count.
  struct Case {
    const char* name;
    bool probeBeforeJoin;
    bool probeAfterJoin;
    std::uint64_t probeIncarnation;
    bool greeted;
  };
  const Case cases[] = {
      {"no probe from it", false, false, 5, true},
      {"probed after the JOIN", false, true, 5, false},
      {"probed only before the JOIN", true, false, 5, true},
      {"probed by another incarnation", false, true, 4, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LivenessTable table(Settings(), clock_);
    const PeerBeat joiner = Beat("zeta", 5);
    LivenessActions actions;
    if (c.probeBeforeJoin) {
      actions = table.OnHeartbeat(joiner);
      table.OnContacted(joiner);
    }
    table.OnAnnouncement(joiner, /*join=*/true, &actions);
    if (c.probeAfterJoin) table.OnContacted(Beat("zeta", c.probeIncarnation));
    ASSERT_NE(Find(actions, Kind::kProbe), nullptr);
    const std::uint64_t nonce = Find(actions, Kind::kProbe)->nonce;
    EXPECT_EQ(Find(table.OnProbeAnswer(joiner, nonce), Kind::kGreet) != nullptr, c.greeted);
  }
}

TEST_F(LivenessTest, ContactFromAnUnknownStationIsConfirmedButNeverKeepsADeadOneAlive) {
  // Its JOIN and beats lost, a station that probes this one is probed back like after a beat.
  const LivenessActions contacted = table_.OnContacted(Beat("eta", 6));
  ASSERT_EQ(Kinds(contacted), std::vector<Kind>{Kind::kProbe});
  EXPECT_EQ(table_.Peers()[0].state, PeerState::kConfirming);
  EXPECT_NE(Find(table_.OnProbeAnswer(Beat("eta", 6), contacted[0].nonce), Kind::kFetch), nullptr);
  EXPECT_EQ(table_.Peers()[0].state, PeerState::kAlive);
  // Probes of it (replayed, say) while it is silent do not keep it: it is removed as usual.
  bool removed = false;
  for (int i = 0; i < 60 && !removed; ++i) {
    table_.OnContacted(Beat("eta", 6));
    removed = Find(Run(milliseconds(100)), Kind::kRemove) != nullptr;
  }
  EXPECT_TRUE(removed);
}

TEST_F(LivenessTest, UnseenContentVersionIsFetchedUntilApplied) {
  Confirm(Beat("eps", 3, 10));
  EXPECT_EQ(Kinds(table_.OnHeartbeat(Beat("eps", 3, 10))), std::vector<Kind>{});
  // A project written while the link was down: the beat's version is new.
  EXPECT_EQ(Kinds(table_.OnHeartbeat(Beat("eps", 3, 11))), std::vector<Kind>{Kind::kFetch});
  // Not asked again within half a second; after it, asked again by the next beat and by the
  // tick while no beat comes.
  clock_.Advance(milliseconds(300));
  EXPECT_EQ(Kinds(table_.OnHeartbeat(Beat("eps", 3, 11))), std::vector<Kind>{});
  clock_.Advance(milliseconds(600));
  EXPECT_EQ(Kinds(table_.OnHeartbeat(Beat("eps", 3, 11))), std::vector<Kind>{Kind::kFetch});
  std::size_t fetches = 0;
  for (int i = 0; i < 12; ++i) {  // 1.2 s without a beat
    clock_.Advance(milliseconds(100));
    fetches += Kinds(table_.Tick(clock_.Now())).size();
  }
  EXPECT_EQ(fetches, 2u);
  table_.NoteApplied("eps", 11);
  clock_.Advance(milliseconds(1100));
  EXPECT_EQ(Kinds(table_.OnHeartbeat(Beat("eps", 3, 11))), std::vector<Kind>{});
}

TEST_F(LivenessTest, FloodOfForgedSendersKeepsMemoryBoundedAndRealStations) {
  Confirm(Beat("real", 8));
  std::size_t probes = 0;
  for (int i = 0; i < 10000; ++i) {
    probes += Kinds(table_.OnHeartbeat(Beat("forged-" + std::to_string(i), 1000 + i))).size();
  }
  const LivenessSettings settings = Settings();
  EXPECT_LE(table_.size(), settings.maxConfirming + 1);
  EXPECT_LE(probes, settings.maxConfirming);
  EXPECT_GE(table_.counters().refused, 10000 - settings.maxConfirming);
  // The real station, still beating, stays; the forged ones, never answering, go (their six
  // probes, backing off, span 3.8 s).
  for (int i = 0; i < 45; ++i) {
    clock_.Advance(milliseconds(100));
    table_.Tick(clock_.Now());
    if (i % 10 == 0) table_.OnHeartbeat(Beat("real", 8));
  }
  ASSERT_EQ(table_.size(), 1u);
  EXPECT_EQ(table_.Peers()[0].host, "real");
  EXPECT_EQ(table_.Peers()[0].state, PeerState::kAlive);
}

TEST_F(LivenessTest, TimeGoingBackIsNoSilence) {
  Confirm(Beat("zeta", 4));
  // A tick with a time before the last beat (a clock the station does not use for this would
  // jump so; monotonic time never does): no suspicion, no removal, no negative silence.
  EXPECT_EQ(Kinds(table_.Tick(clock_.Now() - std::chrono::hours(1))), std::vector<Kind>{});
  EXPECT_EQ(table_.Peers()[0].state, PeerState::kAlive);
  EXPECT_EQ(Kinds(Run(milliseconds(1000))), std::vector<Kind>{});
}

TEST_F(LivenessTest, HeartbeatPeriodGrowsWithTheGroupWithinTheBudget) {
  // One beat a period (+-1/16), the first a period after the first tick.
  EXPECT_EQ(Kinds(table_.Tick(clock_.Now()), true), std::vector<Kind>{});
  const std::size_t beats = Kinds(Run(milliseconds(10000)), true).size();
  EXPECT_GE(beats, 9u);
  EXPECT_LE(beats, 11u);
  EXPECT_EQ(table_.HeartbeatInterval(), milliseconds(1000));
  LivenessSettings settings = Settings();
  settings.maxConfirming = 2000;
  settings.maxPeers = 2000;
  LivenessTable big(settings, clock_);
  for (int i = 0; i < 1000; ++i) big.OnHeartbeat(Beat("s" + std::to_string(i), 1 + i));
  // 1000 senders of 1600-bit beats within 240 kbit/s: one beat every 6.67 s each.
  EXPECT_EQ(big.HeartbeatInterval(), milliseconds(6666));
  // Beats that arrive twice as large (longer names) stretch the period to keep the budget.
  for (int i = 0; i < 300; ++i) big.OnHeartbeat(Beat("s" + std::to_string(i), 1 + i), 3200);
  EXPECT_GT(big.HeartbeatInterval(), milliseconds(13000));
  EXPECT_LE(big.HeartbeatInterval(), milliseconds(13334));
}

TEST(LivenessWireTest, MessagesRoundTripAndHostileTextsAreRefused) {
  LivenessMessage probe;
  probe.kind = LivenessKind::kProbe;
  probe.sender = Beat("a<b", 0xFFFFFFFFFFFFFFFFull, 0);
  probe.to = "target";
  probe.nonce = 77;
  const auto parsed = ParseLivenessMessage(BuildLivenessMessage(probe));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->kind, LivenessKind::kProbe);
  EXPECT_EQ(parsed->sender.host, "a<b");
  EXPECT_EQ(parsed->sender.incarnation, 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(parsed->to, "target");
  EXPECT_EQ(parsed->nonce, 77u);
  LivenessMessage beat;  // the beat leaves out its kind and an empty domain
  beat.sender = Beat("b", 5, 6);
  beat.sender.domain.clear();
  const std::string beatText = BuildLivenessMessage(beat);
  EXPECT_EQ(beatText.find(" K="), std::string::npos);
  EXPECT_EQ(beatText.find(" D="), std::string::npos);
  const auto parsedBeat = ParseLivenessMessage(beatText);
  ASSERT_TRUE(parsedBeat);
  EXPECT_EQ(parsedBeat->kind, LivenessKind::kBeat);
  EXPECT_EQ(parsedBeat->sender.version, 6u);

  const char* refused[] = {
      R"(<QXLIVE A="10.0.0.1" K="BEAT" H="h" I="0" V="1" T="1000"/>)",  // no incarnation
      R"(<QXLIVE A="10.0.0.1" K="BEAT" H="" I="5" V="1" T="1000"/>)",   // no host
      // beyond 64 bits
      R"(<QXLIVE A="10.0.0.1" K="BEAT" H="h" I="12345678901234567" V="1" T="1"/>)",
      R"(<QXLIVE A="10.0.0.1" K="BEAT" H="h" I="5" V="1" T="-1"/>)",             // no period
      R"(<QXLIVE A="10.0.0.1" K="PROBE" H="h" I="5" V="1" T="1" N="9"/>)",       // no receiver
      R"(<QXLIVE A="10.0.0.1" K="ACK" H="h" I="5" V="1" T="1" TO="x" N="0"/>)",  // no nonce
      R"(<QXLIVE A="10.0.0.1" K="SHOUT" H="h" I="5" V="1" T="1"/>)",             // unknown kind
      R"(<QXDISCOVER A="10.0.0.1" K="BEAT" H="h" I="5" V="1" T="1"/>)",          // another root
      R"(<QXLIVE A="plant.example" K="BEAT" H="h" I="5" V="1" T="1"/>)",  // a name, no address
      R"(<QXLIVE K="BEAT" H="h" I="5" V="1" T="1"/>)",                    // no address
  };
  for (const char* text : refused) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(ParseLivenessMessage(text));
  }
  EXPECT_FALSE(ParseLivenessMessage("<QXLIVE A=\"10.0.0.1\" K=\"BEAT\" H=\"" +
                                    std::string(300, 'h') + "\" I=\"5\" V=\"1\" T=\"1\"/>"));
}

TEST(LivenessWireTest, StampTravelsWithAnAnnouncementAndIsTakenOut) {
  std::string join = "<QXDISCOVER><EVENT>JOIN</EVENT><HOST>h</HOST></QXDISCOVER>";
  ASSERT_TRUE(StampAnnouncement(0xabc, 0xdef, &join));
  CXmlElement message;
  ASSERT_TRUE(message.LoadXml(join));
  std::uint64_t incarnation = 0;
  std::uint64_t version = 0;
  TakeAnnouncementStamp(&message, &incarnation, &version);
  EXPECT_EQ(incarnation, 0xabcu);
  EXPECT_EQ(version, 0xdefu);
  std::string rest;
  ASSERT_TRUE(message.GetXml(&rest));
  EXPECT_EQ(rest.find("INCARNATION"), std::string::npos);
  EXPECT_EQ(rest.find("VERSION"), std::string::npos);
}

}  // namespace
}  // namespace qx
