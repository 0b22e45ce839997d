// Two Stations in one process: each keeps its own registry, host identity, network tree and
// multicast component, so one station's announcement reaches the other only as a message.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "discovery/default_discovery_host.h"
#include "discovery/discovery_handler.h"
#include "discovery/host_details.h"
#include "platform/host_platform.h"
#include "registry/store/registry_store.h"
#include "station/station.h"
#include "support/manual_clock.h"
#include "support/station_dir.h"
#include "support/temp_dir.h"

namespace qx {
namespace {

class NamedHost : public HostPlatform {
 public:
  NamedHost(std::string name, std::uint32_t address) : name_(std::move(name)), address_(address) {}
  std::optional<std::string> ComputerName() override { return name_; }
  std::optional<std::string> DomainName() override { return "PLANTNET"; }
  std::optional<std::string> UserName() override { return "operator"; }
  std::optional<std::vector<Ipv4Row>> Ipv4Addresses() override {
    return std::vector<Ipv4Row>{{address_, 0x00FFFFFFu}};
  }

 private:
  std::string name_;
  std::uint32_t address_;
};

// What each station's multicast component was asked to send, by station.
Mutex sendsMutex;
std::vector<std::string> sends[2] GUARDED_BY(sendsMutex);

template <int kStation>
class RecordingTransport : public INetQXKomm {
 public:
  HRESULT SendToGroup(std::string_view text) override { return Record(text); }
  HRESULT LocalRequest(std::string_view, AnswerText*) override { return E_NOTIMPL; }
  HRESULT SendToHost(std::string_view, std::string_view text) override { return Record(text); }
  static HRESULT Create(std::unique_ptr<INetQXKomm>* component) {
    *component = std::make_unique<RecordingTransport>();
    return S_OK;
  }

 private:
  static HRESULT Record(std::string_view text) {
    MutexLock lock(&sendsMutex);
    sends[kStation].emplace_back(text);
    return S_OK;
  }
};

std::vector<std::string> TakeSends(int station) {
  MutexLock lock(&sendsMutex);
  return std::exchange(sends[station], {});
}

class TwoStationsTest : public ::testing::Test {
 protected:
  static StationParts Parts(const testing::TempDir& dir, const char* name, std::uint32_t address,
                            NetQXKommFactory transport, const MonotonicClock* clock) {
    StationParts parts;
    parts.registry = OpenSqliteRegistry(dir.File("registry.db"));
    parts.hostPlatform = std::make_unique<NamedHost>(name, address);
    parts.transport = transport;
    parts.clock = clock;
    return parts;
  }

  void SetUp() override {
    TakeSends(0);
    TakeSends(1);
    for (Station* station : {&alpha_, &beta_}) {
      station->localHost().Refresh();
      ASSERT_TRUE(station->tree().Init());
    }
  }

  // The process's own station (QX_REGISTRY, QX_RUNTIME_DIR), which the settings readers use.
  testing::StationDir process_{"qx_two_stations"};
  testing::TempDir alphaDir_{"qx_alpha"};
  testing::TempDir betaDir_{"qx_beta"};
  testing::ManualClock alphaClock_;
  testing::ManualClock betaClock_;
  Station alpha_{
      Parts(alphaDir_, "ALPHA", 0x0A01A8C0u, &RecordingTransport<0>::Create, &alphaClock_)};
  Station beta_{Parts(betaDir_, "BETA", 0x0B01A8C0u, &RecordingTransport<1>::Create, &betaClock_)};
  test::DefaultDiscoveryHost alphaHost_{alpha_};
  test::DefaultDiscoveryHost betaHost_{beta_};
};

TEST_F(TwoStationsTest, RegistryWrittenInOneIsNotInTheOther) {
  KeyId machine = 0;
  KeyId key = 0;
  ASSERT_EQ(alpha_.registry().RootKey(RegRoot::kLocalMachine, &machine), RegStatus::kOk);
  ASSERT_EQ(alpha_.registry().CreateKey(machine,
                                        "SOFTWARE\\TOLVAR\\NORVANE\\STORAGE\\PROJECTLIST"
                                        "\\Plant",
                                        &key),
            RegStatus::kOk);
  ASSERT_EQ(alpha_.registry().SetValue(key, "DSN", RegValue::String("Plant")), RegStatus::kOk);

  KeyId betaMachine = 0;
  KeyId found = 0;
  ASSERT_EQ(beta_.registry().RootKey(RegRoot::kLocalMachine, &betaMachine), RegStatus::kOk);
  EXPECT_EQ(beta_.registry().OpenKey(
                betaMachine, "SOFTWARE\\TOLVAR\\NORVANE\\STORAGE\\PROJECTLIST\\Plant", &found),
            RegStatus::kNotFound);
  RegValue value;
  ASSERT_EQ(alpha_.registry().GetValue(key, "DSN", &value), RegStatus::kOk);
  EXPECT_EQ(value.text, "Plant");
}

TEST_F(TwoStationsTest, EachStationKeepsItsOwnIdentityAndClock) {
  EXPECT_EQ(alpha_.localHost().computerName(), "ALPHA");
  EXPECT_EQ(beta_.localHost().computerName(), "BETA");
  EXPECT_EQ(alpha_.localHost().currentAddress(), "192.168.1.10");
  EXPECT_EQ(beta_.localHost().currentAddress(), "192.168.1.11");
  EXPECT_EQ(&alpha_.clock(), &alphaClock_);
  EXPECT_EQ(&beta_.clock(), &betaClock_);
}

// ALPHA joins: its JOIN goes out through ALPHA's component only, and enters ALPHA's own tree.
// BETA's tree takes the JOIN as a message and answers through BETA's component with an UPDATE
// that names BETA; ALPHA's tree takes that UPDATE. Neither tree ever holds what only the other
// was told.
TEST_F(TwoStationsTest, OneStationsTreeIngestsTheOthersAnnouncements) {
  ASSERT_EQ(JoinMulticastGroup(alphaHost_), S_OK);
  std::vector<std::string> fromAlpha = TakeSends(0);
  ASSERT_EQ(fromAlpha.size(), 1u);
  EXPECT_TRUE(TakeSends(1).empty());
  EXPECT_EQ(alpha_.tree().HostNames(), std::vector<std::string>{"ALPHA"});
  EXPECT_TRUE(beta_.tree().HostNames().empty());

  ASSERT_EQ(betaHost_.onReceiveMulticast(fromAlpha[0]), S_OK);
  EXPECT_EQ(beta_.tree().HostNames(), std::vector<std::string>{"ALPHA"});
  std::vector<std::string> fromBeta = TakeSends(1);
  ASSERT_EQ(fromBeta.size(), 1u) << "BETA answers a joining station with its UPDATE";
  EXPECT_TRUE(TakeSends(0).empty());
  CXmlElement update;
  ASSERT_TRUE(update.LoadXml(fromBeta[0]));
  EXPECT_EQ(update.GetSubText("EVENT"), "UPDATE");
  EXPECT_EQ(update.GetSubText("Host"), "BETA");

  ASSERT_EQ(alphaHost_.onReceiveMulticast(fromBeta[0]), S_OK);
  EXPECT_EQ(alpha_.tree().HostNames(), (std::vector<std::string>{"ALPHA", "BETA"}));
  EXPECT_EQ(beta_.tree().HostNames(), std::vector<std::string>{"ALPHA"})
      << "BETA's tree learns of itself only from its own join";
  EXPECT_TRUE(TakeSends(0).empty()) << "an UPDATE is not answered";
}

}  // namespace
}  // namespace qx
