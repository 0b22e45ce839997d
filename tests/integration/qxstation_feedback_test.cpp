// What an operator is told when something is wrong, and what a command says it did: qxstation
// and qxagent run as a user runs them, against real stations ALPHA (127.0.0.21) and BRAVO
// (127.0.0.22), in a network namespace of their own when the test may make one. Each behaviour
// is one table; the cases check exit codes and the key words of the messages, not whole texts.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/station_process.h"
#include "support/temp_dir.h"

namespace qx::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Json = nlohmann::json;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The JSON objects of the lines of text that parse as one.
std::vector<Json> JsonLines(const std::string& text) {
  std::vector<Json> objects;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    Json parsed = Json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_object()) objects.push_back(std::move(parsed));
  }
  return objects;
}

class QxstationFeedback : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    temp_ = std::make_unique<TempDir>("qxfeedback");
    ASSERT_TRUE(temp_->ok());
    root_ = temp_->path();
    fs::create_directories(root_ + "/files");
    fs::create_directories(root_ + "/empty/run");
    for (int i = 0; i < 2; ++i) {
      TestStation& station = stations_[i];
      station.name = i == 0 ? "ALPHA" : "BRAVO";
      station.address = "127.0.0." + std::to_string(21 + i);
      station.dir = root_ + "/" + station.name;
      ASSERT_NO_FATAL_FAILURE(Prepare(station));
    }
    ASSERT_NO_FATAL_FAILURE(Set(stations_[0], "RPC\\HOSTS", "BRAVO", "127.0.0.22"));
    for (TestStation& station : stations_) {
      station.agent =
          std::make_unique<ChildProcess>(QX_AGENT_PATH, station.agentArgs, station.env());
      ASSERT_TRUE(station.agent->WaitForLine("ready", 30s)) << station.agent->errors();
    }
  }

  static void TearDownTestSuite() {
    for (TestStation& station : stations_) station.agent.reset();
    temp_.reset();
  }

  // A station directory with the shared key, its names and addresses, not yet running.
  static void Prepare(const TestStation& station) {
    ASSERT_TRUE(MakeStationDir(station.dir));
    ASSERT_NO_FATAL_FAILURE(Set(station, "PLATFORM", "ComputerName", station.name));
    ASSERT_NO_FATAL_FAILURE(Set(station, "RPC", "ListenAddress", station.address));
    ASSERT_NO_FATAL_FAILURE(Set(station, "MULTICAST", "Port", "24796", true));
    ASSERT_NO_FATAL_FAILURE(Set(station, "SECURITY", "FileRoots", root_ + "/files"));
  }

  static ProgramResult Run(const TestStation& station, const std::vector<std::string>& args) {
    return RunProgram(QX_STATION_PATH, args, station.env());
  }
  static void Set(const TestStation& station, const std::string& key, const std::string& name,
                  const std::string& value, bool dword = false) {
    const ProgramResult result = Run(station, RegistrySetArgs(key, name, value, dword));
    ASSERT_EQ(result.exitCode, 0) << result.err;
  }
  // A station of no agent, for commands that must not reach one.
  static TestStation Nowhere() { return {"NONE", "", root_ + "/empty", nullptr, {}}; }

  static inline std::unique_ptr<TempDir> temp_;  // root_ and all below it
  static std::string root_;
  static TestStation stations_[2];
};

std::string QxstationFeedback::root_;
TestStation QxstationFeedback::stations_[2];

TEST_F(QxstationFeedback, AnUnknownCommandIsNamedWithTheNearestOne) {
  const struct {
    std::vector<std::string> args;
    std::string unknown;     // the word named back
    std::string suggestion;  // empty: none is close enough
  } cases[] = {
      {{"tre"}, "tre", "tree"},
      {{"hots", "--json"}, "hots", "hosts"},
      {{"--json", "projetcs"}, "projetcs", "projects"},
      {{"--station", root_ + "/ALPHA", "statsu"}, "statsu", "status"},
      {{"Monitor"}, "Monitor", "monitor"},
      {{"frobnicate"}, "frobnicate", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unknown);
    const ProgramResult result = Run(Nowhere(), c.args);
    EXPECT_EQ(result.exitCode, 2) << result.err;
    EXPECT_TRUE(Contains(result.err, "unknown command \"" + c.unknown + "\"")) << result.err;
    if (c.suggestion.empty()) {
      EXPECT_FALSE(Contains(result.err, "did you mean")) << result.err;
    } else {
      EXPECT_TRUE(Contains(result.err, "did you mean " + c.suggestion + "?")) << result.err;
    }
  }
}

