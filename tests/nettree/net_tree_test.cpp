// Tests of the network tree: its shape and case-insensitive merging, the effect of each update,
// the exact answers of the queries and the project list filters, and hostile or unusual input:
// stored texts holding markup, field limits at keys and records, malformed announcements, a
// flood of hosts, and answers that must equal the stored text parsed and written again.
#include "nettree/net_tree.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/text.h"

namespace qx {
namespace {

std::string Record(const std::string& dsn, const std::string& host, const std::string& state) {
  return "<PROJECT><Name>" + dsn + "</Name><STATE>" + state + "</STATE><DSN>" + dsn +
         "</DSN><HOST>" + host + "</HOST></PROJECT>";
}

std::string Announcement(const std::string& host, const std::string& domain,
                         const std::string& records, const std::string& extra = "") {
  return "<QXDISCOVER><EVENT>JOIN</EVENT><Host>" + host + "</Host><Domain>" + domain +
         "</Domain><IP>127.0.0.1</IP>" + extra + "<PROJECTLIST>" + records +
         "</PROJECTLIST></QXDISCOVER>";
}

CXmlElement Parse(const std::string& text) {
  CXmlElement element;
  EXPECT_TRUE(element.LoadXml(text)) << text;
  return element;
}

bool Join(NetTree& tree, const std::string& host, const std::string& domain,
          const std::string& records = "", const std::string& extra = "") {
  CXmlElement message = Parse(Announcement(host, domain, records, extra));
  return tree.AddHost(host, domain, &message);
}

using Query = HRESULT (NetTree::*)(const CXmlElement&, AnswerText*) const;

std::pair<HRESULT, std::string> Ask(const NetTree& tree, Query query, const std::string& request) {
  AnswerText answer;
  const HRESULT hr = (tree.*query)(Parse(request), &answer);
  return {hr, answer.value_or("<unset>")};
}

std::string Details(const NetTree& tree, const std::string& dsn, bool credentials = false) {
  return Ask(tree, &NetTree::GetProjectDetails,
             "<GetProjectDetails><DSN>" + dsn + "</DSN><ForPermission>" +
                 (credentials ? "yes" : "") + "</ForPermission></GetProjectDetails>")
      .second;
}

std::string List(const NetTree& tree, const std::string& domain, const std::string& host,
                 const std::string& filter) {
  return Ask(tree, &NetTree::GetProjectList,
             "<GetProjectList><DomainFilter>" + domain + "</DomainFilter><HostFilter>" + host +
                 "</HostFilter><ProjectFilter>" + filter + "</ProjectFilter></GetProjectList>")
      .second;
}

// A STATE child moved last, as the queries answer a PROJECT record.
std::string Answered(const std::string& dsn, const std::string& host, const std::string& state) {
  return "<PROJECT><Name>" + dsn + "</Name><DSN>" + dsn + "</DSN><HOST>" + host + "</HOST><STATE>" +
         state + "</STATE></PROJECT>";
}

TEST(NetTreeShape, DomainsAndHostsInFirstSeenOrderMatchedIgnoringCase) {
  struct Step {
    bool join;
    std::string host, domain;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::string tree;
    std::vector<std::string> hosts;
  };
  const Case cases[] = {
      {"first join",
       {{true, "PC2", "WORKGROUP"}},
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC2</Host></Domain></NetTree>",
       {"PC2"}},
      {"same host in other case",
       {{true, "pc1", "WorkGroup"}, {true, "PC1", "WORKGROUP"}},
       "<NetTree><Domain><Name>WorkGroup</Name><Host>pc1</Host></Domain></NetTree>",
       {"pc1"}},
      {"two domains, index in name order",
       {{true, "b", "D2"}, {true, "A", "D1"}, {true, "c", "D2"}},
       "<NetTree><Domain><Name>D2</Name><Host>b</Host><Host>c</Host></Domain><Domain><Name>D1"
       "</Name><Host>A</Host></Domain></NetTree>",
       {"A", "b", "c"}},
      {"a host never moves",
       {{true, "PC1", "D1"}, {true, "PC1", "D2"}},
       "<NetTree><Domain><Name>D1</Name><Host>PC1</Host></Domain><Domain><Name>D2</Name><Host>"
       "PC1</Host></Domain></NetTree>",
       {"PC1"}},
      {"leave of the last host",
       {{true, "PC1", "D1"}, {true, "PC2", "D2"}, {false, "pc1", "d1"}},
       "<NetTree><Domain><Name>D2</Name><Host>PC2</Host></Domain></NetTree>",
       {"PC2"}},
      {"leave of one of two",
       {{true, "PC1", "D1"}, {true, "PC2", "D1"}, {false, "PC1", "D1"}},
       "<NetTree><Domain><Name>D1</Name><Host>PC2</Host></Domain></NetTree>",
       {"PC2"}},
      {"leave of an unknown host",
       {{true, "PC1", "D1"}, {false, "PC9", "D1"}},
       "<NetTree><Domain><Name>D1</Name><Host>PC1</Host></Domain></NetTree>",
       {"PC1"}},
      {"leave then join again",
       {{true, "PC1", "D1"}, {false, "PC1", "D1"}, {true, "PC1", "D1"}},
       "<NetTree><Domain><Name>D1</Name><Host>PC1</Host></Domain></NetTree>",
       {"PC1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NetTree tree;
    ASSERT_TRUE(tree.Init());
    for (const Step& step : c.steps) {
      EXPECT_TRUE(step.join ? Join(tree, step.host, step.domain)
                            : tree.RemoveHost(step.host, step.domain));
    }
    EXPECT_EQ(Ask(tree, &NetTree::GetTreeContent, "<GetTreeContent/>"),
              std::make_pair(S_OK, c.tree));
    EXPECT_EQ(tree.HostNames(), c.hosts);
  }
}

TEST(NetTreeLifecycle, ClearEmptiesAndInitStartsAnEmptyDocument) {
  NetTree tree;
  EXPECT_FALSE(Join(tree, "PC1", "D1")) << "no document before Init";
  ASSERT_TRUE(tree.Init());
  ASSERT_TRUE(Join(tree, "PC1", "D1", Record("P", "PC1", "Run Time")));
  EXPECT_TRUE(tree.Clear());
  EXPECT_FALSE(tree.IsInitialized());
  EXPECT_EQ(tree.HostCount() + tree.ProjectCount(), 0u);
  ASSERT_TRUE(tree.Init());
  EXPECT_EQ(Ask(tree, &NetTree::GetTreeContent, "<GetTreeContent/>").second, "<NetTree/>");
}

// WORKGROUP: PC1 with Alpha (Run Time), Beta (Configuration), Gamma (no state);
// PLANT: PC2 with Delta (Run Time). Alpha has stored credentials.
class NetTreeQueries : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tree_.Init());
    ASSERT_TRUE(Join(tree_, "PC1", "WORKGROUP",
                     Record("Gamma", "PC1", "") + Record("Alpha", "PC1", "Run Time") +
                         Record("Beta", "PC1", "Configuration")));
    ASSERT_TRUE(Join(tree_, "PC2", "PLANT", Record("Delta", "PC2", "Run Time")));
    ASSERT_EQ(tree_.SetUserPassword(
                  Parse("<SetUserPassword><DSN>alpha</DSN><PASSWORD>pw</PASSWORD><USER>op</USER>"
                        "</SetUserPassword>")),
              S_OK);
  }
  NetTree tree_;
};

TEST_F(NetTreeQueries, AnswersAsDefined) {
  const std::string alpha = Answered("Alpha", "PC1", "Run Time");
  const std::string beta = Answered("Beta", "PC1", "Configuration");
  struct Case {
    Query query;
    std::string request;
    HRESULT hr;
    std::string answer;
  };
  const Case cases[] = {
      {&NetTree::GetHostDetails, "<GetHostDetails><HOST>pc1</HOST></GetHostDetails>", S_OK,
       "<QXDISCOVER><EVENT>JOIN</EVENT><Host>PC1</Host><Domain>WORKGROUP</Domain><IP>127.0.0.1"
       "</IP></QXDISCOVER>"},
      {&NetTree::GetHostDetails, "<GetHostDetails><HOST>PC9</HOST></GetHostDetails>", E_FAIL,
       "<unset>"},
      {&NetTree::GetProjectDetails, "<X><DSN>ALPHA</DSN></X>", S_OK, alpha},
      {&NetTree::GetProjectDetails, "<X><DSN>Alpha</DSN><ForPermission>YES</ForPermission></X>",
       S_OK,
       "<PROJECT><Name>Alpha</Name><DSN>Alpha</DSN><HOST>PC1</HOST><STATE>Run Time</STATE>"
       "<PASSWORD>pw</PASSWORD><USER>op</USER></PROJECT>"},
      {&NetTree::GetProjectDetails, "<X><DSN>Beta</DSN><ForPermission>no</ForPermission></X>", S_OK,
       beta},
      {&NetTree::GetProjectDetails, "<X><DSN>Omega</DSN></X>", E_FAIL, "<unset>"},
      {&NetTree::FindServerForDSN, "<X><DSN>delta</DSN></X>", S_OK, "PC2"},
      {&NetTree::FindServerForDSN, "<X><DSN>Gamma</DSN></X>", S_FALSE, "Not Found"},
      {&NetTree::FindServerForDSN, "<X><DSN>Omega</DSN></X>", S_FALSE, "Not Found"},
      {&NetTree::IsPasswordAvailable, "<X><DSN>Alpha</DSN></X>", S_OK,
       "<Result><PASSWORD>pw</PASSWORD><USER>op</USER></Result>"},
      {&NetTree::IsPasswordAvailable, "<X><DSN>Beta</DSN></X>", S_FALSE,
       "<NotAvailable></NotAvailable>"},
      {&NetTree::IsPasswordAvailable, "<X><DSN>Omega</DSN></X>", E_INVALIDARG, "<unset>"},
      {&NetTree::GetTreeContent, "<GetTreeContent></GetTreeContent>", S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></Domain><Domain><Name>PLANT"
       "</Name><Host>PC2</Host></Domain></NetTree>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(Ask(tree_, c.query, c.request), std::make_pair(c.hr, c.answer));
  }
}

TEST_F(NetTreeQueries, ProjectListFilters) {
  const std::string alpha = Answered("Alpha", "PC1", "Run Time");
  const std::string beta = Answered("Beta", "PC1", "Configuration");
  const std::string gamma = Answered("Gamma", "PC1", "");
  const std::string delta = Answered("Delta", "PC2", "Run Time");
  const std::string empty = "<ProjectList/>";
  const auto list = [](const std::string& items) {
    return "<ProjectList>" + items + "</ProjectList>";
  };
  struct Case {
    std::string domain, host, filter, answer;
  };
  const Case cases[] = {
      {"*", "*", "*", list(alpha + beta + gamma + delta)},
      {"*", "*", "RT", list(alpha + delta)},
      {"*", "*", "RT;CS", list(alpha + beta + delta)},
      {"*", "*", "Configuration", list(beta)},
      {"*", "*", "rt", empty},     // the substrings keep their letter case
      {"*", "*", "Alpha", empty},  // names are never compared with the filter
      {"plant", "*", "*", list(delta)},
      {"NOWHERE", "*", "*", empty},
      {"WORKGROUP", "pc2", "*", list(delta)},  // a named host ignores the domain filter
      {"*", "PC9", "*", empty},
      {"*", "P*", "*", empty},  // no wildcard matching
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.domain + "|" + c.host + "|" + c.filter);
    EXPECT_EQ(List(tree_, c.domain, c.host, c.filter), c.answer);
  }
}

TEST_F(NetTreeQueries, UpdatesAndTheirEffects) {
  using Update = std::function<HRESULT(NetTree&)>;
  using Observe = std::function<std::string(NetTree&)>;
  const Observe count = [](NetTree& t) { return std::to_string(t.ProjectCount()); };
  const Observe server = [](NetTree& t) {
    return Ask(t, &NetTree::FindServerForDSN, "<X><DSN>Delta</DSN></X>").second;
  };
  const auto push = [](const std::string& host) -> Update {
    return [=](NetTree& t) {
      return t.PushServerProject(Parse("<PM_MULTICAST><EVENT>New State of Server</EVENT><HOST>" +
                                       host +
                                       "</HOST><DSN>Epsilon</DSN><STATE>Run Time</STATE>"
                                       "<Reason>open</Reason></PM_MULTICAST>"));
    };
  };
  const auto command = [](const std::string& text) {
    return [=](NetTree& t) { return t.SetUserPassword(Parse(text)); };
  };
  const auto removal = [](const std::string& dsn) {
    return [=](NetTree& t) {
      return t.RemoveFromProjectList(
          Parse("<QXDISCOVER><HOST>PC9</HOST><DSN>" + dsn + "</DSN></QXDISCOVER>"));
    };
  };
  const Update leave = [](NetTree& t) { return t.RemoveHost("PC2", "PLANT") ? S_OK : E_FAIL; };
  struct Case {
    const char* name;
    Update update;
    HRESULT hr;
    Observe observe;
    std::string seen;
  };
  const Case cases[] = {
      {"update with fewer projects keeps the others and the credentials",
       [](NetTree& t) {
         return Join(t, "pc1", "WORKGROUP", Record("Alpha", "PC1", "")) ? S_OK : E_FAIL;
       },
       S_OK, [](NetTree& t) { return List(t, "*", "PC1", "*") + Details(t, "Alpha", true); },
       "<ProjectList>" + Answered("Alpha", "PC1", "") + Answered("Beta", "PC1", "Configuration") +
           Answered("Gamma", "PC1", "") +
           "</ProjectList><PROJECT><Name>Alpha</Name><DSN>Alpha"
           "</DSN><HOST>PC1</HOST><STATE></STATE><PASSWORD>pw</PASSWORD><USER>op</USER></PROJECT>"},
      {"push for a known host takes the event as the project's text", push("pc2"), S_OK,
       [](NetTree& t) { return Details(t, "epsilon"); },
       "<PM_MULTICAST><EVENT>New State of Server</EVENT><HOST>pc2</HOST><DSN>Epsilon</DSN>"
       "<Reason>open</Reason><STATE>Run Time</STATE></PM_MULTICAST>"},
      {"push for an unknown host", push("PC9"), E_FAIL, count, "4"},
      {"server state of 20 characters keeps 15",
       [](NetTree& t) { return t.ChangeServerState("beta", "Configuration Xyz+++"); }, S_OK,
       [](NetTree& t) { return Details(t, "Beta"); }, Answered("Beta", "PC1", "Configuration X")},
      {"server state for an unknown DSN",
       [](NetTree& t) { return t.ChangeServerState("Omega", "x"); }, E_INVALIDARG, count, "4"},
      {"emptied state is not found", [](NetTree& t) { return t.ChangeServerState("Delta", ""); },
       S_OK, server, "Not Found"},
      {"departed host: server still named, projects no longer listed", leave, S_OK,
       [&](NetTree& t) { return server(t) + List(t, "*", "*", "RT"); },
       "PC2<ProjectList>" + Answered("Alpha", "PC1", "Run Time") + "</ProjectList>"},
      {"removal of a project whose host left fails and keeps it",
       [&](NetTree& t) { return leave(t) == S_OK ? removal("Delta")(t) : E_UNEXPECTED; }, E_FAIL,
       count, "4"},
      {"removal of a listed project", removal("BETA"), S_OK,
       [](NetTree& t) { return List(t, "*", "*", "CS"); }, "<ProjectList/>"},
      {"password for an unknown DSN", command("<S><DSN>Omega</DSN><PASSWORD>p</PASSWORD></S>"),
       E_FAIL, count, "4"},
      {"empty password is not available", command("<S><DSN>Alpha</DSN><USER>op</USER></S>"), S_OK,
       [](NetTree& t) {
         return Ask(t, &NetTree::IsPasswordAvailable, "<X><DSN>Alpha</DSN></X>").second;
       },
       "<NotAvailable></NotAvailable>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tree_.Clear();  // a fresh tree for each case
    SetUp();
    EXPECT_EQ(c.update(tree_), c.hr);
    EXPECT_EQ(c.observe(tree_), c.seen);
  }
}

class NetTreeInput : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tree_.Init()); }
  NetTree tree_;
};

