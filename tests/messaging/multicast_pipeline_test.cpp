// Tests of the datagram pipeline without sockets: what MulticastOutbound seals, MulticastInbound
// opens and reassembles in whatever order it arrives, once; replays, fragments under a foreign
// key or for the other path are refused and counted; a refused datagram ends the message.
#include "messaging/multicast_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qx {
namespace {

constexpr std::size_t kPayload = 100;
constexpr std::uint32_t kFrom = 0x7F000002;  // 127.0.0.2

ClusterKey NewKey() {
  std::optional<ClusterKey> key = GenerateClusterKey(/*installed=*/true);
  EXPECT_TRUE(key);
  return key.value_or(ClusterKey{});
}

std::string Text() {
  std::string text;
  for (int i = 0; text.size() < 4 * kPayload + 17; ++i) text += "<P>" + std::to_string(i) + "</P>";
  return text;  // five fragments
}

// The sealed datagrams of one message.
std::vector<std::string> SealedOf(MulticastOutbound& out, const ClusterKey& key, SealPath path,
                                  const std::string& text) {
  std::vector<std::string> datagrams;
  EXPECT_EQ(out.Seal(key, path, text,
                     [&datagrams](std::string_view sealed) {
                       datagrams.emplace_back(sealed);
                       return true;
                     }),
            S_OK);
  return datagrams;
}

TEST(MulticastPipelineTest, FragmentsOpenAndReassembleOnceInAnyOrder) {
  const ClusterKey key = NewKey(), foreign = NewKey();
  KeyRing ring;
  ring.keys = {key};
  ring.inUse = key.id;
  const std::string text = Text();

  struct Case {
    const char* name;
    // The datagrams as they arrive, from the group message, a message under a foreign key and
    // the group message sealed for one station.
    std::function<std::vector<std::string>(const std::vector<std::string>& group,
                                           const std::vector<std::string>& foreignKey,
                                           const std::vector<std::string>& toStation)>
        arrive;
    bool delivered;
    InboundCounters counted;  // delivered, notSealed, unopenable, foreignKey, replayed
  };
  using V = std::vector<std::string>;
  const std::vector<Case> cases = {
      {"in order", [](const V& g, const V&, const V&) { return g; }, true, {1, 0, 0, 0, 0, {}}},
      {"reversed",
       [](V g, const V&, const V&) { return V(g.rbegin(), g.rend()); },
       true,
       {1, 0, 0, 0, 0, {}}},
      {"shuffled, one replayed after the whole",
       [](const V& g, const V&, const V&) { return V{g[3], g[0], g[4], g[2], g[1], g[3]}; },
       true,
       {1, 0, 0, 0, 1, {}}},
      {"one fragment under a foreign key",
       [](const V& g, const V& f, const V&) {
         return V{g[0], g[1], f[2], g[3], g[4]};
       },
       false,
       {0, 0, 0, 1, 0, {}}},
      {"one fragment for the other path",
       [](const V& g, const V&, const V& s) {
         return V{g[0], s[1], g[2], g[3], g[4]};
       },
       false,
       {0, 0, 1, 0, 0, {}}},
      {"one fragment cut short",
       [](const V& g, const V&, const V&) {
         return V{g[0], g[1], g[2].substr(0, 20), g[3], g[4]};
       },
       false,
       {0, 1, 0, 0, 0, {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MulticastOutbound out(7, kPayload), other(7, kPayload);
    const V group = SealedOf(out, key, SealPath::kGroup, text);
    const V foreignKey = SealedOf(other, foreign, SealPath::kGroup, text);
    const V toStation = SealedOf(other, key, SealPath::kStation, text);
    ASSERT_EQ(group.size(), 5u);
    MulticastInbound in(AssemblerLimits{}, nullptr);
    std::vector<std::string> messages;
    for (const std::string& datagram : c.arrive(group, foreignKey, toStation)) {
      if (auto message =
              in.Take(&ring, datagram, SealPath::kGroup, kFrom, MulticastInbound::Clock::now())) {
        messages.push_back(std::move(*message));
      }
    }
    EXPECT_EQ(messages, c.delivered ? V{text} : V{});
    const InboundCounters counted = in.counters();
    EXPECT_EQ(counted.delivered, c.counted.delivered);
    EXPECT_EQ(counted.notSealed, c.counted.notSealed);
    EXPECT_EQ(counted.unopenable, c.counted.unopenable);
    EXPECT_EQ(counted.foreignKey, c.counted.foreignKey);
    EXPECT_EQ(counted.replayed, c.counted.replayed);
  }
}

TEST(MulticastPipelineTest, ARefusedDatagramEndsTheMessageAndForeignSendersAreToldOnce) {
  const ClusterKey key = NewKey(), foreign = NewKey();
  MulticastOutbound out(7, kPayload);
  int put = 0;
  EXPECT_EQ(out.Seal(key, SealPath::kGroup, Text(), [&put](std::string_view) { return ++put < 2; }),
            E_FAIL);
  EXPECT_EQ(put, 2);  // nothing after the refused datagram
  EXPECT_EQ(
      out.Seal(key, SealPath::kGroup, std::string(kPayload * kMaxFragmentsPerMessage + 1, 'x'),
               [](std::string_view) { return true; }),
      E_INVALIDARG);

  KeyRing ring;
  ring.keys = {key};
  ring.inUse = key.id;
  MulticastOutbound stranger(8, kPayload);
  const std::vector<std::string> strange = SealedOf(stranger, foreign, SealPath::kGroup, Text());
  std::vector<std::pair<std::uint32_t, std::uint32_t>> told;
  MulticastInbound in(AssemblerLimits{}, [&told](std::uint32_t from, std::uint32_t keyId) {
    told.emplace_back(from, keyId);
  });
  for (const std::string& datagram : strange) {
    in.Take(&ring, datagram, SealPath::kGroup, kFrom, MulticastInbound::Clock::now());
  }
  in.Take(&ring, strange[0], SealPath::kGroup, kFrom + 1, MulticastInbound::Clock::now());
  in.Take(nullptr, SealedOf(out, key, SealPath::kGroup, "<x/>")[0], SealPath::kGroup, kFrom,
          MulticastInbound::Clock::now());
  using Told = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  EXPECT_EQ(told, (Told{{kFrom, foreign.id}, {kFrom + 1, foreign.id}, {kFrom, key.id}}));
  EXPECT_EQ(in.counters().foreignKey, strange.size() + 2);
}

}  // namespace
}  // namespace qx
