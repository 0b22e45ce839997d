// Three whole stations on one machine find each other: STATION5, STATION6 and STATION7 on
// 127.0.0.5-7, each with its own registry, runtime directory, computer name and qxagent, and one
// multicast group on the loopback interface (TTL 0). Their trees are read as a user would, with
// "qxstation discover". The test runs in a network namespace of its own when it may make one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "messaging/multicast_transport.h"
#include "support/station_process.h"
#include "support/temp_dir.h"

namespace qx::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kAllProjects =
    "<GetProjectList><DomainFilter>*</DomainFilter><HostFilter>*</HostFilter>"
    "<ProjectFilter>*</ProjectFilter></GetProjectList>";

using Station = TestStation;

class ThreeStations : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    temp_ = std::make_unique<TempDir>("qxthree");
    ASSERT_TRUE(temp_->ok());
    root_ = temp_->path();
    for (int i = 0; i < 3; ++i) {
      Station& station = stations_[i];
      station.name = "STATION" + std::to_string(5 + i);
      station.address = "127.0.0." + std::to_string(5 + i);
      station.dir = root_ + "/" + station.name;
      // STATION5 leaves the project-manager service to its qxprojectmgr.
      if (i == 0) station.agentArgs = {"--no-project-manager-service"};
      ASSERT_TRUE(MakeStationDir(station.dir));
      ASSERT_NO_FATAL_FAILURE(Configure(station));
    }
    for (Station& station : stations_) ASSERT_NO_FATAL_FAILURE(Start(station));
  }

  static void TearDownTestSuite() {
    for (Station& station : stations_) {
      if (!station.agent) continue;
      const int status = station.agent->Terminate(10s);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << station.name << " ended with status " << status << "\n"
          << station.agent->errors();
      station.agent.reset();
    }
    temp_.reset();
  }

  static ProgramResult Qxstation(const Station& station, const std::vector<std::string>& args) {
    return RunProgram(QX_STATION_PATH, args, station.env());
  }

  static void Set(const Station& station, const std::string& key, const std::string& name,
                  const std::string& value, bool dword = false) {
    const ProgramResult result = Qxstation(station, RegistrySetArgs(key, name, value, dword));
    ASSERT_EQ(result.exitCode, 0) << result.err;
  }

  static void Configure(const Station& station) {
    ASSERT_NO_FATAL_FAILURE(Set(station, "PLATFORM", "ComputerName", station.name));
    ASSERT_NO_FATAL_FAILURE(Set(station, "RPC", "ListenAddress", station.address));
    ASSERT_NO_FATAL_FAILURE(Set(station, "MULTICAST", "Port", "24790", true));
    // A quick watch, so that a removed project file is noticed within the test.
    ASSERT_NO_FATAL_FAILURE(Set(station, "STORAGE", "CleanRegistry", "300", true));
  }

  static void Start(Station& station) {
    station.agent = std::make_unique<ChildProcess>(QX_AGENT_PATH, station.agentArgs, station.env());
    ASSERT_TRUE(station.agent->WaitForLine("ready", 30s))
        << station.name << " did not get ready:\n"
        << station.agent->output() << station.agent->errors();
  }

  // The answer text of a discovery command given to the station.
  static std::string Discover(const Station& station, const std::string& command) {
    const ProgramResult result = Qxstation(station, {"discover", command});
    return result.exitCode == 0 ? result.out : "failed: " + result.err;
  }

  // True once holds(answer) is true for the command's answer at every station in the list.
  static bool Eventually(const std::vector<const Station*>& at, const std::string& command,
                         const std::function<bool(const std::string&)>& holds) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      bool all = true;
      for (const Station* station : at) all = all && holds(Discover(*station, command));
      if (all) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }

  static bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }

  static inline std::unique_ptr<TempDir> temp_;  // root_ and all below it
  static std::string root_;
  static Station stations_[3];
};

std::string ThreeStations::root_;
Station ThreeStations::stations_[3];

// The tests run in order: they follow one life of the three stations.
TEST_F(ThreeStations, FindEachOtherAndAnnounceTheirProjects) {
  const std::vector<const Station*> all = {&stations_[0], &stations_[1], &stations_[2]};
  EXPECT_TRUE(Eventually(all, "<GetTreeContent/>", [](const std::string& tree) {
    return Contains(tree, "<Host>STATION5</Host>") && Contains(tree, "<Host>STATION6</Host>") &&
           Contains(tree, "<Host>STATION7</Host>");
  })) << Discover(stations_[0], "<GetTreeContent/>");

  // STATION6 writes a project and announces itself again; the others see the project.
  const std::string file = root_ + "/plant.mcp";
  std::ofstream(file) << "project";
  const Station& six = stations_[1];
  ASSERT_EQ(
      Qxstation(six, {"write-project", "--dsn", "Plant", "--name", "Plant", "--type", "Multi User",
                      "--full-path", file, "--server", "STATION6", "--host", "STATION6"})
          .exitCode,
      0);
  ASSERT_EQ(Qxstation(six, {"discover", "<LeaveJoinMulticastGroup/>"}).exitCode, 0);
  EXPECT_TRUE(Eventually({&stations_[0], &stations_[2]}, kAllProjects, [](const std::string& list) {
    return Contains(list, "<DSN>Plant</DSN>") && Contains(list, "<HOST>STATION6</HOST>");
  })) << Discover(stations_[0], kAllProjects);
  // Every station's tree and project list agree.
  EXPECT_EQ(Discover(stations_[0], kAllProjects), Discover(stations_[2], kAllProjects));

  // The project file goes: the watch of STATION6 cleans its list, and the removal reaches the
  // others.
  fs::remove(file);
  EXPECT_TRUE(Eventually(all, kAllProjects, [](const std::string& list) {
    return !Contains(list, "<DSN>Plant</DSN>");
  })) << Discover(stations_[0], kAllProjects);
}

