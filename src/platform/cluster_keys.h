// cluster_keys.h - the station's key ring: the shared keys that prove a peer belongs to the
// cluster.
//
// Every station-to-station exchange is proven by a cluster key: RPC runs over TLS 1.3 with the
// key as external PSK, and every multicast datagram is sealed with AES-256-GCM under it. A
// station accepts every key of its ring and sends with the one in use, so that a rotation
// (install the new key everywhere, use it everywhere, remove the old one) never cuts a station
// off. A key's id is derived from its bytes, so the same key has the same id on every station;
// the id travels in the clear (TLS PSK identity, datagram header), the key never does.
//
// The ring is a small text file beside the registry ("cluster.keys"), readable by root and the
// group qxadmin only (0640), written whole to a temporary file and renamed, so that a reader
// never sees half of it. The first start of a station makes a key when the ring is missing;
// such a generated key serves this machine only: a station listens beyond loopback only once a
// key was installed on purpose.
//
// Keys never appear in a trace or an answer: KeyText is for the operator's `key generate` only.
//
// CurrentKeyRing() is the process's view of the file: it is read again when the file changed
// (checked at most every kKeyRingCheckPeriod), so that a running agent follows `qxstation key`
// commands without a restart. Any thread may call every function here.
//
//   std::shared_ptr<const KeyRing> ring = CurrentKeyRing();
//   if (const ClusterKey* key = ring->InUse()) Seal(key->bytes, ...);
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx {

inline constexpr std::size_t kClusterKeyBytes = 32;
inline constexpr std::size_t kMaxRingKeys = 16;
inline constexpr auto kKeyRingCheckPeriod = std::chrono::milliseconds(500);

using KeyBytes = std::array<std::uint8_t, kClusterKeyBytes>;

struct ClusterKey {
  std::uint32_t id = 0;  // KeyIdOf(bytes)
  KeyBytes bytes{};
  bool installed = false;  // installed on purpose (not made by this machine at its first start)
};

struct KeyRing {
  std::vector<ClusterKey> keys;  // at most kMaxRingKeys, ids distinct
  std::uint32_t inUse = 0;       // the id of the key that sends; 0: none

  const ClusterKey* Find(std::uint32_t id) const;
  const ClusterKey* InUse() const { return Find(inUse); }
  // True when the key in use was installed on purpose: the station may then listen beyond
  // loopback.
  bool NetworkReady() const;
};

// The first four bytes of SHA-256 over a fixed label and the key, as a number (never 0).
std::uint32_t KeyIdOf(const KeyBytes& bytes);
// "%08x" of an id: how a key is named to people and in the TLS PSK identity.
std::string KeyIdText(std::uint32_t id);
// A new key from the system's random source.
std::optional<ClusterKey> GenerateClusterKey(bool installed);
// The text form of a key (base64 of its 32 bytes) and back; nullopt for anything else.
std::string KeyText(const ClusterKey& key);
std::optional<ClusterKey> ParseKeyText(std::string_view text, bool installed);

// <ConfigDir()>/cluster.keys: beside the registry of a station of its own, else /etc/qxremote.
std::string KeyRingPath();

enum class KeyRingStatus { kOk, kMissing, kDamaged, kUnreadable };

// Reads the ring at path. kMissing when there is no file; kDamaged when it is not a ring
// (*error says what is wrong); kUnreadable when it can't be read.
KeyRingStatus ReadKeyRing(const std::string& path, KeyRing* ring, std::string* error);
// Writes the ring whole: a temporary file beside path (0640, group qxadmin when the group
// exists), synced and renamed over path. False with *error when it cannot.
bool WriteKeyRing(const std::string& path, const KeyRing& ring, std::string* error);
// Reads the ring at path; when there is none, makes one with a generated key in use and writes
// it. False with *error when the ring is damaged or can't be read or written: a station then
// refuses to start rather than run without keys.
bool LoadOrCreateKeyRing(const std::string& path, KeyRing* ring, std::string* error);

// The process's view of the ring at KeyRingPath(): an empty ring when there is none or it
// can't be read (nothing is accepted and nothing sent then). Never null.
std::shared_ptr<const KeyRing> CurrentKeyRing();

}  // namespace qx
