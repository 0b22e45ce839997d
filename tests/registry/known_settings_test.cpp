// The table of known settings: which values only root sets, what a typo is taken for, and which
// values fit.
#include "registry/store/known_settings.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "messaging/multicast_settings.h"
#include "messaging/multicast_transport.h"
#include "registry/store/protected_settings.h"
#include "rpc/rpc_settings.h"
#include "support/temp_registry.h"

namespace qx {
namespace {

std::string Key(const std::string& relative) {
  return std::string(kSettingsBaseKey) + "\\" + relative;
}

TEST(KnownSettings, RootSetsWhatAStationExposes) {
  const struct {
    const char* key;
    const char* name;
    bool isProtected;
  } cases[] = {
      {"SECURITY", "FileRoots", true},      {"SECURITY", "AnyName", true},
      {"security\\", "libraryDIRS", true},  {"RPC", "ListenAddress", true},
      {"RPC\\PORTS", "SOME-GUID", true},    {"MULTICAST", "Group", true},
      {"MULTICAST", "Port", true},          {"MULTICAST", "Interface", true},
      {"MULTICAST", "Interfaces", true},    {"MULTICAST", "UnicastAddress", true},
      {"MULTICAST", "TTL", true},           {"MULTICAST", "Peers", true},
      {"MULTICAST", "Relay", true},         {"DIAGNOSIS", "LogFile", true},
      {"RPC", "ConnectTimeoutMs", false},   {"MULTICAST", "DatagramBytes", false},
      {"DIAGNOSIS", "LogFileLimit", false}, {"SETUP", "Version", false},
      {"RPC\\HOSTS", "STATION6", false},    {"MULTICASTX", "Group", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "\\" + c.name);
    EXPECT_EQ(IsProtectedSetting(Key(c.key), c.name), c.isProtected);
  }
  EXPECT_FALSE(IsProtectedSetting("HKEY_LOCAL_MACHINE\\SOFTWARE\\OTHER\\SECURITY", "FileRoots"));
}

TEST(KnownSettings, TyposAreTakenForTheNearestName) {
  const struct {
    const char* key;
    const char* typed;
    const char* meant;  // "" when nothing is near
  } cases[] = {
      {"RPC", "ConectTimeoutMs", "ConnectTimeoutMs"},
      {"RPC", "ListenAddres", "ListenAddress"},
      {"RPC", "listenaddress", "ListenAddress"},
      {"MULTICAST", "Interface", "Interface"},
      {"MULTICAST", "Intrfaces", "Interfaces"},
      {"RPC", "Zebra", ""},
      {"SETUP", "Versoin", ""},  // an open key has no names to suggest
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    EXPECT_EQ(NearestSettingName(Key(c.key), c.typed), c.meant);
  }
  EXPECT_TRUE(IsClosedSettingsKey(Key("RPC")));
  EXPECT_FALSE(IsClosedSettingsKey(Key("RPC\\HOSTS")));
  EXPECT_FALSE(IsClosedSettingsKey(Key("STORAGE\\PROJECTLIST")));
}

TEST(KnownSettings, ValuesMustHaveTheirTypeAndForm) {
  const struct {
    const char* key;
    const char* name;
    RegValue value;
    bool fits;
  } cases[] = {
      {"RPC", "ListenAddress", RegValue::String("127.0.0.2"), true},
      {"RPC", "ListenAddress", RegValue::String("0.0.0.0"), true},
      {"RPC", "ListenAddress", RegValue::String("not-an-ip"), false},
      {"RPC", "ListenAddress", RegValue::String("127.0.0.256"), false},
      {"RPC", "ListenAddress", RegValue::Dword(1), false},
      {"RPC", "ConnectTimeoutMs", RegValue::String("1000"), false},
      {"RPC", "ServerThreads", RegValue::Dword(0), false},
      {"RPC", "ServerThreads", RegValue::Dword(1), true},
      {"MULTICAST", "Port", RegValue::Dword(65536), false},
      {"MULTICAST", "TTL", RegValue::Dword(255), true},
      {"MULTICAST", "TTL", RegValue::Dword(256), false},
      {"MULTICAST", "Group", RegValue::String("239.1.2.3"), true},
      {"MULTICAST", "Group", RegValue::String("10.1.2.3"), false},
      {"MULTICAST", "Interfaces", RegValue::MultiString({"eth0", "enp*", "10.0.0.0/8"}), true},
      {"MULTICAST", "Interfaces", RegValue::MultiString({}), true},
      {"MULTICAST", "Interfaces", RegValue::MultiString({"a/b"}), false},
      {"MULTICAST", "Interfaces", RegValue::String("eth0"), false},
      {"MULTICAST", "Peers", RegValue::MultiString({"10.2.0.5", "relay-b.plant"}), true},
      {"MULTICAST", "Peers", RegValue::String("10.2.0.5, relay-b"), true},
      {"MULTICAST", "Peers", RegValue::String("relay_b"), false},
      {"MULTICAST", "Peers", RegValue::MultiString({"10.2.0.5:24780"}), false},
      {"MULTICAST", "Relay", RegValue::Dword(1), true},
      {"MULTICAST", "Relay", RegValue::Dword(2), false},
      {"MULTICAST", "Relay", RegValue::String("1"), false},
      {"SECURITY", "FileRoots", RegValue::MultiString({"/srv/a", "/srv/b"}), true},
      {"SECURITY", "FileRoots", RegValue::String("/srv/a:/srv/b"), true},
      {"SECURITY", "FileRoots", RegValue::String("/srv/a:srv/b"), false},
      {"DIAGNOSIS", "LogFile", RegValue::String("log.txt"), false},
      {"PLATFORM", "ComputerName", RegValue::String(""), false},
      {"RPC", "CallTimeoutMs", RegValue{}, false},  // a file value of no type
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "\\" + c.name);
    const KnownSetting* known = FindKnownSetting(Key(c.key), c.name);
    ASSERT_NE(known, nullptr);
    const std::optional<std::string> wrong = CheckKnownValue(*known, c.value);
    EXPECT_EQ(!wrong.has_value(), c.fits) << wrong.value_or("");
    if (wrong) {
      EXPECT_EQ(wrong->rfind(c.name, 0), 0u) << *wrong;  // names the setting
    }
  }
}

}  // namespace
}  // namespace qx

