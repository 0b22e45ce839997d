// qxstation as a user runs it, against two real stations: STATION5 (127.0.0.5) and STATION6
// (127.0.0.6), each with its own registry, runtime directory and qxagent, in a network namespace
// of their own when the test may make one. The output for people, the JSON fields the README
// lists, the exit codes, the live event stream and the copy progress line on a terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
#include <set>
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

std::set<std::string> Keys(const Json& object) {
  std::set<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.insert(key);
  return keys;
}

// The program run on a pseudo-terminal: everything it wrote there, and its exit code. The
// terminal's line discipline may turn "\n" into "\r\n"; "\r" without "\n" stays as written.
struct TerminalRun {
  std::string text;
  int exitCode = -1;
};
TerminalRun RunOnTerminal(const std::vector<std::string>& args, const Environment& environment,
                          const std::function<void(pid_t, const std::string&)>& watch = nullptr) {
  std::vector<std::string> words = {QX_STATION_PATH};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
  int master = -1;
  TerminalRun run;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    execv(QX_STATION_PATH, argv.data());
    _exit(127);
  }
  if (pid < 0) return run;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  for (char buffer[4096]; std::chrono::steady_clock::now() < deadline;) {
    pollfd fd{master, POLLIN, 0};
    if (poll(&fd, 1, 100) <= 0) continue;
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the child closed the terminal
    run.text.append(buffer, static_cast<std::size_t>(n));
    if (watch) watch(pid, run.text);
  }
  close(master);
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

class QxstationCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    temp_ = std::make_unique<TempDir>("qxcli");
    ASSERT_TRUE(temp_->ok());
    root_ = temp_->path();
    fs::create_directories(root_ + "/files");
    fs::create_directories(root_ + "/empty/run");
    for (int i = 0; i < 2; ++i) {
      TestStation& station = stations_[i];
      station.name = "STATION" + std::to_string(5 + i);
      station.address = "127.0.0." + std::to_string(5 + i);
      station.dir = root_ + "/" + station.name;
      ASSERT_TRUE(MakeStationDir(station.dir));
      ASSERT_NO_FATAL_FAILURE(Set(station, "PLATFORM", "ComputerName", station.name));
      ASSERT_NO_FATAL_FAILURE(Set(station, "RPC", "ListenAddress", station.address));
      ASSERT_NO_FATAL_FAILURE(Set(station, "MULTICAST", "Port", "24795", true));
      ASSERT_NO_FATAL_FAILURE(Set(station, "SECURITY", "FileRoots", root_ + "/files"));
#ifdef QX_TEST_REMOTE_DIR
      ASSERT_NO_FATAL_FAILURE(Set(station, "SECURITY", "LibraryDirs", QX_TEST_REMOTE_DIR));
#endif
    }
    ASSERT_NO_FATAL_FAILURE(Set(stations_[0], "RPC\\HOSTS", "STATION6", "127.0.0.6"));
    for (TestStation& station : stations_) {
      station.agent =
          std::make_unique<ChildProcess>(QX_AGENT_PATH, station.agentArgs, station.env());
      ASSERT_TRUE(station.agent->WaitForLine("ready", 30s)) << station.agent->errors();
    }
    std::ofstream(root_ + "/files/plant.mcp") << "project";
    ASSERT_EQ(Run(stations_[1], {"write-project", "--dsn", "Plant", "--name", "Plant", "--type",
                                 "Multi User", "--full-path", root_ + "/files/plant.mcp", "--host",
                                 "STATION6", "--server", "STATION6"})
                  .exitCode,
              0);
    ASSERT_EQ(Run(stations_[1], {"discover", "<LeaveJoinMulticastGroup/>"}).exitCode, 0);
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string tree = Run(stations_[0], {"tree"}).out;
      if (Contains(tree, "STATION5") && Contains(tree, "Plant")) return;
      std::this_thread::sleep_for(100ms);
    }
    FAIL() << "STATION5 never saw STATION6's project:\n" << Run(stations_[0], {"tree"}).out;
  }

  static void TearDownTestSuite() {
    for (TestStation& station : stations_) station.agent.reset();
    temp_.reset();
  }

  static ProgramResult Run(const TestStation& station, const std::vector<std::string>& args) {
    return RunProgram(QX_STATION_PATH, args, station.env());
  }
  static void Set(const TestStation& station, const std::string& key, const std::string& name,
                  const std::string& value, bool dword = false) {
    const ProgramResult result = Run(station, RegistrySetArgs(key, name, value, dword));
    ASSERT_EQ(result.exitCode, 0) << result.err;
  }

  static inline std::unique_ptr<TempDir> temp_;  // root_ and all below it
  static std::string root_;
  static TestStation stations_[2];
};

