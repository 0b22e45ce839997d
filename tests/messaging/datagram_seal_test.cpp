// Tests of the datagram seal: what a sealer seals opens once with the ring's keys; altered,
// foreign and replayed datagrams are refused, and only authentic ones are tracked.
#include "messaging/datagram_seal.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/little_endian.h"
#include "messaging/multicast_fragments.h"

namespace qx {
namespace {

ClusterKey NewKey() {
  std::optional<ClusterKey> key = GenerateClusterKey(/*installed=*/true);
  EXPECT_TRUE(key);
  return key.value_or(ClusterKey{});
}

std::string Plain(std::uint32_t messageId = 1) {
  return SplitMessage(7, 0, messageId, "<QXDISCOVER><EVENT>JOIN</EVENT></QXDISCOVER>", 1000).at(0);
}

std::string Sealed(DatagramSealer& sealer, const ClusterKey& key, std::uint32_t messageId = 1,
                   SealPath path = SealPath::kGroup) {
  std::string sealed;
  EXPECT_TRUE(sealer.Seal(key, Plain(messageId), path, &sealed));
  return sealed;
}

std::string Flipped(std::string datagram, std::size_t at) {
  datagram.at(at) = static_cast<char>(datagram.at(at) ^ 0x04);
  return datagram;
}

TEST(DatagramSealTest, OnlyAuthenticNewDatagramsOpen) {
  const ClusterKey a = NewKey(), b = NewKey(), foreign = NewKey();
  KeyRing ring;
  ring.keys = {a, b};
  ring.inUse = a.id;
  KeyRing noKeyInUse = ring;
  noKeyInUse.inUse = 0;

  using S = OpenStatus;
  struct Case {
    const char* name;
    std::function<std::vector<std::string>(DatagramSealer&)> datagrams;
    std::vector<OpenStatus> expected;
    const KeyRing* ring = nullptr;
    std::vector<SealPath> paths = {};  // the path each datagram came by; empty: the group
  };
  const Case cases[] = {
      {"round trip", [&](DatagramSealer& s) { return std::vector{Sealed(s, a)}; }, {S::kOpened}},
      {"rotation to the other key of the ring",
       [&](DatagramSealer& s) {
         return std::vector{Sealed(s, a), Sealed(s, b, 2)};
       },
       {S::kOpened, S::kOpened}},
      {"bit flipped in the header (message id)",
       [&](DatagramSealer& s) { return std::vector{Flipped(Sealed(s, a), 16)}; },
       {S::kUnopenable}},
      {"bit flipped in the sequence number",
       [&](DatagramSealer& s) { return std::vector{Flipped(Sealed(s, a), 41)}; },
       {S::kUnopenable}},
      {"bit flipped in the ciphertext",
       [&](DatagramSealer& s) {
         return std::vector{Flipped(Sealed(s, a), kSealedHeaderBytes + 3)};
       },
       {S::kUnopenable}},
      {"bit flipped in the tag",
       [&](DatagramSealer& s) {
         const std::string d = Sealed(s, a);
         return std::vector{Flipped(d, d.size() - 1)};
       },
       {S::kUnopenable}},
      {"truncated",
       [&](DatagramSealer& s) {
         const std::string d = Sealed(s, a);
         return std::vector{d.substr(0, d.size() - 1), d.substr(0, kSealedHeaderBytes)};
       },
       {S::kUnopenable, S::kMalformed}},
      {"unsealed",
       [&](DatagramSealer&) { return std::vector{Plain() + std::string(16, 'x')}; },
       {S::kUnopenable}},
      {"key id of another key of the ring",
       [&](DatagramSealer& s) {
         std::string d = Sealed(s, a);
         PutLe32(d.data() + 32, b.id);
         return std::vector{d};
       },
       {S::kUnopenable}},
      {"key not in the ring",
       [&](DatagramSealer& s) { return std::vector{Sealed(s, foreign)}; },
       {S::kForeignKey}},
      {"ring without a key in use",
       [&](DatagramSealer& s) { return std::vector{Sealed(s, a)}; },
       {S::kForeignKey},
       &noKeyInUse},
      {"the same datagram again",
       [&](DatagramSealer& s) {
         const std::string d = Sealed(s, a);
         return std::vector{d, d};
       },
       {S::kOpened, S::kReplayed}},
      {"late within the window, then older than it",
       [&](DatagramSealer& s) {
         std::vector<std::string> all;
         for (std::uint32_t i = 0; i <= kReplayWindow; ++i) all.push_back(Sealed(s, a, i + 1));
         return std::vector{all[kReplayWindow], all[1], all[0], all[1]};
       },
       {S::kOpened, S::kOpened, S::kReplayed, S::kReplayed}},
      {"sent to the group, arriving as sent to this station",
       [&](DatagramSealer& s) { return std::vector{Sealed(s, a)}; },
       {S::kUnopenable},
       nullptr,
       {SealPath::kStation}},
      {"a burst to the group read after a later datagram to this station",
       [&](DatagramSealer& s) {
         std::vector<std::string> group;
         for (std::uint32_t i = 0; i <= kReplayWindow; ++i) group.push_back(Sealed(s, a, i + 1));
         return std::vector{Sealed(s, a, 9999, SealPath::kStation), group[0], group[0]};
       },
       {S::kOpened, S::kOpened, S::kReplayed},
       nullptr,
       {SealPath::kStation, SealPath::kGroup, SealPath::kGroup}},
      {"a new incarnation of the same sender starts again at 1",
       [&](DatagramSealer& s) {
         DatagramSealer restarted(s.senderId());
         return std::vector{Sealed(s, a), Sealed(restarted, a)};
       },
       {S::kOpened, S::kOpened}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DatagramSealer sealer(7);
    DatagramOpener opener;
    const std::vector<std::string> datagrams = c.datagrams(sealer);
    ASSERT_EQ(datagrams.size(), c.expected.size());
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
      std::string plain;
      const SealPath path = c.paths.empty() ? SealPath::kGroup : c.paths.at(i);
      EXPECT_EQ(opener.Open(c.ring ? *c.ring : ring, datagrams[i], path, &plain), c.expected[i])
          << i;
      if (c.expected[i] != S::kOpened) {
        EXPECT_TRUE(plain.empty());
        continue;
      }
      // What opens is the plain fragment, for the assembler.
      std::string_view payload;
      const std::optional<FragmentHeader> header = ParseFragment(plain, &payload);
      ASSERT_TRUE(header);
      EXPECT_EQ(header->flags, 0);
      EXPECT_EQ(header->keyId, 0u);
      EXPECT_EQ(payload, "<QXDISCOVER><EVENT>JOIN</EVENT></QXDISCOVER>");
    }
  }
}

TEST(DatagramSealTest, ForgeriesTrackNobodyAndTrackedSendersAreBounded) {
  const ClusterKey a = NewKey();
  KeyRing ring;
  ring.keys = {a};
  ring.inUse = a.id;
  DatagramOpener opener(/*maxSenders=*/2);
  std::string plain;
  DatagramSealer first(1), second(2), third(3);
  for (int i = 0; i < 100; ++i) {
    DatagramSealer forger(100 + i);
    const std::string d = Sealed(forger, a);
    EXPECT_EQ(opener.Open(ring, Flipped(d, d.size() - 1), SealPath::kGroup, &plain),
              OpenStatus::kUnopenable);
  }
  EXPECT_EQ(opener.trackedSenders(), 0u);
  for (DatagramSealer* sealer : {&first, &second, &third}) {
    EXPECT_EQ(opener.Open(ring, Sealed(*sealer, a, 2), SealPath::kGroup, &plain),
              OpenStatus::kOpened);
  }
  EXPECT_EQ(opener.trackedSenders(), 2u);
  // Two incarnations of one sender never share a key stream: the same fragment with the same
  // sequence number encrypts differently.
  DatagramSealer one(9), restarted(9);
  EXPECT_NE(Sealed(one, a).substr(kSealedHeaderBytes),
            Sealed(restarted, a).substr(kSealedHeaderBytes));
}

}  // namespace
}  // namespace qx
