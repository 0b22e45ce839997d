// The agent's metrics as a reader outside it gets them: FetchStationMetrics and `qxstation
// metrics` against a real agent (ALPHA, 127.0.0.31), the text parsed by the Prometheus client
// library's own parser, the textfile written whole, and the counters moving with what the
// station takes in: dropped datagrams of each kind, RPC requests, refused peers, copied bytes.
// In a network namespace of its own when the test may make one.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/station_metrics.h"
#include "keys/cluster_keys.h"
#include "messaging/datagram_seal.h"
#include "messaging/multicast_fragments.h"
#include "support/station_process.h"
#include "support/temp_dir.h"

namespace qx::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kAddress = "127.0.0.31";
constexpr std::uint16_t kMulticastPort = 24806;
constexpr std::uint16_t kDiscoveryPort = 24781;  // the RPC server of the agent
// Another key than the cluster's: 32 bytes of its own.
constexpr const char* kForeignKey = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVpbXF1eX2A=";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// "name{labels} value" lines (comments left out) by their name and labels.
std::map<std::string, double> Samples(const std::string& text) {
  std::map<std::string, double> samples;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t space = line.rfind(' ');
    if (space == std::string::npos) continue;
    samples[line.substr(0, space)] = std::strtod(line.c_str() + space + 1, nullptr);
  }
  return samples;
}

class StationMetrics : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    temp_ = std::make_unique<TempDir>("qxmetrics");
    ASSERT_TRUE(temp_->ok());
    root_ = temp_->path();
    fs::create_directories(root_ + "/files");
    fs::create_directories(root_ + "/empty/run");
    station_.name = "ALPHA";
    station_.address = kAddress;
    station_.dir = root_ + "/ALPHA";
    ASSERT_TRUE(MakeStationDir(station_.dir));
    ASSERT_NO_FATAL_FAILURE(Set("PLATFORM", "ComputerName", "ALPHA"));
    ASSERT_NO_FATAL_FAILURE(Set("RPC", "ListenAddress", kAddress));
    ASSERT_NO_FATAL_FAILURE(Set("MULTICAST", "Port", std::to_string(kMulticastPort), true));
    ASSERT_NO_FATAL_FAILURE(Set("SECURITY", "FileRoots", root_ + "/files"));
    station_.agent =
        std::make_unique<ChildProcess>(QX_AGENT_PATH, station_.agentArgs, station_.env());
    ASSERT_TRUE(station_.agent->WaitForLine("ready", 30s)) << station_.agent->errors();
    // FetchStationMetrics of this process asks the agent of the station's runtime directory.
    for (const auto& [name, value] : station_.env()) ::setenv(name.c_str(), value.c_str(), 1);
  }

  static void TearDownTestSuite() {
    station_.agent.reset();
    temp_.reset();
  }

  static ProgramResult Run(const std::vector<std::string>& args,
                           const Environment& environment = station_.env()) {
    return RunProgram(QX_STATION_PATH, args, environment);
  }
  static void Set(const std::string& key, const std::string& name, const std::string& value,
                  bool dword = false) {
    const ProgramResult result = Run(RegistrySetArgs(key, name, value, dword));
    ASSERT_EQ(result.exitCode, 0) << result.err;
  }

  static std::map<std::string, double> Scrape() {
    std::string text;
    EXPECT_EQ(FetchStationMetrics(&text), S_OK);
    return Samples(text);
  }

  // Parses the file with the Prometheus client's parser; its samples, or a failure.
  static void ParseWithPrometheus(const std::string& file, std::map<std::string, double>* read) {
    const ProgramResult parsed =
        RunProgram("/usr/bin/python3",
                   {std::string(QX_TEST_SCRIPTS) + "/parse_metrics.py", file,
                    "qxremote_datagrams_received_total", "qxremote_datagrams_dropped_total",
                    "qxremote_rpc_requests_total", "qxremote_rpc_handler_queue_depth",
                    "qxremote_cluster_key_info", "qxremote_agent_uptime_seconds",
                    "qxremote_agent_resident_memory_bytes", "qxremote_agent_open_fds"},
                   {});
    ASSERT_EQ(parsed.exitCode, 0) << parsed.err;
    *read = Samples(parsed.out);
  }

  static inline std::unique_ptr<TempDir> temp_;
  static inline std::string root_;
  static inline TestStation station_;
};