TEST_F(NetTreeInput, StoredTextsComeBackIntactAndCutAtCharacters) {
  ASSERT_TRUE(Join(tree_, "PC1", "D", Record("P", "PC1", "ABCDEFGHIJKLMN\xF0\x9F\x98\x80")));
  std::string longUser;
  for (int i = 0; i < 130; ++i) longUser += "\xC3\xA9";  // 130 x U+00E9
  CXmlElement command;
  command.CreateRoot("SetUserPassword");
  command.AddTextChild("DSN", "P");
  command.AddTextChild("PASSWORD", "<a&b>\"'");
  command.AddTextChild("USER", longUser);
  ASSERT_EQ(tree_.SetUserPassword(command), S_OK);

  CXmlElement result;
  ASSERT_TRUE(
      result.LoadXml(Ask(tree_, &NetTree::IsPasswordAvailable, "<X><DSN>P</DSN></X>").second));
  EXPECT_EQ(result.GetSubText("PASSWORD"), "<a&b>\"'");
  EXPECT_EQ(result.GetSubText("USER"), longUser.substr(0, 2 * 127));
  // A state of 14 letters and one character of two UTF-16 units keeps the 14 letters.
  EXPECT_EQ(Parse(Ask(tree_, &NetTree::GetProjectDetails, "<X><DSN>P</DSN></X>").second)
                .GetSubText("STATE"),
            "ABCDEFGHIJKLMN");
}

