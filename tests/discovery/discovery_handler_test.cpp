// Tests of the discovery handlers: announcements in, tree and replies out.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/text.h"
#include "discovery/default_discovery_host.h"
#include "discovery/discovery_handler.h"
#include "discovery/recording_komm.h"
#include "nettree/net_tree.h"
#include "registry/project_state.h"
#include "registry/registry_projects.h"
#include "server/server_test_support.h"

namespace qx {
namespace {

// A server that routes every message to the default handlers of the module's station.
class TestHost : public test::DefaultDiscoveryHost {
 public:
  TestHost() : DefaultDiscoveryHost(test::Station().core) {}
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

class DiscoveryHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::Station();
    test::Station().core.tree().Clear();
    test::Station().core.tree().Init();
  }
  void TearDown() override {
    test::Station().core.tree().Clear();
    SetCurrentProjectState("", "");
  }
  test::RecordSends record_;
  TestHost host_;
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
  station.WriteFile("kept.mcp", "");
  CXmlElement command;
  ASSERT_TRUE(command.LoadXml(
      "<WriteProjectToRegistry><Name>n</Name><Type>Multi User</Type><State>Run</State>"
      "<DSN>KEPTTEST</DSN><FullPath>" +
      XmlEscape(station.root.string() + "/kept.mcp") +
      "</FullPath><UNCPath>\\\\STATIONT\\KEPTTEST</UNCPath><Server>STATIONT</Server>"
      "<Host>STATIONT</Host></WriteProjectToRegistry>"));
  ASSERT_EQ(WriteToRegistry(command), S_OK);
  EXPECT_NE(reply("10.1.2.3").find("<DSN>KEPTTEST</DSN>"), std::string::npos);
  SetCurrentProjectState("KEPTTEST", "Design");
  EXPECT_NE(reply("10.1.2.3").find(">Design<"), std::string::npos);
}

}  // namespace
}  // namespace qx
