// Tests of the platform settings read from the registry: defaults, overrides, values of the
// wrong type or out of range, and a registry that cannot be opened or read (the directory lists
// then allow nothing).
#include "rpc/rpc_settings.h"
#include "server/path_settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "registry/store/registry_store.h"
#include "support/scoped_env.h"
#include "support/temp_registry.h"

namespace qx {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  // Writes a value under HKEY_LOCAL_MACHINE\<path>.
  void Set(std::string_view fullPath, std::string_view name, const RegValue& value) {
    KeyId root = 0;
    KeyId key = 0;
    ASSERT_EQ(Registry().RootKey(RegRoot::kLocalMachine, &root), RegStatus::kOk);
    fullPath.remove_prefix(std::string_view("HKEY_LOCAL_MACHINE\\").size());
    ASSERT_EQ(Registry().CreateKey(root, fullPath, &key), RegStatus::kOk);
    ASSERT_EQ(Registry().SetValue(key, name, value), RegStatus::kOk);
  }

  testing::TempRegistry registry_;
  const std::string& dir_ = registry_.dir();
};

void ExpectDefaults(const RpcSettings& s) {
  const RpcSettings defaults;
  EXPECT_EQ(s.listenAddress, defaults.listenAddress);
  EXPECT_EQ(s.connectTimeoutMs, defaults.connectTimeoutMs);
  EXPECT_EQ(s.callTimeoutMs, defaults.callTimeoutMs);
  EXPECT_EQ(s.serverThreads, defaults.serverThreads);
  EXPECT_EQ(s.maxFrameBytes, defaults.maxFrameBytes);
  EXPECT_EQ(s.readFileLimit, defaults.readFileLimit);
  EXPECT_EQ(s.idleConnectionMs, defaults.idleConnectionMs);
}

TEST_F(SettingsTest, EmptyRegistryGivesDefaults) {
  ExpectDefaults(ReadRpcSettings());
  EXPECT_EQ(ServicePort(kServiceDiscovery), kDefaultDiscoveryPort);
  EXPECT_EQ(ServicePort(kServiceProjectManager), kDefaultProjectManagerPort);
  EXPECT_EQ(ServicePort("00000000-0000-0000-0000-000000000000"), std::nullopt);
  EXPECT_EQ(HostsTableAddress("STATIONB"), std::nullopt);
  EXPECT_EQ(RemoteCallLibraryDirs(), std::vector<std::string>{"/usr/lib/qxremote/remotecall"});
  EXPECT_EQ(RemoteFileRoots(), std::vector<std::string>{"/var/lib/qxremote/projects"});
}

TEST_F(SettingsTest, RpcValuesOverrideOnlyWhenUsable) {
  Set(kRpcKey, "ListenAddress", RegValue::String("127.0.0.2"));
  Set(kRpcKey, "connecttimeoutms", RegValue::Dword(100));  // names ignore case
  Set(kRpcKey, "CallTimeoutMs", RegValue::String("200"));  // wrong type: default
  Set(kRpcKey, "ServerThreads", RegValue::Dword(0));       // no threads: default
  Set(kRpcKey, "MaxFrameBytes", RegValue::Dword(4096));
  Set(kRpcKey, "ReadFileLimit", RegValue::Dword(0));
  Set(kRpcKey, "IdleConnectionMs", RegValue::Dword(0));
  const RpcSettings s = ReadRpcSettings();
  const RpcSettings defaults;
  EXPECT_EQ(s.listenAddress, "127.0.0.2");
  EXPECT_EQ(s.connectTimeoutMs, 100u);
  EXPECT_EQ(s.callTimeoutMs, defaults.callTimeoutMs);
  EXPECT_EQ(s.serverThreads, defaults.serverThreads);
  EXPECT_EQ(s.maxFrameBytes, 4096u);
  EXPECT_EQ(s.readFileLimit, defaults.readFileLimit);
  EXPECT_EQ(s.idleConnectionMs, 0u);
}