TEST_F(NetTreeInput, FieldLimitsApplyAlikeAtKeyAndRecord) {
  const std::string dsn(200, 'd');
  const std::string host(200, 'h');
  const std::string twin = std::string(127, 'h') + "x";  // same first 127 characters as host
  ASSERT_TRUE(Join(tree_, host, "D", Record(dsn, host, "Run Time")));
  ASSERT_TRUE(Join(tree_, twin, "D", Record("T", twin, "Run Time")));
  EXPECT_EQ(tree_.PushServerProject(Parse("<E><Host>" + host + "</Host><DSN>" + dsn +
                                          "x</DSN><STATE>Run Time</STATE></E>")),
            S_OK);
  EXPECT_EQ(tree_.ProjectCount(), 2u) << "a DSN is cut to 127 characters alike everywhere";
  EXPECT_EQ(Ask(tree_, &NetTree::FindServerForDSN, "<X><DSN>" + dsn + "</DSN></X>").second, host);
  EXPECT_EQ(tree_.HostNames(), (std::vector<std::string>{host, twin}));
  const std::string listed = List(tree_, "*", twin, "*");
  EXPECT_EQ(listed, "<ProjectList>" + Answered("T", twin, "Run Time") + "</ProjectList>");

  const std::string tooLong(512, 'z');
  EXPECT_FALSE(Join(tree_, tooLong, "D"));
  EXPECT_EQ(tree_.HostCount(), 2u);
  EXPECT_TRUE(tree_.RemoveHost(tooLong, "D"));
}

