// cluster_keys.cpp - the key ring file, with OpenSSL for the digest, the random source and base64.
//
// The file, at most kMaxRingFileBytes, one item a line:
//   # comment
//   use <id>
//   key <id> installed|generated <base64 of 32 bytes>
// Every id is "%08x" and must match the key's bytes; anything else makes the ring damaged.
#include "keys/cluster_keys.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/mutex.h"
#include "platform/environment.h"
#include "platform/unix_socket.h"

namespace qx {
namespace {

constexpr std::size_t kMaxRingFileBytes = 16 * 1024;
constexpr std::string_view kIdLabel = "qxremote cluster key id";

std::string ErrnoText(const std::string& what, int error) {
  return what + ": " + unix_socket::ErrorText(error);
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
    if (pos > start) words.push_back(line.substr(start, pos - start));
  }
  return words;
}

std::optional<std::uint32_t> ParseId(std::string_view text) {
  if (text.size() != 8) return std::nullopt;
  std::uint32_t id = 0;
  for (const char c : text) {
    id <<= 4;
    if (c >= '0' && c <= '9') {
      id |= static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      id |= static_cast<std::uint32_t>(c - 'a' + 10);
    } else {
      return std::nullopt;
    }
  }
  return id == 0 ? std::nullopt : std::optional<std::uint32_t>(id);
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

using FileSignature = KeyRingView::FileSignature;

std::int64_t Nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

FileSignature SignatureOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  return {true,
          info.st_dev,
          info.st_ino,
          info.st_size,
          Nanoseconds(info.st_mtim),
          Nanoseconds(info.st_ctim)};
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Why the ring file (info, opened at path) may not be trusted, or empty: others could read it
// or put their own key in it.
std::string UntrustedReason(const std::string& path, const struct stat& info) {
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  const uid_t self = ::geteuid();
  if (info.st_uid != 0 && info.st_uid != self) {
    return "owned by uid " + std::to_string(info.st_uid) +
           ", which is neither root nor this process's user; give it to root: chown root:root " +
           path;
  }
  const unsigned mode = static_cast<unsigned>(info.st_mode) & 0777u;
  if ((mode & 0077u) != 0) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode);
    return std::string("mode ") + text +
           " lets group or others at the cluster key; only root may read it: chmod 600 " + path +
           " (the agent does this at its start)";
  }
  const std::string directory = DirectoryOf(path);
  struct stat dirInfo {};
  if (::stat(directory.c_str(), &dirInfo) != 0) {
    return "its directory " + directory + " cannot be examined: " + ErrnoText(directory, errno);
  }
  if ((dirInfo.st_mode & S_IWOTH) != 0 && (dirInfo.st_mode & S_ISVTX) == 0) {
    return "its directory " + directory +
           " may be written by anyone, who could replace the ring: chmod o-w " + directory;
  }
  return {};
}

std::atomic<KeyRingProblemSink> problemSink{nullptr};

}  // namespace

const ClusterKey* KeyRing::Find(std::uint32_t id) const {
  if (id == 0) return nullptr;
  for (const ClusterKey& key : keys) {
    if (key.id == id) return &key;
  }
  return nullptr;
}

bool KeyRing::NetworkReady() const {
  const ClusterKey* key = InUse();
  return key != nullptr && key->installed;
}

std::uint32_t KeyIdOf(const KeyBytes& bytes) {
  std::vector<std::uint8_t> input(kIdLabel.begin(), kIdLabel.end());
  input.insert(input.end(), bytes.begin(), bytes.end());
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha256(), nullptr) != 1 ||
      length < 4) {
    return 1;  // never happens with a working library; still a valid, nonzero id
  }
  const std::uint32_t id = (static_cast<std::uint32_t>(digest[0]) << 24) |
                           (static_cast<std::uint32_t>(digest[1]) << 16) |
                           (static_cast<std::uint32_t>(digest[2]) << 8) | digest[3];
  return id == 0 ? 1 : id;
}

std::string KeyIdText(std::uint32_t id) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", id);
  return text;
}

std::optional<ClusterKey> GenerateClusterKey(bool installed) {
  ClusterKey key;
  if (RAND_bytes(key.bytes.data(), static_cast<int>(key.bytes.size())) != 1) return std::nullopt;
  key.id = KeyIdOf(key.bytes);
  key.installed = installed;
  return key;
}

