// Tests of the server in the discovery role: the local commands that reach the network tree.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "discovery/recording_komm.h"
#include "messaging/netqxkomm.h"
#include "nettree/net_tree.h"
#include "registry/reg_key.h"
#include "rpc/rpc_settings.h"
#include "server/remote_server.h"
#include "server_test_support.h"

namespace qx {
namespace {

void UseFreePortFor(const char* service) {
  CREGKEY ports;
  ASSERT_TRUE(CREGKEY::CreateKey(kRpcPortsKey));
  ASSERT_TRUE(ports.Open(kRpcPortsKey));
  if (ports.GetInt(service, 0) != 0) return;
  ports.SetInt(service, test::FreeLoopbackPort());
}

class DiscoveryServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::Station();
    UseFreePortFor(kServiceDiscovery);
    CREGKEY storage;
    ASSERT_TRUE(CREGKEY::CreateKey(kStorageKey));
    ASSERT_TRUE(storage.Open(kStorageKey));
    storage.SetInt("CleanRegistry", 600000);  // a watch that does not tick during the test
    ASSERT_EQ(server_.startRemoteServer(kServiceDiscovery), S_OK);
    test::TakeSent();
  }
  void TearDown() override { server_.stopRemoteServer(); }

  test::RecordSends record_;
  CSERVER server_{test::Station().core};
};

