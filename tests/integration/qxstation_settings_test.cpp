// qxstation's settings commands as an operator uses them: checked writes, lists, delete,
// config, export and import, and a status that says which settings cannot work, against real
// agents with registries of their own.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/station_process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Json = nlohmann::json;
using qx::testing::ChildProcess;
using qx::testing::ProgramResult;
using qx::testing::RegistrySetArgs;
using qx::testing::RunProgram;
using qx::testing::TempDir;
using qx::testing::TestStation;

constexpr const char* kBase = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\";
constexpr const char* kPort = "24771";  // the multicast port of these tests' stations

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string Key(const std::string& relative) { return kBase + relative; }

class QxstationSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 2; ++i) {
      ASSERT_TRUE(temps_[i].ok());
      stations_[i].name = "CONFIG6" + std::to_string(i + 1);
      stations_[i].address = "127.0.0.6" + std::to_string(i + 1);
      stations_[i].dir = temps_[i].path();
    }
  }
  void TearDown() override {
    for (TestStation& station : stations_) station.agent.reset();
    for (TempDir& temp : temps_) temp.Remove();
  }

  ProgramResult Station(const std::vector<std::string>& args, int at = 0) {
    return RunProgram(QX_STATION_PATH, args, stations_[at].env(), 30s);
  }
  void Set(const std::string& key, const std::string& name, const std::string& value,
           bool dword = false, int at = 0) {
    const ProgramResult result = Station(RegistrySetArgs(key, name, value, dword), at);
    ASSERT_EQ(result.exitCode, 0) << result.err;
  }
  // A local-mode station of its own: name, address and multicast port.
  void MakeStation(int at) {
    ASSERT_NO_FATAL_FAILURE(Set("PLATFORM", "ComputerName", stations_[at].name, false, at));
    ASSERT_NO_FATAL_FAILURE(Set("RPC", "ListenAddress", stations_[at].address, false, at));
    ASSERT_NO_FATAL_FAILURE(Set("MULTICAST", "Port", kPort, true, at));
  }
  void StartAgent(int at) {
    TestStation& station = stations_[at];
    station.agent = std::make_unique<ChildProcess>(QX_AGENT_PATH, station.agentArgs, station.env());
    ASSERT_TRUE(station.agent->WaitForLine("ready", 30s)) << station.agent->errors();
  }
  Json ConfigRow(const std::string& key, const std::string& name, int at = 0) {
    const ProgramResult config = Station({"config", "--json"}, at);
    EXPECT_EQ(config.exitCode, 0) << config.err;
    for (const Json& row : Json::parse(config.out)) {
      if (row["key"] == key && row["name"] == name) return row;
    }
    ADD_FAILURE() << "config has no " << key << "\\" << name;
    return Json();
  }
  std::string Registry(int at = 0) const { return stations_[at].dir + "/registry.db"; }
  std::string Conf(int at = 0) const { return stations_[at].dir + "/qxremote.conf"; }

  TempDir temps_[2] = {TempDir("qxconfig"), TempDir("qxconfig")};
  TestStation stations_[2];
};

