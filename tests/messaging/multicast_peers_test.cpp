// Tests of the peer list (MULTICAST\Peers): resolving names on the list's own thread without
// ever holding up a reader, and where a relay sends what it opened.
#include "messaging/multicast_peers.h"
#include "messaging/heard_addresses.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"

namespace qx {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

std::uint32_t Ip(const char* text) {
  in_addr parsed{};
  EXPECT_EQ(inet_pton(AF_INET, text, &parsed), 1) << text;
  return ntohl(parsed.s_addr);
}

// A resolver of the test's own: answers from a table, and may be held inside a lookup.
class FakeResolver {
 public:
  PeerResolver Resolve() {
    return [this](const std::string& name) -> std::optional<std::uint32_t> {
      MutexLock lock(&mutex_);
      ++lookups_;
      inside_ = true;
      changed_.SignalAll();
      const auto deadline = Clock::now() + std::chrono::seconds(10);  // a bounded wait
      while (held_ && Clock::now() < deadline) changed_.WaitUntil(deadline);
      inside_ = false;
      changed_.SignalAll();
      for (const auto& [known, address] : table_) {
        if (known == name) return address;
      }
      return std::nullopt;
    };
  }
  PeerUnresolved Unresolved() {
    return [this](const std::string& name) {
      MutexLock lock(&mutex_);
      unresolved_.push_back(name);
    };
  }
  void Set(const std::string& name, std::uint32_t address) {
    MutexLock lock(&mutex_);
    table_.emplace_back(name, address);
    table_.erase(table_.begin(), table_.end() - 1);
  }
  void Hold(bool held) {
    MutexLock lock(&mutex_);
    held_ = held;
    changed_.SignalAll();
  }
  bool WaitInside() {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    MutexLock lock(&mutex_);
    while (!inside_ && Clock::now() < deadline) changed_.WaitUntil(deadline);
    return inside_;
  }
  bool inside() {
    MutexLock lock(&mutex_);
    return inside_;
  }
  std::vector<std::string> unresolved() {
    MutexLock lock(&mutex_);
    return unresolved_;
  }

 private:
  Mutex mutex_;
  CondVar changed_{&mutex_};
  std::vector<std::pair<std::string, std::uint32_t>> table_ GUARDED_BY(mutex_);
  std::vector<std::string> unresolved_ GUARDED_BY(mutex_);
  int lookups_ GUARDED_BY(mutex_) = 0;
  bool held_ GUARDED_BY(mutex_) = false;
  bool inside_ GUARDED_BY(mutex_) = false;
};

// Polls until addresses() equals wanted (bounded).
bool Becomes(const MulticastPeers& peers, const std::vector<std::uint32_t>& wanted) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    if (peers.Addresses() == wanted) return true;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return false;
}

// A name that does not resolve is skipped and reported, the other peers stay; addresses that
// the owner refuses are left out; a name resolved again later takes its new address.
TEST(MulticastPeersTest, NamesResolveOnTheirOwnThreadAndAnUnresolvedOneIsSkipped) {
  FakeResolver resolver;
  resolver.Set("relay-b", Ip("10.2.0.1"));
  MulticastPeers peers({"10.1.0.9", "nowhere", "relay-b", "10.1.0.1"}, resolver.Resolve(),
                       milliseconds(1), resolver.Unresolved(),
                       [](std::uint32_t address) { return address != Ip("10.1.0.1"); });
  EXPECT_TRUE(Becomes(peers, {Ip("10.1.0.9"), Ip("10.2.0.1")})) << peers.Addresses().size();
  const std::vector<std::string> unresolved = resolver.unresolved();
  ASSERT_FALSE(unresolved.empty());
  for (const std::string& name : unresolved) EXPECT_EQ(name, "nowhere");

  resolver.Set("relay-b", Ip("10.2.0.7"));  // the name moved
  EXPECT_TRUE(Becomes(peers, {Ip("10.1.0.9"), Ip("10.2.0.7")}));
}

// The send path reads the addresses while the resolver is stuck inside a lookup: it gets the
// addresses at once, not the resolver's wait.
TEST(MulticastPeersTest, AResolverThatHangsHoldsUpNoReader) {
  FakeResolver resolver;
  resolver.Hold(true);
  MulticastPeers peers({"10.1.0.9", "slow-name"}, resolver.Resolve(), milliseconds(1000),
                       resolver.Unresolved(), nullptr);
  ASSERT_TRUE(resolver.WaitInside());
  EXPECT_EQ(peers.Addresses(), std::vector<std::uint32_t>{Ip("10.1.0.9")});
  EXPECT_TRUE(resolver.inside());  // the answer above did not wait for the lookup
  resolver.Hold(false);
}