TEST_F(StationMetrics, TheAgentAnswersWithTextAPrometheusParserReads) {
  std::string text;
  ASSERT_EQ(FetchStationMetrics(&text), S_OK);
  const std::string file = root_ + "/fetched.prom";
  std::ofstream(file, std::ios::binary) << text;
  std::map<std::string, double> read;
  ASSERT_NO_FATAL_FAILURE(ParseWithPrometheus(file, &read));
  EXPECT_EQ(read[std::string("qxremote_cluster_key_info{key_id=\"") + kTestClusterKeyId + "\"}"],
            1.0);
  EXPECT_GT(read["qxremote_agent_resident_memory_bytes{}"], 1e6);
  EXPECT_GE(read["qxremote_agent_open_fds{}"], 3.0);
  EXPECT_GE(read["qxremote_agent_uptime_seconds{}"], 0.0);
  EXPECT_LT(read["qxremote_agent_uptime_seconds{}"], 600.0);
  EXPECT_EQ(read["qxremote_rpc_handler_queue_depth{}"], 0.0);
}

TEST_F(StationMetrics, QxstationPrintsItOrWritesItWhole) {
  const std::string prom = root_ + "/textfile/qxremote.prom";
  fs::create_directories(root_ + "/textfile");
  std::ofstream(prom) << "old\n";
  const struct {
    const char* name;
    std::vector<std::string> args;
    Environment environment;
    int exitCode;
    std::string err;      // a part of the error line
    bool printed;         // the text on stdout
    std::string written;  // the file that holds the text afterwards; empty: none
  } cases[] = {
      {"printed", {"metrics"}, station_.env(), 0, "", true, ""},
      {"into a file", {"metrics", "--textfile", prom}, station_.env(), 0, "", false, prom},
      {"into a missing folder",
       {"metrics", "--textfile", root_ + "/nowhere/x.prom"},
       station_.env(),
       1,
       "stays as it was",
       false,
       ""},
      {"no agent",
       {"metrics"},
       {{"QX_REGISTRY", root_ + "/empty/registry.db"}, {"QX_RUNTIME_DIR", root_ + "/empty/run"}},
       3,
       "no station runs",
       false,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ProgramResult result = Run(c.args, c.environment);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_TRUE(Contains(result.err, c.err)) << result.err;
    EXPECT_EQ(Contains(result.out, "# TYPE qxremote_datagrams_received_total counter"), c.printed)
        << result.out;
    if (!c.written.empty()) {
      std::map<std::string, double> read;
      ASSERT_NO_FATAL_FAILURE(ParseWithPrometheus(c.written, &read));
      EXPECT_GT(read["qxremote_agent_resident_memory_bytes{}"], 0.0);
    }
  }
  EXPECT_FALSE(fs::exists(root_ + "/nowhere"));
  for (const auto& entry : fs::directory_iterator(root_ + "/textfile")) {
    EXPECT_EQ(entry.path().filename(), "qxremote.prom") << "a temporary file was left";
  }
}

// A UDP datagram to the agent's own address and multicast port.
void SendDatagram(const std::string& bytes) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kMulticastPort);
  ::inet_pton(AF_INET, kAddress, &to.sin_addr);
  const ssize_t sent = ::sendto(fd, bytes.data(), bytes.size(), 0,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
  ::close(fd);
  ASSERT_EQ(sent, static_cast<ssize_t>(bytes.size()));
}

// One datagram of a message to this station, sealed under key (the cluster's or another).
std::string Sealed(const char* keyText, const std::string& text) {
  const std::optional<ClusterKey> key = ParseKeyText(keyText, true);
  EXPECT_TRUE(key.has_value());
  if (!key) return {};
  static std::uint32_t messageId = 1;
  DatagramSealer sealer(0x51515151u);
  const std::vector<std::string> plain =
      SplitMessage(sealer.senderId(), sealer.incarnationLow(), messageId++, text, 1200);
  EXPECT_EQ(plain.size(), 1u);
  std::string sealed;
  EXPECT_TRUE(sealer.Seal(*key, plain.front(), SealPath::kStation, &sealed));
  return sealed;
}