namespace qx {
namespace {

// The MULTICAST key of the test's registry, made.
bool MakeMulticastKey(KeyId* key) {
  KeyId root = 0;
  return Registry().RootKey(RegRoot::kLocalMachine, &root) == RegStatus::kOk &&
         Registry().CreateKey(root, "SOFTWARE\\TOLVAR\\NORVANE\\MULTICAST", key) == RegStatus::kOk;
}

// A network-mode station with no TTL reaches its link (1); a local one stays on the machine.
TEST(MulticastTtl, AbsentTtlFollowsTheMode) {
  const struct {
    const char* name;
    const char* interfaceAddress;  // nullptr: absent (loopback)
    std::optional<std::uint32_t> ttl;
    std::uint32_t expected;
  } cases[] = {
      {"local, absent", nullptr, std::nullopt, 0},
      {"network, absent", "192.0.2.1", std::nullopt, 1},
      {"network, 0 set", "192.0.2.1", 0, 0},
      {"local, 3 set", "127.0.0.1", 3, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempRegistry registry;
    KeyId key = 0;
    ASSERT_TRUE(MakeMulticastKey(&key));
    if (c.interfaceAddress != nullptr) {
      ASSERT_EQ(Registry().SetValue(key, "Interface", RegValue::String(c.interfaceAddress)),
                RegStatus::kOk);
    }
    if (c.ttl) {
      ASSERT_EQ(Registry().SetValue(key, "TTL", RegValue::Dword(*c.ttl)), RegStatus::kOk);
    }
    MulticastSettings settings;
    std::string error;
    ASSERT_TRUE(ReadMulticastSettings(ReadRpcSettings().listenAddress, &settings, &error)) << error;
    EXPECT_EQ(settings.ttl, c.expected);
  }
}

// Peers and Relay as the agent reads them: off when absent; a list in either form; a value that
// cannot be a peer list or relay switch fails the read (the agent does not guess where its
// datagrams go).
TEST(MulticastPeersSetting, PeersAndRelayAreReadOrRefused) {
  const struct {
    const char* name;
    std::optional<RegValue> peers;
    std::optional<RegValue> relay;
    bool read;
    std::vector<std::string> expectedPeers;
    bool expectedRelay;
  } cases[] = {
      {"absent", std::nullopt, std::nullopt, true, {}, false},
      {"a list",
       RegValue::MultiString({"10.2.0.5", "relay-b"}),
       RegValue::Dword(1),
       true,
       {"10.2.0.5", "relay-b"},
       true},
      {"a text",
       RegValue::String("10.2.0.5; relay-b 10.2.0.5"),
       RegValue::Dword(0),
       true,
       {"10.2.0.5", "relay-b"},
       false},
      {"a peer that is none", RegValue::String("relay_b"), std::nullopt, false, {}, false},
      {"a number for peers", RegValue::Dword(1), std::nullopt, false, {}, false},
      {"relay beyond 1", std::nullopt, RegValue::Dword(2), false, {}, false},
      {"relay as text", std::nullopt, RegValue::String("1"), false, {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempRegistry registry;
    KeyId key = 0;
    ASSERT_TRUE(MakeMulticastKey(&key));
    if (c.peers) {
      ASSERT_EQ(Registry().SetValue(key, "Peers", *c.peers), RegStatus::kOk);
    }
    if (c.relay) {
      ASSERT_EQ(Registry().SetValue(key, "Relay", *c.relay), RegStatus::kOk);
    }
    MulticastSettings settings;
    std::string error;
    EXPECT_EQ(ReadMulticastSettings(ReadRpcSettings().listenAddress, &settings, &error), c.read)
        << error;
    if (!c.read) {
      EXPECT_NE(error.find(c.peers && !c.relay ? "Peers" : "Relay"), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(settings.peers, c.expectedPeers);
    EXPECT_EQ(settings.relay, c.expectedRelay);
  }
}

}  // namespace
}  // namespace qx
