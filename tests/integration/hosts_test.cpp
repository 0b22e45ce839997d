// The host programs on their own: qxstation's parsing and request texts, and qxagent and
// qxstation run as processes against registries and runtime directories of the test.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "agent_options.h"
#include "arguments.h"
#include "cli.h"
#include "common/text.h"
#include "copy_progress.h"
#include "multicast_host.h"
#include "registry/store/registry_store.h"
#include "requests.h"
#include "support/station_process.h"
#include "support/temp_dir.h"

namespace qx::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kRpc = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\RPC";
constexpr const char* kDiscoveryGuid = "E5C46732-E547-4867-9100-B99D57B8B2EC";
constexpr const char* kProjectManagerGuid = "D41CAB86-77B0-4081-8404-E75568C24F98";

TEST(CommandLine, SplitsPositionalsOptionsAndFlags) {
  struct Case {
    const char* name;
    std::vector<std::string> words;
    bool ok;
    std::vector<std::string> positionals;
    std::optional<std::string> receiver;
    bool dword;
  };
  const Case cases[] = {
      {"plain", {"command", "<a/>"}, true, {"<a/>"}, std::nullopt, false},
      {"value after", {"command", "--receiver", "B", "x"}, true, {"x"}, "B", false},
      {"value joined", {"command", "x", "--receiver=B=C"}, true, {"x"}, "B=C", false},
      {"last value wins",
       {"command", "--receiver", "B", "--receiver", "C", "x"},
       true,
       {"x"},
       "C",
       false},
      {"flag",
       {"registry", "set", "K", "N", "V", "--dword"},
       true,
       {"set", "K", "N", "V"},
       std::nullopt,
       true},
      {"double dash ends options",
       {"registry", "set", "--", "K", "--dword", "-x"},
       true,
       {"set", "K", "--dword", "-x"},
       std::nullopt,
       false},
      {"single dash is a positional", {"command", "-"}, true, {"-"}, std::nullopt, false},
      {"missing value", {"command", "x", "--receiver"}, false, {}, std::nullopt, false},
      {"unknown option", {"command", "--nope", "x"}, false, {}, std::nullopt, false},
      {"one positional too many", {"command", "x", "y"}, false, {}, std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int code = -1;
    const auto call = qxstation::ParseCommandLine(c.words, stdout, stderr, &code);
    ASSERT_EQ(call.has_value(), c.ok);
    if (!call) {
      EXPECT_EQ(code, 2);
      continue;
    }
    EXPECT_EQ(call->command, c.words[0]);
    EXPECT_EQ(call->words, c.positionals);
    EXPECT_EQ(call->receiver, c.receiver);
    EXPECT_EQ(call->dword, c.dword);
  }
}

TEST(CommandLine, NumbersMustBeWholeAndInRange) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> value;
  };
  const Case cases[] = {{"65536", 65536},
                        {"1", 1},
                        {"0", std::nullopt},
                        {"-5", std::nullopt},
                        {"+5", std::nullopt},
                        {"12x", std::nullopt},
                        {"", std::nullopt},
                        {"1000001", std::nullopt},
                        {"99999999999999999999", std::nullopt}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(qxstation::ParseNumber(c.text, 1, 1000000), c.value);
  }
}

