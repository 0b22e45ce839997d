// Golden answers of the network tree: one transcript of updates and queries on one tree, each
// step with the exact HRESULT and the exact text it answers (an update answers with what it
// changed: the tree document after a join or leave, the credentials after a SetUserPassword,
// the whole project list after the others). The steps cover case-folded matching of domains,
// hosts and DSNs, texts that need escaping, texts cut to their fields, project records of
// unusual shape, every project list filter, and refused or malformed input. The answers are
// those the tree gave when it kept its document as an XML tree; they must never drift.
#include <gtest/gtest.h>

#include <string>

#include "nettree/net_tree.h"

namespace qx {
namespace {

std::string Project(const std::string& dsn, const std::string& host, const std::string& state) {
  return "<PROJECT><Name>" + dsn + "</Name><STATE>" + state + "</STATE><DSN>" + dsn +
         "</DSN><HOST>" + host + "</HOST></PROJECT>";
}

std::string Announce(const std::string& host, const std::string& domain,
                     const std::string& projects, const std::string& extra = "") {
  return "<QXDISCOVER><EVENT>JOIN</EVENT><HOST>" + host + "</HOST><DOMAIN>" + domain +
         "</DOMAIN><IP>127.0.0.1</IP>" + extra + "<PROJECTLIST>" + projects +
         "</PROJECTLIST></QXDISCOVER>";
}

std::string List(const std::string& domain, const std::string& host, const std::string& filter) {
  return "<GetProjectList><DomainFilter>" + domain + "</DomainFilter><HostFilter>" + host +
         "</HostFilter><ProjectFilter>" + filter + "</ProjectFilter></GetProjectList>";
}

std::string Dsn(const std::string& dsn, const std::string& more = "") {
  return "<X><DSN>" + dsn + "</DSN>" + more + "</X>";
}

const std::string kAll = List("*", "*", "*");

enum class Op {
  kJoin,
  kLeave,
  kPush,
  kState,
  kRemove,
  kPassword,
  kRestart,
  kTree,
  kHost,
  kDetails,
  kList,
  kFind,
  kAvailable
};

struct Step {
  Op op;
  std::string arg;  // the message or request; kLeave and kState read HOST/DOMAIN, DSN/STATE
  HRESULT hr;
  std::string answer;  // "<unset>" when the answer is left untouched
};

class NetTreeGolden : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tree_.Init()); }

  std::string Query(HRESULT (NetTree::*query)(const CXmlElement&, AnswerText*) const,
                    const CXmlElement& request, HRESULT* hr) const {
    AnswerText answer;
    const HRESULT result = (tree_.*query)(request, &answer);
    if (hr != nullptr) *hr = result;
    return answer.value_or("<unset>");
  }

  // Runs one step: its HRESULT and its answer.
  std::pair<HRESULT, std::string> Run(const Step& step) {
    CXmlElement message;
    EXPECT_TRUE(message.LoadXml(step.arg)) << step.arg;
    HRESULT hr = E_UNEXPECTED;
    switch (step.op) {
      case Op::kJoin:
        hr = tree_.AddHost(message.GetSubText("HOST"), message.GetSubText("DOMAIN"), &message)
                 ? S_OK
                 : E_FAIL;
        return {hr, Query(&NetTree::GetTreeContent, message, nullptr)};
      case Op::kLeave:
        hr = tree_.RemoveHost(message.GetSubText("HOST"), message.GetSubText("DOMAIN")) ? S_OK
                                                                                        : E_FAIL;
        return {hr, Query(&NetTree::GetTreeContent, message, nullptr)};
      case Op::kPush:
        hr = tree_.PushServerProject(message);
        break;
      case Op::kState:
        hr = tree_.ChangeServerState(message.GetSubText("DSN"), message.GetSubText("STATE"));
        break;
      case Op::kRemove:
        hr = tree_.RemoveFromProjectList(message);
        break;
      case Op::kPassword:
        hr = tree_.SetUserPassword(message);
        return {hr, Query(&NetTree::IsPasswordAvailable, message, nullptr)};
      case Op::kRestart:
        tree_.Clear();
        hr = tree_.Init() ? S_OK : E_FAIL;
        return {hr, Query(&NetTree::GetTreeContent, message, nullptr)};
      case Op::kTree:
        return {hr, Query(&NetTree::GetTreeContent, message, &hr)};
      case Op::kHost:
        return {hr, Query(&NetTree::GetHostDetails, message, &hr)};
      case Op::kDetails:
        return {hr, Query(&NetTree::GetProjectDetails, message, &hr)};
      case Op::kList:
        return {hr, Query(&NetTree::GetProjectList, message, &hr)};
      case Op::kFind:
        return {hr, Query(&NetTree::FindServerForDSN, message, &hr)};
      case Op::kAvailable:
        return {hr, Query(&NetTree::IsPasswordAvailable, message, &hr)};
    }
    CXmlElement all;
    EXPECT_TRUE(all.LoadXml(kAll));
    return {hr, Query(&NetTree::GetProjectList, all, nullptr)};
  }

  NetTree tree_;
};

