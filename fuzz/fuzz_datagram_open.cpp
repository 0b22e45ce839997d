// fuzz_datagram_open.cpp - libFuzzer target for DatagramOpener, the checks of sealed multicast
// datagrams: key, path, replay window and tag.
//
// A ring of two fixed keys, a few sealers (each a new incarnation) and one opener with a small
// sender limit. The input is a script: a raw datagram to open; a message piece to seal with one
// of the sealers, one of the keys and one of the paths; or one of the sealed datagrams to open,
// with one byte changed or not, by its path or the other, with a ring that holds its key or not.
// Its tail is a text that is split (into at most a replay window of datagrams), sealed, opened in
// an order the input picks and reassembled.
//
// Checks, beyond the sanitizers: no datagram the input made up opens; a sealed datagram with any
// byte changed, sent by the other path or met by a ring without its key (or without a key in
// use) never opens; an unchanged one opens exactly once, as the plain datagram that was sealed,
// while its sender cannot have been forgotten; the opener never tracks more senders than its
// limit; a sealed message comes back whole from the assembler.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/little_endian.h"
#include "fuzz_input.h"
#include "keys/cluster_keys.h"
#include "messaging/datagram_seal.h"
#include "messaging/multicast_fragments.h"

namespace qx {
namespace {

using fuzz::Check;
using fuzz::Input;

ClusterKey FixedKey(std::uint8_t fill) {
  ClusterKey key;
  key.bytes.fill(fill);
  key.id = KeyIdOf(key.bytes);
  key.installed = true;
  return key;
}

struct Rings {
  ClusterKey a = FixedKey(0xA5);
  ClusterKey b = FixedKey(0x5A);
  KeyRing both;      // a and b, a in use
  KeyRing onlyA;     // a in use
  KeyRing onlyB;     // b in use
  KeyRing notInUse;  // a and b, none in use
  Rings() {
    both.keys = {a, b};
    both.inUse = a.id;
    onlyA.keys = {a};
    onlyA.inUse = a.id;
    onlyB.keys = {b};
    onlyB.inUse = b.id;
    notInUse.keys = {a, b};
  }
};

const Rings& TheRings() {
  static const Rings& rings = *std::make_unique<Rings>().release();
  return rings;
}

struct Sealed {
  std::string datagram;
  std::string plain;  // what opening it must give
  SealPath path = SealPath::kGroup;
  bool keyA = true;
  bool opened = false;
};

SealPath OtherPath(SealPath path) {
  return path == SealPath::kGroup ? SealPath::kStation : SealPath::kGroup;
}

void RunScript(Input& in, std::vector<std::unique_ptr<DatagramSealer>>& sealers,
               DatagramOpener& opener, std::size_t maxSenders) {
  const Rings& rings = TheRings();
  // Each sealer may be tracked once for each path; with room for all, none is forgotten.
  const bool noneForgotten = sealers.size() * 2 <= maxSenders;
  std::vector<Sealed> sealed;
  std::string plain;
  for (int step = 0; step < 128 && !in.empty(); ++step) {
    const std::uint8_t op = in.Byte();
    if (op == 0xFF) break;  // the rest is the text of the round trip
    switch (op % 3) {
      case 0: {
        const std::string_view raw = in.Take(in.U16() % 2048);
        const SealPath path = in.Byte() & 1 ? SealPath::kStation : SealPath::kGroup;
        Check(opener.Open(rings.both, raw, path, &plain) != OpenStatus::kOpened);
        Check(plain.empty());
        break;
      }
      case 1: {
        DatagramSealer& sealer = *sealers[in.Byte() % sealers.size()];
        Sealed entry;
        entry.path = in.Byte() & 1 ? SealPath::kStation : SealPath::kGroup;
        entry.keyA = (in.Byte() & 1) == 0;
        const std::string_view text = in.Take(in.Byte());
        const std::vector<std::string> datagrams =
            SplitMessage(sealer.senderId(), sealer.incarnationLow(), in.Byte(), text, 1500);
        Check(datagrams.size() == 1);
        entry.plain = datagrams[0];
        Check(
            sealer.Seal(entry.keyA ? rings.a : rings.b, entry.plain, entry.path, &entry.datagram));
        if (sealed.size() < 128) sealed.push_back(std::move(entry));
        break;
      }
      default: {
        if (sealed.empty()) break;
        Sealed& entry = sealed[in.Byte() % sealed.size()];
        std::string datagram = entry.datagram;
        const std::uint16_t at = in.U16();
        const std::uint8_t change = in.Byte();
        if (change != 0) datagram[at % datagram.size()] ^= static_cast<char>(change);
        const std::uint8_t how = in.Byte();
        const KeyRing& ring =
            how & 2 ? (how & 4 ? rings.notInUse : (entry.keyA ? rings.onlyB : rings.onlyA))
                    : rings.both;
        const SealPath path = how & 1 ? OtherPath(entry.path) : entry.path;
        const OpenStatus status = opener.Open(ring, datagram, path, &plain);
        Check(opener.trackedSenders() <= maxSenders);
        const bool genuine = change == 0 && (how & 3) == 0;
        if (!genuine) {
          Check(status != OpenStatus::kOpened);
        } else if (noneForgotten) {
          Check(status == (entry.opened ? OpenStatus::kReplayed : OpenStatus::kOpened));
          if (status == OpenStatus::kOpened) Check(plain == entry.plain);
          entry.opened = true;
        }
        if (status != OpenStatus::kOpened) Check(plain.empty());
        break;
      }
    }
  }
}

void RoundTrip(Input& in, DatagramSealer& sealer) {
  const std::size_t fragmentPayload = 1u + in.U16() % 1400;
  const std::size_t rotate = in.Byte();
  const std::string_view text =
      in.Take(std::min<std::size_t>(16 * 1024, fragmentPayload * kReplayWindow));
  const std::vector<std::string> datagrams =
      SplitMessage(sealer.senderId(), sealer.incarnationLow(), 77, text, fragmentPayload);
  Check(!datagrams.empty());
  std::vector<std::string> sealed(datagrams.size());
  for (std::size_t i = 0; i < datagrams.size(); ++i) {
    Check(sealer.Seal(TheRings().b, datagrams[i], SealPath::kGroup, &sealed[i]));
  }
  DatagramOpener opener;
  FragmentAssembler assembler(AssemblerLimits{});
  std::optional<std::string> message;
  std::string plain;
  for (std::size_t i = 0; i < sealed.size(); ++i) {
    Check(opener.Open(TheRings().both, sealed[(i + rotate) % sealed.size()], SealPath::kGroup,
                      &plain) == OpenStatus::kOpened);
    message = assembler.Add(plain, FragmentAssembler::Clock::time_point{});
    Check(message.has_value() == (i + 1 == sealed.size()));
  }
  Check(message && *message == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::size_t maxSenders = 1u + in.Byte() % 6;
  const std::size_t sealerCount = 1u + in.Byte() % 3;
  std::vector<std::unique_ptr<DatagramSealer>> sealers;
  for (std::size_t i = 0; i < sealerCount; ++i) {
    sealers.push_back(std::make_unique<DatagramSealer>(static_cast<std::uint32_t>(100 + i % 2)));
  }
  DatagramOpener opener(maxSenders);
  RunScript(in, sealers, opener, maxSenders);
  RoundTrip(in, *sealers[0]);
  return 0;
}

}  // namespace qx