// A station with 1000 projects joins: its announcement (some 200 KiB, several datagrams) reaches
// every agent whole, each enters all 1000 projects and answers with an UPDATE of its own.
TEST_F(ThreeStations, AJoinOfAThousandProjectsArrivesWhole) {
  constexpr int kProjects = 1000;
  // This process seals with the stations' cluster key, from a ring of its own.
  ASSERT_TRUE(InstallClusterKey(root_));
  setenv("QX_REGISTRY", (root_ + "/registry.db").c_str(), 1);
  qx::MulticastSettings settings;
  settings.port = 24790;
  settings.unicastAddress = "127.0.0.8";
  qx::Mutex mutex;
  std::vector<std::string> replies;
  std::string error;
  auto big = qx::MulticastTransport::Start(
      settings,
      [&](const qx::MulticastMessage& message) {
        if (message.delivery != qx::MulticastDelivery::kUnicast) return;
        qx::MutexLock lock(&mutex);
        replies.push_back(message.text);
      },
      &error);
  ASSERT_TRUE(big) << error;
  std::string join =
      "<QXDISCOVER><EVENT>JOIN</EVENT><Receiver>*</Receiver><Host>BIGSTATION</Host>"
      "<Domain>PLANTNET</Domain><IP>127.0.0.8</IP><PROJECTLIST>";
  for (int i = 0; i < kProjects; ++i) {
    const std::string dsn = "BIG" + std::to_string(10000 + i);
    join += "<PROJECT><Name>" + dsn + "</Name><Type>Multi User</Type><STATE>Run Time</STATE><DSN>" +
            dsn + "</DSN><FullPath>/var/lib/plant/projects/" + dsn + "/" + dsn +
            ".mcp</FullPath><HOST>BIGSTATION</HOST><Server>BIGSTATION</Server></PROJECT>";
  }
  join += "</PROJECTLIST></QXDISCOVER>";
  ASSERT_GT(join.size(), 150000u);
  ASSERT_EQ(big->SendToGroup(join), qx::S_OK);

  auto count = [](const std::string& text, const std::string& part) {
    int found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
    return found;
  };
  const std::vector<const Station*> all = {&stations_[0], &stations_[1], &stations_[2]};
  EXPECT_TRUE(Eventually(all, kAllProjects, [&](const std::string& list) {
    return count(list, "<HOST>BIGSTATION</HOST>") == kProjects;
  })) << count(Discover(stations_[0], kAllProjects), "<HOST>BIGSTATION</HOST>");
  for (int attempt = 0; attempt < 100; ++attempt) {
    {
      qx::MutexLock lock(&mutex);
      if (replies.size() >= all.size()) break;
    }
    std::this_thread::sleep_for(50ms);
  }
  {
    qx::MutexLock lock(&mutex);
    EXPECT_EQ(replies.size(), all.size());
  }
  EXPECT_EQ(big->Counters().malformed, 0u);
  ASSERT_EQ(big->SendToGroup("<QXDISCOVER><EVENT>LEAVE</EVENT><Host>BIGSTATION</Host>"
                             "<Domain>PLANTNET</Domain></QXDISCOVER>"),
            qx::S_OK);
  EXPECT_TRUE(Eventually(all, "<GetTreeContent/>",
                         [](const std::string& tree) { return !Contains(tree, "BIGSTATION"); }));
}

