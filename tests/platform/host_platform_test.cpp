// Tests of the Linux host platform: names from the registry or the kernel, the address table.
#include "platform/host_platform.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/text.h"
#include "registry/store/registry_store.h"
#include "support/temp_registry.h"

namespace qx {
namespace {

constexpr std::uint32_t kLoopback = 0x0100007F;

// The bytes of a first-octet-lowest value in the usual (first octet highest) order.
std::uint32_t Swapped(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

class HostPlatformTest : public ::testing::Test {
 protected:
  void SetPlatformValue(const char* name, const std::string& text) {
    RegistryStore& store = Registry();
    KeyId root = 0;
    KeyId key = 0;
    ASSERT_EQ(store.RootKey(RegRoot::kLocalMachine, &root), RegStatus::kOk);
    ASSERT_EQ(store.CreateKey(root, "SOFTWARE\\TOLVAR\\NORVANE\\PLATFORM", &key), RegStatus::kOk);
    ASSERT_EQ(store.SetValue(key, name, RegValue::String(text)), RegStatus::kOk);
  }

  testing::TempRegistry registry_;
};

TEST_F(HostPlatformTest, ComputerNameIsTheHostsOwnLabelCutToFifteen) {
  char kernel[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(::gethostname(kernel, sizeof kernel - 1), 0);
  std::string label(kernel);
  label = CutToUnits(label.substr(0, label.find('.')), 15);

  std::optional<std::string> name = Host().ComputerName();
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(*name, label);
}

TEST_F(HostPlatformTest, RegistryValuesNameTheStation) {
  SetPlatformValue("ComputerName", "A-VERY-LONG-STATION-NAME");
  SetPlatformValue("Domain", "PLANTS");
  EXPECT_EQ(Host().ComputerName(), "A-VERY-LONG-STA");
  EXPECT_EQ(Host().DomainName(), "PLANTS");

  SetPlatformValue("ComputerName", "");  // an empty value names nothing
  std::optional<std::string> name = Host().ComputerName();
  ASSERT_TRUE(name.has_value());
  EXPECT_NE(*name, "");
}

TEST_F(HostPlatformTest, DomainAndUserAreNeverEmpty) {
  std::optional<std::string> domain = Host().DomainName();
  ASSERT_TRUE(domain.has_value());
  EXPECT_FALSE(domain->empty());
  EXPECT_NE(*domain, "(none)");
  std::optional<std::string> user = Host().UserName();
  ASSERT_TRUE(user.has_value());
  EXPECT_FALSE(user->empty());
}

TEST_F(HostPlatformTest, AddressTableHasNoLoopbackAndWellFormedMasks) {
  std::optional<std::vector<Ipv4Row>> rows = Host().Ipv4Addresses();
  ASSERT_TRUE(rows.has_value());
  EXPECT_LE(rows->size(), 50u);
  for (const Ipv4Row& row : *rows) {
    SCOPED_TRACE(row.address);
    EXPECT_NE(row.address, kLoopback);
    // A network mask is ones then zeros from the first octet on.
    std::uint32_t hostBits = ~Swapped(row.mask);
    EXPECT_EQ(hostBits & (hostBits + 1), 0u) << std::hex << row.mask;
  }
}

class FixedHost : public HostPlatform {
 public:
  std::optional<std::string> ComputerName() override { return "double"; }
  std::optional<std::string> DomainName() override { return std::nullopt; }
  std::optional<std::string> UserName() override { return std::nullopt; }
  std::optional<std::vector<Ipv4Row>> Ipv4Addresses() override { return std::nullopt; }
};

// A double is handed to what uses it; the process's platform stays the real one beside it.
TEST_F(HostPlatformTest, ADoubleNeverStandsInForTheProcessPlatform) {
  FixedHost fixed;
  HostPlatform& handed = fixed;
  EXPECT_EQ(handed.ComputerName(), "double");
  EXPECT_FALSE(handed.Ipv4Addresses().has_value());
  EXPECT_NE(&Host(), &handed);
  EXPECT_NE(Host().ComputerName(), "double");
  EXPECT_TRUE(Host().Ipv4Addresses().has_value());
}

}  // namespace
}  // namespace qx
