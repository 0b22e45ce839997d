// qxstation's readers of the station's answers and events, and its rewriting of commands: golden
// results for the texts the agent and other stations send, down to the cases that lean on the
// order of children and attributes.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "liveness_view.h"
#include "monitor.h"
#include "network_view.h"
#include "requests.h"

namespace qxstation {
namespace {

std::string Joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) out += part + ";";
  return out;
}

std::string Shown(const ProjectEntry& p) {
  return Joined({p.dsn, p.name, p.type, p.state, p.host, p.server, p.fullPath, p.uncPath});
}

std::string Shown(const std::vector<ProjectEntry>& projects) {
  std::string out;
  for (const ProjectEntry& project : projects) out += "[" + Shown(project) + "]";
  return out;
}

const char* const kProject =
    "<PROJECT><DSN>Plant</DSN><Name>Plant A</Name><TYPE>MU</TYPE><STATE>RT</STATE>"
    "<HOST>STATIONB</HOST><SERVER>STATIONB</SERVER><FullPath>/p/R&amp;D &lt;a&gt;.mcp</FullPath>"
    "<UncPath>//b/p</UncPath></PROJECT>";
const char* const kProjectShown = "Plant;Plant A;MU;RT;STATIONB;STATIONB;/p/R&D <a>.mcp;//b/p;";

TEST(AnswerParsers, TreeContent) {
  struct Case {
    std::string xml;
    std::optional<std::string> shown;  // "domain:host,host|..."
  } cases[] = {
      {"<NetTree><Domain><Name>D1</Name><Host>A</Host><Host>R&amp;D</Host></Domain>"
       "<Domain><Name>D2</Name></Domain></NetTree>",
       "D1:A,R&D,|D2:|"},
      {"<nettree><!--c--><DOMAIN><HOST>h</HOST><name>x</name><Other>o</Other></DOMAIN>"
       "<Other><Host>no</Host></Other></nettree>",
       "x:h,|"},
      {"<NetTree/>", ""},
      {"<Tree><Domain><Name>D</Name></Domain></Tree>", std::nullopt},
      {"not xml", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml);
    const auto domains = ParseTreeContent(c.xml);
    ASSERT_EQ(domains.has_value(), c.shown.has_value());
    if (!domains) continue;
    std::string shown;
    for (const DomainEntry& domain : *domains) {
      shown += domain.name + ":";
      for (const std::string& host : domain.hosts) shown += host + ",";
      shown += "|";
    }
    EXPECT_EQ(shown, *c.shown);
  }
}

TEST(AnswerParsers, ProjectsAndHostDetails) {
  const std::string list = std::string("<ProjectList>") + kProject +
                           "<!--c--><X><dsn>Q</dsn><fullpath>f</fullpath></X></ProjectList>";
  EXPECT_EQ(Shown(ParseProjectList(list).value()),
            "[" + std::string(kProjectShown) + "][Q;;;;;;f;;]");
  EXPECT_EQ(Shown(ParseProjectList("<PROJECTLIST/>").value()), "");
  EXPECT_FALSE(ParseProjectList(kProject));
  EXPECT_EQ(Shown(ParseProject(kProject).value()), kProjectShown);
  EXPECT_EQ(Shown(ParseProject("<Anything><dsn>D</dsn></Anything>").value()), "D;;;;;;;;");
  EXPECT_FALSE(ParseProject("<A>"));

  const std::string details =
      std::string(
          "<HostDetails><EVENT>UPDATE</EVENT><Host>STATIONB</Host><Domain>D</Domain>"
          "<User>op</User><IP>127.0.0.3</IP><IP_Mask>255.0.0.0</IP_Mask>"
          "<NorvaneVersion>7.1</NorvaneVersion><NorvaneBuild>4711</NorvaneBuild>"
          "<NorvanePath>/opt/n</NorvanePath><PROJECTLIST>") +
      kProject + "<PROJECT><DSN>Lab</DSN></PROJECT></PROJECTLIST></HostDetails>";
  const HostEntry host = ParseHostDetails(details).value();
  EXPECT_EQ(Joined({host.name, host.domain, host.user, host.address, host.mask, host.version,
                    host.build, host.path}),
            "STATIONB;D;op;127.0.0.3;255.0.0.0;7.1;4711;/opt/n;");
  EXPECT_EQ(Shown(host.projects), "[" + std::string(kProjectShown) + "][Lab;;;;;;;;]");
  EXPECT_EQ(host.projectCount, 2u);
  const HostEntry bare = ParseHostDetails("<HostDetails><host>A</host></HostDetails>").value();
  EXPECT_EQ(bare.name, "A");
  EXPECT_EQ(bare.projectCount, 0u);
  EXPECT_FALSE(ParseHostDetails("<HostDetails>"));
}

