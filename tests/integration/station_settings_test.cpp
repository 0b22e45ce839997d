// Stations whose registry operators may write, that find a registry cut to nothing, or a
// runtime directory made by someone else: the agent and qxstation as a user runs them.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "support/station_process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qx::testing::ChildProcess;
using qx::testing::ProgramResult;
using qx::testing::RegistrySetArgs;
using qx::testing::RunProgram;
using qx::testing::TempDir;
using qx::testing::TestStation;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class StationSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.ok());
    station_.name = "SETTINGS31";
    station_.address = "127.0.0.31";
    station_.dir = temp_.path();
    fs::create_directories(station_.dir + "/files");
    std::ofstream(station_.dir + "/files/plant.mcp") << "project";
  }
  void TearDown() override {
    station_.agent.reset();
    temp_.Remove();
  }

  std::string Registry() const { return station_.dir + "/registry.db"; }
  std::string Conf() const { return station_.dir + "/qxremote.conf"; }
  ProgramResult Station(const std::vector<std::string>& args, std::chrono::seconds timeout = 30s) {
    return RunProgram(QX_STATION_PATH, args, station_.env(), timeout);
  }
  void Set(const std::string& key, const std::string& name, const std::string& value,
           bool dword = false) {
    const ProgramResult result = Station(RegistrySetArgs(key, name, value, dword));
    ASSERT_EQ(result.exitCode, 0) << result.err;
  }
  // A station of its own: address, multicast port, and nothing else.
  void MakeRegistry() {
    ASSERT_NO_FATAL_FAILURE(Set("PLATFORM", "ComputerName", station_.name));
    ASSERT_NO_FATAL_FAILURE(Set("RPC", "ListenAddress", station_.address));
    ASSERT_NO_FATAL_FAILURE(Set("MULTICAST", "Port", "24797", true));
  }
  void StartAgent() {
    station_.agent =
        std::make_unique<ChildProcess>(QX_AGENT_PATH, station_.agentArgs, station_.env());
    ASSERT_TRUE(station_.agent->WaitForLine("ready", 30s)) << station_.agent->errors();
  }
  ProgramResult Agent() { return RunProgram(QX_AGENT_PATH, {}, station_.env(), 60s); }

  TempDir temp_{"qxsettings"};
  TestStation station_;
};

// An operator's LibraryDirs and FileRoots in a registry that operators may write open nothing
// outside root's allow-lists; the same values in a registry only root writes do (the control).
TEST_F(StationSettings, MemberWritableRegistryCannotWidenAllowLists) {
  ASSERT_NO_FATAL_FAILURE(MakeRegistry());
  // Root's settings: with the registry open to operators, the address comes from here too.
  std::ofstream(Conf()) << "# root's settings\n[SECURITY]\nLibraryDirs = " << station_.dir
                        << "/nolibs\nFileRoots = " << station_.dir << "/files\n[rpc]\n"
                        << "ListenAddress = " << station_.address
                        << "\n[MULTICAST]\nPort = 24797\n";
  // What a member of the operators' group writes into their registry.
  ASSERT_NO_FATAL_FAILURE(Set("SECURITY", "LibraryDirs", QX_TEST_REMOTE_DIR));
  ASSERT_NO_FATAL_FAILURE(Set("SECURITY", "FileRoots", "/"));
  ASSERT_EQ(chmod(Registry().c_str(), 0664), 0);
  ASSERT_NO_FATAL_FAILURE(StartAgent());

  const ProgramResult call = Station({"call", station_.address, "qxtestremote", "Echo", "hi"});
  EXPECT_NE(call.exitCode, 0) << call.out;
  EXPECT_FALSE(Contains(call.out, "hi")) << call.out;
  const std::string copied = station_.dir + "/copied";
  const ProgramResult copy = Station({"copy", station_.address, "/etc/hostname", copied});
  EXPECT_NE(copy.exitCode, 0);
  EXPECT_FALSE(fs::exists(copied));
  const ProgramResult inside =
      Station({"copy", station_.address, station_.dir + "/files/plant.mcp", copied});
  EXPECT_EQ(inside.exitCode, 0) << inside.err;

  // set refuses a protected value on this registry and says where root sets it; get says
  // which value is in effect.
  const ProgramResult set = Station(RegistrySetArgs("SECURITY", "FileRoots", "/etc"));
  EXPECT_EQ(set.exitCode, 1);
  EXPECT_TRUE(Contains(set.err, Conf())) << set.err;
  const ProgramResult get = Station(
      {"registry", "get", "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\SECURITY", "FileRoots"});
  EXPECT_EQ(get.out, station_.dir + "/files\n");
  EXPECT_TRUE(Contains(get.err, Conf())) << get.err;

  // Root's alone: its values count. The -wal and -shm that SQLite made beside it while the
  // registry was open to operators took its mode then, and a member who may write them may
  // change the content as well: they are closed too.
  ASSERT_EQ(chmod(Registry().c_str(), 0644), 0);
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::string beside = Registry() + suffix;
    EXPECT_TRUE(fs::exists(beside)) << beside << " while the agent has the registry open";
    ASSERT_EQ(chmod(beside.c_str(), 0644), 0) << beside;
  }
  const ProgramResult trusted = Station({"call", station_.address, "qxtestremote", "Echo", "hi"});
  EXPECT_EQ(trusted.exitCode, 0) << trusted.err;
  EXPECT_TRUE(Contains(trusted.out, "hi")) << trusted.out;
}

