// Tests of LocalHostInfo against a host-platform double, and of DottedText.
#include "hostinfo/local_host_info.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "trace/trace.h"

namespace qx {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1
constexpr std::uint32_t kLan = 0x0500A8C0;       // 192.168.0.5
constexpr std::uint32_t kLanMask = 0x00FFFFFF;   // 255.255.255.0
constexpr std::uint32_t kTen = 0x0700000A;       // 10.0.0.7
constexpr std::uint32_t kTenMask = 0x000000FF;   // 255.0.0.0

// What the platform answers; every field may be changed between refreshes.
struct FakeFacts {
  std::optional<std::string> computer = "plant01";
  std::optional<std::string> domain = "WORKGROUP";
  std::optional<std::string> user = "operator";
  std::optional<std::vector<Ipv4Row>> addresses =
      std::vector<Ipv4Row>{{kLoopback, kTenMask}, {kLan, kLanMask}, {kTen, kTenMask}};
};

class FakeHost : public HostPlatform {
 public:
  explicit FakeHost(FakeFacts* facts) : facts_(facts) {}
  std::optional<std::string> ComputerName() override { return facts_->computer; }
  std::optional<std::string> DomainName() override { return facts_->domain; }
  std::optional<std::string> UserName() override { return facts_->user; }
  std::optional<std::vector<Ipv4Row>> Ipv4Addresses() override { return facts_->addresses; }

 private:
  FakeFacts* facts_;
};

class LocalHostInfoTest : public ::testing::Test {
 protected:
  std::vector<std::string> Rows(const LocalHostInfo& info) {
    std::vector<std::string> rows;
    for (int i = 0; i < info.addressCount(); ++i) {
      rows.push_back(info.addressText(i).value_or("?") + "/" + info.maskText(i).value_or("?"));
    }
    return rows;
  }

  FakeFacts facts_;
  FakeHost host_{&facts_};
  LocalHostInfo info_{&host_};
};

TEST(DottedTextTest, WritesTheLowestByteFirst) {
  const struct {
    std::uint32_t value;
    const char* text;
  } cases[] = {
      {0, "0.0.0.0"},
      {kLoopback, "127.0.0.1"},
      {kLan, "192.168.0.5"},
      {0xFFFFFFFFu, "255.255.255.255"},
      {0x80000001u, "1.0.0.128"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DottedText(c.value), c.text);
  }
}

TEST_F(LocalHostInfoTest, StartsEmptyUntilTheFirstRefresh) {
  EXPECT_EQ(info_.computerName(), "");
  EXPECT_EQ(info_.currentAddress(), "");
  EXPECT_EQ(info_.addressCount(), 0);
  EXPECT_FALSE(info_.addressText(0).has_value());
  EXPECT_FALSE(info_.IsLocalComputer(""));  // an empty name is never this computer
}

TEST_F(LocalHostInfoTest, RefreshLeavesOutLoopbackAndMakesTheFirstRowCurrent) {
  ASSERT_TRUE(info_.Refresh());
  EXPECT_THAT(Rows(info_), ElementsAre("192.168.0.5/255.255.255.0", "10.0.0.7/255.0.0.0"));
  EXPECT_EQ(info_.currentAddress(), "192.168.0.5");
  EXPECT_EQ(info_.currentMask(), "255.255.255.0");
  EXPECT_EQ(info_.computerName(), "plant01");
  EXPECT_EQ(info_.domainName(), "WORKGROUP");
  EXPECT_EQ(info_.userName(), "operator");
  EXPECT_FALSE(info_.addressText(-1).has_value());
  EXPECT_FALSE(info_.maskText(2).has_value());
}

TEST_F(LocalHostInfoTest, SelectAddressChangesTheCurrentRowOnlyOnAMatch) {
  ASSERT_TRUE(info_.Refresh());
  EXPECT_TRUE(info_.SelectAddress("10.0.0.7"));
  EXPECT_EQ(info_.currentAddress(), "10.0.0.7");
  EXPECT_EQ(info_.currentMask(), "255.0.0.0");

  EXPECT_FALSE(info_.SelectAddress("10.0.0.8"));
  EXPECT_FALSE(info_.SelectAddress(""));
  EXPECT_EQ(info_.currentAddress(), "10.0.0.7");
  EXPECT_EQ(info_.currentMask(), "255.0.0.0");

  // A refresh makes the first row current again.
  ASSERT_TRUE(info_.Refresh());
  EXPECT_EQ(info_.currentAddress(), "192.168.0.5");
}

TEST_F(LocalHostInfoTest, OnlyTheFirstFiftyRowsAreExamined) {
  std::vector<Ipv4Row> many;
  for (std::uint32_t i = 1; i <= 60; ++i) many.push_back({0x0A | (i << 24), kTenMask});
  many[10] = {kLoopback, kTenMask};
  facts_.addresses = many;
  ASSERT_TRUE(info_.Refresh());
  ASSERT_EQ(info_.addressCount(), kMaxAddressRows - 1);  // 50 examined, loopback removed
  EXPECT_EQ(info_.addressText(0), "10.0.0.1");
  EXPECT_EQ(info_.addressText(10), "10.0.0.12");
  EXPECT_EQ(info_.addressText(kMaxAddressRows - 2), "10.0.0.50");
  EXPECT_FALSE(info_.SelectAddress("10.0.0.51"));
}

TEST_F(LocalHostInfoTest, FailedQueriesKeepWhatWasKnown) {
  ASSERT_TRUE(info_.Refresh());

  facts_.computer.reset();
  facts_.domain.reset();
  facts_.user.reset();
  facts_.addresses.reset();
  EXPECT_FALSE(info_.Refresh());
  EXPECT_EQ(info_.computerName(), "plant01");
  EXPECT_EQ(info_.domainName(), "WORKGROUP");
  EXPECT_EQ(info_.userName(), "operator");
  EXPECT_EQ(info_.addressCount(), 0);  // the table is rebuilt, and nothing was found
  EXPECT_EQ(info_.currentAddress(), "192.168.0.5");
  EXPECT_EQ(info_.currentMask(), "255.255.255.0");

  // Only the loopback address: an empty table, the current address as it was.
  facts_.addresses = std::vector<Ipv4Row>{{kLoopback, kTenMask}};
  EXPECT_TRUE(info_.Refresh());
  EXPECT_EQ(info_.addressCount(), 0);
  EXPECT_EQ(info_.currentAddress(), "192.168.0.5");
}

TEST_F(LocalHostInfoTest, NamesTooLongForTheirFieldsAreCutOrRefused) {
  ASSERT_TRUE(info_.Refresh());
  facts_.computer = "abcdefghijklmnopqrstuvwxyz";
  facts_.domain = std::string(256, 'd');  // room for 255 characters
  facts_.user = std::string(128, 'u');    // room for 127 characters
  ASSERT_TRUE(info_.Refresh());
  EXPECT_EQ(info_.computerName(), "abcdefghijklmno");
  EXPECT_EQ(info_.domainName(), "WORKGROUP");
  EXPECT_EQ(info_.userName(), "operator");

  facts_.domain = std::string(255, 'd');
  facts_.user = std::string(127, 'u');
  ASSERT_TRUE(info_.Refresh());
  EXPECT_EQ(info_.domainName(), std::string(255, 'd'));
  EXPECT_EQ(info_.userName(), std::string(127, 'u'));
}

TEST_F(LocalHostInfoTest, IsLocalComputerIgnoresCase) {
  ASSERT_TRUE(info_.Refresh());
  EXPECT_TRUE(info_.IsLocalComputer("PLANT01"));
  EXPECT_TRUE(info_.IsLocalComputer("Plant01"));
  EXPECT_FALSE(info_.IsLocalComputer("plant02"));
  EXPECT_FALSE(info_.IsLocalComputer("plant0"));
  EXPECT_FALSE(info_.IsLocalComputer(""));
}

TEST_F(LocalHostInfoTest, ReadersSeeWholeTablesWhileRefreshRuns) {
  const std::vector<Ipv4Row> first{{kLan, kLanMask}};
  const std::vector<Ipv4Row> second{{kTen, kTenMask}};
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      std::string address = info_.currentAddress();
      std::string mask = info_.currentMask();
      if (address.empty()) continue;
      if (address != "192.168.0.5" && address != "10.0.0.7") ++torn;
      (void)mask;
    }
  });
  for (int i = 0; i < 200; ++i) {
    facts_.addresses = (i % 2 == 0) ? first : second;
    info_.Refresh();
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
}