TEST_F(StationMetrics, CountersMoveWithWhatTheStationTakesIn) {
  const std::string copied = root_ + "/files/served.bin";
  std::ofstream(copied, std::ios::binary) << std::string(100000, 'c');
  const std::string authentic = Sealed(kTestClusterKey, "<MetricsTestNothing/>");
  const struct {
    const char* name;
    std::function<void()> act;
    std::map<std::string, double> grows;  // sample -> by how much at least
  } cases[] = {
      {"a datagram of no format",
       [] { SendDatagram("not a datagram of any station"); },
       {{"qxremote_datagrams_received_total", 1},
        {"qxremote_datagrams_dropped_total{reason=\"malformed\"}", 1}}},
      {"a datagram under a key the ring lacks",
       [] { SendDatagram(Sealed(kForeignKey, "<MetricsTestNothing/>")); },
       {{"qxremote_datagrams_dropped_total{reason=\"foreign_key\"}", 1}}},
      {"a datagram altered after its sealing",
       [] {
         std::string altered = Sealed(kTestClusterKey, "<MetricsTestNothing/>");
         altered.back() ^= 1;
         SendDatagram(altered);
       },
       {{"qxremote_datagrams_dropped_total{reason=\"unopenable\"}", 1}}},
      {"the same datagram twice",
       [&] {
         SendDatagram(authentic);
         SendDatagram(authentic);
       },
       {{"qxremote_datagrams_received_total", 2},
        {"qxremote_datagrams_dropped_total{reason=\"replayed\"}", 1}}},
      {"an RPC request",
       [] {
         const ProgramResult result = Run({"command", "--receiver", kAddress, "<Test/>"});
         EXPECT_EQ(result.exitCode, 0) << result.err;
       },
       {{"qxremote_rpc_connections_total", 1},
        {"qxremote_rpc_requests_total{kind=\"string\"}", 1}}},
      {"a peer without the cluster key",
       [] {
         const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
         ASSERT_GE(fd, 0);
         sockaddr_in to{};
         to.sin_family = AF_INET;
         to.sin_port = htons(kDiscoveryPort);
         ::inet_pton(AF_INET, kAddress, &to.sin_addr);
         timeval wait{5, 0};
         ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
         if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
           const std::string junk(600, 'j');  // no TLS record of any kind
           EXPECT_GT(::send(fd, junk.data(), junk.size(), MSG_NOSIGNAL), 0);
           char sink[256];
           while (::recv(fd, sink, sizeof sink, 0) > 0) {
           }
         }
         ::close(fd);
       },
       {{"qxremote_rpc_handshakes_refused_total", 1}}},
      {"a file copied from the station",
       [&] {
         const ProgramResult result = Run({"copy", kAddress, copied, root_ + "/copy.bin"});
         EXPECT_EQ(result.exitCode, 0) << result.err;
       },
       {{"qxremote_copy_served_bytes_total", 100000},
        {"qxremote_rpc_requests_total{kind=\"data\"}", 1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::map<std::string, double> before = Scrape();
    for (const auto& [sample, by] : c.grows) ASSERT_EQ(before.count(sample), 1u) << sample;
    c.act();
    // Datagrams are taken in by the agent's own threads: wait a bounded time for them.
    std::map<std::string, double> after;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
      after = Scrape();
      bool all = true;
      for (const auto& [sample, by] : c.grows) all = all && after[sample] - before.at(sample) >= by;
      if (all || std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(20ms);
    }
    for (const auto& [sample, by] : c.grows) {
      EXPECT_GE(after[sample] - before.at(sample), by) << sample;
    }
  }
  // The copy served exactly the file's bytes, however its blocks fell.
  EXPECT_EQ(ReadAll(root_ + "/copy.bin").size(), 100000u);
}

}  // namespace
}  // namespace qx::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  signal(SIGPIPE, SIG_IGN);
  if (!qx::testing::EnterPrivateNetwork()) {
    std::fprintf(stderr, "note: no private network namespace; using 127.0.0.31 of this machine\n");
  }
  return RUN_ALL_TESTS();
}
