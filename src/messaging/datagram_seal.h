// datagram_seal.h - sealing multicast datagrams with the cluster key, and opening them again
// with a replay window for each sender.
//
// Every datagram a station sends is a fragment datagram (multicast_fragments.h) sealed with
// AES-256-GCM. Its header is sent in the clear and authenticated; its payload is encrypted
// (integers little-endian):
//
//    0 u32 magic "QXM1"   4 u8 version (1)
//    5 u8 flags: kFragmentSealedFlag, and kSealedToStationFlag when sent to one station
//    6 u16 header bytes: kSealedHeaderBytes (48)
//    8 u32 sender id     12 u32 incarnation, low half
//   16 .. 31 the fragment fields (message id, index, count, total length, offset)
//   32 u32 key id of the cluster key (never 0)     36 u32 incarnation, high half
//   40 u64 sequence number (from 1, one more for every datagram of the sender's incarnation)
//   48 the encrypted payload                        the last kSealTagBytes: the GCM tag
//
// Keys and nonces: each incarnation of a sender (a random 64-bit number at each start) seals
// under a key of its own, derived with HKDF-SHA256 from the cluster key, the sender id and the
// incarnation; the 12-byte nonce is 4 zero bytes and the sequence number. Within an incarnation
// the sequence number never repeats, and two senders (or two starts of one sender) never share a
// derived key unless they drew the same 64-bit incarnation, so a nonce is never used twice
// under one key. A rotation of the cluster key changes the derived key; the sequence goes on.
//
// The opener checks, in this order: that the datagram is sealed at all and for the path it came
// by (to the group or to this station: the flag is authenticated, so a copy cannot change
// path), that its key id is in the ring (a ring without a key in use opens nothing), that the
// sequence number was not seen from that sender's incarnation on that path, and the tag. Only
// an authentic datagram enters the replay window, so forgeries cost neither a tracked sender nor
// a window slot. The window remembers the last kReplayWindow sequence numbers of each sender
// incarnation and path; anything older is refused as a replay. A sender numbers the datagrams of
// both paths in one sequence, so the gaps a window sees are the datagrams of the other path or
// to other stations; a window of its own for each path keeps a burst to the group, read after a
// later datagram to this station, from falling out of the window. At most maxSenders windows
// are kept, the one used longest ago is forgotten first (its datagrams would then be taken
// again: the bound is far above the stations a plant has, and only key holders make new ones).
//
// Ownership and threads: a DatagramSealer belongs to one sender and is used by one thread at a
// time (the transport's send lock); a DatagramOpener belongs to one delivery thread. Neither
// keeps the cluster key beyond a call, only the derived keys, which are wiped when dropped.
//
//   DatagramSealer sealer(senderId);
//   for (const std::string& plain : SplitMessage(senderId, sealer.incarnationLow(), id, text,
//                                                 kPayload)) {
//     if (sealer.Seal(*ring->InUse(), plain, SealPath::kGroup, &sealed)) Send(sealed);
//   }
//   ...
//   if (opener.Open(*ring, received, SealPath::kGroup, &plain) == OpenStatus::kOpened) {
//     assembler.Add(plain, now);
//   }
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>

#include "keys/cluster_keys.h"

namespace qx {

inline constexpr std::size_t kSealedHeaderBytes = 48;
inline constexpr std::size_t kSealTagBytes = 16;
inline constexpr std::uint64_t kReplayWindow = 1024;
inline constexpr std::size_t kMaxTrackedSenders = 4096;
inline constexpr std::uint8_t kSealedToStationFlag = 0x02;

// Where a datagram is sent: to the stations' group or to one station.
enum class SealPath : std::uint8_t { kGroup, kStation };

// The AES-256-GCM context of a sealer or opener (OpenSSL's, kept out of this header).
class GcmCipher;

class DatagramSealer {
 public:
  // A new incarnation of the sender: a random 64-bit number, sequence numbers from 1.
  explicit DatagramSealer(std::uint32_t senderId);
  ~DatagramSealer();
  DatagramSealer(const DatagramSealer&) = delete;
  DatagramSealer& operator=(const DatagramSealer&) = delete;

  // Seals one plain datagram as SplitMessage made it (its sender and incarnation fields are
  // replaced by this sealer's) under key for path, with the next sequence number. False, with
  // *sealed untouched, when plain is not a fragment datagram or the cipher fails.
  bool Seal(const ClusterKey& key, std::string_view plain, SealPath path, std::string* sealed);

  std::uint32_t senderId() const { return senderId_; }
  std::uint64_t incarnation() const { return incarnation_; }
  // The half that the fragment header's incarnation field carries (what reassembly keys on).
  std::uint32_t incarnationLow() const { return static_cast<std::uint32_t>(incarnation_); }
  std::uint64_t nextSequence() const { return nextSequence_; }

 private:
  const std::uint32_t senderId_;
  const std::uint64_t incarnation_;
  std::uint64_t nextSequence_ = 1;
  std::unique_ptr<GcmCipher> cipher_;
  std::uint32_t keyId_ = 0;  // the cluster key the derived key and the cipher belong to
  KeyBytes clusterKey_{};
  KeyBytes derived_{};
};

enum class OpenStatus : std::uint8_t {
  kOpened,      // authentic and new: *plain is the datagram for the assembler
  kMalformed,   // not one of ours (too short for a sealed header, wrong magic or version)
  kUnopenable,  // ours but not sealed, for the other path, a wrong header, a tag that fails
  kForeignKey,  // sealed under a key id not in the ring (or the ring has no key in use)
  kReplayed,    // a sequence number seen before, or older than the window
};

// The key id in the header of a sealed datagram; 0 when it is too short or not one of ours.
std::uint32_t SealedKeyId(std::string_view sealed);

class DatagramOpener {
 public:
  explicit DatagramOpener(std::size_t maxSenders = kMaxTrackedSenders);
  ~DatagramOpener();
  DatagramOpener(const DatagramOpener&) = delete;
  DatagramOpener& operator=(const DatagramOpener&) = delete;

  // Opens one datagram that came by path with the keys of ring. kOpened: *plain is the datagram
  // as the sender split it (the plain fragment header, then the payload), ready for
  // FragmentAssembler::Add. Anything else leaves *plain empty.
  OpenStatus Open(const KeyRing& ring, std::string_view sealed, SealPath path, std::string* plain);

  std::size_t trackedSenders() const { return senders_.size(); }

 private:
  // The sequence numbers seen from one sender incarnation on one path, and its derived key.
  struct Tracked {
    std::uint64_t highest = 0;                             // the largest sequence number opened
    std::array<std::uint64_t, kReplayWindow / 64> seen{};  // bit (n % kReplayWindow)
    std::uint64_t lastUse = 0;
    std::uint32_t keyId = 0;
    KeyBytes clusterKey{};
    KeyBytes derived{};
  };
  using SenderKey = std::tuple<std::uint32_t, std::uint64_t, SealPath>;  // id, incarnation, path

  static bool Fresh(const Tracked& tracked, std::uint64_t sequence);
  static void Remember(Tracked* tracked, std::uint64_t sequence);
  void MakeRoom();

  const std::size_t maxSenders_;
  std::unique_ptr<GcmCipher> cipher_;
  std::map<SenderKey, Tracked> senders_;
  std::uint64_t uses_ = 0;
};

}  // namespace qx