TEST(Requests, ReceiverReplacesAnyOtherAndLeadsTheCommand) {
  struct Case {
    const char* command;
    std::optional<std::string> result;
  };
  const Case cases[] = {
      {"<Test/>", "<Test><Receiver>B&amp;C</Receiver></Test>"},
      {"<Test><receiver>X</receiver><A>1</A><RECEIVER/></Test>",
       "<Test><Receiver>B&amp;C</Receiver><A>1</A></Test>"},
      {"<Test><HOST>X</HOST></Test>", "<Test><Receiver>B&amp;C</Receiver><HOST>X</HOST></Test>"},
      {"not xml", std::nullopt},
      {"<A></B>", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(qxstation::WithReceiver(c.command, "B&C"), c.result);
  }
}

TEST(Requests, TextsFromTheCommandLineAreEscaped) {
  EXPECT_EQ(qxstation::RemoteCallRequest("B", "lib", "F", "<A>x</A>"),
            "<REMOTECALL><Receiver>B</Receiver><DLL>lib</DLL><FUNCTION>F</FUNCTION>"
            "<PARAM><A>x</A></PARAM></REMOTECALL>");
  EXPECT_EQ(qxstation::RemoteCallRequest("B", "lib", "F", "a < b & c"),
            "<REMOTECALL><Receiver>B</Receiver><DLL>lib</DLL><FUNCTION>F</FUNCTION>"
            "<PARAM>a &lt; b &amp; c</PARAM></REMOTECALL>");
  EXPECT_EQ(qxstation::RemoteCallRequest("B", "lib", "F", std::nullopt),
            "<REMOTECALL><Receiver>B</Receiver><DLL>lib</DLL><FUNCTION>F</FUNCTION>"
            "</REMOTECALL>");
  EXPECT_EQ(qxstation::CopyRequest("B", "/p/R&D.mcp", "/tmp/<x>", 4096),
            "<RemoteCopyFile><HOST>B</HOST><SOURCE>/p/R&amp;D.mcp</SOURCE>"
            "<DESTINATION>/tmp/&lt;x&gt;</DESTINATION><BUFFER>4096</BUFFER></RemoteCopyFile>");
  EXPECT_EQ(qxstation::ProjectDetailsRequest("B", "A&B"),
            "<GetProjectDetails><Receiver>B</Receiver><DSN>A&amp;B</DSN></GetProjectDetails>");
}

TEST(CopyProgress, LinesReadLikeRsync) {
  struct Case {
    std::uint64_t bytes;
    std::optional<std::uint64_t> total;
    double seconds;
    bool done;
    const char* line;
  };
  const Case cases[] = {
      {12345678, 27434840, 1.15, false, "   12,345,678  45%   10.24MB/s    0:00:01"},
      {0, 1000, 0.0, false, "            0   0%    0.00kB/s    0:00:00"},
      {5000, std::nullopt, 2.0, false, "        5,000   ?%    2.44kB/s    0:00:02"},
      {100000, 100000, 65.0, true, "      100,000 100%    1.50kB/s    0:01:05"},
      {3LL << 30, std::nullopt, 1.0, true, "3,221,225,472 100%    3.00GB/s    0:00:01"},
      // Bytes beyond a stale total never show more than 99% before the end.
      {2000, 1000, 1.0, false, "        2,000  99%    1.95kB/s    0:00:00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(qxstation::ProgressLine(c.bytes, c.total, c.seconds, c.done), c.line);
  }
}

// Each copy of an announcement names the address of the interface it leaves by, unless the
// address chosen for the station lies on that interface already.
TEST(AgentAnnouncements, EachInterfaceAnnouncesItsOwnAddress) {
  qx::InterfaceInfo by;
  by.name = "eth1";
  by.address = 0x0A020001;  // 10.2.0.1
  by.mask = 0xFFFF0000;
  const auto join = [](const std::string& event, const std::string& ip) {
    return "<QXDISCOVER><EVENT>" + event + "</EVENT><Host>H</Host><IP>" + ip +
           "</IP><IP_Mask>255.0.0.0</IP_Mask></QXDISCOVER>";
  };
  const struct {
    std::string text;
    std::string ip;  // expected IP afterwards; empty: the text is left as it was
  } cases[] = {
      {join("JOIN", "10.1.0.5"), "10.2.0.1"},
      {join("update", "10.1.0.5"), "10.2.0.1"},
      {join("LEAVE", "192.168.1.2"), "10.2.0.1"},
      {join("JOIN", "10.2.7.7"), ""},  // on this interface: what SetStationData chose stays
      {"<ReplyTestMulticast><EVENT>TEST</EVENT><IP>10.1.0.5</IP><IP_Mask>255.0.0.0</IP_Mask>"
       "</ReplyTestMulticast>",
       "10.2.0.1"},
      {join("RemoveFromProjectList", "10.1.0.5"), ""},
      {"<PM_MULTICAST><IP>10.1.0.5</IP></PM_MULTICAST>", ""},
      {"<QXDISCOVER><IP>10.1", ""},  // not XML
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string out = qxagent::RewriteForInterface(c.text, by);
    if (c.ip.empty()) {
      EXPECT_EQ(out, c.text);
      continue;
    }
    EXPECT_NE(out.find("<IP>" + c.ip + "</IP>"), std::string::npos) << out;
    EXPECT_NE(out.find("<IP_Mask>255.255.0.0</IP_Mask>"), std::string::npos) << out;
  }
}

TEST(AgentOptions, Table) {
  struct Case {
    std::vector<const char*> argv;
    bool ok;
    bool help;
    bool projectManager;
  };
  const Case cases[] = {
      {{"qxagent"}, true, false, true},
      {{"qxagent", "--foreground"}, true, false, true},
      {{"qxagent", "--no-project-manager-service"}, true, false, false},
      {{"qxagent", "--help"}, true, true, true},
      {{"qxagent", "--daemon"}, false, false, true},
      {{"qxagent", "extra"}, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv.back());
    qxagent::AgentOptions options;
    std::string error;
    ASSERT_EQ(qxagent::ParseAgentOptions(static_cast<int>(c.argv.size()), c.argv.data(), &options,
                                         &error),
              c.ok);
    if (!c.ok) {
      EXPECT_NE(error.find(c.argv.back()), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(options.help, c.help);
    EXPECT_EQ(options.projectManagerService, c.projectManager);
  }
}

// A station directory of a test: registry and runtime directory, removed at the end.
class StationDir : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.ok());
    temp_.Make("run");
  }
  Environment env() const {
    return {{"QX_REGISTRY", dir_ + "/registry.db"}, {"QX_RUNTIME_DIR", dir_ + "/run"}};
  }
  ProgramResult Station(const std::vector<std::string>& args) const {
    return RunProgram(QX_STATION_PATH, args, env());
  }

  TempDir temp_{"qxhosts"};
  const std::string& dir_ = temp_.path();
};

TEST_F(StationDir, QxstationExitCodes) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
  };
  const Case cases[] = {
      {{}, 2},
      {{"--help"}, 0},
      {{"nosuch"}, 2},
      {{"hosts"}, 3},
      {{"hosts", "--help"}, 0},
      {{"hosts", "A", "B"}, 2},
      {{"copy", "B", "/x", "/y", "--buffer", "0"}, 2},
      {{"copy", "B", "/x", "/y", "--buffer", "-5"}, 2},
      {{"command", "--receiver", "B", "not xml"}, 2},
      {{"registry", "frob", "X"}, 2},
      {{"registry", "get", "HKEY_LOCAL_MACHINE\\NOSUCH", "V"}, 1},
      {{"write-project", "--dsn", "D"}, 2},
      {{"trace", "extra"}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? std::string("(none)") : c.args[0]);
    const ProgramResult result = Station(c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
    if (c.exitCode == 0) {
      EXPECT_NE(result.out.find("Usage: qxstation"), std::string::npos);
    }
  }
}