TEST_F(NetTreeGolden, TranscriptAnswersStayByteExact) {
  const std::string odd =
      "<PROJECT a=\"1&amp;2\" b='&lt;'><STATE>Run Time</STATE><DSN>Attr</DSN><HOST>PC1</HOST>"
      "</PROJECT>"
      "<PROJECT><state>lower</state><DSN>Lower</DSN><HOST>PC1</HOST><!--note--></PROJECT>"
      "<PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></PROJECT>"
      "<PROJECT><STATE/><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE></PROJECT>"
      "<PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</HOST><STATE>Configuration"
      "</STATE></PROJECT>"
      "<PROJECT>lead<DSN>Mixed</DSN><STATE>RT</STATE>tail<HOST>PC1</HOST></PROJECT>"
      "<PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</HOST><STATE>Run Time</STATE>"
      "<T>a&gt;b\"'</T></PROJECT>"
      "<PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N>&#32;</N><M>a&#13;b</M><STATE>s</STATE>"
      "</PROJECT>"
      "<PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN\xF0\x9F\x98\x80</STATE>"
      "</PROJECT>"
      "<PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#1;&lt;b&amp;</STATE></PROJECT>"
      "<PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E></E><F/><STATE>Run Time</STATE></PROJECT>";
  const Step steps[] = {
      {Op::kTree, "<GetTreeContent/>", S_OK, "<NetTree/>"},
      {Op::kList, kAll, S_OK, "<ProjectList/>"},
      {Op::kJoin,
       Announce("PC1", "WORKGROUP",
                Project("Gamma", "PC1", "") + Project("Alpha", "PC1", "Run Time") +
                    Project("Beta", "PC1", "Configuration") + odd,
                "<Version a=\"x\">1.0</Version>"),
       S_OK, "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></Domain></NetTree>"},
      {Op::kJoin, Announce("pc1", "workgroup", Project("ALPHA", "pc1", "Run Time")), S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></Domain></NetTree>"},
      {Op::kJoin, Announce("PC2", "PLANT", Project("Delta", "PC2", "Run Time")), S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></Domain><Domain><Name>PLANT</"
       "Name><Host>PC2</Host></Domain></NetTree>"},
      {Op::kJoin,
       Announce("Host&amp;&lt;1&gt;\"'", "A&amp;B&lt;C&gt;",
                Project("Esc", "Host&amp;&lt;1&gt;\"'", "RunTime")),
       S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></Domain><Domain><Name>PLANT</"
       "Name><Host>PC2</Host></Domain><Domain><Name>A&amp;B&lt;C&gt;</"
       "Name><Host>Host&amp;&lt;1&gt;\"'</Host></Domain></NetTree>"},
      {Op::kJoin, Announce("Ctl&#1;Host", "\xC3\x84\xC3\x96", ""), S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></Domain><Domain><Name>PLANT</"
       "Name><Host>PC2</Host></Domain><Domain><Name>A&amp;B&lt;C&gt;</"
       "Name><Host>Host&amp;&lt;1&gt;\"'</Host></Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host></Domain></NetTree>"},
      {Op::kJoin,
       Announce("\xC3\xBC"
                "ber",
                "\xC3\xA4\xC3\xB6",
                Project("Umlaut",
                        "\xC3\x9C"
                        "BER",
                        "CS")),
       S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></Domain><Domain><Name>PLANT</"
       "Name><Host>PC2</Host></Domain><Domain><Name>A&amp;B&lt;C&gt;</"
       "Name><Host>Host&amp;&lt;1&gt;\"'</Host></Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></Domain></NetTree>"},
      {Op::kJoin, Announce("PC3", std::string(200, 'd'), ""), S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></Domain><Domain><Name>PLANT</"
       "Name><Host>PC2</Host></Domain><Domain><Name>A&amp;B&lt;C&gt;</"
       "Name><Host>Host&amp;&lt;1&gt;\"'</Host></Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></"
       "Domain><Domain><Name>"
       "ddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd"
       "dddddddddddddddddddddddddddddddddddd</Name><Host>PC3</Host></Domain></NetTree>"},
      {Op::kJoin, Announce("PC2", "OTHER", Project("Delta", "PC2", "Run Time")), S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></Domain><Domain><Name>PLANT</"
       "Name><Host>PC2</Host></Domain><Domain><Name>A&amp;B&lt;C&gt;</"
       "Name><Host>Host&amp;&lt;1&gt;\"'</Host></Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></"
       "Domain><Domain><Name>"
       "ddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd"
       "dddddddddddddddddddddddddddddddddddd</Name><Host>PC3</Host></Domain><Domain><Name>OTHER</"
       "Name><Host>PC2</Host></Domain></NetTree>"},
      {Op::kTree, "<GetTreeContent></GetTreeContent>", S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></Domain><Domain><Name>PLANT</"
       "Name><Host>PC2</Host></Domain><Domain><Name>A&amp;B&lt;C&gt;</"
       "Name><Host>Host&amp;&lt;1&gt;\"'</Host></Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></"
       "Domain><Domain><Name>"
       "ddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd"
       "dddddddddddddddddddddddddddddddddddd</Name><Host>PC3</Host></Domain><Domain><Name>OTHER</"
       "Name><Host>PC2</Host></Domain></NetTree>"},
      // Host details.
      {Op::kHost, "<GetHostDetails><HOST>PC1</HOST></GetHostDetails>", S_OK,
       "<QXDISCOVER><EVENT>JOIN</EVENT><HOST>pc1</HOST><DOMAIN>workgroup</DOMAIN><IP>127.0.0.1</"
       "IP></QXDISCOVER>"},
      {Op::kHost, "<GetHostDetails><HOST>Host&amp;&lt;1&gt;\"'</HOST></GetHostDetails>", S_OK,
       "<QXDISCOVER><EVENT>JOIN</EVENT><HOST>Host&amp;&lt;1&gt;\"'</HOST><DOMAIN>A&amp;B&lt;C&gt;</"
       "DOMAIN><IP>127.0.0.1</IP></QXDISCOVER>"},
      {Op::kHost,
       "<GetHostDetails><HOST>\xC3\x9C"
       "BER</HOST></GetHostDetails>",
       S_OK,
       "<QXDISCOVER><EVENT>JOIN</EVENT><HOST>\xC3"
       "\xBC"
       "ber</HOST><DOMAIN>\xC3"
       "\xA4"
       "\xC3"
       "\xB6"
       "</DOMAIN><IP>127.0.0.1</IP></QXDISCOVER>"},
      {Op::kHost, "<GetHostDetails><HOST>PC9</HOST></GetHostDetails>", E_FAIL, "<unset>"},
      {Op::kHost, "<GetHostDetails/>", E_FAIL, "<unset>"},
      // Project details, with and without credentials.
      {Op::kDetails, Dsn("alpha"), S_OK,
       "<PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</HOST><STATE>Run "
       "Time</STATE></PROJECT>"},
      {Op::kDetails, Dsn("Gamma", "<ForPermission>Yes</ForPermission>"), S_OK,
       "<PROJECT><Name>Gamma</Name><DSN>Gamma</DSN><HOST>PC1</HOST><STATE></STATE><PASSWORD></"
       "PASSWORD><USER></USER></PROJECT>"},
      {Op::kDetails, Dsn("attr"), S_OK,
       "<PROJECT a=\"1&amp;2\" b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT>"},
      {Op::kDetails, Dsn("Attr", "<ForPermission>yes</ForPermission>"), S_OK,
       "<PROJECT a=\"1&amp;2\" b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE><PASSWORD></PASSWORD><USER></USER></PROJECT>"},
      {Op::kDetails, Dsn("Lower"), S_OK,
       "<PROJECT><DSN>Lower</DSN><HOST>PC1</HOST><!--note--><STATE>lower</STATE></PROJECT>"},
      {Op::kDetails, Dsn("NoState"), S_OK, "<PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></PROJECT>"},
      {Op::kDetails, Dsn("NoState", "<ForPermission>yes</ForPermission>"), S_OK,
       "<PROJECT><DSN>NoState</DSN><HOST>PC1</HOST><PASSWORD></PASSWORD><USER></USER></PROJECT>"},
      {Op::kDetails, Dsn("Twice"), S_OK,
       "<PROJECT><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE><STATE></STATE></PROJECT>"},
      {Op::kDetails, Dsn("Nested"), S_OK,
       "<PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</HOST><STATE>Configuration</"
       "STATE></PROJECT>"},
      {Op::kDetails, Dsn("Mixed"), S_OK,
       "<PROJECT>lead<DSN>Mixed</DSN>tail<HOST>PC1</HOST><STATE>RT</STATE></PROJECT>"},
      {Op::kDetails, Dsn("Cdata"), S_OK,
       "<PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT>"},
      {Op::kDetails, Dsn("Blank"), S_OK,
       "<PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N/><M>a\x0A"
       "b</M><STATE>s</STATE></PROJECT>"},
      {Op::kDetails, Dsn("Long"), S_OK,
       "<PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN</STATE></PROJECT>"},
      {Op::kDetails, Dsn("Ctl"), S_OK,
       "<PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#01;&lt;b&amp;</STATE></PROJECT>"},
      {Op::kDetails, Dsn("Empty", "<ForPermission>yes</ForPermission>"), S_OK,
       "<PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE><PASSWORD></PASSWORD><USER></USER></PROJECT>"},
      {Op::kDetails, Dsn("Esc"), S_OK,
       "<PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</HOST><STATE>RunTime</"
       "STATE></PROJECT>"},
      {Op::kDetails, Dsn("Omega"), E_FAIL, "<unset>"},
      {Op::kDetails, "<X/>", E_FAIL, "<unset>"},
      // Project lists by filter.
      {Op::kList, kAll, S_OK,
       "<ProjectList><PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</"
       "HOST><STATE>RunTime</STATE></PROJECT><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</"
       "HOST><STATE>Run Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</"
       "HOST><STATE>Configuration</STATE></PROJECT><PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N/"
       "><M>a\x0A"
       "b</M><STATE>s</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#01;&lt;b&amp;</"
       "STATE></PROJECT><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Gamma</Name><DSN>Gamma</DSN><HOST>PC1</HOST><STATE></"
       "STATE></PROJECT><PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN</STATE></"
       "PROJECT><PROJECT><DSN>Lower</DSN><HOST>PC1</HOST><!--note--><STATE>lower</STATE></"
       "PROJECT><PROJECT>lead<DSN>Mixed</DSN>tail<HOST>PC1</HOST><STATE>RT</STATE></"
       "PROJECT><PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</"
       "HOST><STATE>Configuration</STATE></PROJECT><PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></"
       "PROJECT><PROJECT><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE><STATE></STATE></"
       "PROJECT><PROJECT><Name>Delta</Name><DSN>Delta</DSN><HOST>PC2</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      {Op::kList, List("*", "*", "RT"), S_OK,
       "<ProjectList><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Delta</Name><DSN>Delta</DSN><HOST>PC2</"
       "HOST><STATE>Run Time</STATE></PROJECT></ProjectList>"},
      {Op::kList, List("*", "*", "Run Time"), S_OK,
       "<ProjectList><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Delta</Name><DSN>Delta</DSN><HOST>PC2</"
       "HOST><STATE>Run Time</STATE></PROJECT></ProjectList>"},
      {Op::kList, List("*", "*", "RunTime;CS"), S_OK,
       "<ProjectList><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</"
       "HOST><STATE>Configuration</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></"
       "N><HOST>PC1</HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</"
       "HOST><STATE>Configuration</STATE></PROJECT><PROJECT><Name>Delta</Name><DSN>Delta</"
       "DSN><HOST>PC2</HOST><STATE>Run Time</STATE></PROJECT></ProjectList>"},
      {Op::kList, List("*", "*", "Configuration"), S_OK,
       "<ProjectList><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</"
       "HOST><STATE>Configuration</STATE></PROJECT><PROJECT><X><STATE>inner</STATE></"
       "X><DSN>Nested</DSN><HOST>PC1</HOST><STATE>Configuration</STATE></PROJECT></ProjectList>"},
      {Op::kList, List("*", "*", "rt"), S_OK, "<ProjectList/>"},
      {Op::kList, List("*", "*", ""), S_OK, "<ProjectList/>"},
      {Op::kList, List("workgroup", "*", "*"), S_OK,
       "<ProjectList><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</"
       "HOST><STATE>Configuration</STATE></PROJECT><PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N/"
       "><M>a\x0A"
       "b</M><STATE>s</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#01;&lt;b&amp;</"
       "STATE></PROJECT><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Gamma</Name><DSN>Gamma</DSN><HOST>PC1</HOST><STATE></"
       "STATE></PROJECT><PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN</STATE></"
       "PROJECT><PROJECT><DSN>Lower</DSN><HOST>PC1</HOST><!--note--><STATE>lower</STATE></"
       "PROJECT><PROJECT>lead<DSN>Mixed</DSN>tail<HOST>PC1</HOST><STATE>RT</STATE></"
       "PROJECT><PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</"
       "HOST><STATE>Configuration</STATE></PROJECT><PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></"
       "PROJECT><PROJECT><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE><STATE></STATE></"
       "PROJECT></ProjectList>"},
      {Op::kList, List("plant", "*", "RT"), S_OK, "<ProjectList/>"},
      {Op::kList, List("other", "*", "*"), S_OK,
       "<ProjectList><PROJECT><Name>Delta</Name><DSN>Delta</DSN><HOST>PC2</HOST><STATE>Run "
       "Time</STATE></PROJECT></ProjectList>"},
      {Op::kList, List("A&amp;B&lt;C&gt;", "*", "*"), S_OK,
       "<ProjectList><PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</"
       "HOST><STATE>RunTime</STATE></PROJECT></ProjectList>"},
      {Op::kList, List("\xC3\x84\xC3\x96", "*", "*"), S_OK,
       "<ProjectList><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      {Op::kList, List("NOWHERE", "*", "*"), S_OK, "<ProjectList/>"},
      {Op::kList, List("", "*", "*"), S_OK, "<ProjectList/>"},
      {Op::kList, List("PLANT", "pc1", "CS"), S_OK,
       "<ProjectList><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</"
       "HOST><STATE>Configuration</STATE></PROJECT><PROJECT><X><STATE>inner</STATE></"
       "X><DSN>Nested</DSN><HOST>PC1</HOST><STATE>Configuration</STATE></PROJECT></ProjectList>"},
      {Op::kList,
       List("*",
            "\xC3\x9C"
            "ber",
            "*"),
       S_OK,
       "<ProjectList><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      {Op::kList, List("*", "PC*", "*"), S_OK, "<ProjectList/>"},
      {Op::kList, List("*", "", "*"), S_OK, "<ProjectList/>"},
      {Op::kList, "<GetProjectList/>", S_OK, "<ProjectList/>"},
      // Servers and credentials.
      {Op::kFind, Dsn("DELTA"), S_OK, "PC2"},
      {Op::kFind, Dsn("Gamma"), S_FALSE, "Not Found"},
      {Op::kFind, Dsn("Omega"), S_FALSE, "Not Found"},
      {Op::kAvailable, Dsn("Alpha"), S_FALSE, "<NotAvailable></NotAvailable>"},
      {Op::kAvailable, Dsn("Omega"), E_INVALIDARG, "<unset>"},
      {Op::kPassword, Dsn("alpha", "<PASSWORD>p&amp;w&lt;\"'</PASSWORD><USER>op</USER>"), S_OK,
       "<Result><PASSWORD>p&amp;w&lt;&quot;&apos;</PASSWORD><USER>op</USER></Result>"},
      {Op::kPassword,
       Dsn("Beta", "<PASSWORD>" + std::string(130, 'p') +
                       "</PASSWORD><USER>"
                       "u</USER>"),
       S_OK,
       "<Result><PASSWORD>"
       "ppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp"
       "pppppppppppppppppppppppppppppppppppp</PASSWORD><USER>u</USER></Result>"},
      {Op::kPassword, Dsn("Gamma", "<USER>only</USER>"), S_OK, "<NotAvailable></NotAvailable>"},
      {Op::kPassword, Dsn("Omega", "<PASSWORD>p</PASSWORD><USER>u</USER>"), E_FAIL, "<unset>"},
      {Op::kDetails, Dsn("ALPHA", "<ForPermission>yes</ForPermission>"), S_OK,
       "<PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</HOST><STATE>Run "
       "Time</STATE><PASSWORD>p&amp;w&lt;\"'</PASSWORD><USER>op</USER></PROJECT>"},
      // Updates of projects.
      {Op::kState, Dsn("beta", "<STATE>Run Time</STATE>"), S_OK,
       "<ProjectList><PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</"
       "HOST><STATE>RunTime</STATE></PROJECT><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</"
       "HOST><STATE>Run Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N/><M>a\x0A"
       "b</M><STATE>s</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#01;&lt;b&amp;</"
       "STATE></PROJECT><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Gamma</Name><DSN>Gamma</DSN><HOST>PC1</HOST><STATE></"
       "STATE></PROJECT><PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN</STATE></"
       "PROJECT><PROJECT><DSN>Lower</DSN><HOST>PC1</HOST><!--note--><STATE>lower</STATE></"
       "PROJECT><PROJECT>lead<DSN>Mixed</DSN>tail<HOST>PC1</HOST><STATE>RT</STATE></"
       "PROJECT><PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</"
       "HOST><STATE>Configuration</STATE></PROJECT><PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></"
       "PROJECT><PROJECT><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE><STATE></STATE></"
       "PROJECT><PROJECT><Name>Delta</Name><DSN>Delta</DSN><HOST>PC2</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      {Op::kState, Dsn("Attr", "<STATE>&lt;x&gt;&amp;</STATE>"), S_OK,
       "<ProjectList><PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</"
       "HOST><STATE>RunTime</STATE></PROJECT><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</"
       "HOST><STATE>Run Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>&lt;x&gt;&amp;</STATE></"
       "PROJECT><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N/><M>a\x0A"
       "b</M><STATE>s</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#01;&lt;b&amp;</"
       "STATE></PROJECT><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Gamma</Name><DSN>Gamma</DSN><HOST>PC1</HOST><STATE></"
       "STATE></PROJECT><PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN</STATE></"
       "PROJECT><PROJECT><DSN>Lower</DSN><HOST>PC1</HOST><!--note--><STATE>lower</STATE></"
       "PROJECT><PROJECT>lead<DSN>Mixed</DSN>tail<HOST>PC1</HOST><STATE>RT</STATE></"
       "PROJECT><PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</"
       "HOST><STATE>Configuration</STATE></PROJECT><PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></"
       "PROJECT><PROJECT><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE><STATE></STATE></"
       "PROJECT><PROJECT><Name>Delta</Name><DSN>Delta</DSN><HOST>PC2</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      {Op::kState, Dsn("Nested", "<STATE>Configuration Xyz+++</STATE>"), S_OK,
       "<ProjectList><PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</"
       "HOST><STATE>RunTime</STATE></PROJECT><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</"
       "HOST><STATE>Run Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>&lt;x&gt;&amp;</STATE></"
       "PROJECT><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N/><M>a\x0A"
       "b</M><STATE>s</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#01;&lt;b&amp;</"
       "STATE></PROJECT><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Gamma</Name><DSN>Gamma</DSN><HOST>PC1</HOST><STATE></"
       "STATE></PROJECT><PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN</STATE></"
       "PROJECT><PROJECT><DSN>Lower</DSN><HOST>PC1</HOST><!--note--><STATE>lower</STATE></"
       "PROJECT><PROJECT>lead<DSN>Mixed</DSN>tail<HOST>PC1</HOST><STATE>RT</STATE></"
       "PROJECT><PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</"
       "HOST><STATE>Configuration "
       "X</STATE></PROJECT><PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></"
       "PROJECT><PROJECT><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE><STATE></STATE></"
       "PROJECT><PROJECT><Name>Delta</Name><DSN>Delta</DSN><HOST>PC2</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      {Op::kState, Dsn("NoState", "<STATE>Run Time</STATE>"), S_OK,
       "<ProjectList><PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</"
       "HOST><STATE>RunTime</STATE></PROJECT><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</"
       "HOST><STATE>Run Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>&lt;x&gt;&amp;</STATE></"
       "PROJECT><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N/><M>a\x0A"
       "b</M><STATE>s</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#01;&lt;b&amp;</"
       "STATE></PROJECT><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Gamma</Name><DSN>Gamma</DSN><HOST>PC1</HOST><STATE></"
       "STATE></PROJECT><PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN</STATE></"
       "PROJECT><PROJECT><DSN>Lower</DSN><HOST>PC1</HOST><!--note--><STATE>lower</STATE></"
       "PROJECT><PROJECT>lead<DSN>Mixed</DSN>tail<HOST>PC1</HOST><STATE>RT</STATE></"
       "PROJECT><PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</"
       "HOST><STATE>Configuration "
       "X</STATE></PROJECT><PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></"
       "PROJECT><PROJECT><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE><STATE></STATE></"
       "PROJECT><PROJECT><Name>Delta</Name><DSN>Delta</DSN><HOST>PC2</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      {Op::kState, Dsn("Omega", "<STATE>x</STATE>"), E_INVALIDARG,
       "<ProjectList><PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</"
       "HOST><STATE>RunTime</STATE></PROJECT><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</"
       "HOST><STATE>Run Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>&lt;x&gt;&amp;</STATE></"
       "PROJECT><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N/><M>a\x0A"
       "b</M><STATE>s</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#01;&lt;b&amp;</"
       "STATE></PROJECT><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Gamma</Name><DSN>Gamma</DSN><HOST>PC1</HOST><STATE></"
       "STATE></PROJECT><PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN</STATE></"
       "PROJECT><PROJECT><DSN>Lower</DSN><HOST>PC1</HOST><!--note--><STATE>lower</STATE></"
       "PROJECT><PROJECT>lead<DSN>Mixed</DSN>tail<HOST>PC1</HOST><STATE>RT</STATE></"
       "PROJECT><PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</"
       "HOST><STATE>Configuration "
       "X</STATE></PROJECT><PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></"
       "PROJECT><PROJECT><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE><STATE></STATE></"
       "PROJECT><PROJECT><Name>Delta</Name><DSN>Delta</DSN><HOST>PC2</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      {Op::kDetails, Dsn("Attr", "<ForPermission>yes</ForPermission>"), S_OK,
       "<PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>&lt;x&gt;&amp;</STATE><PASSWORD></"
       "PASSWORD><USER></USER></PROJECT>"},
      {Op::kDetails, Dsn("Beta", "<ForPermission>yes</ForPermission>"), S_OK,
       "<PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</"
       "STATE><PASSWORD>"
       "ppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp"
       "pppppppppppppppppppppppppppppppppppp</PASSWORD><USER>u</USER></PROJECT>"},
      {Op::kPush,
       "<PM_MULTICAST><EVENT>New State of Server</EVENT><HOST>pc2</HOST><DSN>Epsilon</DSN>"
       "<STATE>Run Time</STATE><Reason>open &amp; run</Reason></PM_MULTICAST>",
       S_OK,
       "<ProjectList><PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</"
       "HOST><STATE>RunTime</STATE></PROJECT><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</"
       "HOST><STATE>Run Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>&lt;x&gt;&amp;</STATE></"
       "PROJECT><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N/><M>a\x0A"
       "b</M><STATE>s</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#01;&lt;b&amp;</"
       "STATE></PROJECT><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Gamma</Name><DSN>Gamma</DSN><HOST>PC1</HOST><STATE></"
       "STATE></PROJECT><PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN</STATE></"
       "PROJECT><PROJECT><DSN>Lower</DSN><HOST>PC1</HOST><!--note--><STATE>lower</STATE></"
       "PROJECT><PROJECT>lead<DSN>Mixed</DSN>tail<HOST>PC1</HOST><STATE>RT</STATE></"
       "PROJECT><PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</"
       "HOST><STATE>Configuration "
       "X</STATE></PROJECT><PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></"
       "PROJECT><PROJECT><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE><STATE></STATE></"
       "PROJECT><PROJECT><Name>Delta</Name><DSN>Delta</DSN><HOST>PC2</HOST><STATE>Run "
       "Time</STATE></PROJECT><PM_MULTICAST><EVENT>New State of "
       "Server</EVENT><HOST>pc2</HOST><DSN>Epsilon</DSN><Reason>open &amp; run</Reason><STATE>Run "
       "Time</STATE></PM_MULTICAST><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      {Op::kPush, "<E><Host>PC1</Host><DSN>delta</DSN><STATE>Configuration</STATE></E>", S_OK,
       "<ProjectList><PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</"
       "HOST><STATE>RunTime</STATE></PROJECT><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</"
       "HOST><STATE>Run Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>&lt;x&gt;&amp;</STATE></"
       "PROJECT><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N/><M>a\x0A"
       "b</M><STATE>s</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#01;&lt;b&amp;</"
       "STATE></PROJECT><E><Host>PC1</Host><DSN>delta</DSN><STATE>Configuration</STATE></"
       "E><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Gamma</Name><DSN>Gamma</DSN><HOST>PC1</HOST><STATE></"
       "STATE></PROJECT><PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN</STATE></"
       "PROJECT><PROJECT><DSN>Lower</DSN><HOST>PC1</HOST><!--note--><STATE>lower</STATE></"
       "PROJECT><PROJECT>lead<DSN>Mixed</DSN>tail<HOST>PC1</HOST><STATE>RT</STATE></"
       "PROJECT><PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</"
       "HOST><STATE>Configuration "
       "X</STATE></PROJECT><PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></"
       "PROJECT><PROJECT><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE><STATE></STATE></"
       "PROJECT><PM_MULTICAST><EVENT>New State of "
       "Server</EVENT><HOST>pc2</HOST><DSN>Epsilon</DSN><Reason>open &amp; run</Reason><STATE>Run "
       "Time</STATE></PM_MULTICAST><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      {Op::kPush, "<E><Host>PC9</Host><DSN>Zeta</DSN><STATE>Run Time</STATE></E>", E_FAIL,
       "<ProjectList><PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</"
       "HOST><STATE>RunTime</STATE></PROJECT><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</"
       "HOST><STATE>Run Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>&lt;x&gt;&amp;</STATE></"
       "PROJECT><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N/><M>a\x0A"
       "b</M><STATE>s</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#01;&lt;b&amp;</"
       "STATE></PROJECT><E><Host>PC1</Host><DSN>delta</DSN><STATE>Configuration</STATE></"
       "E><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Gamma</Name><DSN>Gamma</DSN><HOST>PC1</HOST><STATE></"
       "STATE></PROJECT><PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN</STATE></"
       "PROJECT><PROJECT><DSN>Lower</DSN><HOST>PC1</HOST><!--note--><STATE>lower</STATE></"
       "PROJECT><PROJECT>lead<DSN>Mixed</DSN>tail<HOST>PC1</HOST><STATE>RT</STATE></"
       "PROJECT><PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</"
       "HOST><STATE>Configuration "
       "X</STATE></PROJECT><PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></"
       "PROJECT><PROJECT><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE><STATE></STATE></"
       "PROJECT><PM_MULTICAST><EVENT>New State of "
       "Server</EVENT><HOST>pc2</HOST><DSN>Epsilon</DSN><Reason>open &amp; run</Reason><STATE>Run "
       "Time</STATE></PM_MULTICAST><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      {Op::kPush, "<E><Host>PC1</Host><STATE>Run Time</STATE></E>", E_FAIL,
       "<ProjectList><PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</"
       "HOST><STATE>RunTime</STATE></PROJECT><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</"
       "HOST><STATE>Run Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>&lt;x&gt;&amp;</STATE></"
       "PROJECT><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N/><M>a\x0A"
       "b</M><STATE>s</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#01;&lt;b&amp;</"
       "STATE></PROJECT><E><Host>PC1</Host><DSN>delta</DSN><STATE>Configuration</STATE></"
       "E><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><Name>Gamma</Name><DSN>Gamma</DSN><HOST>PC1</HOST><STATE></"
       "STATE></PROJECT><PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN</STATE></"
       "PROJECT><PROJECT><DSN>Lower</DSN><HOST>PC1</HOST><!--note--><STATE>lower</STATE></"
       "PROJECT><PROJECT>lead<DSN>Mixed</DSN>tail<HOST>PC1</HOST><STATE>RT</STATE></"
       "PROJECT><PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</"
       "HOST><STATE>Configuration "
       "X</STATE></PROJECT><PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></"
       "PROJECT><PROJECT><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE><STATE></STATE></"
       "PROJECT><PM_MULTICAST><EVENT>New State of "
       "Server</EVENT><HOST>pc2</HOST><DSN>Epsilon</DSN><Reason>open &amp; run</Reason><STATE>Run "
       "Time</STATE></PM_MULTICAST><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      {Op::kFind, Dsn("Delta"), S_OK, "PC1"},
      {Op::kList, List("PLANT", "*", "*"), S_OK, "<ProjectList/>"},
      {Op::kRemove, "<QXDISCOVER><HOST>PC9</HOST><DSN>gamma</DSN></QXDISCOVER>", S_OK,
       "<ProjectList><PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</"
       "HOST><STATE>RunTime</STATE></PROJECT><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</"
       "HOST><STATE>Run Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>&lt;x&gt;&amp;</STATE></"
       "PROJECT><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N/><M>a\x0A"
       "b</M><STATE>s</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#01;&lt;b&amp;</"
       "STATE></PROJECT><E><Host>PC1</Host><DSN>delta</DSN><STATE>Configuration</STATE></"
       "E><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN</"
       "STATE></PROJECT><PROJECT><DSN>Lower</DSN><HOST>PC1</HOST><!--note--><STATE>lower</STATE></"
       "PROJECT><PROJECT>lead<DSN>Mixed</DSN>tail<HOST>PC1</HOST><STATE>RT</STATE></"
       "PROJECT><PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</"
       "HOST><STATE>Configuration "
       "X</STATE></PROJECT><PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></"
       "PROJECT><PROJECT><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE><STATE></STATE></"
       "PROJECT><PM_MULTICAST><EVENT>New State of "
       "Server</EVENT><HOST>pc2</HOST><DSN>Epsilon</DSN><Reason>open &amp; run</Reason><STATE>Run "
       "Time</STATE></PM_MULTICAST><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      {Op::kRemove, "<QXDISCOVER><DSN>Gamma</DSN></QXDISCOVER>", E_FAIL,
       "<ProjectList><PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</"
       "HOST><STATE>RunTime</STATE></PROJECT><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</"
       "HOST><STATE>Run Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>&lt;x&gt;&amp;</STATE></"
       "PROJECT><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N/><M>a\x0A"
       "b</M><STATE>s</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#01;&lt;b&amp;</"
       "STATE></PROJECT><E><Host>PC1</Host><DSN>delta</DSN><STATE>Configuration</STATE></"
       "E><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN</"
       "STATE></PROJECT><PROJECT><DSN>Lower</DSN><HOST>PC1</HOST><!--note--><STATE>lower</STATE></"
       "PROJECT><PROJECT>lead<DSN>Mixed</DSN>tail<HOST>PC1</HOST><STATE>RT</STATE></"
       "PROJECT><PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</"
       "HOST><STATE>Configuration "
       "X</STATE></PROJECT><PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></"
       "PROJECT><PROJECT><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE><STATE></STATE></"
       "PROJECT><PM_MULTICAST><EVENT>New State of "
       "Server</EVENT><HOST>pc2</HOST><DSN>Epsilon</DSN><Reason>open &amp; run</Reason><STATE>Run "
       "Time</STATE></PM_MULTICAST><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      // Hosts leaving and joining again.
      {Op::kLeave, "<X><HOST>pc2</HOST><DOMAIN>plant</DOMAIN></X>", S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></"
       "Domain><Domain><Name>A&amp;B&lt;C&gt;</Name><Host>Host&amp;&lt;1&gt;\"'</Host></"
       "Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></"
       "Domain><Domain><Name>"
       "ddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd"
       "dddddddddddddddddddddddddddddddddddd</Name><Host>PC3</Host></Domain><Domain><Name>OTHER</"
       "Name><Host>PC2</Host></Domain></NetTree>"},
      {Op::kFind, Dsn("Epsilon"), S_OK, "pc2"},
      {Op::kRemove, "<QXDISCOVER><DSN>Epsilon</DSN></QXDISCOVER>", E_FAIL,
       "<ProjectList><PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</"
       "HOST><STATE>RunTime</STATE></PROJECT><PROJECT><Name>ALPHA</Name><DSN>ALPHA</DSN><HOST>pc1</"
       "HOST><STATE>Run Time</STATE></PROJECT><PROJECT a=\"1&amp;2\" "
       "b=\"&lt;\"><DSN>Attr</DSN><HOST>PC1</HOST><STATE>&lt;x&gt;&amp;</STATE></"
       "PROJECT><PROJECT><Name>Beta</Name><DSN>Beta</DSN><HOST>PC1</HOST><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Blank</DSN><HOST>PC1</HOST><N/><M>a\x0A"
       "b</M><STATE>s</STATE></PROJECT><PROJECT><DSN>Cdata</DSN><N><![CDATA[<x>&]]></N><HOST>PC1</"
       "HOST><T>a&gt;b\"'</T><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Ctl</DSN><HOST>PC1</HOST><STATE>a&#01;&lt;b&amp;</"
       "STATE></PROJECT><E><Host>PC1</Host><DSN>delta</DSN><STATE>Configuration</STATE></"
       "E><PROJECT><DSN>Empty</DSN><HOST>PC1</HOST><E/><F/><STATE>Run "
       "Time</STATE></PROJECT><PROJECT><DSN>Long</DSN><HOST>PC1</HOST><STATE>ABCDEFGHIJKLMN</"
       "STATE></PROJECT><PROJECT><DSN>Lower</DSN><HOST>PC1</HOST><!--note--><STATE>lower</STATE></"
       "PROJECT><PROJECT>lead<DSN>Mixed</DSN>tail<HOST>PC1</HOST><STATE>RT</STATE></"
       "PROJECT><PROJECT><X><STATE>inner</STATE></X><DSN>Nested</DSN><HOST>PC1</"
       "HOST><STATE>Configuration "
       "X</STATE></PROJECT><PROJECT><DSN>NoState</DSN><HOST>PC1</HOST></"
       "PROJECT><PROJECT><DSN>Twice</DSN><HOST>PC1</HOST><STATE>second</STATE><STATE></STATE></"
       "PROJECT><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      {Op::kHost, "<GetHostDetails><HOST>PC2</HOST></GetHostDetails>", E_FAIL, "<unset>"},
      {Op::kLeave, "<X><HOST>PC2</HOST><DOMAIN>OTHER</DOMAIN></X>", S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></"
       "Domain><Domain><Name>A&amp;B&lt;C&gt;</Name><Host>Host&amp;&lt;1&gt;\"'</Host></"
       "Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></"
       "Domain><Domain><Name>"
       "ddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd"
       "dddddddddddddddddddddddddddddddddddd</Name><Host>PC3</Host></Domain></NetTree>"},
      {Op::kLeave, "<X><HOST>PC1</HOST><DOMAIN>PLANT</DOMAIN></X>", S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></"
       "Domain><Domain><Name>A&amp;B&lt;C&gt;</Name><Host>Host&amp;&lt;1&gt;\"'</Host></"
       "Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></"
       "Domain><Domain><Name>"
       "ddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd"
       "dddddddddddddddddddddddddddddddddddd</Name><Host>PC3</Host></Domain></NetTree>"},
      {Op::kLeave, "<X><HOST>PC9</HOST><DOMAIN>WORKGROUP</DOMAIN></X>", S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></"
       "Domain><Domain><Name>A&amp;B&lt;C&gt;</Name><Host>Host&amp;&lt;1&gt;\"'</Host></"
       "Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></"
       "Domain><Domain><Name>"
       "ddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd"
       "dddddddddddddddddddddddddddddddddddd</Name><Host>PC3</Host></Domain></NetTree>"},
      {Op::kLeave, "<X><HOST>" + std::string(512, 'z') + "</HOST><DOMAIN>D</DOMAIN></X>", S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></"
       "Domain><Domain><Name>A&amp;B&lt;C&gt;</Name><Host>Host&amp;&lt;1&gt;\"'</Host></"
       "Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></"
       "Domain><Domain><Name>"
       "ddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd"
       "dddddddddddddddddddddddddddddddddddd</Name><Host>PC3</Host></Domain></NetTree>"},
      {Op::kLeave, "<X><HOST>PC3</HOST><DOMAIN>" + std::string(127, 'D') + "x</DOMAIN></X>", S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></"
       "Domain><Domain><Name>A&amp;B&lt;C&gt;</Name><Host>Host&amp;&lt;1&gt;\"'</Host></"
       "Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></Domain></NetTree>"},
      {Op::kJoin, Announce("PC2", "Plant", Project("Delta", "PC2", "Run Time")), S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></"
       "Domain><Domain><Name>A&amp;B&lt;C&gt;</Name><Host>Host&amp;&lt;1&gt;\"'</Host></"
       "Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></Domain><Domain><Name>Plant</Name><Host>PC2</Host></Domain></NetTree>"},
      {Op::kList, List("*", "*", "*"), S_OK,
       "<ProjectList><PROJECT><Name>Esc</Name><DSN>Esc</DSN><HOST>Host&amp;&lt;1&gt;\"'</"
       "HOST><STATE>RunTime</STATE></PROJECT><PROJECT><Name>Delta</Name><DSN>Delta</DSN><HOST>PC2</"
       "HOST><STATE>Run Time</STATE></PROJECT><PM_MULTICAST><EVENT>New State of "
       "Server</EVENT><HOST>pc2</HOST><DSN>Epsilon</DSN><Reason>open &amp; run</Reason><STATE>Run "
       "Time</STATE></PM_MULTICAST><PROJECT><Name>Umlaut</Name><DSN>Umlaut</DSN><HOST>\xC3"
       "\x9C"
       "BER</HOST><STATE>CS</STATE></PROJECT></ProjectList>"},
      // Refused announcements change nothing.
      {Op::kJoin, "<QXDISCOVER><HOST>PC4</HOST></QXDISCOVER>", E_FAIL,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></"
       "Domain><Domain><Name>A&amp;B&lt;C&gt;</Name><Host>Host&amp;&lt;1&gt;\"'</Host></"
       "Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></Domain><Domain><Name>Plant</Name><Host>PC2</Host></Domain></NetTree>"},
      {Op::kJoin, "<QXDISCOVER><DOMAIN>D</DOMAIN></QXDISCOVER>", E_FAIL,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></"
       "Domain><Domain><Name>A&amp;B&lt;C&gt;</Name><Host>Host&amp;&lt;1&gt;\"'</Host></"
       "Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></Domain><Domain><Name>Plant</Name><Host>PC2</Host></Domain></NetTree>"},
      {Op::kJoin, Announce(std::string(512, 'z'), "D", ""), E_FAIL,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></"
       "Domain><Domain><Name>A&amp;B&lt;C&gt;</Name><Host>Host&amp;&lt;1&gt;\"'</Host></"
       "Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></Domain><Domain><Name>Plant</Name><Host>PC2</Host></Domain></NetTree>"},
      {Op::kJoin, Announce("PC1", "WORKGROUP", "", "<P>" + std::string(17000, 'p') + "</P>"),
       E_FAIL,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></"
       "Domain><Domain><Name>A&amp;B&lt;C&gt;</Name><Host>Host&amp;&lt;1&gt;\"'</Host></"
       "Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></Domain><Domain><Name>Plant</Name><Host>PC2</Host></Domain></NetTree>"},
      {Op::kJoin,
       Announce("PC5", "D5",
                "<PROJECT><Name>NoDsn</Name></PROJECT><Other><DSN>O</DSN></Other><PROJECT><DSN>"
                "Huge</DSN><X>" +
                    std::string(9000, 'x') + "</X></PROJECT><PROJECT><DSN></DSN></PROJECT>" +
                    Project("Good", "PC5", "Run Time")),
       S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></"
       "Domain><Domain><Name>A&amp;B&lt;C&gt;</Name><Host>Host&amp;&lt;1&gt;\"'</Host></"
       "Domain><Domain><Name>\xC3"
       "\x84"
       "\xC3"
       "\x96"
       "</Name><Host>Ctl&#01;Host</Host><Host>\xC3"
       "\xBC"
       "ber</Host></Domain><Domain><Name>Plant</Name><Host>PC2</Host></Domain><Domain><Name>D5</"
       "Name><Host>PC5</Host></Domain></NetTree>"},
      {Op::kList, List("d5", "*", "*"), S_OK,
       "<ProjectList><PROJECT><Name>Good</Name><DSN>Good</DSN><HOST>PC5</HOST><STATE>Run "
       "Time</STATE></PROJECT></ProjectList>"},
      // PC1 left above under a domain it was never in: its record went, its element stayed.
      {Op::kHost, "<GetHostDetails><HOST>pc1</HOST></GetHostDetails>", E_FAIL, "<unset>"},
      // A new document after Clear.
      {Op::kRestart, "<GetTreeContent/>", S_OK, "<NetTree/>"},
      {Op::kList, kAll, S_OK, "<ProjectList/>"},
      {Op::kJoin, Announce("PC1", "WORKGROUP", ""), S_OK,
       "<NetTree><Domain><Name>WORKGROUP</Name><Host>PC1</Host></Domain></NetTree>"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.arg.substr(0, 200));
    EXPECT_EQ(Run(step), std::make_pair(step.hr, step.answer));
  }
}

}  // namespace
}  // namespace qx