std::string KeyText(const ClusterKey& key) {
  unsigned char out[4 * ((kClusterKeyBytes + 2) / 3) + 1];
  const int length = EVP_EncodeBlock(out, key.bytes.data(), static_cast<int>(key.bytes.size()));
  return std::string(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
}

std::optional<ClusterKey> ParseKeyText(std::string_view text, bool installed) {
  // 32 bytes are 44 base64 characters, the last one padding.
  if (text.size() != 4 * ((kClusterKeyBytes + 2) / 3) || text.back() != '=' ||
      text[text.size() - 2] == '=') {
    return std::nullopt;
  }
  for (const char c : text) {
    const bool base64 = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=';
    if (!base64) return std::nullopt;
  }
  unsigned char out[3 * ((kClusterKeyBytes + 2) / 3)];
  const std::string copy(text);
  const int length = EVP_DecodeBlock(out, reinterpret_cast<const unsigned char*>(copy.data()),
                                     static_cast<int>(copy.size()));
  // DecodeBlock counts the padding as zero bytes: 33 for a 32-byte key.
  if (length != static_cast<int>(sizeof out)) return std::nullopt;
  ClusterKey key;
  std::memcpy(key.bytes.data(), out, kClusterKeyBytes);
  key.id = KeyIdOf(key.bytes);
  key.installed = installed;
  return key;
}

std::string KeyRingPath() { return ConfigDir() + "/cluster.keys"; }

KeyRingStatus ReadKeyRing(const std::string& path, KeyRing* ring, std::string* error) {
  auto damaged = [&](const std::string& what) {
    if (error != nullptr) *error = path + ": " + what;
    return KeyRingStatus::kDamaged;
  };
  const unix_socket::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) {
    const int failure = errno;
    if (failure == ENOENT) return KeyRingStatus::kMissing;
    if (error != nullptr) *error = ErrnoText(path, failure);
    if (failure == ELOOP) {
      if (error != nullptr) *error = path + ": a symbolic link, which is never followed";
      return KeyRingStatus::kUntrusted;
    }
    if (failure == EACCES || failure == EPERM) return KeyRingStatus::kDenied;
    return KeyRingStatus::kUnreadable;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    if (error != nullptr) *error = ErrnoText(path, errno);
    return KeyRingStatus::kUnreadable;
  }
  if (const std::string why = UntrustedReason(path, info); !why.empty()) {
    if (error != nullptr) *error = path + ": not trusted: " + why;
    return KeyRingStatus::kUntrusted;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (error != nullptr) *error = ErrnoText(path, errno);
      return KeyRingStatus::kUnreadable;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxRingFileBytes) {
      return damaged("longer than " + std::to_string(kMaxRingFileBytes) + " bytes");
    }
  }

  KeyRing read;
  std::optional<std::uint32_t> use;
  std::size_t lineNumber = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    ++lineNumber;
    const std::string at = "line " + std::to_string(lineNumber) + ": ";
    const std::vector<std::string_view> words = Words(line);
    if (words.empty() || words[0].starts_with("#")) continue;
    if (words[0] == "use" && words.size() == 2) {
      if (use) return damaged(at + "a second \"use\"");
      use = ParseId(words[1]);
      if (!use) return damaged(at + "not a key id");
    } else if (words[0] == "key" && words.size() == 4 &&
               (words[2] == "installed" || words[2] == "generated")) {
      const std::optional<std::uint32_t> id = ParseId(words[1]);
      std::optional<ClusterKey> key = ParseKeyText(words[3], words[2] == "installed");
      if (!id || !key) return damaged(at + "not a key");
      if (key->id != *id) return damaged(at + "the id does not belong to the key");
      if (read.Find(key->id) != nullptr) return damaged(at + "the key is there twice");
      if (read.keys.size() >= kMaxRingKeys) {
        return damaged("more than " + std::to_string(kMaxRingKeys) + " keys");
      }
      read.keys.push_back(*key);
    } else {
      return damaged(at + "neither \"use ID\" nor \"key ID installed|generated KEY\"");
    }
  }
  if (use) {
    if (read.Find(*use) == nullptr) return damaged("the key in use is not in the ring");
    read.inUse = *use;
  }
  *ring = std::move(read);
  return KeyRingStatus::kOk;
}

