// Tests of where settings come from: the protected ones only from a registry that root alone
// may write, else from the settings file; the others from the registry over the file over the
// default; a settings file that others may write or that is not in the format fails closed.
#include "registry/store/protected_settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "common/text.h"
#include "messaging/multicast_settings.h"
#include "registry/store/registry_store.h"
#include "registry/store/settings_file.h"
#include "rpc/rpc_settings.h"
#include "server/path_settings.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace qx {
namespace {

using qx::testing::TempDir;

constexpr const char* kOtherGuid = "11111111-2222-3333-4444-555555555555";

class ProtectedSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QX_CONFIG_DIR", dir_.c_str(), 1);
    NewRegistry();
  }
  void TearDown() override {
    registry_.reset();
    ::unsetenv("QX_CONFIG_DIR");
  }

  // Points the station's registry at a new, empty database.
  void NewRegistry() {
    ++databases_;
    registry_.emplace("QX_REGISTRY", Database());
    ASSERT_EQ(CreateStationRegistry(), RegStatus::kOk);
  }
  std::string Database() const { return dir_ + Format("/registry%d.db", databases_); }
  std::string ConfFile() const { return dir_ + "/qxremote.conf"; }

  void Set(std::string_view fullPath, std::string_view name, const RegValue& value) {
    KeyId root = 0;
    KeyId key = 0;
    ASSERT_EQ(Registry().RootKey(RegRoot::kLocalMachine, &root), RegStatus::kOk);
    fullPath.remove_prefix(std::string_view("HKEY_LOCAL_MACHINE\\").size());
    ASSERT_EQ(Registry().CreateKey(root, fullPath, &key), RegStatus::kOk);
    ASSERT_EQ(Registry().SetValue(key, name, value), RegStatus::kOk);
  }
  void WriteConf(const std::string& text, mode_t mode = 0644) {
    std::filesystem::remove(ConfFile());
    std::ofstream(ConfFile()) << text;
    ASSERT_EQ(::chmod(ConfFile().c_str(), mode), 0);
  }
  void RegistryMode(mode_t mode) { ASSERT_EQ(::chmod(Database().c_str(), mode), 0); }

  TempDir temp_{"qx_protected_test"};
  const std::string& dir_ = temp_.path();
  int databases_ = 0;
  std::optional<testing::ScopedEnv> registry_;
};

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}

std::string Multicast(std::string MulticastSettings::*field) {
  MulticastSettings settings;
  std::string error;
  const std::string listen = ReadRpcSettings().listenAddress;
  if (!ReadMulticastSettings(listen, &settings, &error)) return "error: " + error;
  return settings.*field;
}

std::string MulticastNumber(std::uint32_t MulticastSettings::*field) {
  MulticastSettings settings;
  std::string error;
  const std::string listen = ReadRpcSettings().listenAddress;
  if (!ReadMulticastSettings(listen, &settings, &error)) return "error: " + error;
  return std::to_string(settings.*field);
}

// One protected value: how the registry and the file set it, and what its reader answers.
struct ProtectedCase {
  const char* key;
  const char* name;
  RegValue registryValue;
  const char* fileValue;  // the text after "Name = "
  std::function<std::string()> reader;
  std::string fromRegistry;
  std::string fromFile;
};

std::vector<ProtectedCase> ProtectedCases() {
  return {
      {kSecurityKey, "LibraryDirs", RegValue::MultiString({"/home/op/libs"}), "/usr/lib/plant",
       [] { return Join(RemoteCallLibraryDirs()); }, "/home/op/libs", "/usr/lib/plant"},
      {kSecurityKey, "FileRoots", RegValue::MultiString({"/"}), "/srv/projects",
       [] { return Join(RemoteFileRoots()); }, "/", "/srv/projects"},
      {kRpcKey, "ListenAddress", RegValue::String("0.0.0.0"), "127.0.0.8",
       [] { return ReadRpcSettings().listenAddress; }, "0.0.0.0", "127.0.0.8"},
      {kRpcPortsKey, kOtherGuid, RegValue::Dword(1111), "2222",
       [] { return std::to_string(ServicePort(kOtherGuid).value_or(0)); }, "1111", "2222"},
      {kMulticastKey, "Group", RegValue::String("239.1.1.1"), "239.2.2.2",
       [] { return Multicast(&MulticastSettings::group); }, "239.1.1.1", "239.2.2.2"},
      {kMulticastKey, "Interface", RegValue::String("127.0.0.5"), "127.0.0.6",
       [] { return Multicast(&MulticastSettings::interfaceAddress); }, "127.0.0.5", "127.0.0.6"},
      {kMulticastKey, "UnicastAddress", RegValue::String("127.0.0.5"), "127.0.0.6",
       [] { return Multicast(&MulticastSettings::unicastAddress); }, "127.0.0.5", "127.0.0.6"},
      {kMulticastKey, "TTL", RegValue::Dword(5), "0x1",
       [] { return MulticastNumber(&MulticastSettings::ttl); }, "5", "1"},
      {"HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\DIAGNOSIS", "LogFile",
       RegValue::String("/etc/cron.d/x"), "/var/log/qxremote/plant.log",
       [] {
         const SettingRead read = ReadSetting(
             "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\DIAGNOSIS", "LogFile", RegType::kSz);
         return read.status == RegStatus::kOk ? read.value.text : "unreadable";
       },
       "/etc/cron.d/x", "/var/log/qxremote/plant.log"},
  };
}

