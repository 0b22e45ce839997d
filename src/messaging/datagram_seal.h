// datagram_seal.h - sealing multicast datagrams with the cluster key (AES-256-GCM under a key
// derived for each sender incarnation), and opening them again with a replay window for each
// sender. The sealed layout, the keys and nonces, the order of the opener's checks and the
// replay window: docs/multicast-protocol.md.
//
// The opener refuses what is not sealed, sealed for the other path, under a key id not in the
// ring, replayed or altered; only an authentic datagram is tracked, and at most maxSenders
// senders are (the one used longest ago is forgotten first).
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
#include <optional>
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

// What the clear header of a datagram says of it, before any check of its seal: the path it
// claims to be sealed for, its sender id and its whole incarnation. Nothing when it is too short
// for a sealed header, not one of ours, or not marked sealed.
struct SealedHeader {
  SealPath path = SealPath::kGroup;
  std::uint32_t senderId = 0;
  std::uint64_t incarnation = 0;
};
std::optional<SealedHeader> ReadSealedHeader(std::string_view sealed);

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