TEST(AnswerParsers, Liveness) {
  std::string many = "<Liveness";
  for (int i = 0; i < 70; ++i) many += " V" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  many += " Host=\"LATE\"/>";
  struct Case {
    std::string xml;
    std::optional<std::string> shown;  // "host|name=value,...|host/state/ms,..."
  } cases[] = {
      {"<Liveness Beat=\"500\" Host=\"A&amp;B\" Suspect=\"1800\"><Peer Host=\"B\" State=\"alive\" "
       "SinceHeardMs=\"120\"/><Other Host=\"no\"/><peer State=\"silent\" SinceHeardMs=\"1x\"/>"
       "</Liveness>",
       "A&B|Beat=500,Suspect=1800,|B/alive/120,/silent/-,"},
      {"<liveness/>", "||"},
      {many,
       "|V0=0,V1=1,V2=2,V3=3,V4=4,V5=5,V6=6,V7=7,V8=8,V9=9,V10=10,V11=11,V12=12,V13=13,"
       "V14=14,V15=15,V16=16,V17=17,V18=18,V19=19,V20=20,V21=21,V22=22,V23=23,V24=24,"
       "V25=25,V26=26,V27=27,V28=28,V29=29,V30=30,V31=31,V32=32,V33=33,V34=34,V35=35,"
       "V36=36,V37=37,V38=38,V39=39,V40=40,V41=41,V42=42,V43=43,V44=44,V45=45,V46=46,"
       "V47=47,V48=48,V49=49,V50=50,V51=51,V52=52,V53=53,V54=54,V55=55,V56=56,V57=57,"
       "V58=58,V59=59,V60=60,V61=61,V62=62,V63=63,|"},
      {"<Live Host=\"A\"/>", std::nullopt},
      {"<Liveness", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml.substr(0, 80));
    const auto live = ParseLiveness(c.xml);
    ASSERT_EQ(live.has_value(), c.shown.has_value());
    if (!live) continue;
    std::string shown = live->host + "|";
    for (const auto& [name, value] : live->values) shown += name + "=" + value + ",";
    shown += "|";
    for (const LivenessPeer& peer : live->peers) {
      shown += peer.host + "/" + peer.state + "/" +
               (peer.sinceHeardMs ? std::to_string(*peer.sinceHeardMs) : "-") + ",";
    }
    EXPECT_EQ(shown, *c.shown);
  }
}

TEST(AnswerParsers, Events) {
  struct Case {
    std::string xml;
    std::optional<std::string> shown;  // kind;root;host;domain;address;user;dsn;state;projects;
  } cases[] = {
      {"<QXDISCOVER><EVENT>JOIN</EVENT><HOST>B</HOST><DOMAIN>D</DOMAIN><IP>127.0.0.3</IP>"
       "<User>op</User><PROJECTLIST><PROJECT/><!--c--><P2/></PROJECTLIST></QXDISCOVER>",
       "join;QXDISCOVER;B;D;127.0.0.3;op;;;2;"},
      {"<qxdiscover><event>update</event><host>B</host><projectlist/></qxdiscover>",
       "update;qxdiscover;B;;;;;;0;"},
      {"<QXDISCOVER><EVENT>LEAVE</EVENT><HOST>B</HOST><REASON>failed</REASON></QXDISCOVER>",
       "failed;QXDISCOVER;B;;;;;;-;"},
      {"<QXDISCOVER><EVENT>LEAVE</EVENT><HOST>B</HOST></QXDISCOVER>", "leave;QXDISCOVER;B;;;;;;-;"},
      {"<NETQX><EVENT>SHUTDOWN</EVENT><HOST>X</HOST><STATION><HOST>B</HOST><DOMAIN>D</DOMAIN>"
       "</STATION></NETQX>",
       "shutdown;NETQX;B;D;;;;;-;"},
      {"<NETQX><EVENT>SHUTDOWN</EVENT><HOST>X</HOST><DOMAIN>E</DOMAIN></NETQX>",
       "shutdown;NETQX;;;;;;;-;"},
      {"<PM_MULTICAST><EVENT>New State of Server</EVENT><DSN>P</DSN><STATE>RT</STATE>"
       "<HOST>B</HOST></PM_MULTICAST>",
       "server-state;PM_MULTICAST;B;;;;P;RT;-;"},
      {"<REMOTECALL><HOST>B</HOST><STATE>s</STATE><ProcessContext>pc</ProcessContext>"
       "</REMOTECALL>",
       "call;REMOTECALL;B;;;;;pc;-;"},
      {"<Other><HOST>B</HOST></Other>", "other;Other;B;;;;;;-;"},
      {"<Q", std::nullopt},
      {"", std::nullopt},
  };
  for (const bool unicast : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.xml);
      const auto event = ParseEvent(c.xml, unicast);
      ASSERT_EQ(event.has_value(), c.shown.has_value());
      if (!event) continue;
      EXPECT_EQ(event->delivery, unicast ? "unicast" : "group");
      const std::string projects = event->projects ? std::to_string(*event->projects) : "-";
      EXPECT_EQ(Joined({event->kind, event->root, event->host, event->domain, event->address,
                        event->user, event->dsn, event->state, projects}),
                *c.shown);
    }
  }
}