TEST_F(NetTreeInput, BadAnnouncementsChangeNothingThatShouldStay) {
  ASSERT_TRUE(Join(tree_, "PC1", "D", Record("Keep", "PC1", "Run Time")));
  const std::string before = Ask(tree_, &NetTree::GetTreeContent, "<T/>").second;
  const std::string details =
      Ask(tree_, &NetTree::GetHostDetails, "<X><HOST>PC1</HOST></X>").second;
  CXmlElement noHost = Parse("<QXDISCOVER><Domain>D</Domain></QXDISCOVER>");
  EXPECT_FALSE(tree_.AddHost(noHost.GetSubText("HOST"), "D", &noHost));
  CXmlElement noDomain = Parse("<QXDISCOVER><Host>PC2</Host></QXDISCOVER>");
  EXPECT_FALSE(tree_.AddHost("PC2", noDomain.GetSubText("DOMAIN"), &noDomain));
  EXPECT_FALSE(tree_.AddHost("PC2", "D", nullptr));
  // Details longer than a record may hold, from a known host: its record stays as it was.
  std::string pads;
  for (int i = 0; i < 20; ++i) pads += "<P>" + std::string(1000, 'p') + "</P>";
  EXPECT_FALSE(Join(tree_, "PC1", "D", Record("Keep", "PC1", ""), pads));
  EXPECT_EQ(Ask(tree_, &NetTree::GetTreeContent, "<T/>").second, before);
  EXPECT_EQ(Ask(tree_, &NetTree::GetHostDetails, "<X><HOST>PC1</HOST></X>").second, details);
  EXPECT_EQ(Ask(tree_, &NetTree::FindServerForDSN, "<X><DSN>Keep</DSN></X>").second, "PC1");

  // Malformed records are left out; the good ones and the host are entered.
  const std::string huge =
      "<PROJECT><DSN>Huge</DSN><X>" + std::string(9000, 'x') + "</X></PROJECT>";
  ASSERT_TRUE(Join(tree_, "PC2", "D",
                   "<PROJECT><Name>NoDsn</Name></PROJECT><Other><DSN>O</DSN></Other>" + huge +
                       "<PROJECT><DSN></DSN></PROJECT>" + Record("Good", "PC2", "")));
  EXPECT_EQ(tree_.ProjectCount(), 2u);
  EXPECT_EQ(tree_.HostCount(), 2u);
}