TEST_F(QxstationFeedback, AMissingStationFolderIsNamedAsMissing) {
  const std::string fresh = root_ + "/fresh";
  const std::vector<std::string> set = {"--station",
                                        fresh,
                                        "registry",
                                        "set",
                                        "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\PLATFORM",
                                        "ComputerName",
                                        "FRESH"};
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> words;
    bool agentless;  // the command needs no agent: no "no station runs" then
  } cases[] = {
      {set, {"does not exist", "mkdir -p " + fresh, "scripts/run-station --dir " + fresh}, true},
      {{"--station", fresh, "key", "list"}, {"does not exist", "mkdir -p " + fresh}, true},
      {{"--station", fresh, "tree"},
       {"no station runs at " + fresh, "does not exist", "scripts/run-station --dir " + fresh},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[2]);
    const ProgramResult result = Run(Nowhere(), c.args);
    EXPECT_EQ(result.exitCode, 3) << result.err;
    for (const std::string& word : c.words) EXPECT_TRUE(Contains(result.err, word)) << result.err;
    if (c.agentless) {
      EXPECT_FALSE(Contains(result.err, "no station runs")) << result.err;
    }
  }
  // As the message says: once the folder is there, the registry is written without an agent.
  fs::create_directories(fresh);
  const ProgramResult made = Run(Nowhere(), set);
  EXPECT_EQ(made.exitCode, 0) << made.err;
  EXPECT_TRUE(fs::exists(fresh + "/registry.db"));
}

TEST_F(QxstationFeedback, CopyIntoADirectoryKeepsTheSourceName) {
  const std::string source = root_ + "/files/report.bin";
  std::ofstream(source, std::ios::binary) << std::string(100000, 'r');
  fs::create_directories(root_ + "/dl");
  const struct {
    std::string destination;
    int exitCode;
    std::string landed;  // the file the copy made; empty: none
    std::string err;     // a part of the error line
  } cases[] = {
      {root_ + "/dl", 0, root_ + "/dl/report.bin", ""},
      {root_ + "/dl/", 0, root_ + "/dl/report.bin", ""},
      {root_ + "/dl/renamed.bin", 0, root_ + "/dl/renamed.bin", ""},
      {root_ + "/nodir/", 1, "", "does not exist"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.destination);
    std::error_code ignored;
    if (!c.landed.empty()) fs::remove(c.landed, ignored);
    const ProgramResult result = Run(stations_[0], {"copy", "BRAVO", source, c.destination});
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_TRUE(Contains(result.err, c.err)) << result.err;
    if (!c.landed.empty()) {
      EXPECT_EQ(ReadAll(c.landed), ReadAll(source));
      EXPECT_TRUE(Contains(result.out, c.landed)) << result.out;
    }
  }
  EXPECT_FALSE(fs::exists(root_ + "/nodir"));
}

TEST_F(QxstationFeedback, AFailedRawRequestSaysWhatWasWrong) {
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string err;  // the sentence's key words
  } cases[] = {
      {{"command", "<Test/>"}, 2, "no receiver given"},
      {{"command", "garbage"}, 2, "not XML"},
      {{"discover", "garbage"}, 2, "not XML"},
      {{"discover", "<Frob/>"}, 1, "unknown command <Frob>"},
      {{"command", "--receiver", "BRAVO", "<Frob/>"}, 1, "unknown command <Frob>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const ProgramResult result = Run(stations_[0], c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "HRESULT 0x")) << "the HRESULT line stays: " << result.out;
    EXPECT_TRUE(Contains(result.err, c.err)) << result.err;
  }
}