// A write of a known setting is checked: a typo names the setting meant, a wrong value or type
// says the form it takes, and nothing is written. --force writes anyway; keys whose names the
// station does not fix are written as given.
TEST_F(QxstationSettings, WritesOfKnownSettingsAreChecked) {
  ASSERT_NO_FATAL_FAILURE(MakeStation(0));
  const struct {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    const char* said;  // on stderr; "" for nothing in particular
  } cases[] = {
      {"typo of a DWORD",
       {"registry", "set", Key("RPC"), "ConectTimeoutMs", "1000", "--dword"},
       1,
       "unknown setting ConectTimeoutMs in RPC; did you mean ConnectTimeoutMs?"},
      {"typo of a text",
       {"registry", "set", Key("RPC"), "ListenAddres", "127.0.0.2"},
       1,
       "did you mean ListenAddress?"},
      {"no name near", {"registry", "set", Key("RPC"), "Zebra", "1"}, 1, "unknown setting Zebra"},
      {"not an address",
       {"registry", "set", Key("RPC"), "ListenAddress", "not-an-ip"},
       1,
       "ListenAddress takes an IPv4 address such as 127.0.0.1"},
      {"text for a DWORD",
       {"registry", "set", Key("RPC"), "ConnectTimeoutMs", "1000"},
       1,
       "REG_DWORD"},
      {"port out of range",
       {"registry", "set", Key("MULTICAST"), "Port", "70000", "--dword"},
       1,
       "from 1 to 65535"},
      {"no multicast group",
       {"registry", "set", Key("MULTICAST"), "Group", "10.0.0.1"},
       1,
       "multicast address"},
      {"no interface pattern",
       {"registry", "set", Key("MULTICAST"), "Interfaces", "a/b", "--multi"},
       1,
       "interface names"},
      {"relative directory",
       {"registry", "set", Key("SECURITY"), "FileRoots", "srv", "--multi"},
       1,
       "absolute"},
      {"typo forced",
       {"registry", "set", Key("RPC"), "ConectTimeoutMs", "1000", "--dword", "--force"},
       0,
       ""},
      {"an address", {"registry", "set", Key("RPC"), "ListenAddress", "127.0.0.61"}, 0, ""},
      {"setup is open", {"registry", "set", Key("SETUP"), "Version", "7.1"}, 0, ""},
      {"hosts table is open", {"registry", "set", Key("RPC\\HOSTS"), "PLANT9", "127.0.0.9"}, 0, ""},
      {"a list by repeated values",
       {"registry", "set", Key("SECURITY"), "FileRoots", "/srv/a", "/srv/b"},
       0,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ProgramResult result = Station(c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_TRUE(Contains(result.err, c.said)) << result.err;
    const ProgramResult get = Station({"registry", "get", c.args[2], c.args[3]});
    if (c.exitCode != 0) {
      // Refused: the value that was there stays (only Port, ListenAddress were set before).
      const bool before = c.args[3] == "Port" || c.args[3] == "ListenAddress";
      EXPECT_EQ(get.exitCode, before ? 0 : 1) << get.out;
      EXPECT_FALSE(Contains(get.out, c.args[4])) << get.out;
    } else {
      EXPECT_EQ(get.exitCode, 0) << get.err;
    }
  }
}

// Lists are written as REG_MULTI_SZ; delete removes a value, or an empty key, and nothing else.
TEST_F(QxstationSettings, ListsAndDelete) {
  ASSERT_NO_FATAL_FAILURE(MakeStation(0));
  ASSERT_EQ(Station({"registry", "set", Key("MULTICAST"), "Interfaces", "eth0", "enp*", "--multi"})
                .exitCode,
            0);
  ASSERT_EQ(
      Station({"registry", "set", Key("SECURITY"), "LibraryDirs", "/opt/x", "--multi"}).exitCode,
      0);
  ASSERT_EQ(Station({"registry", "set", Key("SETUP\\EXTRA"), "Note", "x"}).exitCode, 0);

  const ProgramResult list = Station({"registry", "list", Key("MULTICAST"), "--json"});
  ASSERT_EQ(list.exitCode, 0) << list.err;
  bool found = false;
  const Json listed = Json::parse(list.out);
  for (const Json& value : listed["values"]) {
    if (value["name"] != "Interfaces") continue;
    found = true;
    EXPECT_EQ(value["type"], "REG_MULTI_SZ");
    EXPECT_EQ(value["value"], Json({"eth0", "enp*"}));
  }
  EXPECT_TRUE(found) << list.out;
  const ProgramResult one = Station({"registry", "get", Key("SECURITY"), "LibraryDirs", "--json"});
  EXPECT_EQ(Json::parse(one.out)["value"], Json({"/opt/x"})) << one.out;

  const struct {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> gone;  // key, name ("" for the key) that no longer reads
  } cases[] = {
      {"a value",
       {"registry", "delete", Key("MULTICAST"), "Interfaces"},
       0,
       {"MULTICAST", "Interfaces"}},
      {"a missing value", {"registry", "delete", Key("MULTICAST"), "Interfaces"}, 1, {}},
      {"a key with subkeys", {"registry", "delete", Key("SETUP")}, 1, {}},
      {"an empty key's values first", {"registry", "delete", Key("SETUP\\EXTRA"), "Note"}, 0, {}},
      {"the empty key", {"registry", "delete", Key("SETUP\\EXTRA")}, 0, {"SETUP\\EXTRA", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ProgramResult result = Station(c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    if (c.gone.empty()) continue;
    const ProgramResult after = c.gone[1].empty()
                                    ? Station({"registry", "list", Key(c.gone[0])})
                                    : Station({"registry", "get", Key(c.gone[0]), c.gone[1]});
    EXPECT_EQ(after.exitCode, 1) << after.out;
  }
  // What delete left alone.
  EXPECT_EQ(Station({"registry", "get", Key("MULTICAST"), "Port"}).out, std::string(kPort) + "\n");
  EXPECT_EQ(Station({"registry", "list", Key("SETUP")}).exitCode, 0);
}

// config shows every known setting in effect with its default and where it came from: the
// registry, the settings file (with the path), or the default; a protected value in a registry
// that others may write is shown as ignored there. In network mode an absent TTL is 1.
TEST_F(QxstationSettings, ConfigShowsValueDefaultAndSource) {
  ASSERT_NO_FATAL_FAILURE(MakeStation(0));
  ASSERT_NO_FATAL_FAILURE(Set("RPC", "ConnectTimeoutMs", "1234", true));
  ASSERT_NO_FATAL_FAILURE(Set("SECURITY", "FileRoots", "/srv/registry"));
  std::ofstream(Conf()) << "[RPC]\nCallTimeoutMs = 4321\n[SECURITY]\nFileRoots = /srv/file\n"
                        << "[MULTICAST]\nInterface = 192.0.2.1\nInterfaces = nosuch0\n";
  const struct {
    const char* key;
    const char* name;
    Json value;
    const char* source;
    std::string path;
    bool ignored;
  } whileRootsAlone[] = {
      {"RPC", "ConnectTimeoutMs", 1234, "registry", Registry(), false},
      {"RPC", "CallTimeoutMs", 4321, "settings file", Conf(), false},
      {"RPC", "StopGraceMs", "5000", "default", "", false},
      {"SECURITY", "FileRoots", "/srv/registry", "registry", Registry(), false},
      {"MULTICAST", "TTL", "1", "default", "", false},  // network mode
  };
  for (const auto& c : whileRootsAlone) {
    SCOPED_TRACE(std::string(c.key) + "\\" + c.name);
    const Json row = ConfigRow(c.key, c.name);
    EXPECT_EQ(row["value"], c.value) << row;
    EXPECT_EQ(row["source"], c.source) << row;
    EXPECT_EQ(row["path"], c.path.empty() ? Json(nullptr) : Json(c.path)) << row;
    EXPECT_EQ(row["ignoredInRegistry"], c.ignored) << row;
    EXPECT_TRUE(row.contains("default") && row.contains("protected")) << row;
  }
  if (::geteuid() != 0) {
    ASSERT_EQ(chmod(Registry().c_str(), 0664), 0);  // operators may write it now
    const Json row = ConfigRow("SECURITY", "FileRoots");
    EXPECT_EQ(row["value"], Json({"/srv/file"})) << row;
    EXPECT_EQ(row["source"], "settings file") << row;
    EXPECT_EQ(row["ignoredInRegistry"], true) << row;
    EXPECT_EQ(row["protected"], true) << row;
  }
  const ProgramResult table = Station({"config"});
  EXPECT_EQ(table.exitCode, 0);
  EXPECT_TRUE(Contains(table.out, "ConnectTimeoutMs")) << table.out;
  EXPECT_EQ(Station({"config", "--xml"}).exitCode, 2);
}

// export prints the registry in the settings file's form; import of that text into another
// registry gives the same export. A file with one bad value writes nothing.
TEST_F(QxstationSettings, ExportAndImportCarryTheSettings) {
  ASSERT_NO_FATAL_FAILURE(MakeStation(0));
  ASSERT_NO_FATAL_FAILURE(Set("RPC", "ConnectTimeoutMs", "2500", true));
  ASSERT_EQ(
      Station({"registry", "set", Key("SECURITY"), "FileRoots", "/srv/a b", "/srv/c "}).exitCode,
      0);
  ASSERT_EQ(Station({"registry", "set", Key("MULTICAST"), "Interfaces", "--multi"}).exitCode, 0);
  ASSERT_NO_FATAL_FAILURE(Set("SETUP", "Version", "7.1"));
  const ProgramResult exported = Station({"registry", "export"});
  ASSERT_EQ(exported.exitCode, 0) << exported.err;
  const std::string file = stations_[0].dir + "/exported.conf";
  std::ofstream(file) << exported.out;

  ASSERT_EQ(Station({"registry", "import", file}, 1).exitCode, 0);
  const ProgramResult again = Station({"registry", "export"}, 1);
  auto body = [](const std::string& text) { return text.substr(text.find('\n') + 1); };
  EXPECT_EQ(body(again.out), body(exported.out));
  const ProgramResult list =
      Station({"registry", "get", Key("SECURITY"), "FileRoots", "--json"}, 1);
  EXPECT_EQ(Json::parse(list.out)["value"], Json({"/srv/a b", "/srv/c "})) << list.out;

  const ProgramResult rpcOnly = Station({"registry", "export", Key("RPC")});
  EXPECT_TRUE(Contains(rpcOnly.out, "[RPC]\nConnectTimeoutMs = 2500\n")) << rpcOnly.out;
  EXPECT_FALSE(Contains(rpcOnly.out, "[SETUP]")) << rpcOnly.out;

  const struct {
    const char* name;
    std::string text;
    int exitCode;
  } cases[] = {
      {"a typo", "[RPC]\nCallTimeoutMs = 7777\nConectTimeoutMs = 1\n", 1},
      {"a bad value", "[RPC]\nCallTimeoutMs = 7777\nListenAddress = nowhere\n", 1},
      {"not the form", "[RPC]\nCallTimeoutMs = 7777\njunk\n", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bad = stations_[1].dir + "/bad.conf";
    std::ofstream(bad, std::ios::trunc) << c.text;
    EXPECT_EQ(Station({"registry", "import", bad}, 1).exitCode, c.exitCode);
    EXPECT_EQ(Station({"registry", "get", Key("RPC"), "CallTimeoutMs"}, 1).exitCode, 1);
  }
  if (::geteuid() != 0) {
    // A registry operators may write takes no protected value, and then nothing else either.
    ASSERT_EQ(chmod(Registry(1).c_str(), 0664), 0);
    const std::string widening = stations_[1].dir + "/widening.conf";
    std::ofstream(widening) << "[RPC]\nCallTimeoutMs = 7777\n[SECURITY]\nFileRoots = /\n";
    const ProgramResult refused = Station({"registry", "import", widening}, 1);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(Contains(refused.err, Conf(1))) << refused.err;
    EXPECT_EQ(Station({"registry", "get", Key("RPC"), "CallTimeoutMs"}, 1).exitCode, 1);
  }
}

// status and the agent say what cannot work: a network-mode station whose Interfaces select
// nothing, or whose TTL keeps every datagram on the machine.
TEST_F(QxstationSettings, StatusAndAgentWarnOfSettingsThatCannotWork) {
  ASSERT_NO_FATAL_FAILURE(MakeStation(0));
  std::ofstream(Conf()) << "[MULTICAST]\nInterface = 192.0.2.1\nInterfaces = nosuch0\n";
  const struct {
    const char* name;
    const char* ttl;  // nullptr: absent
    std::vector<std::string> warned;
    std::vector<std::string> notWarned;
  } cases[] = {
      {"default TTL", nullptr, {"Interfaces selects no interface"}, {"TTL is 0"}},
      {"TTL 0", "0", {"Interfaces selects no interface", "TTL is 0"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.ttl != nullptr) {
      ASSERT_NO_FATAL_FAILURE(Set("MULTICAST", "TTL", c.ttl, true));
    }
    ASSERT_NO_FATAL_FAILURE(StartAgent(0));
    const std::string agentSaid = stations_[0].agent->errors();
    const ProgramResult status = Station({"status"});
    EXPECT_EQ(status.exitCode, 0) << status.err;
    for (const std::string& warning : c.warned) {
      EXPECT_TRUE(Contains(status.out, "Warning: MULTICAST\\" + warning)) << status.out;
      EXPECT_TRUE(Contains(agentSaid, warning)) << agentSaid;
    }
    for (const std::string& warning : c.notWarned) {
      EXPECT_FALSE(Contains(status.out, warning)) << status.out;
      EXPECT_FALSE(Contains(agentSaid, warning)) << agentSaid;
    }
    stations_[0].agent.reset();
  }
}

// Two stations with different keys each see only themselves: status shows the key in use and
// the datagrams dropped for a foreign key, and the agent's process as its socket names it.
TEST_F(QxstationSettings, StatusShowsKeyDropsAndTheAgentsProcess) {
  ASSERT_NO_FATAL_FAILURE(MakeStation(0));
  ASSERT_NO_FATAL_FAILURE(MakeStation(1));
  ASSERT_TRUE(
      qx::testing::InstallClusterKey(stations_[0].dir));  // station 1 makes a key of its own
  ASSERT_NO_FATAL_FAILURE(StartAgent(0));
  ASSERT_NO_FATAL_FAILURE(StartAgent(1));

  Json status;
  for (int i = 0; i < 100; ++i) {  // the other's JOIN arrives within moments
    const ProgramResult result = Station({"status", "--json"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    status = Json::parse(result.out);
    if (status["dropped"].is_object() && status["dropped"]["foreignKey"] > 0) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_GT(status["dropped"]["foreignKey"], 0) << status;
  EXPECT_EQ(status["key"], std::string(qx::testing::kTestClusterKeyId) + " (installed)") << status;
  EXPECT_EQ(status["agent"]["pid"], stations_[0].agent->pid()) << status;
  EXPECT_GT(status["agent"]["memoryBytes"], 0) << status;
  EXPECT_TRUE(status["agent"]["uptimeSeconds"].is_number()) << status;
  EXPECT_EQ(status["counts"]["hosts"], 1) << status;  // only itself

  const ProgramResult text = Station({"status"});
  EXPECT_TRUE(Contains(text.out, "pid " + std::to_string(stations_[0].agent->pid()))) << text.out;
  EXPECT_TRUE(Contains(text.out, "with a foreign key")) << text.out;
  EXPECT_EQ(Station({"status", "--xml"}).exitCode, 2);
}

// A registry file that is no registry is named as damaged, with what to do, by every command
// that reads it; none of them changes it.
TEST_F(QxstationSettings, DamagedRegistryIsNamedWithTheFix) {
  std::ofstream(Registry()) << "this is no registry database, just some text\n";
  const auto size = fs::file_size(Registry());
  const struct {
    const char* name;
    std::vector<std::string> args;
    bool inOut;  // the line is on stdout (status) rather than stderr
  } cases[] = {
      {"status", {"status"}, true},
      {"list", {"registry", "list", "HKEY_LOCAL_MACHINE"}, false},
      {"get", {"registry", "get", Key("RPC"), "ListenAddress"}, false},
      {"config", {"config"}, false},
      {"set", RegistrySetArgs("SETUP", "Version", "1"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ProgramResult result = Station(c.args);
    EXPECT_NE(result.exitCode, 0);
    const std::string& said = c.inOut ? result.out : result.err;
    EXPECT_TRUE(Contains(said, "registry " + Registry() + " is damaged")) << said;
    EXPECT_TRUE(Contains(said, "registry import")) << said;
    EXPECT_EQ(fs::file_size(Registry()), size);
  }
}

}  // namespace