// A list without a resolver keeps only its addresses; its names are reported, not guessed.
TEST(MulticastPeersTest, WithoutAResolverOnlyAddressesArePeers) {
  std::vector<std::string> unresolved;
  Mutex mutex;
  MulticastPeers peers(
      {"10.1.0.9", "relay-b", "10.1.0.9"}, nullptr, milliseconds(1),
      [&](const std::string& name) {
        MutexLock lock(&mutex);
        unresolved.push_back(name);
      },
      nullptr);
  EXPECT_EQ(peers.Addresses(), std::vector<std::uint32_t>{Ip("10.1.0.9")});
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (bool seen = false; !seen && Clock::now() < deadline;) {
    std::this_thread::sleep_for(milliseconds(2));
    MutexLock lock(&mutex);
    seen = !unresolved.empty();
  }
  MutexLock lock(&mutex);
  ASSERT_FALSE(unresolved.empty());
  EXPECT_EQ(unresolved[0], "relay-b");
  EXPECT_EQ(peers.Addresses(), std::vector<std::uint32_t>{Ip("10.1.0.9")});
}

// A relay sends what it heard from its group to every peer, and what a peer sent it into its
// group and on to the other peers, never back to where it came from.
TEST(MulticastPeersTest, ARelaySendsEachDatagramOnToEveryPlaceButItsSource) {
  const std::uint32_t a = Ip("10.0.0.1"), b = Ip("10.0.0.2"), d = Ip("10.0.0.3");
  const struct Case {
    const char* name;
    bool fromPeer;
    std::uint32_t from;
    std::vector<std::uint32_t> peers;
    bool group;
    std::vector<std::uint32_t> to;
  } cases[] = {
      {"from the group", false, Ip("10.9.0.5"), {a, b}, false, {a, b}},
      {"from a peer", true, a, {a, b, d}, true, {b, d}},
      {"from the only peer", true, a, {a}, true, {}},
      {"from a station that is no peer", true, Ip("10.9.0.5"), {a}, true, {a}},
      {"no peers", false, Ip("10.9.0.5"), {}, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RelayTargets targets = RelayTargetsOf(c.fromPeer, c.from, c.peers);
    EXPECT_EQ(targets.group, c.group);
    EXPECT_EQ(targets.peers, c.to);
  }
}

}  // namespace
}  // namespace qx

namespace qx {
namespace {

TEST(HeardAddressesTest, KeepsAddressesForTheWindowAndStaysBounded) {
  using namespace std::chrono_literals;
  const HeardAddresses::Clock::time_point start{};
  HeardAddresses heard(5s);
  heard.Note(0x0A000001, start);
  EXPECT_TRUE(heard.HeardWithin(0x0A000001, start + 5s));
  EXPECT_FALSE(heard.HeardWithin(0x0A000001, start + 6s));
  EXPECT_FALSE(heard.HeardWithin(0x0A000002, start));
  heard.Note(0x0A000001, start + 4s);  // heard again: the window starts anew
  EXPECT_TRUE(heard.HeardWithin(0x0A000001, start + 8s));
  heard.Note(0x0A000001, start + 1s);  // a late note never moves it back
  EXPECT_TRUE(heard.HeardWithin(0x0A000001, start + 8s));

  HeardAddresses full(5s);
  // Full of fresh addresses: a new one is not kept, none of the others is dropped for it.
  for (std::uint32_t i = 1; full.size() < kMaxHeardAddresses; ++i)
    full.Note(0x0B000000 + i, start + 10s);
  full.Note(0x0C000001, start + 10s);
  EXPECT_FALSE(full.HeardWithin(0x0C000001, start + 10s));
  EXPECT_TRUE(full.HeardWithin(0x0B000001, start + 10s));
  // Once they are old, a new address takes the room they leave.
  full.Note(0x0C000001, start + 20s);
  EXPECT_TRUE(full.HeardWithin(0x0C000001, start + 20s));
  EXPECT_LE(full.size(), kMaxHeardAddresses);
}

}  // namespace
}  // namespace qx
