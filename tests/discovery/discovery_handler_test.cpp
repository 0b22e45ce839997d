// Tests of the discovery handlers: announcements in, tree and replies out.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "discovery/default_discovery_host.h"
#include "discovery/discovery_handler.h"
#include "discovery/liveness_service.h"
#include "discovery/liveness_wire.h"
#include "discovery/recording_komm.h"
#include "nettree/net_tree.h"
#include "registry/project_state.h"
#include "registry/registry_projects.h"
#include "server/server_test_support.h"
#include "support/manual_clock.h"

namespace qx {
namespace {

// A server that routes every message to the default handlers of the module's station.
class TestHost : public test::DefaultDiscoveryHost {
 public:
  TestHost() : DefaultDiscoveryHost(test::Station().core) {}
  LivenessService* liveness() const override { return live; }
  LivenessService* live = nullptr;
};

std::string Announce(const std::string& event, const std::string& host,
                     const std::string& projects = "", const std::string& domain = "PLANTNET") {
  return "<QXDISCOVER><EVENT>" + event + "</EVENT><HOST>" + host + "</HOST><DOMAIN>" + domain +
         "</DOMAIN><IP>10.1.2.3</IP><PROJECTLIST>" + projects + "</PROJECTLIST></QXDISCOVER>";
}

std::string Project(const std::string& dsn, const std::string& host) {
  return "<PROJECT><Name>" + dsn + "</Name><STATE>Run Time</STATE><DSN>" + dsn + "</DSN><HOST>" +
         host + "</HOST></PROJECT>";
}

// Writes project dsn of the station, its file below the station's root, as the local command
// WriteProjectToRegistry does.
HRESULT WriteStationProject(const test::TestStation& station, const std::string& dsn) {
  const std::string file = station.WriteFile(dsn + ".mcp", "");
  CXmlElement command;
  if (!command.LoadXml("<WriteProjectToRegistry><Name>n</Name><Type>Multi User</Type>"
                       "<State>Run</State><DSN>" +
                       dsn + "</DSN><FullPath>" + XmlEscape(file) +
                       "</FullPath><UNCPath>\\\\STATIONT\\" + dsn +
                       "</UNCPath><Server>STATIONT</Server><Host>STATIONT</Host>"
                       "</WriteProjectToRegistry>")) {
    return E_FAIL;
  }
  return WriteToRegistry(command);
}

class DiscoveryHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::Station();
    test::Station().core.tree().Clear();
    test::Station().core.tree().Init();
  }
  void TearDown() override {
    host_.live = nullptr;
    live_.reset();
    test::Station().core.tree().Clear();
    SetCurrentProjectState("", "");
  }
  // A liveness service of host_ on clock_, in the group; ends with the test.
  LivenessService& Live(LivenessSettings settings = {}) {
    settings.seed = 3;
    live_ = std::make_unique<LivenessService>(settings, clock_, host_);
    host_.live = live_.get();
    live_->SetJoined(true);
    return *live_;
  }

  test::RecordSends record_;
  TestHost host_;
  testing::ManualClock clock_;
  std::unique_ptr<LivenessService> live_;
};

