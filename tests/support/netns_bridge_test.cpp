// netns_bridge_test.cpp - the switch of namespaces makes the faults it is asked for: UDP
// datagrams between two of its stations, sent through sockets made inside their namespaces.
// Needs root, ip and nft; skips without them.
#include "support/netns_bridge.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace qx::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kAddress[] = {"10.79.0.1", "10.79.0.2"};
constexpr std::uint16_t kPort = 24999;
constexpr int kDatagrams = 200;
constexpr std::size_t kPayload = 100;

// A UDP socket bound to address:kPort inside the namespace (made on a thread of its own, which
// alone enters the namespace); -1 when it cannot be made.
int SocketIn(const std::string& netns, const char* address) {
  int result = -1;
  std::thread([&] {
    const int ns = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0) return;
    if (::setns(ns, CLONE_NEWNET) == 0) {
      const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_port = htons(kPort);
      ::inet_pton(AF_INET, address, &local.sin_addr);
      if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) {
        result = fd;
      } else if (fd >= 0) {
        ::close(fd);
      }
    }
    ::close(ns);
  }).join();
  return result;
}

class NetnsBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_ = std::make_unique<TempDir>("qxbridge");
    bridge_ = std::make_unique<NetnsBridge>("qxbt" + std::to_string(::getpid()), temp_->path());
    std::string why;
    if (!bridge_->Open(&why)) GTEST_SKIP() << why;
    for (int i = 0; i < 2; ++i) {
      std::string netns;
      ASSERT_TRUE(bridge_->AddStation(i, std::string(kAddress[i]) + "/24", &netns));
      socket_[i] = SocketIn(netns, kAddress[i]);
      ASSERT_GE(socket_[i], 0) << netns;
    }
    // The first datagram waits for ARP; once one arrives the path is open.
    bool open = false;
    for (int attempt = 0; attempt < 50 && !open; ++attempt) open = Send(1, 100ms) == 1;
    ASSERT_TRUE(open) << "nothing crosses the bridge";
  }
  void TearDown() override {
    for (int fd : socket_) {
      if (fd >= 0) ::close(fd);
    }
  }

  // Sends count datagrams from station 0 to station 1; how many arrived within wait.
  int Send(int count, std::chrono::milliseconds wait = 500ms) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    ::inet_pton(AF_INET, kAddress[1], &to.sin_addr);
    const std::string payload(kPayload, 'x');
    for (int i = 0; i < count; ++i) {
      ::sendto(socket_[0], payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to);
      if (i % 20 == 19) std::this_thread::sleep_for(1ms);  // within the veth queues
    }
    int arrived = 0;
    pollfd poll{socket_[1], POLLIN, 0};
    char buffer[2048];
    while (::poll(&poll, 1, static_cast<int>(wait.count())) > 0) {
      if (::recv(socket_[1], buffer, sizeof buffer, 0) > 0) ++arrived;
    }
    return arrived;
  }

  std::unique_ptr<TempDir> temp_;
  std::unique_ptr<NetnsBridge> bridge_;
  int socket_[2] = {-1, -1};
};

TEST_F(NetnsBridgeTest, LosesTheShareOfFramesAskedOnEveryPath) {
  struct Case {
    int percent;
    int low;
    int high;
  };
  // 200 datagrams; at 20 % about 160 arrive (a standard deviation of about 6).
  const Case cases[] = {{0, 195, kDatagrams}, {20, 130, 185}, {100, 0, 0}, {0, 195, kDatagrams}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.percent);
    ASSERT_TRUE(bridge_->SetLoss(c.percent));
    const int arrived = Send(kDatagrams);
    EXPECT_GE(arrived, c.low);
    EXPECT_LE(arrived, c.high);
  }
}

TEST_F(NetnsBridgeTest, CutsAStationAndLetsItBackEachWay) {
  struct Case {
    const char* name;
    bool (NetnsBridge::*cut)(int, bool);
    bool cutValue;  // the second argument that cuts
    int station;
  };
  const Case cases[] = {
      {"silent drop of the receiver", &NetnsBridge::SetSilenced, true, 1},
      {"silent drop of the sender", &NetnsBridge::SetSilenced, true, 0},
      {"switch port of the receiver down", &NetnsBridge::SetPortUp, false, 1},
      {"receiver's own interface down", &NetnsBridge::SetStationLinkUp, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE((bridge_.get()->*c.cut)(c.station, c.cutValue));
    EXPECT_EQ(Send(20), 0);
    ASSERT_TRUE((bridge_.get()->*c.cut)(c.station, !c.cutValue));
    // A link that comes back may take a moment (carrier, neighbour entry).
    int arrived = 0;
    for (int attempt = 0; attempt < 30 && arrived == 0; ++attempt) arrived = Send(1, 100ms);
    EXPECT_EQ(arrived, 1);
  }
}

TEST_F(NetnsBridgeTest, CountsTheBytesAStationSends) {
  const std::optional<std::uint64_t> sender = bridge_->BytesFromStation(0);
  const std::optional<std::uint64_t> receiver = bridge_->BytesFromStation(1);
  ASSERT_TRUE(sender.has_value() && receiver.has_value());
  ASSERT_EQ(Send(kDatagrams), kDatagrams);
  // Each datagram is its payload and 42 bytes of Ethernet, IPv4 and UDP headers; the receiver
  // sent nothing but perhaps an ARP answer.
  const std::uint64_t sent = bridge_->BytesFromStation(0).value_or(0) - *sender;
  EXPECT_GE(sent, kDatagrams * (kPayload + 42));
  EXPECT_LT(sent, kDatagrams * (kPayload + 42) + 1000);
  EXPECT_LT(bridge_->BytesFromStation(1).value_or(~0ull) - *receiver, 1000u);
}

}  // namespace
}  // namespace qx::testing
