#include "rpc/rpc_connection_slots.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace qx {
namespace {

TEST(RpcConnectionCaps, FollowTheDescriptorsLeftAndKeepHeadroom) {
  const struct {
    std::uint64_t limit;
    std::uint64_t open;
    RpcConnectionCaps caps;
  } cases[] = {
      {1024, 24, {750, 375, 187}},  // a quarter of the 1000 free stays for the rest
      {524288, 24, {393198, 196599, 98299}},
      {100, 60, {8, 4, 2}},  // almost nothing free: the floors
      {50, 80, {8, 4, 2}},   // more open than the limit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.limit) + " " + std::to_string(c.open));
    EXPECT_EQ(CapsForDescriptors(c.limit, c.open), c.caps);
  }
}

// Connections named by letter; each knows whether it was evicted.
class SlotsTest : public ::testing::Test {
 protected:
  bool Admit(char name, std::uint32_t source) {
    std::size_t evicted = 0;
    std::uint64_t ticket = 0;
    if (!slots_.Admit(
            this, source, [this, name] { return spoken_.count(name) != 0; },
            [this, name] { evicted_ += name; }, &ticket, &evicted))
      return false;
    tickets_[name] = ticket;
    return true;
  }
  RpcConnectionSlots slots_;
  std::map<char, std::uint64_t> tickets_;
  std::set<char> spoken_;  // peers whose bytes wait in their socket
  std::string evicted_;
};

TEST_F(SlotsTest, TheOldestSilentPendingConnectionMakesRoom) {
  slots_.SetCaps({6, 4, 2});
  // Two from source 1 fill its share: the third evicts the oldest of that source only.
  ASSERT_TRUE(Admit('a', 1));
  ASSERT_TRUE(Admit('b', 2));
  ASSERT_TRUE(Admit('c', 1));
  ASSERT_TRUE(Admit('d', 1));
  EXPECT_EQ(evicted_, "a");
  // Four pending in all: a new one evicts the oldest silent one, before one that spoke.
  slots_.Spoke(tickets_['b']);
  ASSERT_TRUE(Admit('e', 3));
  ASSERT_TRUE(Admit('f', 4));
  EXPECT_EQ(evicted_, "ac");
  // Authenticated ones are never evicted; once every slot is theirs, new ones are refused.
  for (char name : std::string("bdef")) slots_.Authenticated(tickets_[name]);
  ASSERT_TRUE(Admit('g', 5));
  ASSERT_TRUE(Admit('h', 6));
  EXPECT_EQ(slots_.open(), 6u);
  slots_.Authenticated(tickets_['g']);
  ASSERT_TRUE(Admit('i', 7));  // h makes room
  EXPECT_EQ(evicted_, "ach");
  slots_.Authenticated(tickets_['i']);
  EXPECT_FALSE(Admit('j', 8));
  slots_.Release(tickets_['b']);
  slots_.Release(tickets_['b']);  // twice changes nothing
  EXPECT_TRUE(Admit('k', 8));
  EXPECT_EQ(slots_.open(), 6u);
}

// A keyed peer's ClientHello may wait in its socket before its connection's thread has looked:
// the slots look before they evict, however many silent ones of its address come after it.
TEST_F(SlotsTest, APeerWhoseBytesWaitIsNotEvictedAsASilentOne) {
  slots_.SetCaps({100, 50, 3});
  ASSERT_TRUE(Admit('a', 1));
  ASSERT_TRUE(Admit('k', 1));
  spoken_.insert('k');
  for (char name = 'A'; name < 'A' + 20; ++name) ASSERT_TRUE(Admit(name, 1));
  EXPECT_EQ(evicted_.find('k'), std::string::npos) << evicted_;
  EXPECT_EQ(evicted_.substr(0, 2), "aA");
}

TEST_F(SlotsTest, RunningOutOfDescriptorsEvictsAndLowersTheBound) {
  slots_.SetCaps({100, 50, 50});
  for (char name = 'A'; name < 'A' + 30; ++name) ASSERT_TRUE(Admit(name, 1));
  EXPECT_EQ(slots_.DescriptorsExhausted(), RpcConnectionSlots::kEvictBatch);
  EXPECT_EQ(evicted_, "ABCDEFGHIJKLMNOP");
  // 30 were open: from now on at most 14, so each new one evicts the oldest.
  ASSERT_TRUE(Admit('z', 1));
  EXPECT_EQ(evicted_, "ABCDEFGHIJKLMNOPQ");
  // A server's start sets the caps afresh.
  slots_.SetCaps({100, 50, 50});
  ASSERT_TRUE(Admit('y', 1));
  EXPECT_EQ(evicted_.size(), 17u);
  // Forgotten connections are neither evicted nor counted.
  slots_.ForgetOwner(this);
  EXPECT_EQ(slots_.pending(), 0u);
  EXPECT_EQ(slots_.open(), 0u);
}

}  // namespace
}  // namespace qx