TEST_F(NetTreeInput, DetailsEqualTheStoredTextParsedAndWrittenAgain) {
  const std::string records[] = {
      "<PROJECT a=\"1&amp;2&#10;\"><STATE>x</STATE><DSN>R1</DSN><HOST>PC1</HOST></PROJECT>",
      "<PROJECT><state>x</state><DSN>R2</DSN><HOST>PC1</HOST></PROJECT>",
      "<PROJECT><DSN>R3</DSN><HOST>PC1</HOST></PROJECT>",
      "<PROJECT><DSN>R4</DSN><HOST>PC1</HOST><N>&#32;</N><STATE>s</STATE></PROJECT>",
      "<PROJECT><DSN>R5</DSN><HOST>PC1</HOST><N>a&#13;b</N><STATE>s</STATE></PROJECT>",
      "<PROJECT><DSN>R6</DSN><!--c--><N><![CDATA[<x>]]></N><STATE>s</STATE><T>t</T></PROJECT>",
      "<PROJECT>text<DSN>R7</DSN><STATE>s</STATE>more<HOST>PC1</HOST></PROJECT>",
      "<PROJECT><STATE>a&lt;b&amp;</STATE><DSN>R8</DSN><HOST>PC1</HOST></PROJECT>",
      "<PROJECT><STATE/><DSN>R9</DSN><HOST>PC1</HOST><STATE>second</STATE></PROJECT>",
      "<PROJECT><X><STATE>n</STATE></X><DSN>R10</DSN><STATE>s</STATE><HOST>PC1</HOST></PROJECT>",
      "<PROJECT><N k=\"v\">a</N><STATE>s</STATE><DSN>R11</DSN><HOST>PC1</HOST></PROJECT>",
      "<PROJECT><N>a&gt;b\"'</N><DSN>R12</DSN><HOST>PC1</HOST><STATE>s</STATE></PROJECT>",
  };
  for (const std::string& record : records) {
    SCOPED_TRACE(record);
    NetTree tree;
    ASSERT_TRUE(tree.Init());
    ASSERT_TRUE(Join(tree, "PC1", "D", record));
    // What the stored text gives when parsed, its STATE replaced, and written again.
    CXmlElement element = Parse(record);
    std::string text;
    ASSERT_TRUE(element.GetXml(&text));
    const std::string state = CutToUnits(element.GetSubText("STATE"), 15);
    CXmlElement again = Parse(text);
    again.ReplaceTextChild("STATE", state);
    std::string expected;
    ASSERT_TRUE(again.GetXml(&expected));
    const std::string dsn = element.GetSubText("DSN");
    EXPECT_EQ(Ask(tree, &NetTree::GetProjectDetails, "<X><DSN>" + dsn + "</DSN></X>").second,
              expected);
    EXPECT_EQ(List(tree, "*", "*", "*"), element.GetSubText("HOST").empty()
                                             ? "<ProjectList/>"
                                             : "<ProjectList>" + expected + "</ProjectList>");
  }
}