TEST_F(StationSettings, SettingsFileOthersMayWriteStopsTheAgent) {
  ASSERT_NO_FATAL_FAILURE(MakeRegistry());
  std::ofstream(Conf()) << "[SECURITY]\nFileRoots = /srv\n";
  ASSERT_EQ(chmod(Conf().c_str(), 0666), 0);
  const ProgramResult agent = Agent();
  EXPECT_EQ(agent.exitCode, 3);
  EXPECT_TRUE(Contains(agent.err, Conf())) << agent.err;
}

// libqxdiagnosis.so reads its settings when the module attaches, before the agent's check: it
// must not make the empty file a registry.
TEST_F(StationSettings, EmptyRegistryStopsTheAgentAndStaysEmpty) {
  std::ofstream(Registry()).flush();
  const ProgramResult agent = Agent();
  EXPECT_EQ(agent.exitCode, 3) << agent.err;
  EXPECT_TRUE(Contains(agent.err, Registry())) << agent.err;
  EXPECT_EQ(fs::file_size(Registry()), 0u);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"tree"},
        {"status"},
        {"registry", "list", "HKEY_LOCAL_MACHINE\\SOFTWARE"}}) {
    SCOPED_TRACE(args.front());
    Station(args);
    EXPECT_EQ(fs::file_size(Registry()), 0u);
  }
}

TEST_F(StationSettings, ReadCommandsDoNotCreateTheRegistry) {
  fs::create_directories(station_.dir + "/run");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"tree"},
        {"status"},
        {"registry", "list", "HKEY_LOCAL_MACHINE\\SOFTWARE"},
        {"registry", "get", "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\RPC", "ListenAddress"},
        {"registry", "get", "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\RPC",
         "CallTimeoutMs"}}) {
    SCOPED_TRACE(args.front() + " " + args.back());
    const ProgramResult result = Station(args);
    EXPECT_NE(result.exitCode, -1);
    EXPECT_FALSE(fs::exists(Registry()));
  }
}

// A registry cut to nothing under a running agent: qxstation does not wait on it (it used to
// try to make the schema, each try waiting for the agent's lock) and leaves it empty.
TEST_F(StationSettings, TreeOnRegistryCutToNothingEnds) {
  ASSERT_NO_FATAL_FAILURE(MakeRegistry());
  ASSERT_NO_FATAL_FAILURE(StartAgent());
  fs::resize_file(Registry(), 0);
  const ProgramResult tree = Station({"tree"}, 60s);
  EXPECT_EQ(tree.exitCode, 0) << tree.err;
  EXPECT_TRUE(Contains(tree.out, station_.address)) << tree.out;
  EXPECT_EQ(fs::file_size(Registry()), 0u);
}

TEST_F(StationSettings, RuntimeDirectoryIsTheAgentsOwn) {
  ASSERT_NO_FATAL_FAILURE(MakeRegistry());
  const std::string run = station_.dir + "/run";
  fs::create_directories(run);
  ASSERT_EQ(chmod(run.c_str(), 0777), 0);
  ASSERT_NO_FATAL_FAILURE(StartAgent());
  struct stat info {};
  ASSERT_EQ(stat(run.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0750u);
  station_.agent.reset();

  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the directory away";
  ASSERT_EQ(chown(run.c_str(), 12345, 12345), 0);
  ASSERT_EQ(chmod(run.c_str(), 0777), 0);
  const ProgramResult refused = Agent();
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_TRUE(Contains(refused.err, run)) << refused.err;
  ASSERT_EQ(stat(run.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0777u);  // not the agent's to change
}

}  // namespace