TEST_F(SettingsTest, PortsAndHosts) {
  Set(kRpcPortsKey, "d41cab86-77b0-4081-8404-e75568c24f98", RegValue::Dword(0));  // any free port
  Set(kRpcPortsKey, kServiceDiscovery, RegValue::Dword(70000));  // out of range: default
  Set(kRpcPortsKey, "11111111-2222-3333-4444-555555555555", RegValue::Dword(1234));
  Set(kRpcHostsKey, "StationB", RegValue::String("127.0.0.3"));
  Set(kRpcHostsKey, "StationC", RegValue::Dword(1));
  EXPECT_EQ(ServicePort(kServiceProjectManager), 0);
  EXPECT_EQ(ServicePort(kServiceDiscovery), kDefaultDiscoveryPort);
  EXPECT_EQ(ServicePort("11111111-2222-3333-4444-555555555555"), 1234);
  EXPECT_EQ(HostsTableAddress("STATIONB"), "127.0.0.3");
  EXPECT_EQ(HostsTableAddress("StationC"), std::nullopt);
  EXPECT_EQ(HostsTableAddress(""), std::nullopt);
}

TEST_F(SettingsTest, DirectoryLists) {
  const struct {
    const char* name;
    RegValue value;
    std::vector<std::string> expected;
  } cases[] = {
      {"multi", RegValue::MultiString({"/opt/a", "", "/opt/b"}), {"/opt/a", "/opt/b"}},
      {"colon list", RegValue::String("/opt/a::/opt/b:"), {"/opt/a", "/opt/b"}},
      {"present but empty allows nothing", RegValue::String(""), {}},
      {"empty list allows nothing", RegValue::MultiString({}), {}},
      {"wrong type allows nothing", RegValue::Dword(1), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Set(kSecurityKey, "LibraryDirs", c.value);
    EXPECT_EQ(RemoteCallLibraryDirs(), c.expected);
  }
  Set(kSecurityKey, "FileRoots", RegValue::MultiString({"/srv/projects"}));
  EXPECT_EQ(RemoteFileRoots(), std::vector<std::string>{"/srv/projects"});
}

// The RPC settings fall back to their defaults, but nothing is reachable.
TEST_F(SettingsTest, RegistryThatCannotBeOpenedAllowsNothing) {
  std::ofstream(dir_ + "/broken.db") << "not a database, but long enough to look like one maybe";
  testing::ScopedEnv broken("QX_REGISTRY", dir_ + "/broken.db");
  ExpectDefaults(ReadRpcSettings());
  EXPECT_EQ(ServicePort(kServiceDiscovery), kDefaultDiscoveryPort);
  EXPECT_EQ(RemoteFileRoots(), std::vector<std::string>{});
  EXPECT_EQ(RemoteCallLibraryDirs(), std::vector<std::string>{});
}

// A store that fails to read one value (a damaged page below it).
class FailingValueStore : public testing::ForwardingStore {
 public:
  FailingValueStore(std::unique_ptr<RegistryStore> target, std::string name)
      : ForwardingStore(std::move(target)), name_(std::move(name)) {}
  RegStatus GetValue(KeyId key, std::string_view name, RegValue* value) override {
    if (name == name_) return RegStatus::kCorrupt;
    return ForwardingStore::GetValue(key, name, value);
  }

 private:
  std::string name_;
};

TEST_F(SettingsTest, DirectoryListThatCannotBeReadAllowsNothing) {
  Set(kSecurityKey, "FileRoots", RegValue::MultiString({"/srv/projects"}));
  FailingValueStore store(OpenSqliteRegistry(registry_.DatabasePath()), "LibraryDirs");
  EXPECT_EQ(RemoteCallLibraryDirs(store), std::vector<std::string>{});
  EXPECT_EQ(RemoteFileRoots(store), std::vector<std::string>{"/srv/projects"});
}

}  // namespace
}  // namespace qx
