// Stations on a plant network, proven by their cluster key: ALPHA and BRAVO, each in a network
// namespace of its own, share one key; CHARLIE has another. The three namespaces hang on one
// bridge in a fourth, as machines on a switch; the stations listen on 10.77.0.x and multicast
// on that network with TTL 1. Everything is made by the test and removed at its end.
//
// ALPHA and BRAVO find each other and run their requests and a copy over TLS; CHARLIE sees and
// is seen by nobody and cannot call either; a key rotation in the middle drops no station.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/station_process.h"
#include "support/temp_dir.h"

namespace qx::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kIp = "/usr/bin/ip";
constexpr const char* kOtherKey = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";

struct Member {
  TestStation station;
  std::string netns;
};

bool Ip(const std::vector<std::string>& args) {
  return RunProgram(kIp, args, {}, 10s).exitCode == 0;
}

class ClusterKey : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (::geteuid() != 0 || ::access(kIp, X_OK) != 0) return;
    const std::string tag = "qxk" + std::to_string(::getpid());
    hub_ = tag + "hub";
    if (!Ip({"netns", "add", hub_})) {
      hub_.clear();
      return;
    }
    Ip({"-n", hub_, "link", "add", "br0", "type", "bridge"});
    Ip({"-n", hub_, "link", "set", "br0", "type", "bridge", "mcast_snooping", "0"});
    Ip({"-n", hub_, "link", "set", "br0", "up"});
    temp_ = std::make_unique<TempDir>("qxcluster");
    ASSERT_TRUE(temp_->ok());
    root_ = temp_->path();
    const char* names[] = {"ALPHA", "BRAVO", "CHARLIE"};
    for (int i = 0; i < 3; ++i) {
      Member& member = members_[i];
      member.netns = tag + std::to_string(i);
      member.station.name = names[i];
      member.station.address = "10.77.0." + std::to_string(i + 1);
      member.station.dir = root_ + "/" + names[i];
      const std::string inside = "v" + std::to_string(i);
      const std::string outside = tag + "p" + std::to_string(i);
      ASSERT_TRUE(Ip({"netns", "add", member.netns}));
      ASSERT_TRUE(Ip({"link", "add", inside, "netns", member.netns, "type", "veth", "peer", "name",
                      outside, "netns", hub_}));
      ASSERT_TRUE(Ip({"-n", hub_, "link", "set", outside, "master", "br0", "up"}));
      ASSERT_TRUE(
          Ip({"-n", member.netns, "addr", "add", member.station.address + "/24", "dev", inside}));
      ASSERT_TRUE(Ip({"-n", member.netns, "link", "set", inside, "up"}));
      ASSERT_TRUE(Ip({"-n", member.netns, "link", "set", "lo", "up"}));
      fs::create_directories(member.station.dir + "/run");
    }
    ready_ = true;
    // ALPHA and BRAVO share the test key; CHARLIE was given another.
    for (int i = 0; i < 3; ++i) ASSERT_NO_FATAL_FAILURE(Configure(members_[i], i < 2));
    for (Member& member : members_) ASSERT_NO_FATAL_FAILURE(Start(member));
  }

  static void TearDownTestSuite() {
    for (Member& member : members_) member.station.agent.reset();
    for (Member& member : members_) {
      if (!member.netns.empty()) Ip({"netns", "del", member.netns});
    }
    if (!hub_.empty()) Ip({"netns", "del", hub_});
    temp_.reset();
  }

  void SetUp() override {
    if (!ready_) GTEST_SKIP() << "needs root and network namespaces (ip netns)";
  }

  // qxstation of the member, inside its namespace.
  static ProgramResult At(const Member& member, const std::vector<std::string>& args,
                          const std::string& input = "") {
    std::vector<std::string> all = {"netns", "exec", member.netns, QX_STATION_PATH};
    all.insert(all.end(), args.begin(), args.end());
    if (input.empty()) return RunProgram(kIp, all, member.station.env());
    // The key goes in on standard input, as an operator types it.
    const std::string file = member.station.dir + "/key.in";
    std::ofstream(file) << input << "\n";
    std::vector<std::string> shell = {"-c", "exec \"$0\" \"$@\" < " + file, kIp};
    shell.insert(shell.end(), all.begin(), all.end());
    ProgramResult result = RunProgram("/bin/sh", shell, member.station.env());
    fs::remove(file);
    return result;
  }

  static void Set(const Member& member, const std::string& key, const std::string& name,
                  const std::string& value, bool dword = false) {
    const ProgramResult result = At(member, RegistrySetArgs(key, name, value, dword));
    ASSERT_EQ(result.exitCode, 0) << result.err;
  }

  static void Configure(const Member& member, bool sharedKey) {
    const TestStation& station = member.station;
    const ProgramResult installed =
        At(member, {"key", "install", "-"}, sharedKey ? kTestClusterKey : kOtherKey);
    ASSERT_EQ(installed.exitCode, 0) << installed.err;
    ASSERT_NO_FATAL_FAILURE(Set(member, "PLATFORM", "ComputerName", station.name));
    ASSERT_NO_FATAL_FAILURE(Set(member, "RPC", "ListenAddress", station.address));
    ASSERT_NO_FATAL_FAILURE(Set(member, "MULTICAST", "Interface", station.address));
    ASSERT_NO_FATAL_FAILURE(Set(member, "MULTICAST", "UnicastAddress", station.address));
    ASSERT_NO_FATAL_FAILURE(Set(member, "MULTICAST", "TTL", "1", true));
    ASSERT_NO_FATAL_FAILURE(Set(member, "SECURITY", "FileRoots", station.dir));
    for (const Member& other : members_) {
      if (&other != &member) {
        ASSERT_NO_FATAL_FAILURE(
            Set(member, "RPC\\HOSTS", other.station.name, other.station.address));
      }
    }
  }

  static void Start(Member& member) {
    TestStation& station = member.station;
    station.agent = std::make_unique<ChildProcess>(
        kIp, std::vector<std::string>{"netns", "exec", member.netns, QX_AGENT_PATH}, station.env());
    ASSERT_TRUE(station.agent->WaitForLine("ready", 30s))
        << station.name << " did not get ready:\n"
        << station.agent->output() << station.agent->errors();
  }

  static std::string Tree(const Member& member) {
    const ProgramResult result = At(member, {"discover", "<GetTreeContent/>"});
    return result.exitCode == 0 ? result.out : "failed: " + result.err;
  }

  // True once every member's tree holds (or lacks) the hosts named, within 10 s.
  static bool TreesBecome(const std::vector<std::pair<int, std::vector<std::string>>>& expected) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      bool all = true;
      for (const auto& [index, hosts] : expected) {
        const std::string tree = Tree(members_[index]);
        for (const Member& member : members_) {
          const bool wanted =
              std::find(hosts.begin(), hosts.end(), member.station.name) != hosts.end();
          const bool held =
              tree.find("<Host>" + member.station.name + "</Host>") != std::string::npos;
          all = all && wanted == held;
        }
      }
      if (all) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }

  // ALPHA and BRAVO answer each other's requests and copy a file; CHARLIE reaches neither.
  static void ExpectOnlyTheSharedKeyWorks(const char* when) {
    SCOPED_TRACE(when);
    const Member& alpha = members_[0];
    const Member& bravo = members_[1];
    const Member& charlie = members_[2];
    const struct {
      const Member* from;
      const Member* to;
      bool works;
    } calls[] = {
        {&alpha, &bravo, true},    {&bravo, &alpha, true},    {&charlie, &alpha, false},
        {&charlie, &bravo, false}, {&alpha, &charlie, false},
    };
    for (const auto& call : calls) {
      const ProgramResult details = At(*call.from, {"host", call.to->station.name});
      EXPECT_EQ(details.exitCode == 0, call.works)
          << call.from->station.name << " -> " << call.to->station.name << "\n"
          << details.out << details.err;
    }
    const std::string source = bravo.station.dir + "/report.bin";
    const std::string copy = alpha.station.dir + "/report.copy";
    std::ofstream(source) << std::string(300000, 'r');
    const ProgramResult copied = At(alpha, {"copy", bravo.station.name, source, copy});
    EXPECT_EQ(copied.exitCode, 0) << copied.out << copied.err;
    EXPECT_EQ(fs::exists(copy) ? fs::file_size(copy) : 0u, 300000u);
    fs::remove(copy);
    const ProgramResult refused = At(charlie, {"copy", bravo.station.name, source, copy});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_FALSE(fs::exists(copy));
  }

  static inline std::unique_ptr<TempDir> temp_;  // root_ and all below it
  static std::string root_;
  static std::string hub_;
  static bool ready_;
  static Member members_[3];
};