TEST_F(StationDir, QxstationRegistryRoundTrip) {
  const std::string key = std::string(kRpc) + "\\HOSTS";
  ASSERT_EQ(Station({"registry", "set", key, "STATIONB", "127.0.0.3"}).exitCode, 0);
  ASSERT_EQ(Station({"registry", "set", kRpc, "CallTimeoutMs", "4000", "--dword"}).exitCode, 0);
  EXPECT_EQ(Station({"registry", "set", kRpc, "Bad", "12x", "--dword"}).exitCode, 1);

  ProgramResult got = Station({"registry", "get", key, "stationb"});
  EXPECT_EQ(got.exitCode, 0) << got.err;
  EXPECT_EQ(got.out, "127.0.0.3\n");
  got = Station({"registry", "get", kRpc, "CallTimeoutMs"});
  EXPECT_EQ(got.out, "4000\n");
  EXPECT_EQ(Station({"registry", "get", kRpc, "Missing"}).exitCode, 1);

  const ProgramResult listed = Station({"registry", "list", kRpc});
  EXPECT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_EQ(listed.out, "[HOSTS]\nCallTimeoutMs (REG_DWORD) = 4000\n");
}

TEST_F(StationDir, WriteProjectKeepsMarkupInValuesAndReplacesTheSameFile) {
  const std::string list = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\STORAGE\\PROJECTLIST";
  const std::string path = dir_ + "/R&D <plant>.mcp";
  ASSERT_EQ(Station({"write-project", "--dsn", "Plant", "--name", "Plant", "--type", "Multi User",
                     "--full-path", path})
                .exitCode,
            0);
  ProgramResult got = Station({"registry", "get", list + "\\Plant", "FullPath"});
  EXPECT_EQ(got.out, path + "\n") << got.err;

  ASSERT_EQ(Station({"write-project", "--dsn", "Plant2", "--name", "Plant", "--type", "Multi User",
                     "--full-path", path})
                .exitCode,
            0);
  EXPECT_EQ(Station({"registry", "list", list}).out, "[Plant2]\n");
}