TEST_F(QxstationFeedback, ADamagedKeyRingIsMovedAsideByKeyReset) {
  TestStation station{"DAMAGED", "127.0.0.24", root_ + "/DAMAGED", nullptr, {}};
  ASSERT_NO_FATAL_FAILURE(Prepare(station));
  const std::string ring = station.dir + "/cluster.keys";
  { std::ofstream(ring, std::ios::trunc) << "not a ring\n"; }
  const std::string reset = "qxstation key reset --station " + station.dir;

  const ProgramResult agent = RunProgram(QX_AGENT_PATH, {}, station.env());
  EXPECT_EQ(agent.exitCode, 5) << agent.err;
  EXPECT_TRUE(Contains(agent.err, reset)) << agent.err;

  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string words;  // in stderr, or stdout on success
  } steps[] = {
      {{"key", "list"}, 1, "damaged"},
      {{"key", "list"}, 1, reset},
      {{"key", "install", kTestClusterKey}, 1, reset},
      {{"key", "reset"}, 0, "moved the damaged key ring to " + ring + ".damaged-"},
      {{"key", "list"}, 0, "in use"},
      {{"key", "reset"}, 1, "not damaged"},
      {{"key", "install", kTestClusterKey}, 0, "installed key"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.args[0] + " " + step.args[1]);
    const ProgramResult result = Run(station, step.args);
    EXPECT_EQ(result.exitCode, step.exitCode) << result.out << result.err;
    EXPECT_TRUE(Contains(step.exitCode == 0 ? result.out : result.err, step.words))
        << result.out << result.err;
  }
  // The damaged ring is kept, root's alone.
  int aside = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(station.dir)) {
    if (entry.path().filename().string().rfind("cluster.keys.damaged-", 0) != 0) continue;
    ++aside;
    EXPECT_EQ(ReadAll(entry.path().string()), "not a ring\n");
    struct stat info {};
    ASSERT_EQ(::stat(entry.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
  }
  EXPECT_EQ(aside, 1);
}

TEST_F(QxstationFeedback, TheAgentNamesTheFixThatWorks) {
  const struct {
    std::string name;
    std::string address;  // RPC ListenAddress
    bool keep;            // keep the installed key; false: the agent makes a local one
    int exitCode;
    std::vector<std::string> words;
  } cases[] = {
      // ALPHA's address: its port is taken.
      {"TAKEN", "127.0.0.21", true, 1, {"is taken", "ListenAddress", "registry set"}},
      // Beyond loopback with a key made here: the key goes in through standard input.
      {"WIDE", "192.0.2.1", false, 5, {"| qxstation key install - --station"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TestStation station{c.name, c.address, root_ + "/" + c.name, nullptr, {}};
    ASSERT_NO_FATAL_FAILURE(Prepare(station));
    if (!c.keep) fs::remove(station.dir + "/cluster.keys");
    const ProgramResult agent = RunProgram(QX_AGENT_PATH, {}, station.env());
    EXPECT_EQ(agent.exitCode, c.exitCode) << agent.err;
    for (const std::string& word : c.words) EXPECT_TRUE(Contains(agent.err, word)) << agent.err;
    EXPECT_FALSE(Contains(agent.err, "key install KEY")) << agent.err;
  }
}

TEST_F(QxstationFeedback, WriteProjectSaysWhatItWroteAndWhereItShows) {
  const std::string present = root_ + "/files/line.mcp";
  std::ofstream(present) << "project";
  const struct {
    std::string dsn;
    std::string path;
    bool warned;  // the file is missing: the watch will remove the entry
  } cases[] = {
      {"Line", present, false},
      {"Ghost", root_ + "/files/ghost.mcp", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dsn);
    const ProgramResult result =
        Run(stations_[0], {"write-project", "--dsn", c.dsn, "--name", c.dsn, "--type", "Multi User",
                           "--full-path", c.path, "--server", "ALPHA"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(Contains(result.out, "wrote project " + c.dsn + " (Multi User) on ALPHA"))
        << result.out;
    EXPECT_TRUE(Contains(result.out, "qxstation join")) << result.out;
    EXPECT_EQ(Contains(result.err, "does not exist"), c.warned) << result.err;
    EXPECT_EQ(Contains(result.err, "watch"), c.warned) << result.err;
  }
  // Without --host the project is this station's: its entry names ALPHA, so that tree and
  // projects show it under ALPHA once announced.
  const ProgramResult host =
      Run(stations_[0],
          {"registry", "get",
           "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\STORAGE\\PROJECTLIST\\Line", "Host"});
  EXPECT_EQ(host.exitCode, 0) << host.err;
  EXPECT_TRUE(Contains(host.out, "ALPHA")) << host.out;
}

TEST_F(QxstationFeedback, HostDetailsOfThisStationAreFilledUnderEveryName) {
  for (const char* name : {"ALPHA", "alpha", "LOCAL", ".", "THIS", "127.0.0.21"}) {
    SCOPED_TRACE(name);
    const ProgramResult result = Run(stations_[0], {"host", name, "--json"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const Json host = Json::parse(result.out, nullptr, false);
    ASSERT_TRUE(host.is_object()) << result.out;
    EXPECT_EQ(host["name"], "ALPHA") << result.out;
    EXPECT_EQ(host["address"], "127.0.0.21") << result.out;
    EXPECT_NE(host["domain"], "") << result.out;
    EXPECT_NE(host["user"], "") << result.out;
  }
}

TEST_F(QxstationFeedback, MonitorSaysWhenTheAgentGoesAndComesBack) {
  TestStation station{"CHARLIE", "127.0.0.23", root_ + "/CHARLIE", nullptr, {}};
  ASSERT_NO_FATAL_FAILURE(Prepare(station));
  station.agent = std::make_unique<ChildProcess>(QX_AGENT_PATH, station.agentArgs, station.env());
  ASSERT_TRUE(station.agent->WaitForLine("ready", 30s)) << station.agent->errors();

  ChildProcess monitor(QX_STATION_PATH, {"monitor", "--json", "--for", "60"}, station.env());
  for (int i = 0; i < 200 && !Contains(monitor.errors(), "watching"); ++i) {
    std::this_thread::sleep_for(25ms);
  }
  ASSERT_TRUE(Contains(monitor.errors(), "watching")) << monitor.errors();
  // Reads what the monitor printed until an object of the event came (or time ran out).
  const auto await = [&](const std::string& event) {
    for (int i = 0; i < 100; ++i) {
      monitor.WaitForLine("(never printed)", 100ms);
      for (const Json& object : JsonLines(monitor.output())) {
        if (object.value("event", "") == event) return true;
      }
    }
    return false;
  };
  const struct {
    std::string event;
    std::function<void()> cause;
  } steps[] = {
      {"agent-gone", [&] { station.agent->Kill(); }},
      {"agent-back",
       [&] {
         station.agent =
             std::make_unique<ChildProcess>(QX_AGENT_PATH, station.agentArgs, station.env());
       }},
      // Subscribed anew: the restarted agent's events reach the monitor.
      {"join", [&] { ASSERT_EQ(Run(station, {"join"}).exitCode, 0); }},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.event);
    step.cause();
    EXPECT_TRUE(await(step.event)) << monitor.output() << monitor.errors();
  }
  monitor.Signal(SIGINT);
  const int status = monitor.Terminate(10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // Every time is RFC 3339 with the local offset and milliseconds.
  const std::regex rfc3339(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");
  for (const Json& object : JsonLines(monitor.output())) {
    EXPECT_TRUE(std::regex_match(object.value("time", ""), rfc3339)) << object.dump();
  }
}

TEST_F(QxstationFeedback, OutputFlagsAreHonouredOrRefused) {
  const std::string source = root_ + "/files/flag.bin";
  std::ofstream(source) << "flag";
  const struct {
    std::vector<std::string> args;
    std::string flag;  // refused, named in the message; empty: accepted
  } cases[] = {
      {{"--xml", "copy", "BRAVO", source, root_ + "/flag.bin"}, "--xml"},
      {{"trace", "--json"}, "--json"},
      {{"--xml", "trace"}, "--xml"},
      {{"write-project", "--json", "--dsn", "D", "--name", "N", "--type", "T", "--full-path", "/x"},
       "--json"},
      {{"--xml", "key", "list"}, "--xml"},
      {{"--json", "key", "generate"}, "--json"},
      {{"--xml", "test-multicast", "--wait", "0.1"}, "--xml"},
      {{"--json", "key", "list"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    const ProgramResult result = Run(stations_[0], c.args);
    if (c.flag.empty()) {
      EXPECT_EQ(result.exitCode, 0) << result.err;
    } else {
      EXPECT_EQ(result.exitCode, 2) << result.out << result.err;
      EXPECT_TRUE(Contains(result.err, c.flag)) << result.err;
    }
  }
  EXPECT_FALSE(fs::exists(root_ + "/flag.bin")) << "a refused copy ran";

  // The JSON names of the README: camelCase, null for no answer.
  const Json keys = Json::parse(Run(stations_[0], {"--json", "key", "list"}).out, nullptr, false);
  ASSERT_TRUE(keys.is_array() && !keys.empty()) << keys.dump();
  EXPECT_EQ(keys[0]["inUse"], true) << keys.dump();
  EXPECT_FALSE(keys[0].contains("in_use")) << keys.dump();
  for (const char* command : {"join", "leave"}) {
    SCOPED_TRACE(command);
    const Json answer = Json::parse(Run(stations_[1], {"--json", command}).out, nullptr, false);
    ASSERT_TRUE(answer.is_object()) << answer.dump();
    EXPECT_TRUE(answer["answer"].is_null()) << answer.dump();
  }
  ASSERT_EQ(Run(stations_[1], {"join"}).exitCode, 0);
}

}  // namespace
}  // namespace qx::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  signal(SIGPIPE, SIG_IGN);
  if (!qx::testing::EnterPrivateNetwork()) {
    std::fprintf(stderr,
                 "note: no private network namespace; using 127.0.0.21-24 of this machine\n");
  }
  return RUN_ALL_TESTS();
}