// The project manager of STATION5 receives the group's events through its service's sink and
// answers the state requests, also while its agent is dead; the sink comes back with the agent.
TEST_F(ThreeStations, ProjectManagerFollowsTheGroupAcrossAnAgentRestart) {
  Station& five = stations_[0];
  const Station& six = stations_[1];
  const std::string project = root_ + "/line.mcp";
  std::ofstream(project) << "project";
  // STATION6 reaches the project-manager service of STATION5 by RPC, by name.
  ASSERT_NO_FATAL_FAILURE(Set(six, "RPC\\HOSTS", five.name, five.address));
  std::unique_ptr<ChildProcess> manager;
  const auto startManager = [&] {
    manager = std::make_unique<ChildProcess>(
        QX_PROJECTMGR_PATH, std::vector<std::string>{"--project", project}, five.env());
    return manager->WaitForLine("ready", 10s);
  };
  ASSERT_TRUE(startManager()) << manager->errors();

  // A call for the project manager sent to the group reaches it once, through its service's
  // sink: the agent's discovery role leaves such calls to the project-manager role. Sent again
  // (at most 20 times) until one arrives, as the sink may still be on its way after a restart.
  const std::string call =
      "<REMOTECALL><Receiver>*</Receiver><ProcessContext>ProjectManager</ProcessContext>"
      "<DLL>none</DLL><FUNCTION>none</FUNCTION></REMOTECALL>";
  int calls = 0;
  const auto reachesOnce = [&] {
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (Qxstation(six, {"discover", call}).exitCode != 0) return false;
      if (!manager->WaitForLine("remote call " + std::to_string(calls + 1), 3s)) continue;
      ++calls;
      return !manager->WaitForLine("remote call " + std::to_string(calls + 1), 1s);
    }
    return false;
  };
  const struct {
    const Station* at;
    std::vector<std::string> args;
    std::string expected;
  } stateRequests[] = {
      {&six, {"state", "STATION5"}, "<State>Running</State>"},
      {&five, {"state", "STATION5"}, "<Project>line</Project>"},
      {&five,
       {"command",
        "<GetStateOfNorvaneProject><Path>" + project + "</Path></GetStateOfNorvaneProject>",
        "--receiver", "STATION5"},
       "<State>Loaded</State>"},
  };
  const auto answersStates = [&](const char* when) {
    for (const auto& request : stateRequests) {
      const ProgramResult result = Qxstation(*request.at, request.args);
      EXPECT_TRUE(result.exitCode == 0 && Contains(result.out, request.expected))
          << when << " at " << request.at->name << ": " << request.args[0] << "\n"
          << result.out << result.err << manager->errors();
    }
  };

  EXPECT_TRUE(reachesOnce()) << manager->output() << manager->errors();
  answersStates("agent running");

  // Round 0: the agent dies while the sink is advised. Round 1: the project manager starts
  // while the agent is dead; its sink is advised once the agent is back.
  for (int round = 0; round < 2; ++round) {
    five.agent->Kill();
    five.agent.reset();
    // A local command and a group send at the station without its agent fail at once: no
    // component is there to create.
    for (const std::string& command : {std::string("<JoinMulticastGroup/>"), call}) {
      const auto start = std::chrono::steady_clock::now();
      const ProgramResult sent = Qxstation(five, {"discover", command});
      EXPECT_NE(sent.exitCode, 0);
      EXPECT_TRUE(Contains(sent.out, "0x80040154")) << command << "\n" << sent.out << sent.err;
      EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    }
    if (round == 1) {
      manager->Terminate(10s);
      calls = 0;
      ASSERT_TRUE(startManager()) << manager->errors();
    }
    EXPECT_TRUE(manager->running());
    answersStates(round == 0 ? "agent dead" : "agent dead at the start");

    ASSERT_NO_FATAL_FAILURE(Start(five));
    EXPECT_TRUE(reachesOnce()) << "round " << round << "\n"
                               << manager->output() << manager->errors();
  }
  const int status = manager->Terminate(10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << manager->errors();
}

TEST_F(ThreeStations, OneThatLeavesIsGoneFromTheOthers) {
  Station& seven = stations_[2];
  const int status = seven.agent->Terminate(10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seven.agent->errors();
  seven.agent.reset();
  EXPECT_TRUE(Eventually({&stations_[0], &stations_[1]}, "<GetTreeContent/>",
                         [](const std::string& tree) {
                           return !Contains(tree, "STATION7") && Contains(tree, "STATION6");
                         }))
      << Discover(stations_[0], "<GetTreeContent/>");
}

// A station that dies without a word (kill -9) stops beating: the others suspect it, probe it,
// and remove it from their trees within a few seconds, while they keep each other.
TEST_F(ThreeStations, OneKilledIsGoneFromTheOthers) {
  Station& six = stations_[1];
  ASSERT_TRUE(Eventually({&stations_[0]}, "<GetTreeContent/>", [](const std::string& tree) {
    return Contains(tree, "<Host>STATION6</Host>");
  })) << Discover(stations_[0], "<GetTreeContent/>");
  // STATION5's monitor prints the removal as a failure.
  ChildProcess monitor(QX_STATION_PATH, {"monitor", "--for", "30"}, stations_[0].env());
  monitor.WaitForLine("(no such line)", 1s);
  six.agent->Kill();
  six.agent.reset();
  EXPECT_TRUE(Eventually({&stations_[0]}, "<GetTreeContent/>", [](const std::string& tree) {
    return !Contains(tree, "STATION6") && Contains(tree, "<Host>STATION5</Host>");
  })) << Discover(stations_[0], "<GetTreeContent/>");
  monitor.WaitForLine("(no such line)", 1s);
  const std::string seen = monitor.output();
  EXPECT_TRUE(Contains(seen, "failed") && Contains(seen, "STATION6")) << seen;
  monitor.Terminate(5s);
}

}  // namespace
}  // namespace qx::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  signal(SIGPIPE, SIG_IGN);
  if (!qx::testing::EnterPrivateNetwork()) {
    std::fprintf(stderr, "note: no private network namespace; using 127.0.0.5-7 of this machine\n");
  }
  return RUN_ALL_TESTS();
}