TEST_F(NetTreeInput, FloodOfDistinctHostsAndConcurrentReaders) {
  constexpr int kHosts = 10000;
  std::thread reader([&] {
    for (int i = 0; i < 200; ++i) {
      EXPECT_TRUE(Parse(Ask(tree_, &NetTree::GetTreeContent, "<T/>").second).GetName() ==
                  "NetTree");
      EXPECT_NE(List(tree_, "d", "*", "*"), "<unset>");
    }
  });
  for (int i = 0; i < kHosts; ++i) {
    const std::string host = "H" + std::to_string(i);
    ASSERT_TRUE(Join(tree_, host, "D", Record(host, host, "Run Time")));
  }
  reader.join();
  EXPECT_EQ(tree_.HostCount(), static_cast<std::size_t>(kHosts));
  EXPECT_EQ(tree_.ProjectCount(), static_cast<std::size_t>(kHosts));
  for (int i = 0; i < kHosts; ++i) tree_.RemoveHost("h" + std::to_string(i), "d");
  EXPECT_EQ(Ask(tree_, &NetTree::GetTreeContent, "<T/>").second, "<NetTree/>");
  EXPECT_EQ(tree_.ProjectCount(), static_cast<std::size_t>(kHosts)) << "projects stay";
}

}  // namespace
}  // namespace qx