bool WriteKeyRing(const std::string& path, const KeyRing& ring, std::string* error) {
  std::string text =
      "# The cluster keys of this station (qxstation key list|install|use|remove|generate).\n";
  if (ring.inUse != 0) text += "use " + KeyIdText(ring.inUse) + "\n";
  for (const ClusterKey& key : ring.keys) {
    text += "key " + KeyIdText(key.id) + (key.installed ? " installed " : " generated ") +
            KeyText(key) + "\n";
  }
  const std::string temporary = path + ".new";
  ::unlink(temporary.c_str());
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (error != nullptr) *error = ErrnoText(temporary, errno);
    return false;
  }
  // Whatever the umask: root alone (or this process's user) reads the key. A root process that
  // runs with another group (the agent, with the operators' group) still gives the ring root's
  // group, so that no reader takes the group for one that may see the key.
  bool ok = ::fchmod(fd, 0600) == 0;
  if (ok && ::geteuid() == 0 && ::getegid() != 0) ok = ::fchown(fd, 0, 0) == 0;
  ok = ok && WriteAll(fd, text) && ::fsync(fd) == 0;
  const int failure = errno;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) {
    const std::string directory = DirectoryOf(path);
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
      ::fsync(dirFd);
      ::close(dirFd);
    }
    return true;
  }
  if (error != nullptr) *error = ErrnoText(path, ok ? errno : failure);
  ::unlink(temporary.c_str());
  return false;
}

bool LoadOrCreateKeyRing(const std::string& path, KeyRing* ring, std::string* error) {
  switch (ReadKeyRing(path, ring, error)) {
    case KeyRingStatus::kOk:
      return true;
    case KeyRingStatus::kMissing:
      break;
    default:
      return false;
  }
  std::optional<ClusterKey> key = GenerateClusterKey(/*installed=*/false);
  if (!key) {
    if (error != nullptr) *error = "no random bytes for a new cluster key";
    return false;
  }
  KeyRing fresh;
  fresh.keys.push_back(*key);
  fresh.inUse = key->id;
  if (!WriteKeyRing(path, fresh, error)) return false;
  *ring = std::move(fresh);
  return true;
}

bool TightenKeyRingMode(const std::string& path) {
  const unix_socket::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (info.st_uid != ::geteuid() || (info.st_mode & 0077) == 0) return false;
  return ::fchmod(fd.get(), 0600) == 0;
}

void SetKeyRingProblemSink(KeyRingProblemSink sink) { problemSink.store(sink); }

std::shared_ptr<const KeyRing> CurrentKeyRing() {
  static KeyRingView& view = *std::make_unique<KeyRingView>().release();  // never destroyed
  return view.Current();
}

std::shared_ptr<const KeyRing> KeyRingView::Current() {
  const auto now = std::chrono::steady_clock::now();
  const std::string path = KeyRingPath();
  KeyRingStatus problem = KeyRingStatus::kOk;
  std::string problemText;
  std::uint32_t suppressed = 0;
  std::shared_ptr<const KeyRing> result;
  {
    MutexLock lock(&mutex_);
    if (path_ != path || !ring_) {
      path_ = path;
      ring_ = std::make_shared<KeyRing>();  // another ring's keys never serve this one
      signature_ = {};
      readAgain_ = true;
    } else if (now < nextCheck_) {
      return ring_;
    }
    nextCheck_ = now + kKeyRingCheckPeriod;
    const FileSignature signature = SignatureOf(path);
    if (!readAgain_ && signature == signature_) return ring_;

    KeyRing read;
    std::string error;
    const KeyRingStatus status =
        signature.exists ? reader_(path, &read, &error) : KeyRingStatus::kMissing;
    signature_ = signature;
    readAgain_ = false;
    switch (status) {
      case KeyRingStatus::kOk:
        ring_ = std::make_shared<KeyRing>(std::move(read));
        break;
      case KeyRingStatus::kMissing:
        ring_ = std::make_shared<KeyRing>();
        break;
      case KeyRingStatus::kDamaged:
      case KeyRingStatus::kUntrusted:
        // Fails closed: a damaged ring, or one that others may have read or written, accepts
        // and sends nothing.
        ring_ = std::make_shared<KeyRing>();
        readAgain_ = status == KeyRingStatus::kUntrusted;
        problem = status;
        break;
      case KeyRingStatus::kDenied:
        readAgain_ = true;  // an operator's process: it calls through the agent
        break;
      case KeyRingStatus::kUnreadable:
        // Not the ring's content: the last good ring serves until a read succeeds.
        readAgain_ = true;
        nextCheck_ = now + kKeyRingRetryPeriod;
        problem = status;
        break;
    }
    if (problem != KeyRingStatus::kOk) {
      if (everReported_ && now - reported_ < kKeyRingProblemPeriod) {
        ++suppressed_;
        problem = KeyRingStatus::kOk;
      } else {
        everReported_ = true;
        reported_ = now;
        suppressed = std::exchange(suppressed_, 0);
        problemText = std::move(error);
      }
    }
    result = ring_;
  }
  if (problem != KeyRingStatus::kOk) {
    if (const KeyRingProblemSink sink = problemSink.load()) sink(problem, problemText, suppressed);
  }
  return result;
}

}  // namespace qx
