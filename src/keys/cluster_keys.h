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
// The ring is a small text file in the config directory ("cluster.keys"), readable by root
// alone (0600): whoever reads it can act as any station of the plant, so the operators of the
// group qxadmin reach other stations through the agent (which holds the key) instead. It is
// written whole to a temporary file and renamed, so that a reader never sees half of it. A ring
// file that others could read or replace (group or others have any access, an owner that is
// neither root nor this process's user, or a directory that others may write without the
// sticky bit) is not trusted: it is treated as damaged. The first start of a station makes a key
// when the ring is missing; such a generated key serves this machine only: a station listens beyond
// loopback only once a key was installed on purpose.
//
// Keys never appear in a trace or an answer: KeyText is for the operator's `key generate` only.
//
// CurrentKeyRing() is the process's view of the file (a KeyRingView that reads with
// ReadKeyRing; a test makes a view of its own to inject a failing reader): it is read again
// when the file changed
// (checked at most every kKeyRingCheckPeriod), so that a running agent follows `qxstation key`
// commands without a restart. A read that fails (no descriptor left, an I/O error) is tried
// again after kKeyRingRetryPeriod and never taken for the ring's content: the last good ring
// serves meanwhile. A damaged or untrusted ring accepts and sends nothing. Problems go to the
// sink that a higher layer installs (SetKeyRingProblemSink), at most one every
// kKeyRingProblemPeriod. Any thread may call every function here.
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

#include "common/mutex.h"

namespace qx {

inline constexpr std::size_t kClusterKeyBytes = 32;
inline constexpr std::size_t kMaxRingKeys = 16;
inline constexpr auto kKeyRingCheckPeriod = std::chrono::milliseconds(500);
inline constexpr auto kKeyRingRetryPeriod = std::chrono::milliseconds(50);
inline constexpr auto kKeyRingProblemPeriod = std::chrono::seconds(10);

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

enum class KeyRingStatus {
  kOk,
  kMissing,     // no file
  kDamaged,     // not a ring
  kUntrusted,   // others could read or replace it: its mode, owner or directory
  kDenied,      // this process may not open it (EACCES, EPERM): an operator, not root
  kUnreadable,  // the read failed (no descriptor left, an I/O error): worth trying again
};

// Reads the ring at path; *error (when given) says what is wrong and, for kUntrusted, what to
// do about it.
KeyRingStatus ReadKeyRing(const std::string& path, KeyRing* ring, std::string* error);
// Writes the ring whole: a temporary file beside path (0600, this process's user), synced and
// renamed over path. False with *error when it cannot.
bool WriteKeyRing(const std::string& path, const KeyRing& ring, std::string* error);
// A ring file of this process's user that group or others may access (one written 0640 by an
// older version) is made 0600; the agent does this at its start. True when the mode was
// changed; false when there was nothing to change or the file is not this user's (then it stays
// untrusted and ReadKeyRing says so).
bool TightenKeyRingMode(const std::string& path);
// Reads the ring at path; when there is none, makes one with a generated key in use and writes
// it. False with *error when the ring is damaged or can't be read or written: a station then
// refuses to start rather than run without keys.
bool LoadOrCreateKeyRing(const std::string& path, KeyRing* ring, std::string* error);

// How a view reads the ring file (ReadKeyRing, or a test's double).
using KeyRingReader = KeyRingStatus (*)(const std::string& path, KeyRing* ring, std::string* error);

// A view of the ring at KeyRingPath(), read with reader: an empty ring when there is none, it
// is damaged or untrusted, or this process may not read it (nothing is accepted and nothing
// sent then); the last good ring while a read fails. Current() is never null. Any thread.
class KeyRingView {
 public:
  explicit KeyRingView(KeyRingReader reader = &ReadKeyRing) : reader_(reader) {}
  KeyRingView(const KeyRingView&) = delete;
  KeyRingView& operator=(const KeyRingView&) = delete;

  std::shared_ptr<const KeyRing> Current() EXCLUDES(mutex_);

  // What tells that the file changed: a replacement (inode), a write (size, time), and a
  // change of its mode or owner (ctime, which chmod and chown move).
  struct FileSignature {
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    bool operator==(const FileSignature&) const = default;
  };

 private:
  const KeyRingReader reader_;
  Mutex mutex_;
  std::string path_ GUARDED_BY(mutex_);
  FileSignature signature_ GUARDED_BY(mutex_);
  // Until then the ring is served as it is; a read that failed, or a ring not trusted (its
  // directory may change without the file), is read again at the next check.
  std::chrono::steady_clock::time_point nextCheck_ GUARDED_BY(mutex_);
  bool readAgain_ GUARDED_BY(mutex_) = false;
  std::shared_ptr<const KeyRing> ring_ GUARDED_BY(mutex_);  // the last good one
  std::chrono::steady_clock::time_point reported_ GUARDED_BY(mutex_);
  bool everReported_ GUARDED_BY(mutex_) = false;
  std::uint32_t suppressed_ GUARDED_BY(mutex_) = 0;
};

// The process's view of its ring (a KeyRingView with ReadKeyRing). Never null.
std::shared_ptr<const KeyRing> CurrentKeyRing();

// Where CurrentKeyRing reports a ring it could not use (never key material). Installed once by
// a layer that can trace; without one, problems are dropped. kDenied is not reported: it is how
// an operator's process finds that it must go through the agent.
using KeyRingProblemSink = void (*)(KeyRingStatus status, const std::string& text,
                                    std::uint32_t suppressed);
void SetKeyRingProblemSink(KeyRingProblemSink sink);

}  // namespace qx