TEST_F(DiscoveryHandlerTest, AnnouncementsChangeTheTreeAndJoinsFromOthersAreAnswered) {
  struct Case {
    const char* name;
    bool enabled;
    std::vector<std::string> messages;
    std::vector<std::string> hosts;
    std::vector<std::string> replies;  // receivers of the sends
  } const cases[] = {
      {"join from another host", true, {Announce("JOIN", "OTHER")}, {"OTHER"}, {"10.1.2.3"}},
      {"join in lower case",
       true,
       {"<qxdiscover><event>join</event><host>other</host><domain>d</domain><ip>10.1.2.3</ip>"
        "</qxdiscover>"},
       {"other"},
       {"10.1.2.3"}},
      {"join from this computer", true, {Announce("JOIN", "stationt")}, {"stationt"}, {}},
      {"update is not answered", true, {Announce("UPDATE", "OTHER")}, {"OTHER"}, {}},
      {"leave removes",
       true,
       {Announce("JOIN", "OTHER"), Announce("LEAVE", "OTHER")},
       {},
       {"10.1.2.3"}},
      {"leave naming this computer is ignored",
       true,
       {Announce("JOIN", "STATIONT"), Announce("LEAVE", "STATIONT")},
       {"STATIONT"},
       {}},
      {"multicast not enabled", false, {Announce("JOIN", "OTHER")}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::Station().core.tree().Clear();
    test::Station().core.tree().Init();
    host_.enabled = c.enabled;
    for (const std::string& m : c.messages) EXPECT_EQ(host_.onReceiveMulticast(m), S_OK);
    EXPECT_EQ(test::Station().core.tree().HostNames(), c.hosts);
    std::vector<std::string> receivers;
    for (const test::Sent& s : test::TakeSent()) {
      receivers.push_back(s.receiver);
      EXPECT_EQ(test::RootAndField(s.text, "EVENT"), "QXDISCOVER/UPDATE");
      EXPECT_EQ(test::RootAndField(s.text, "Receiver"), "QXDISCOVER/" + s.receiver);
    }
    EXPECT_EQ(receivers, c.replies);
  }
}

// An announcement of a station that speaks the liveness extension carries its whole project
// list: a project it no longer names goes. The original protocol's lists are merged as before.
TEST_F(DiscoveryHandlerTest, StampedAnnouncementReplacesTheHostsProjectsUnstampedMerges) {
  auto stamped = [](const std::string& event, const std::string& projects) {
    std::string text = Announce(event, "OTHER", projects);
    EXPECT_TRUE(StampAnnouncement(0x1234, 0x99, &text));
    return text;
  };
  struct Case {
    const char* name;
    std::string first;
    std::string second;
    std::size_t projects;  // in the tree after both
  } const cases[] = {
      {"stamped join replaces", stamped("JOIN", Project("OLD", "OTHER")),
       stamped("JOIN", Project("NEW", "OTHER")), 1},
      {"stamped update with an empty list empties", stamped("JOIN", Project("OLD", "OTHER")),
       stamped("UPDATE", ""), 0},
      {"original protocol merges", Announce("JOIN", "OTHER", Project("OLD", "OTHER")),
       Announce("JOIN", "OTHER", Project("NEW", "OTHER")), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::Station().core.tree().Clear();
    test::Station().core.tree().Init();
    EXPECT_EQ(host_.onReceiveMulticast(c.first), S_OK);
    EXPECT_EQ(host_.onReceiveMulticast(c.second), S_OK);
    EXPECT_EQ(test::Station().core.tree().ProjectCount(), c.projects);
    // The stamp never reaches the tree's answers.
    CXmlElement request;
    ASSERT_TRUE(request.LoadXml("<GetHostDetails><HOST>OTHER</HOST></GetHostDetails>"));
    AnswerText details;
    ASSERT_EQ(test::Station().core.tree().GetHostDetails(request, &details), S_OK);
    EXPECT_EQ(details->find("INCARNATION"), std::string::npos);
  }
  test::TakeSent();
}

// With the liveness extension a stamped JOIN enters only after its station answered a probe
// sealed to it, and a LEAVE only counts for the incarnation this station knows.
TEST_F(DiscoveryHandlerTest, StampedMembershipChangesMustBeFresh) {
  Live();
  auto stamped = [](const std::string& event, std::uint64_t incarnation,
                    std::uint64_t version = 0x99) {
    std::string text = Announce(event, "OTHER", Project("P", "OTHER"));
    EXPECT_TRUE(StampAnnouncement(incarnation, version, &text));
    return text;
  };
  auto sentOf = [](LivenessKind kind) {
    std::vector<LivenessMessage> found;
    for (const test::Sent& sent : test::TakeSent()) {
      if (auto message = ParseLivenessMessage(sent.text); message && message->kind == kind) {
        EXPECT_EQ(sent.receiver, "10.1.2.3");
        found.push_back(*message);
      }
    }
    return found;
  };
  auto answer = [](const LivenessMessage& probe, const std::string& to, std::uint64_t nonce) {
    LivenessMessage ack;
    ack.kind = LivenessKind::kAck;
    ack.sender.host = "OTHER";
    ack.sender.domain = "PLANTNET";
    ack.sender.address = "10.1.2.3";
    ack.sender.incarnation = 5;
    ack.sender.version = 0x99;
    ack.to = to;
    ack.nonce = nonce != 0 ? nonce : probe.nonce;
    return BuildLivenessMessage(ack);
  };

  // A JOIN (maybe a replay of a station that stopped) is held and its station probed.
  ASSERT_EQ(host_.onReceiveMulticast(stamped("JOIN", 5)), S_OK);
  EXPECT_TRUE(test::Station().core.tree().HostNames().empty());
  const std::vector<LivenessMessage> probes = sentOf(LivenessKind::kProbe);
  ASSERT_EQ(probes.size(), 1u);
  EXPECT_EQ(probes[0].to, "OTHER");
  // Answers meant for another station, or with another nonce, confirm nothing.
  host_.onReceiveMulticast(answer(probes[0], "SOMEONE", 0));
  host_.onReceiveMulticast(answer(probes[0], "STATIONT", probes[0].nonce + 1));
  EXPECT_TRUE(sentOf(LivenessKind::kFetch).empty());
  // The right answer: the held JOIN is what the station has now (the answer names its version),
  // so it enters at once and nothing is asked for.
  host_.onReceiveMulticast(answer(probes[0], "STATIONT", 0));
  EXPECT_TRUE(sentOf(LivenessKind::kFetch).empty());
  EXPECT_EQ(test::Station().core.tree().HostNames(), std::vector<std::string>{"OTHER"});
  ASSERT_EQ(host_.onReceiveMulticast(stamped("UPDATE", 5)), S_OK);
  EXPECT_EQ(test::Station().core.tree().HostNames(), std::vector<std::string>{"OTHER"});

  // A captured LEAVE of an earlier start is no news; the LEAVE of this start is.
  ASSERT_EQ(host_.onReceiveMulticast(stamped("LEAVE", 4)), S_OK);
  EXPECT_EQ(test::Station().core.tree().HostNames(), std::vector<std::string>{"OTHER"});
  ASSERT_EQ(host_.onReceiveMulticast(stamped("LEAVE", 5)), S_OK);
  EXPECT_TRUE(test::Station().core.tree().HostNames().empty());
  test::TakeSent();

  // A JOIN older than what its station answers with (a replay of the same start, or one that a
  // change overtook) does not enter: the station's details are asked for, and they enter.
  ASSERT_EQ(host_.onReceiveMulticast(stamped("JOIN", 5, 0x98)), S_OK);
  const std::vector<LivenessMessage> again = sentOf(LivenessKind::kProbe);
  ASSERT_EQ(again.size(), 1u);
  host_.onReceiveMulticast(answer(again[0], "STATIONT", 0));
  EXPECT_TRUE(test::Station().core.tree().HostNames().empty());
  EXPECT_EQ(sentOf(LivenessKind::kFetch).size(), 1u);
  ASSERT_EQ(host_.onReceiveMulticast(stamped("UPDATE", 5)), S_OK);
  EXPECT_EQ(test::Station().core.tree().HostNames(), std::vector<std::string>{"OTHER"});
  test::TakeSent();
}

// The service's thread ticks while receivers deliver beats from several lanes at once; Stop
// ends it. Beats of unknown stations are probed, at most maxConfirming of them at a time.
TEST_F(DiscoveryHandlerTest, LivenessServiceRunsBesideConcurrentReceivers) {
  LivenessSettings settings;
  settings.maxConfirming = 40;
  LivenessService& live = Live(settings);
  ASSERT_TRUE(live.Start());
  std::vector<std::thread> lanes;
  for (int lane = 0; lane < 3; ++lane) {
    lanes.emplace_back([&, lane] {
      for (int i = 0; i < 30; ++i) {
        LivenessMessage beat;
        beat.sender.host = "LANE" + std::to_string(lane) + "-" + std::to_string(i);
        beat.sender.address = "10.1.2.3";
        beat.sender.incarnation = 100 + static_cast<std::uint64_t>(i);
        beat.sender.intervalMs = 1000;
        host_.onReceiveMulticast(BuildLivenessMessage(beat));
        clock_.Advance(std::chrono::milliseconds(10));
      }
    });
  }
  for (std::thread& lane : lanes) lane.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(250));  // a few ticks of the thread
  const LivenessStatus status = live.Status();
  EXPECT_EQ(status.peers.size(), 40u);
  EXPECT_EQ(status.counters.refused, 50u);
  EXPECT_GE(status.counters.probesSent, 40u);
  live.Stop();
  test::TakeSent();
}

// A project written while the station runs changes its content version: the others fetch its
// UPDATE when its next beat says so, and its own tree takes the same UPDATE at that beat, so the
// trees agree without a JOIN. A beat with nothing new leaves the own entry to the JOIN.
TEST_F(DiscoveryHandlerTest, OwnEntryFollowsAChangedContentVersionAtTheNextBeat) {
  test::TestStation& station = test::Station();
  InitProjectList();
  LivenessService& live = Live();
  ASSERT_TRUE(live.Start());
  const auto beatsSent = [&] {
    // The thread beats a period after its first tick; the clock goes on while the test waits
    // (at most some 5 s of the thread's ticks).
    for (int tick = 0; tick < 50; ++tick) {
      clock_.Advance(std::chrono::milliseconds(200));
      for (const test::Sent& sent : test::TakeSent()) {
        if (sent.text.find("QXLIVE") != std::string::npos) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  ASSERT_TRUE(beatsSent());
  EXPECT_EQ(test::Station().core.tree().HostCount(),
            0u);  // nothing new: the own entry waits for the JOIN

  ASSERT_EQ(WriteStationProject(station, "WRITTEN"), S_OK);
  ASSERT_TRUE(beatsSent());
  live.Stop();
  EXPECT_EQ(test::Station().core.tree().HostNames(), std::vector<std::string>{"STATIONT"});
  CXmlElement request;
  ASSERT_TRUE(request.LoadXml(
      "<GetProjectList><DomainFilter>*</DomainFilter><HostFilter>STATIONT</HostFilter>"
      "<ProjectFilter>*</ProjectFilter></GetProjectList>"));
  AnswerText list;
  ASSERT_EQ(test::Station().core.tree().GetProjectList(request, &list), S_OK);
  EXPECT_NE(list->find("<DSN>WRITTEN</DSN>"), std::string::npos) << *list;
  test::TakeSent();
}

// A station that left the group answers no probe and takes no beat until it joins again, so
// that the others let it go and its tree stays empty.
TEST_F(DiscoveryHandlerTest, StationThatLeftTakesNoPartInLiveness) {
  LivenessService& live = Live();
  LivenessMessage probe;
  probe.kind = LivenessKind::kProbe;
  probe.sender.host = "OTHER";
  probe.sender.address = "10.1.2.3";
  probe.sender.incarnation = 7;
  probe.to = "STATIONT";
  probe.nonce = 11;
  LivenessMessage beat = probe;
  beat.kind = LivenessKind::kBeat;
  for (const bool joined : {false, true}) {
    SCOPED_TRACE(joined ? "joined" : "left");
    live.SetJoined(joined);
    test::TakeSent();
    host_.onReceiveMulticast(BuildLivenessMessage(probe));
    host_.onReceiveMulticast(BuildLivenessMessage(beat));
    EXPECT_EQ(test::TakeSent().size(), joined ? 2u : 0u);  // the answer; a probe of OTHER
    EXPECT_EQ(live.Status().peers.size(), joined ? 1u : 0u);
  }
  live.SetJoined(false);
  EXPECT_TRUE(live.Status().peers.empty());
}

TEST_F(DiscoveryHandlerTest, BadInputIsDroppedAndTheTreeKeepsWhatItHad) {
  ASSERT_EQ(host_.onReceiveMulticast(Announce("UPDATE", "KEPT", Project("Plant", "KEPT"))), S_OK);
  struct Case {
    const char* name;
    std::string text;
    HRESULT result;
  } const cases[] = {
      {"not xml", "<QXDISCOVER><EVENT>JOIN", E_FAIL},
      {"empty", "", E_FAIL},
      {"no host", Announce("JOIN", ""), S_OK},
      {"no domain", Announce("JOIN", "NODOMAIN", "", ""), S_OK},
      {"host name too long", Announce("JOIN", std::string(600, 'h')), S_OK},
      {"records that break the XML", Announce("JOIN", "BROKEN", "<PROJECT><DSN>x</PROJECT>"),
       E_FAIL},
      {"records without a DSN", Announce("UPDATE", "KEPT", "<PROJECT/><PROJECT>y</PROJECT>"), S_OK},
      {"DSN too long", Announce("UPDATE", "LONGDSN", Project(std::string(200, 'd'), "LONGDSN")),
       S_OK},
      {"station list", "<STATIONLIST><HOST>KEPT</HOST></STATIONLIST>", S_OK},
      {"station shutdown",
       "<NETQX><EVENT>SHUTDOWN</EVENT><STATION><HOST>KEPT</HOST></STATION>"
       "</NETQX>",
       S_OK},
      {"unknown root", "<Whatever><HOST>KEPT</HOST></Whatever>", S_OK},
      {"remote call without context", "<REMOTECALL><DLL>x</DLL></REMOTECALL>", E_FAIL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(host_.onReceiveMulticast(c.text), c.result);
    const std::vector<std::string> hosts = test::Station().core.tree().HostNames();
    EXPECT_NE(std::find(hosts.begin(), hosts.end(), "KEPT"), hosts.end());
    for (const std::string& h : hosts) {
      EXPECT_TRUE(h == "KEPT" || h == "LONGDSN") << h;
    }
    EXPECT_TRUE(test::TakeSent().empty());
  }
}

TEST_F(DiscoveryHandlerTest, ProjectRemovalAndStateEvents) {
  ASSERT_EQ(host_.onReceiveMulticast(
                Announce("UPDATE", "OTHER", Project("Plant", "OTHER") + Project("Mill", "OTHER"))),
            S_OK);
  ASSERT_EQ(test::Station().core.tree().ProjectCount(), 2u);
  EXPECT_EQ(
      host_.onReceiveMulticast("<QXDISCOVER><EVENT>RemoveFromProjectList</EVENT><HOST>OTHER"
                               "</HOST><DOMAIN>PLANTNET</DOMAIN><DSN>mill</DSN></QXDISCOVER>"),
      S_OK);
  EXPECT_EQ(test::Station().core.tree().ProjectCount(), 1u);

  const auto state = [&](const std::string& host, const std::string& value) {
    return host_.onReceiveMulticast("<PM_MULTICAST><EVENT>New State of Server</EVENT><HOST>" +
                                    host + "</HOST><STATE>" + value +
                                    "</STATE><DSN>Plant</DSN></PM_MULTICAST>");
  };
  EXPECT_EQ(state("stationt", "Run Time"), S_OK);
  EXPECT_EQ(GetCurrentProjectState("PLANT"), "Run Time");
  EXPECT_EQ(GetCurrentProjectState("Mill"), "");
  EXPECT_EQ(state("OTHER", "Stopped"), S_OK);  // another station's project: not the record
  EXPECT_EQ(GetCurrentProjectState("plant"), "Run Time");
  EXPECT_EQ(state("STATIONT", ""), S_OK);
  EXPECT_EQ(GetCurrentProjectDsn(), "");
  EXPECT_TRUE(test::TakeSent().empty());
}

TEST_F(DiscoveryHandlerTest, TestRequestsAreAnsweredAsAsked) {
  struct Case {
    const char* replyBy;
    HRESULT result;
    bool answered;
  } const cases[] = {{"", S_OK, true}, {"rpc", E_NOTIMPL, false}, {"Mailslot", S_OK, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.replyBy);
    EXPECT_EQ(host_.onReceiveMulticast(std::string("<TestMulticast><IP>127.0.0.9</IP><ReplyBy>") +
                                       c.replyBy + "</ReplyBy></TestMulticast>"),
              c.result);
    const std::vector<test::Sent> replies = test::TakeSent();
    ASSERT_EQ(replies.size(), c.answered ? 1u : 0u);
    if (c.answered) {
      EXPECT_EQ(replies[0].receiver, "127.0.0.9");
      EXPECT_EQ(test::RootAndField(replies[0].text, "EVENT"), "ReplyTestMulticast/TEST");
      EXPECT_EQ(replies[0].text.find("PROJECTLIST"), std::string::npos);
    }
  }
}

// The UPDATE replies reuse the station's details until what they are written from changes: each
// reply names its own receiver, and a project written or a state recorded shows in the next.
TEST_F(DiscoveryHandlerTest, RepliesFollowTheRegistryAndTheProjectState) {
  test::TestStation& station = test::Station();
  auto reply = [&](const std::string& ip) {
    const std::string join =
        "<QXDISCOVER><EVENT>JOIN</EVENT><HOST>OTHER</HOST><DOMAIN>D</DOMAIN>"
        "<IP>" +
        ip + "</IP></QXDISCOVER>";
    EXPECT_EQ(host_.onReceiveMulticast(join), S_OK);
    std::vector<test::Sent> sent = test::TakeSent();
    return sent.size() == 1 ? sent[0].text : std::string();
  };
  const std::string first = reply("10.1.2.3");
  const std::string second = reply("10.1.2.4");
  EXPECT_EQ(test::RootAndField(second, "Receiver"), "QXDISCOVER/10.1.2.4");
  EXPECT_EQ(first.substr(first.find("</Receiver>")), second.substr(second.find("</Receiver>")));
  EXPECT_EQ(second.find("KEPTTEST"), std::string::npos);

  InitProjectList();
  ASSERT_EQ(WriteStationProject(station, "KEPTTEST"), S_OK);
  EXPECT_NE(reply("10.1.2.3").find("<DSN>KEPTTEST</DSN>"), std::string::npos);
  SetCurrentProjectState("KEPTTEST", "Design");
  EXPECT_NE(reply("10.1.2.3").find(">Design<"), std::string::npos);
}

}  // namespace
}  // namespace qx