TEST(AnswerParsers, ReceiverAndRootOfACommand) {
  const std::string longName(70, 'N');
  struct Case {
    std::string command;
    std::string receiver;
    std::optional<std::string> root;
  } cases[] = {
      {"<A><Receiver>X</Receiver><HOST>H</HOST></A>", "X", "A"},
      {"<A><receiver></receiver><HOST>H</HOST><RECEIVER>Y</RECEIVER></A>", "Y", "A"},
      {"<A><Host>H</Host><HOST>I</HOST><Receiver/></A>", "H", "A"},
      {"<A><Other><Receiver>X</Receiver></Other></A>", "", "A"},
      {"<" + longName + " a=\"1\"><Receiver>X</Receiver></" + longName + ">", "X", longName},
      {"<" + longName + "/>", "", longName},
      {"<A>", "", std::nullopt},
      {"", "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(ReceiverOf(c.command), c.receiver);
    EXPECT_EQ(RootTag(c.command), c.root);
  }
  // The rewritten command keeps comments, CDATA and attributes; the receiver ends at a NUL.
  EXPECT_EQ(WithReceiver("<T a=\"1\"><!--c--><Receiver>X</Receiver><![CDATA[<d>]]></T>",
                         std::string("B\0C", 3)),
            "<T a=\"1\"><Receiver>B</Receiver><!--c--><![CDATA[<d>]]></T>");
  EXPECT_EQ(WithReceiver("<T>x</T>", ""), "<T><Receiver></Receiver>x</T>");
}

// A command is one element: a second root or text beside it makes it no command at all, rather
// than one whose rest is silently dropped.
TEST(AnswerParsers, CommandsOfMoreThanOneElementAreRefused) {
  for (const char* command : {"<A><Receiver>X</Receiver></A><B/>", "junk<A/>", "<A/>junk"}) {
    SCOPED_TRACE(command);
    EXPECT_EQ(WithReceiver(command, "B"), std::nullopt);
    EXPECT_EQ(RootTag(command), std::nullopt);
    EXPECT_EQ(ReceiverOf(command), "");
  }
}

// A parameter goes in as markup only when it is element content that stays inside PARAM: one
// that closes PARAM early cannot add elements of its own to the request.
TEST(AnswerParsers, ParameterCannotAddElementsBesideIt) {
  struct Case {
    const char* param;
    const char* sent;
  } cases[] = {
      {"<A>x</A><B/>", "<PARAM><A>x</A><B/></PARAM>"},
      {"</PARAM><DLL>other</DLL><PARAM>",
       "<PARAM>&lt;/PARAM&gt;&lt;DLL&gt;other&lt;/DLL&gt;&lt;PARAM&gt;</PARAM>"},
      {"x</PARAM>y<PARAM>", "<PARAM>x&lt;/PARAM&gt;y&lt;PARAM&gt;</PARAM>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.param);
    EXPECT_EQ(
        RemoteCallRequest("B", "lib", "F", c.param),
        std::string("<REMOTECALL><Receiver>B</Receiver><DLL>lib</DLL><FUNCTION>F</FUNCTION>") +
            c.sent + "</REMOTECALL>");
  }
}

}  // namespace
}  // namespace qxstation