std::string ClusterKey::root_;
std::string ClusterKey::hub_;
bool ClusterKey::ready_ = false;
Member ClusterKey::members_[3];

// The tests run in order: one life of the three stations.
TEST_F(ClusterKey, OnlyStationsWithTheKeyFindAndCallEachOther) {
  EXPECT_TRUE(TreesBecome({{0, {"ALPHA", "BRAVO"}}, {1, {"ALPHA", "BRAVO"}}, {2, {"CHARLIE"}}}))
      << Tree(members_[0]) << "\n"
      << Tree(members_[2]);
  ExpectOnlyTheSharedKeyWorks("one key");
}

TEST_F(ClusterKey, ARotationDropsNoStation) {
  Member& alpha = members_[0];
  Member& bravo = members_[1];
  const ProgramResult generated = At(alpha, {"key", "generate"});
  ASSERT_EQ(generated.exitCode, 0);
  const std::string fresh = generated.out.substr(0, generated.out.find('\n'));
  // Install everywhere, use everywhere, remove the old key everywhere; between each step the
  // two still see and call each other, and each step is announced again.
  const std::vector<std::vector<std::string>> steps = {
      {"install", "-"}, {"use", "NEW"}, {"remove", kTestClusterKeyId}};
  std::string freshId;
  for (const auto& step : steps) {
    for (Member* member : {&alpha, &bravo}) {
      std::vector<std::string> args = {"key"};
      for (const std::string& word : step) args.push_back(word == "NEW" ? freshId : word);
      const ProgramResult result = At(*member, args, step[0] == "install" ? fresh : "");
      ASSERT_EQ(result.exitCode, 0) << step[0] << " at " << member->station.name << "\n"
                                    << result.out << result.err;
      if (step[0] == "install") {
        freshId = result.out.substr(result.out.find("key ") + 4, 8);
      }
    }
    std::this_thread::sleep_for(1s);  // the agents look at their rings at most every 500 ms
    for (Member* member : {&alpha, &bravo}) {
      ASSERT_EQ(At(*member, {"join"}).exitCode, 0);
    }
    EXPECT_TRUE(TreesBecome({{0, {"ALPHA", "BRAVO"}}, {1, {"ALPHA", "BRAVO"}}, {2, {"CHARLIE"}}}))
        << "after " << step[0] << "\n"
        << Tree(members_[0]);
    ExpectOnlyTheSharedKeyWorks(step[0].c_str());
  }
}

TEST_F(ClusterKey, AStationThatLeavesIsGoneFromTheOther) {
  Member& bravo = members_[1];
  const int status = bravo.station.agent->Terminate(10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << bravo.station.agent->errors();
  bravo.station.agent.reset();
  EXPECT_TRUE(TreesBecome({{0, {"ALPHA"}}})) << Tree(members_[0]);
}

}  // namespace
}  // namespace qx::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  signal(SIGPIPE, SIG_IGN);
  return RUN_ALL_TESTS();
}