// The warning lines of SelectAddress, read from the debug output of a private runtime dir.
class SelectAddressTraceTest : public LocalHostInfoTest {
 protected:
  void SetUp() override {
    LocalHostInfoTest::SetUp();
    char pattern[] = "/tmp/qx-hostinfo-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const char* previous = std::getenv("QX_RUNTIME_DIR");
    if (previous != nullptr) previousRuntime_ = previous;
    ::setenv("QX_RUNTIME_DIR", dir_.c_str(), 1);

    socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(socket_, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = dir_ + "/debug.sock";
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval timeout{0, 200000};
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    previousTypes_ = Diagnosis().typeMask();
    previousLevels_ = Diagnosis().levelMask();
    Diagnosis().SetMasks(kTraceAll, kLevelMain);
  }
  void TearDown() override {
    Diagnosis().SetMasks(previousTypes_, previousLevels_);
    if (socket_ >= 0) ::close(socket_);
    if (previousRuntime_) {
      ::setenv("QX_RUNTIME_DIR", previousRuntime_->c_str(), 1);
    } else {
      ::unsetenv("QX_RUNTIME_DIR");
    }
    std::filesystem::remove_all(dir_);
    LocalHostInfoTest::TearDown();
  }

  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    char buffer[65536];
    for (;;) {
      ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
      if (n < 0) break;
      lines.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    return lines;
  }

  std::string dir_;
  std::optional<std::string> previousRuntime_;
  int socket_ = -1;
  std::uint32_t previousTypes_ = 0;
  std::uint32_t previousLevels_ = 0;
};

TEST_F(SelectAddressTraceTest, TracesEveryRowExamined) {
  ASSERT_TRUE(info_.Refresh());
  Lines();  // whatever the refresh wrote

  ASSERT_TRUE(info_.SelectAddress("10.0.0.7"));
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr("num(2) IP[0] = 192.168.0.5[255.255.255.0]"));
  EXPECT_THAT(lines[1], HasSubstr("num(2) IP[1] = 10.0.0.7[255.0.0.0]"));

  ASSERT_TRUE(info_.SelectAddress("192.168.0.5"));  // the first row: one line
  EXPECT_EQ(Lines().size(), 1u);

  EXPECT_FALSE(info_.SelectAddress("10.0.0.8"));  // no match: every row examined
  EXPECT_EQ(Lines().size(), 2u);
}

}  // namespace
}  // namespace qx