std::string QxstationCli::root_;
TestStation QxstationCli::stations_[2];

TEST_F(QxstationCli, FormatsTreeHostsAndProjectsForPeople) {
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> lines;  // each must stand in the output as a whole line
  } cases[] = {
      {{"tree"},
       {"WORKGROUP", "├── STATION5  127.0.0.5", "└── STATION6  127.0.0.6",
        "    └── Plant  (no state)"}},
      {{"projects"},
       {"DSN    NAME   TYPE        STATE  HOST      SERVER",
        "Plant  Plant  Multi User  -      STATION6  STATION6"}},
      {{"projects", "--state", "run-time"}, {"DSN  NAME  TYPE  STATE  HOST  SERVER"}},
      {{"server-of", "Nope"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const ProgramResult result = Run(stations_[0], c.args);
    for (const std::string& line : c.lines) {
      // The tree's host lines carry the user after the address; compare up to there.
      const bool prefix = Contains(line, "127.0.0.");
      bool found = false;
      std::istringstream lines(result.out);
      for (std::string seen; std::getline(lines, seen);) {
        found = found || seen == line || (prefix && seen.rfind(line, 0) == 0);
      }
      EXPECT_TRUE(found) << "missing line \"" << line << "\" in\n" << result.out << result.err;
    }
  }
  // Table columns line up under their header.
  const std::string hosts = Run(stations_[0], {"hosts"}).out;
  std::istringstream lines(hosts);
  std::string header, row;
  std::getline(lines, header);
  while (std::getline(lines, row) && row.rfind("STATION6", 0) != 0) {
  }
  ASSERT_EQ(row.rfind("STATION6", 0), 0u) << hosts;
  EXPECT_EQ(header.rfind("HOST      DOMAIN     ADDRESS    USER  PROJECTS  STATE", 0), 0u) << hosts;
  for (const char* column : {"DOMAIN", "ADDRESS", "USER", "PROJECTS", "STATE", "HEARD"}) {
    const std::size_t at = header.find(column);
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(row[at], ' ') << column << "\n" << hosts;
    EXPECT_EQ(row[at - 1], ' ') << column << "\n" << hosts;
  }
  EXPECT_EQ(row.substr(header.find("PROJECTS"), 2), "1 ") << hosts;
  // STATION6 beats: alive, heard a moment ago.
  EXPECT_EQ(row.substr(header.find("STATE"), 6), "alive ") << hosts;
  EXPECT_NE(row.find(" s ago"), std::string::npos) << hosts;
}

TEST_F(QxstationCli, JsonHasTheDocumentedFields) {
  const std::set<std::string> project = {"dsn",  "name",   "type",     "state",
                                         "host", "server", "fullPath", "uncPath"};
  const std::set<std::string> host = {"name",    "domain", "address", "mask",        "user",
                                      "version", "build",  "path",    "projectCount"};
  std::set<std::string> withLiveness = host;
  withLiveness.insert({"state", "sinceHeardMs"});
  const struct {
    std::vector<std::string> args;
    Json::json_pointer at;  // the object whose fields are checked
    std::set<std::string> fields;
  } cases[] = {
      {{"tree", "--json"}, Json::json_pointer(""), {"domains"}},
      {{"tree", "--json"}, Json::json_pointer("/domains/0"), {"name", "hosts"}},
      {{"tree", "--json"},
       Json::json_pointer("/domains/0/hosts/1"),
       {"name", "address", "user", "projects"}},
      {{"tree", "--json"}, Json::json_pointer("/domains/0/hosts/1/projects/0"), project},
      {{"hosts", "--json"}, Json::json_pointer("/hosts/1"), withLiveness},
      {{"--json", "projects"}, Json::json_pointer("/projects/0"), project},
      {{"project", "Plant", "--json"}, Json::json_pointer(""), project},
      {{"host", "STATION6", "--json"},
       Json::json_pointer(""),
       {"name", "domain", "address", "mask", "user", "version", "build", "path", "projectCount",
        "projects"}},
      {{"server-of", "Plant", "--json"}, Json::json_pointer(""), {"dsn", "found", "host"}},
      {{"status", "--json"},
       Json::json_pointer(""),
       {"registry", "runtimeDir", "agent", "projectManager", "mode", "services", "multicast",
        "counts", "key", "dropped", "warnings", "liveness"}},
      {{"status", "--json"},
       Json::json_pointer("/liveness"),
       {"incarnation",
        "intervalMs",
        "heartbeatIntervalMs",
        "suspectAfterMs",
        "probeIntervalMs",
        "probeAttempts",
        "receiveBudgetBitsPerSecond",
        "maxPeers",
        "beats",
        "probesSent",
        "probeAnswers",
        "staleAnswers",
        "suspected",
        "recovered",
        "removed",
        "fetches",
        "leavesIgnored",
        "held",
        "unconfirmedDropped",
        "refused",
        "peers"}},
      {{"status", "--json"}, Json::json_pointer("/counts"), {"domains", "hosts", "projects"}},
      {{"status", "--json"},
       Json::json_pointer("/services/0"),
       {"name", "guid", "address", "port"}},
      {{"test-multicast", "--json", "--wait", "1"},
       Json::json_pointer("/answers/0"),
       {"host", "domain", "address", "user"}},
      {{"command", "--json", "--receiver", "STATION6", "<Test/>"},
       Json::json_pointer(""),
       {"hresult", "result", "answer"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " at " + c.at.to_string());
    const ProgramResult result = Run(stations_[0], c.args);
    const Json parsed = Json::parse(result.out, nullptr, /*allow_exceptions=*/false);
    ASSERT_FALSE(parsed.is_discarded()) << result.out << result.err;
    ASSERT_TRUE(parsed.contains(c.at)) << parsed.dump(2);
    EXPECT_EQ(Keys(parsed.at(c.at)), c.fields) << parsed.dump(2);
  }
  const Json status = Json::parse(Run(stations_[0], {"status", "--json"}).out);
  EXPECT_EQ(status["counts"]["hosts"], 2);
  EXPECT_EQ(status["mode"], "local");
  EXPECT_EQ(status["agent"]["running"], true);
  const Json details = Json::parse(Run(stations_[0], {"project", "--json", "Plant"}).out);
  EXPECT_EQ(details["host"], "STATION6");
}

TEST_F(QxstationCli, ExitCodesAndErrorLines) {
  const std::string empty = root_ + "/empty";
  const TestStation none{"NONE", "", empty, nullptr, {}};
  const struct {
    const TestStation* at;
    std::vector<std::string> args;
    int exitCode;
    std::string err;  // a part of the one error line
  } cases[] = {
      {&stations_[0], {"tree"}, 0, ""},
      {&stations_[0], {"status"}, 0, ""},
      {&stations_[0], {"server-of", "Nope"}, 1, "no station serves Nope"},
      {&stations_[0], {"project", "Nope"}, 1, "knows no project Nope"},
      {&stations_[0], {"projects", "--state", "bogus"}, 2, "run-time"},
      {&stations_[0], {"--json", "--xml", "tree"}, 2, "excludes"},
      {&stations_[0], {"host", "NOSUCH"}, 3, "unknown station NOSUCH"},
      // The tree knows STATION5's address; the advice names it.
      {&stations_[1], {"host", "STATION5"}, 3, "STATION5 127.0.0.5"},
      {&stations_[0], {"host", "127.0.0.9"}, 3, "does not answer"},
      {&stations_[0], {"copy", "STATION6", "/etc/hostname", root_ + "/x"}, 1, "FileRoots"},
      {&stations_[0], {"copy", "STATION6", root_ + "/files/none", root_ + "/x"}, 1, "cannot open"},
      {&none,
       {"tree"},
       3,
       "no station runs at " + empty + "; start one with scripts/run-station --dir " + empty},
      {&none, {"status"}, 3, "no station runs at"},
      {&none, {"monitor", "--count", "1"}, 3, "no station runs at"},
      {&none, {"discover", "<GetTreeContent/>"}, 3, "no station runs at"},
      {&none,
       {"--station", root_ + "/nowhere", "tree"},
       3,
       "no station runs at " + root_ + "/nowhere"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const ProgramResult result = Run(*c.at, c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
    EXPECT_TRUE(Contains(result.err, c.err)) << result.err;
    EXPECT_FALSE(Contains(result.err, "0x8")) << "a bare HRESULT: " << result.err;
  }
  // --station points a process with no station variables at STATION5.
  const ProgramResult viaFlag =
      RunProgram(QX_STATION_PATH, {"--station", stations_[0].dir, "status", "--json"},
                 {{"QX_REGISTRY", empty + "/registry.db"}, {"QX_RUNTIME_DIR", empty + "/run"}});
  EXPECT_EQ(viaFlag.exitCode, 0) << viaFlag.err;
  EXPECT_TRUE(Contains(viaFlag.out, stations_[0].dir + "/run")) << viaFlag.out;
}

TEST_F(QxstationCli, MonitorStreamsTheGroupsEvents) {
  ChildProcess monitor(QX_STATION_PATH, {"monitor", "--count", "2", "--for", "30"},
                       stations_[0].env());
  const auto watching = [&] { return Contains(monitor.errors(), "watching"); };
  for (int i = 0; i < 200 && !watching(); ++i) std::this_thread::sleep_for(25ms);
  ASSERT_TRUE(watching()) << monitor.errors();
  ASSERT_EQ(Run(stations_[1], {"leave"}).exitCode, 0);
  ASSERT_EQ(Run(stations_[1], {"join"}).exitCode, 0);
  monitor.WaitForLine("(read to the end)", 30s);
  const int status = monitor.Terminate(1s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::regex line(
      R"(\d\d:\d\d:\d\d\.\d\d\d  (leave|join) +STATION6 \(WORKGROUP, 127\.0\.0\.6.*\))");
  std::istringstream lines(monitor.output());
  int matched = 0;
  for (std::string seen; std::getline(lines, seen);) matched += std::regex_match(seen, line);
  EXPECT_EQ(matched, 2) << monitor.output();

  // Ctrl-C ends an unbounded monitor with 0.
  ChildProcess endless(QX_STATION_PATH, {"monitor", "--json"}, stations_[0].env());
  for (int i = 0; i < 200 && !Contains(endless.errors(), "watching"); ++i) {
    std::this_thread::sleep_for(25ms);
  }
  endless.Signal(SIGINT);
  const int ended = endless.Terminate(10s);
  EXPECT_TRUE(WIFEXITED(ended) && WEXITSTATUS(ended) == 0) << ended;
}

TEST_F(QxstationCli, CopyShowsProgressOnATerminalAndCtrlCLeavesTheDestination) {
  const std::string source = root_ + "/files/big.bin";
  std::ofstream(source, std::ios::binary) << std::string(3 << 20, 'x');
  const std::string destination = root_ + "/copy.bin";
  const std::regex final(R"( +3,145,728 100% +\d+\.\d\d[kMG]B/s +\d+:\d\d:\d\d)");

  // Not a terminal: one plain final line, no carriage return.
  const ProgramResult plain =
      Run(stations_[0], {"copy", "STATION6", source, destination, "--buffer", "65536"});
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  EXPECT_FALSE(Contains(plain.err, "\r")) << plain.err;
  EXPECT_TRUE(std::regex_match(plain.err.substr(0, plain.err.find('\n')), final)) << plain.err;

  // A terminal: the line is redrawn in place and ends with the final one.
  TerminalRun shown = RunOnTerminal({"copy", "STATION6", source, destination, "--buffer", "4096"},
                                    stations_[0].env());
  EXPECT_EQ(shown.exitCode, 0) << shown.text;
  const std::size_t lastRedraw = shown.text.rfind('\r', shown.text.find("100%"));
  ASSERT_NE(lastRedraw, std::string::npos) << shown.text;
  const std::string last = shown.text.substr(
      lastRedraw + 1, shown.text.find_first_of("\r\n", lastRedraw + 1) - lastRedraw - 1);
  EXPECT_TRUE(std::regex_match(last, final)) << shown.text;
  EXPECT_TRUE(std::regex_search(shown.text, std::regex(R"(\r +[0-9,]+ +\d{1,2}% )"))) << shown.text;

  // Ctrl-C during a slow copy: the break, and the destination as it was.
  std::ofstream(destination, std::ios::binary | std::ios::trunc) << "old";
  bool sent = false;
  const TerminalRun broken =
      RunOnTerminal({"copy", "STATION6", source, destination, "--buffer", "16"}, stations_[0].env(),
                    [&](pid_t pid, const std::string& text) {
                      if (!sent && Contains(text, "%")) sent = kill(pid, SIGINT) == 0;
                    });
  EXPECT_TRUE(sent);
  EXPECT_EQ(broken.exitCode, 1) << broken.text;
  EXPECT_TRUE(Contains(broken.text, "broken off")) << broken.text;
  std::ifstream kept(destination, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "old");
}

// An operator: uid 65534 in the group kOperatorGroup only, which stands for qxadmin here
// (the group of the station's directory and sockets). Someone else: not in that group.
constexpr unsigned kOperatorUid = 65534;
constexpr unsigned kOperatorGroup = 54321;
constexpr unsigned kOutsiderGroup = 65534;

ProgramResult RunAs(unsigned gid, const TestStation& station,
                    const std::vector<std::string>& args) {
  std::vector<std::string> words = {"--reuid=" + std::to_string(kOperatorUid),
                                    "--regid=" + std::to_string(gid), "--clear-groups",
                                    QX_STATION_PATH};
  words.insert(words.end(), args.begin(), args.end());
  return RunProgram("/usr/bin/setpriv", words, station.env());
}

// Gives the station's directory, registry and sockets to the operators' group, as the group
// qxadmin holds them on a machine; the key ring stays root's alone.
void OpenToOperators(const std::string& root, const TestStation& station) {
  ASSERT_EQ(::chmod(root.c_str(), 0711), 0);
  ASSERT_EQ(::chown(station.dir.c_str(), 0, kOperatorGroup), 0);
  ASSERT_EQ(::chmod(station.dir.c_str(), 0770), 0);
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(station.dir)) {
    const std::string path = entry.path().string();
    if (entry.path().filename() == "cluster.keys") continue;
    ASSERT_EQ(::lchown(path.c_str(), 0, kOperatorGroup), 0) << path;
    if (!entry.is_socket()) {
      fs::permissions(path, fs::perms::group_read | fs::perms::group_write, fs::perm_options::add);
      if (entry.is_directory()) {
        fs::permissions(path, fs::perms::group_exec, fs::perm_options::add);
      }
    }
  }
}

// What the agent's relay answers to one request (its status byte), or -1 when it answers none.
int RelayStatusFor(const std::string& socketPath, const std::string& request) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
  const timeval wait{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  unsigned char status = 0;
  const bool answered =
      connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size()) &&
      recv(fd, &status, 1, 0) == 1;
  close(fd);
  return answered ? status : -1;
}

// A relay request: magic, version, a zero byte, the port and the IPv4 address (little-endian).
std::string RelayRequest(unsigned port, unsigned a, unsigned b, unsigned c, unsigned d) {
  std::string request = "QXRL";
  request += '\x01';
  request += '\0';
  request += static_cast<char>(port & 0xFF);
  request += static_cast<char>(port >> 8);
  for (unsigned byte : {d, c, b, a}) request += static_cast<char>(byte);
  return request;
}

// The agent's relay opens connections only to the RPC services of its settings.
TEST_F(QxstationCli, TheRelayCarriesOnlyRequestsForTheRpcServices) {
  const std::string socketPath = stations_[0].dir + "/run/rpcrelay.sock";
  const struct {
    const char* name;
    std::string request;
    int status;  // 0 connected, 1 unreachable, 3 not allowed
  } cases[] = {
      {"the project manager service of STATION6", RelayRequest(24782, 127, 0, 0, 6), 0},
      {"the discovery service of STATION6", RelayRequest(24781, 127, 0, 0, 6), 0},
      {"a service port where nobody listens", RelayRequest(24782, 127, 0, 0, 9), 1},
      {"another port", RelayRequest(22, 127, 0, 0, 6), 3},
      {"a multicast address", RelayRequest(24782, 239, 255, 47, 81), 3},
      {"not a relay request", std::string("GET / HTTP/1.0\r\n\r\n"), 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RelayStatusFor(socketPath, c.request), c.status);
  }
}

// An operator calls other stations through the agent, which holds the key: the key ring stays
// unreadable to them. Someone outside the group is told how to join it.
TEST_F(QxstationCli, OperatorsCallOtherStationsThroughTheAgentWithoutTheKey) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run programs as another user";
  const TestStation& station = stations_[0];
  ASSERT_NO_FATAL_FAILURE(OpenToOperators(root_, station));
  const std::string ring = station.dir + "/cluster.keys";
  struct stat info {};
  ASSERT_EQ(::stat(ring.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_uid, 0u);
  const std::string operatorDir = root_ + "/operator";
  fs::create_directories(operatorDir);
  ASSERT_EQ(::chown(operatorDir.c_str(), kOperatorUid, kOperatorGroup), 0);
  std::ofstream(root_ + "/files/for-operator.bin") << std::string(200000, 'q');

  const struct {
    std::vector<std::string> args;
    const char* out;  // a part of the output
  } cases[] = {
      {{"host", "STATION6"}, "127.0.0.6"},
      {{"command", "--receiver", "STATION6", "<Test/>"}, "Test Answered"},
      {{"copy", "STATION6", root_ + "/files/for-operator.bin", operatorDir + "/copy.bin"}, ""},
      // Kept connections and pipelined requests of one process go the same way.
      {{"hosts"}, "STATION6"},
#ifdef QX_TEST_REMOTE_DIR
      {{"call", "STATION6", "qxtestremote", "Echo", "from an operator"}, "from an operator"},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    const ProgramResult result = RunAs(kOperatorGroup, station, c.args);
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, c.out)) << result.out;
  }
  EXPECT_EQ(fs::file_size(operatorDir + "/copy.bin"), 200000u);
  const ProgramResult peek =
      RunProgram("/usr/bin/setpriv",
                 {"--reuid=" + std::to_string(kOperatorUid),
                  "--regid=" + std::to_string(kOperatorGroup), "--clear-groups", "/bin/cat", ring},
                 station.env());
  EXPECT_NE(peek.exitCode, 0) << "an operator read the key ring";
  const ProgramResult keys = RunAs(kOperatorGroup, station, {"key", "list"});
  EXPECT_EQ(keys.exitCode, 1);
  EXPECT_TRUE(Contains(keys.err, "only root")) << keys.err;

  // Without the relay the operator has no way to the other station; root still has its own.
  ASSERT_EQ(::unlink((station.dir + "/run/rpcrelay.sock").c_str()), 0);
  const std::vector<std::string> test = {"command", "--receiver", "STATION6", "<Test/>"};
  EXPECT_NE(RunAs(kOperatorGroup, station, test).exitCode, 0);
  EXPECT_EQ(Run(station, test).exitCode, 0);

  for (const char* command : {"tree", "status"}) {
    SCOPED_TRACE(command);
    const ProgramResult outsider = RunAs(kOutsiderGroup, station, {command});
    EXPECT_EQ(outsider.exitCode, 3) << outsider.out << outsider.err;
    EXPECT_TRUE(Contains(outsider.err, "permission denied")) << outsider.err;
    EXPECT_TRUE(Contains(outsider.err, "adduser")) << outsider.err;
  }
}

}  // namespace
}  // namespace qx::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  signal(SIGPIPE, SIG_IGN);
  if (!qx::testing::EnterPrivateNetwork()) {
    std::fprintf(stderr, "note: no private network namespace; using 127.0.0.5-6 of this machine\n");
  }
  return RUN_ALL_TESTS();
}
