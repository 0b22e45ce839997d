// The counters answer of the multicast component: what the agent writes, qxstation reads, and
// anything else that comes over the socket is refused whole.
#include <gtest/gtest.h>

#include <string>

#include "messaging/netqxkomm_station.h"

namespace qx {
namespace {

TEST(MulticastCountersAnswer, RoundTripAndRefusals) {
  MulticastCounters counters;
  counters.datagramsReceived = 18446744073709551615ull;
  counters.unopenable = 3;
  counters.foreignKey = 7;
  counters.replayed = 11;
  counters.queueDrops = 1;
  MulticastCounters read;
  ASSERT_TRUE(ParseMulticastCountersAnswer(MulticastCountersAnswer(counters), &read));
  EXPECT_EQ(read.datagramsReceived, counters.datagramsReceived);
  EXPECT_EQ(read.unopenable, 3u);
  EXPECT_EQ(read.foreignKey, 7u);
  EXPECT_EQ(read.replayed, 11u);
  EXPECT_EQ(read.queueDrops, 1u);

  const std::string good = MulticastCountersAnswer(counters);
  const struct {
    const char* name;
    std::string text;
  } refused[] = {
      {"empty", ""},
      {"another answer", "<Answer/>"},
      {"a field missing", "<MulticastCounters ForeignKey=\"1\"/>"},
      {"not a number",
       std::string(good).replace(good.find("ForeignKey=\"7"), 14, "ForeignKey=\"x")},
      {"no digits",
       std::string(good).replace(good.find("ForeignKey=\"7\""), 14, "ForeignKey=\"\"")},
      {"too many digits", std::string(good).replace(good.find("ForeignKey=\"7"), 13,
                                                    "ForeignKey=\"99999999999999999999")},
      {"too long", good + std::string(5000, ' ')},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    MulticastCounters untouched;
    untouched.foreignKey = 42;
    EXPECT_FALSE(ParseMulticastCountersAnswer(c.text, &untouched));
    EXPECT_EQ(untouched.foreignKey, 42u);
  }
}

}  // namespace
}  // namespace qx