TEST_F(DiscoveryServerTest, TreeCommandsAnswerFromTheTreeUntilTheServerStops) {
  ASSERT_EQ(server_.onReceiveMulticast(
                "<QXDISCOVER><EVENT>UPDATE</EVENT><HOST>OTHER</HOST><DOMAIN>PLANTNET</DOMAIN>"
                "<PROJECTLIST><PROJECT><Name>Plant</Name><DSN>Plant</DSN><HOST>OTHER</HOST>"
                "</PROJECT></PROJECTLIST></QXDISCOVER>"),
            S_OK);
  EXPECT_EQ(server_.TalkByString("<SetUserPassword><DSN>Plant</DSN><USER>op</USER><PASSWORD>pw"
                                 "</PASSWORD></SetUserPassword>",
                                 nullptr),
            S_OK);
  using Query = HRESULT (NetTree::*)(const CXmlElement&, AnswerText*) const;
  struct Case {
    const char* command;
    Query query;
  } const cases[] = {
      {"<GetTreeContent/>", &NetTree::GetTreeContent},
      {"<GetHostDetails><HOST>other</HOST></GetHostDetails>", &NetTree::GetHostDetails},
      {"<GetProjectDetails><DSN>plant</DSN></GetProjectDetails>", &NetTree::GetProjectDetails},
      {"<GetProjectList><DomainFilter>*</DomainFilter><HostFilter>*</HostFilter><ProjectFilter>*"
       "</ProjectFilter></GetProjectList>",
       &NetTree::GetProjectList},
      {"<FindServerForDSN><DSN>Plant</DSN></FindServerForDSN>", &NetTree::FindServerForDSN},
      {"<IsPasswordAvailable><DSN>Plant</DSN></IsPasswordAvailable>",
       &NetTree::IsPasswordAvailable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    CXmlElement request;
    ASSERT_TRUE(request.LoadXml(c.command));
    AnswerText direct;
    const HRESULT expected = (test::Station().core.tree().*c.query)(request, &direct);
    AnswerText answer;
    EXPECT_EQ(server_.TalkByString(c.command, &answer), expected);
    EXPECT_EQ(answer, direct);
    EXPECT_TRUE(answer.has_value());
  }
  EXPECT_EQ(server_.TalkByString("<NoSuchCommand/>", nullptr), E_NOTIMPL);

  server_.stopRemoteServer();
  EXPECT_EQ(server_.TalkByString("<GetTreeContent/>", nullptr), E_FAIL);
  EXPECT_EQ(server_.TalkByString("<NoSuchCommand/>", nullptr), E_FAIL);
}

TEST_F(DiscoveryServerTest, MembershipCommandsAnnounceThisStation) {
  struct Case {
    const char* command;
    std::vector<std::string> events;  // of the group sends, in order
    std::size_t hosts;
    std::chrono::milliseconds atLeast;
  } const cases[] = {
      {"<JoinMulticastGroup/>", {"QXDISCOVER/JOIN"}, 1, std::chrono::milliseconds(0)},
      {"<LeaveMulticastGroup/>", {"QXDISCOVER/LEAVE"}, 0, std::chrono::milliseconds(0)},
      {"<LeaveJoinMulticastGroup/>",
       {"QXDISCOVER/LEAVE", "QXDISCOVER/JOIN"},
       1,
       std::chrono::milliseconds(1000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(server_.TalkByString(c.command, nullptr), S_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - start, c.atLeast);
    std::vector<std::string> events;
    for (const test::Sent& s : test::TakeSent()) {
      EXPECT_EQ(s.receiver, "*");
      events.push_back(test::RootAndField(s.text, "EVENT"));
      // Only the JOIN carries the project list.
      EXPECT_EQ(events.back() == "QXDISCOVER/JOIN",
                s.text.find("PROJECTLIST") != std::string::npos);
    }
    EXPECT_EQ(events, c.events);
    EXPECT_EQ(test::Station().core.tree().HostCount(), c.hosts);
  }
}

// A flood of JOINs from 10000 distinct hosts, taken in on two threads as the agent's lanes
// deliver them while a third asks the tree: every host is entered and answered, and the
// queries keep answering.
TEST_F(DiscoveryServerTest, AFloodOfJoinsFromDistinctHostsIsTakenInWhole) {
  constexpr int kHosts = 10000;
  auto join = [](int i) {
    const std::string host = "FLOOD" + std::to_string(i);
    return "<QXDISCOVER><EVENT>JOIN</EVENT><HOST>" + host + "</HOST><DOMAIN>D" +
           std::to_string(i % 7) + "</DOMAIN><IP>127.1." + std::to_string(i / 250) + "." +
           std::to_string(i % 250 + 1) + "</IP><PROJECTLIST><PROJECT><DSN>P" + std::to_string(i) +
           "</DSN><HOST>" + host +
           "</HOST><STATE>Run Time</STATE></PROJECT></PROJECTLIST>"
           "</QXDISCOVER>";
  };
  std::atomic<bool> done{false};
  std::atomic<int> failedQueries{0};
  std::thread reader([&] {
    while (!done) {
      AnswerText answer;
      if (Failed(server_.TalkByString("<GetTreeContent/>", &answer)) || !answer) ++failedQueries;
    }
  });
  std::vector<std::thread> lanes;
  for (int lane = 0; lane < 2; ++lane) {
    lanes.emplace_back([&, lane] {
      for (int i = lane; i < kHosts; i += 2) EXPECT_EQ(server_.onReceiveMulticast(join(i)), S_OK);
    });
  }
  for (std::thread& lane : lanes) lane.join();
  done = true;
  reader.join();
  EXPECT_EQ(failedQueries, 0);
  EXPECT_EQ(test::Station().core.tree().HostCount(), static_cast<std::size_t>(kHosts));
  EXPECT_EQ(test::Station().core.tree().ProjectCount(), static_cast<std::size_t>(kHosts));
  EXPECT_EQ(test::TakeSent().size(), static_cast<std::size_t>(kHosts));  // one UPDATE each
}

}  // namespace
}  // namespace qx

namespace qx {
namespace {

// The project-manager role takes the group's messages through its event sink until it stops.
TEST(ProjectManagerSinkTest, EventsReachTheServerOnlyWhileItRuns) {
  test::Station();
  UseFreePortFor(kServiceProjectManager);
  auto events = NetQXKommEvents::Create();
  std::string error;
  auto listener = StartNetQXKommListener(std::make_shared<test::RecordingKomm>(), events, &error);
  ASSERT_TRUE(listener) << error;
  test::RecordSends record;
  const std::string request = "<TestMulticast><IP>127.0.0.9</IP></TestMulticast>";
  const auto answered = [] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      for (const test::Sent& s : test::TakeSent()) {
        if (s.receiver == "127.0.0.9") return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  };
  {
    CSERVER server{test::Station().core};
    ASSERT_EQ(server.startRemoteServer(kServiceProjectManager), S_OK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (events->Counters().subscribers == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    events->Raise(MulticastDelivery::kGroup, request);
    EXPECT_TRUE(answered());
    EXPECT_EQ(server.stopRemoteServer(), S_OK);
  }
  events->Raise(MulticastDelivery::kGroup, request);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(test::TakeSent().empty());
  listener->Stop();
}

}  // namespace
}  // namespace qx