TEST_F(StationDir, TraceReadsTheDebugOutputOfTheStation) {
  ChildProcess trace(QX_STATION_PATH, {"trace", "--tree"}, env());
  ASSERT_TRUE(trace.started());
  const std::string debugSocket = dir_ + "/run/debug.sock";
  const std::string marker = dir_ + "/run/tracetree.sock";
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!(fs::exists(debugSocket) && fs::exists(marker)) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(fs::exists(debugSocket) && fs::exists(marker)) << trace.errors();

  // A second reader is refused while the first holds the socket.
  EXPECT_EQ(Station({"trace"}).exitCode, 1);

  // Loading the module writes its attach line to the debug output.
  Station({"registry", "list", kRpc});
  trace.WaitForLine("", 0ms);
  const auto seen = std::chrono::steady_clock::now() + 10s;
  while (trace.output().find("DLL_PROCESS_ATTACH") == std::string::npos &&
         std::chrono::steady_clock::now() < seen) {
    trace.WaitForLine("never", 100ms);
  }
  EXPECT_NE(trace.output().find("DLL_PROCESS_ATTACH"), std::string::npos) << trace.output();

  trace.Signal(SIGINT);
  const int status = trace.Terminate(5s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(fs::exists(debugSocket));
  EXPECT_FALSE(fs::exists(marker));
}

// A free TCP port of 127.0.0.1, held by the returned socket until it is closed.
int HoldPort(std::uint16_t* port, bool listening) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      (listening && listen(fd, 1) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

TEST_F(StationDir, AgentSaysWhichPortIsTaken) {
  std::uint16_t taken = 0;
  std::uint16_t free = 0;
  const int holder = HoldPort(&taken, true);
  const int probe = HoldPort(&free, false);
  ASSERT_GE(holder, 0);
  ASSERT_GE(probe, 0);
  close(probe);
  const std::string ports = std::string(kRpc) + "\\PORTS";
  ASSERT_EQ(Station({"registry", "set", kRpc, "ListenAddress", "127.0.0.1"}).exitCode, 0);
  ASSERT_EQ(
      Station({"registry", "set", ports, kDiscoveryGuid, std::to_string(free), "--dword"}).exitCode,
      0);
  ASSERT_EQ(
      Station({"registry", "set", ports, kProjectManagerGuid, std::to_string(taken), "--dword"})
          .exitCode,
      0);

  const ProgramResult result = RunProgram(QX_AGENT_PATH, {}, env(), 30s);
  close(holder);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.err.find("port " + std::to_string(taken) + " on 127.0.0.1 is taken"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.out.find("ready"), std::string::npos);
}

// A registry that cannot be read stops the agent before it serves anything: an empty file, text,
// and a registry with a damaged page in the middle.
TEST_F(StationDir, AgentNamesARegistryItCannotOpen) {
  const std::string text = dir_ + "/not-a-registry.db";
  std::ofstream(text) << "this file is not a registry database, it only holds text";
  const std::string empty = dir_ + "/empty.db";
  std::ofstream(empty).flush();
  const std::string damaged = dir_ + "/damaged.db";
  {
    auto store = qx::OpenSqliteRegistry(damaged);
    qx::KeyId key = 0;
    for (int i = 0; i < 300; ++i) {
      ASSERT_EQ(store->CreateKey(3, qx::Format("KEY%03d", i), &key), qx::RegStatus::kOk);
      store->SetValue(key, "Value", qx::RegValue::String(std::string(100, 'v')));
    }
  }
  {
    std::fstream file(damaged, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(fs::file_size(damaged) / 2 / 4096 * 4096));
    file << std::string(512, '\xA5');
  }
  for (const std::string& bad : {text, empty, damaged}) {
    SCOPED_TRACE(bad);
    Environment environment = env();
    environment["QX_REGISTRY"] = bad;
    const ProgramResult result = RunProgram(QX_AGENT_PATH, {}, environment, 30s);
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_NE(result.err.find(bad), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("ready"), std::string::npos);
  }
}

// The agent listens beyond loopback only with a key installed on purpose, and never on a
// damaged key ring; it says what to do and serves nothing.
TEST_F(StationDir, AgentRefusesTheNetworkWithoutAnInstalledKey) {
  const std::string ring = dir_ + "/cluster.keys";
  ASSERT_EQ(Station({"registry", "set", kRpc, "ListenAddress", "192.0.2.7"}).exitCode, 0);
  const struct {
    const char* name;
    std::string ring;  // the file's text; empty: the agent makes the ring itself
    const char* said;
  } cases[] = {
      {"a key made here", "", "qxstation key install"},
      {"a damaged ring", "key 1 generated nothing\n", "cluster.keys"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(ring);
    if (!c.ring.empty()) std::ofstream(ring) << c.ring;
    const ProgramResult result = RunProgram(QX_AGENT_PATH, {}, env(), 30s);
    EXPECT_EQ(result.exitCode, 5);
    EXPECT_NE(result.err.find(c.said), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("ready"), std::string::npos);
  }
  // The damaged ring was left as it was, not replaced by a new one.
  EXPECT_EQ(fs::file_size(ring), std::string("key 1 generated nothing\n").size());
}

TEST_F(StationDir, AgentRunsUntilSigterm) {
  std::uint16_t discovery = 0;
  std::uint16_t manager = 0;
  const int first = HoldPort(&discovery, false);
  const int second = HoldPort(&manager, false);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  close(first);
  close(second);
  const std::string ports = std::string(kRpc) + "\\PORTS";
  ASSERT_EQ(Station({"registry", "set", kRpc, "ListenAddress", "127.0.0.1"}).exitCode, 0);
  ASSERT_EQ(
      Station({"registry", "set", ports, kDiscoveryGuid, std::to_string(discovery), "--dword"})
          .exitCode,
      0);
  ASSERT_EQ(
      Station({"registry", "set", ports, kProjectManagerGuid, std::to_string(manager), "--dword"})
          .exitCode,
      0);

  ChildProcess agent(QX_AGENT_PATH, {"--no-project-manager-service"}, env());
  ASSERT_TRUE(agent.WaitForLine("ready", 30s)) << agent.output() << agent.errors();
  EXPECT_NE(agent.output().find("service discovery 127.0.0.1:" + std::to_string(discovery)),
            std::string::npos);
  EXPECT_EQ(agent.output().find("project-manager"), std::string::npos);
  const int status = agent.Terminate(10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << agent.errors();
}

}  // namespace
}  // namespace qx::testing