std::string Section(const char* key) {
  return std::string(key).substr(
      std::string_view("HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\").size());
}

TEST_F(ProtectedSettingsTest, ProtectedValuesComeOnlyFromStoresRootAloneWrites) {
  for (const ProtectedCase& c : ProtectedCases()) {
    SCOPED_TRACE(std::string(c.key) + "\\" + c.name);
    NewRegistry();
    Set(c.key, c.name, c.registryValue);
    WriteConf("# root's settings\n[" + Section(c.key) + "]\n" + c.name + " = " + c.fileValue +
              "\n");
    EXPECT_TRUE(IsProtectedSetting(c.key, c.name));

    RegistryMode(0664);  // operators may write it: the registry's value is ignored
    EXPECT_EQ(c.reader(), c.fromFile);
    RegistryMode(0644);  // root's alone: the registry wins
    EXPECT_EQ(c.reader(), c.fromRegistry);
    RegistryMode(0660);
    ASSERT_EQ(::chmod(ConfFile().c_str(), 0664), 0);  // a file others may write: unreadable
    const SettingRead read = ReadSetting(c.key, c.name, RegType::kSz);
    EXPECT_NE(read.status, RegStatus::kOk);
    EXPECT_NE(read.status, RegStatus::kNotFound);
    EXPECT_NE(read.detail.find(ConfFile()), std::string::npos) << read.detail;
  }
}

TEST_F(ProtectedSettingsTest, UnusableFileAllowsNothingAndStopsTheAgentCheck) {
  const struct {
    const char* name;
    std::string text;
    mode_t mode;
  } cases[] = {
      {"writable by others", "[SECURITY]\nFileRoots = /srv\n", 0666},
      {"writable by the group", "[SECURITY]\nFileRoots = /srv\n", 0620},
      {"not in the format", "[SECURITY]\nFileRoots /srv\n", 0644},
      {"value before a section", "FileRoots = /srv\n", 0644},
      {"unbalanced quote", "[SECURITY]\nFileRoots = \"/srv\n", 0644},
      {"not UTF-8", "[SECURITY]\nFileRoots = /srv\xff\n", 0644},
      {"line too long", "[SECURITY]\nFileRoots = " + std::string(5000, 'a') + "\n", 0644},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteConf(c.text, c.mode);
    EXPECT_EQ(RemoteFileRoots(), std::vector<std::string>{});
    EXPECT_EQ(RemoteCallLibraryDirs(), std::vector<std::string>{});
    MulticastSettings settings;
    std::string error;
    EXPECT_FALSE(ReadMulticastSettings(ReadRpcSettings().listenAddress, &settings, &error));
    EXPECT_FALSE(CheckSettingsFile(&error));
    EXPECT_NE(error.find(ConfFile()), std::string::npos) << error;
  }
  // A directory above the file that others may write makes it unusable too; a missing file is
  // no failure.
  WriteConf("[SECURITY]\nFileRoots = /srv\n");
  ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
  std::string error;
  EXPECT_FALSE(CheckSettingsFile(&error));
  ASSERT_EQ(::chmod(dir_.c_str(), 01777), 0);  // sticky, like /tmp: entries stay their owners'
  EXPECT_TRUE(CheckSettingsFile(&error)) << error;
  ASSERT_EQ(::chmod(dir_.c_str(), 0700), 0);
  EXPECT_TRUE(CheckSettingsFile(&error)) << error;
  EXPECT_EQ(RemoteFileRoots(), std::vector<std::string>{"/srv"});
  std::filesystem::remove(ConfFile());
  EXPECT_TRUE(CheckSettingsFile(&error)) << error;
  EXPECT_EQ(RemoteFileRoots(), std::vector<std::string>{"/var/lib/qxremote/projects"});
}

TEST_F(ProtectedSettingsTest, FileOrSubdirectoryOfAnotherOwnerIsNotRoots) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  WriteConf("[SECURITY]\nFileRoots = /srv\n");
  ASSERT_EQ(::chown(ConfFile().c_str(), 12345, 12345), 0);
  EXPECT_EQ(RemoteFileRoots(), std::vector<std::string>{});
  ASSERT_EQ(::chown(ConfFile().c_str(), 0, 0), 0);
  EXPECT_EQ(RemoteFileRoots(), std::vector<std::string>{"/srv"});
  // The registry's -wal written by others makes the registry no longer root's alone.
  Set(kSecurityKey, "FileRoots", RegValue::MultiString({"/"}));
  std::string why;
  ASSERT_TRUE(RegistryHoldsProtectedSettings(&why)) << why;
  std::ofstream(Database() + "-wal").flush();
  ASSERT_EQ(::chown((Database() + "-wal").c_str(), 12345, 12345), 0);
  EXPECT_FALSE(RegistryHoldsProtectedSettings(&why));
  EXPECT_EQ(RemoteFileRoots(), std::vector<std::string>{"/srv"});
}

TEST_F(ProtectedSettingsTest, OtherValuesComeFromRegistryThenFileThenDefault) {
  const RpcSettings defaults;
  RegistryMode(0664);  // whoever may write the registry: it holds these
  EXPECT_EQ(ReadRpcSettings().callTimeoutMs, defaults.callTimeoutMs);
  WriteConf("[rpc]\nCallTimeoutMs = 0x3e8\nConnectTimeoutMs = many\n");
  EXPECT_EQ(ReadRpcSettings().callTimeoutMs, 1000u);
  EXPECT_EQ(ReadRpcSettings().connectTimeoutMs, defaults.connectTimeoutMs);  // not a number
  Set(kRpcKey, "CallTimeoutMs", RegValue::Dword(2000));
  EXPECT_EQ(ReadRpcSettings().callTimeoutMs, 2000u);
  EXPECT_FALSE(IsProtectedSetting(kRpcKey, "CallTimeoutMs"));
  // A file that cannot be used leaves them to the registry and the defaults.
  WriteConf("[RPC]\nConnectTimeoutMs = 10\n", 0666);
  EXPECT_EQ(ReadRpcSettings().callTimeoutMs, 2000u);
  EXPECT_EQ(ReadRpcSettings().connectTimeoutMs, defaults.connectTimeoutMs);
}

TEST(SettingsFileParse, ListsQuotesCommentsAndTypes) {
  SettingsFile::Snapshot file;
  std::string error;
  ASSERT_TRUE(
      SettingsFile::Parse("; comment\n  # another\n[Security]\n"
                          "FileRoots = /srv/a\nfileroots = /srv/b\nLibraryDirs =\n"
                          "[RPC\\PORTS\\]\nA = 0x10\nB = \"  spaced  \"\nC = 4294967296\n",
                          &file, &error))
      << error;
  file.state = SettingsFile::State::kReadable;
  const auto find = [&](const char* key, const char* name) {
    return file.Find(std::string("HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\") + key, name);
  };
  ASSERT_NE(find("SECURITY", "FILEROOTS"), nullptr);
  EXPECT_EQ(*find("SECURITY", "FileRoots"), (std::vector<std::string>{"/srv/a", "/srv/b"}));
  ASSERT_NE(find("security", "LibraryDirs"), nullptr);
  EXPECT_TRUE(find("security", "LibraryDirs")->empty());  // an empty list allows nothing
  EXPECT_EQ(find("SECURITY", "Other"), nullptr);
  EXPECT_EQ(find("SECURITYX", "FileRoots"), nullptr);

  const struct {
    const char* name;
    RegType asked;
    RegType type;
    std::uint32_t dword;
    std::string text;
  } cases[] = {
      {"A", RegType::kDword, RegType::kDword, 16, ""},
      {"A", RegType::kSz, RegType::kSz, 0, "0x10"},
      {"B", RegType::kSz, RegType::kSz, 0, "  spaced  "},
      {"B", RegType::kDword, RegType::kNone, 0, ""},  // exists but cannot be read
      {"C", RegType::kDword, RegType::kNone, 0, ""},  // beyond 32 bits
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " as " + std::to_string(static_cast<int>(c.asked)));
    const auto* items = find("RPC\\PORTS", c.name);
    ASSERT_NE(items, nullptr);
    const RegValue value = SettingsFile::AsRegValue(*items, c.asked);
    EXPECT_EQ(value.type, c.type);
    EXPECT_EQ(value.dword, c.dword);
    EXPECT_EQ(value.text, c.text);
  }
  EXPECT_EQ(SettingsFile::AsRegValue(*find("SECURITY", "FileRoots"), RegType::kSz).type,
            RegType::kNone);  // two items are no single text
}

}  // namespace
}  // namespace qx
