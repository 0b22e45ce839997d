// key_commands.cpp - the key ring commands on the ring file of keys/cluster_keys.h.
#include "key_commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string_view>

#include "failures.h"
#include "keys/cluster_keys.h"

namespace qxstation {
namespace {

constexpr std::size_t kMaxKeyInput = 256;

// The command that moves a damaged ring aside, for this station.
std::string ResetCommand() {
  if (const std::optional<std::string> dir = StationDirectory()) {
    return "qxstation key reset --station " + *dir;
  }
  return "sudo qxstation key reset";
}

// The ring as it is; a missing one is empty. False (with a line on err) when it can't be read.
bool Read(qx::KeyRing* ring, std::FILE* err) {
  std::string error;
  switch (qx::ReadKeyRing(qx::KeyRingPath(), ring, &error)) {
    case qx::KeyRingStatus::kOk:
    case qx::KeyRingStatus::kMissing:
      return true;
    case qx::KeyRingStatus::kUntrusted:
      std::fprintf(err, "qxstation: the key ring cannot be used: %s; or start a new ring with %s\n",
                   error.c_str(), ResetCommand().c_str());
      return false;
    case qx::KeyRingStatus::kDamaged:
      std::fprintf(err,
                   "qxstation: the key ring %s is damaged (%s); move it aside and start a new "
                   "ring with %s, then install the cluster's key again\n",
                   qx::KeyRingPath().c_str(), error.c_str(), ResetCommand().c_str());
      return false;
    case qx::KeyRingStatus::kDenied:
      std::fprintf(err,
                   "qxstation: only root may read the key ring %s; run the key commands as root "
                   "(sudo qxstation key ...)\n",
                   qx::KeyRingPath().c_str());
      return false;
    default:
      std::fprintf(err, "qxstation: the key ring cannot be read: %s\n", error.c_str());
      return false;
  }
}

int Write(const qx::KeyRing& ring, std::FILE* err) {
  std::string error;
  if (qx::WriteKeyRing(qx::KeyRingPath(), ring, &error)) return kSuccess;
  std::fprintf(err, "qxstation: the key ring cannot be written: %s\n", error.c_str());
  return kFailure;
}

// The key of an id text: the whole id, or a prefix that only one key has.
const qx::ClusterKey* FindById(const qx::KeyRing& ring, std::string_view text, std::FILE* err) {
  const qx::ClusterKey* found = nullptr;
  for (const qx::ClusterKey& key : ring.keys) {
    if (!text.empty() && qx::KeyIdText(key.id).starts_with(text)) {
      if (found != nullptr) {
        std::fprintf(err, "qxstation: more than one key begins with %.*s\n",
                     static_cast<int>(text.size()), text.data());
        return nullptr;
      }
      found = &key;
    }
  }
  if (found == nullptr) {
    std::fprintf(err, "qxstation: no key %.*s in the ring (qxstation key list)\n",
                 static_cast<int>(text.size()), text.data());
  }
  return found;
}

std::optional<std::string> KeyInput(const std::string& word, std::FILE* in) {
  if (word != "-") return word;
  std::string text;
  int c;
  while ((c = std::fgetc(in)) != EOF && text.size() <= kMaxKeyInput) {
    if (c != '\n' && c != '\r' && c != ' ' && c != '\t') text.push_back(static_cast<char>(c));
  }
  if (text.size() > kMaxKeyInput) return std::nullopt;
  return text;
}

int List(bool json, std::FILE* out, std::FILE* err) {
  qx::KeyRing ring;
  if (!Read(&ring, err)) return kFailure;
  if (json) {
    nlohmann::json keys = nlohmann::json::array();
    for (const qx::ClusterKey& key : ring.keys) {
      keys.push_back({{"id", qx::KeyIdText(key.id)},
                      {"origin", key.installed ? "installed" : "generated"},
                      {"inUse", key.id == ring.inUse}});
    }
    std::fprintf(out, "%s\n", keys.dump(2).c_str());
    return kSuccess;
  }
  if (ring.keys.empty()) {
    std::fprintf(out, "no keys: the agent makes one at its first start, or install one\n");
    return kSuccess;
  }
  std::fprintf(out, "%-10s %-10s %s\n", "ID", "ORIGIN", "USE");
  for (const qx::ClusterKey& key : ring.keys) {
    std::fprintf(out, "%-10s %-10s %s\n", qx::KeyIdText(key.id).c_str(),
                 key.installed ? "installed" : "generated",
                 key.id == ring.inUse ? "in use (sends)" : "accepted");
  }
  return kSuccess;
}

// "cluster.keys.damaged-20260109T101502" beside path, with a number added while that exists.
std::string AsideName(const std::string& path) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32] = {};
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &local);
  const std::string base = path + ".damaged-" + stamp;
  std::string name = base;
  std::error_code error;
  for (int i = 1; i < 100 && std::filesystem::symlink_status(name, error).type() !=
                                 std::filesystem::file_type::not_found;
       ++i) {
    name = base + "-" + std::to_string(i);
  }
  return name;
}

// Moves a damaged or untrusted ring aside (0600, never deleted) and starts a new one with a
// local key in use. A ring that reads well is left alone.
int Reset(std::FILE* out, std::FILE* err) {
  const std::string path = qx::KeyRingPath();
  qx::KeyRing old;
  std::string error;
  const qx::KeyRingStatus status = qx::ReadKeyRing(path, &old, &error);
  if (status == qx::KeyRingStatus::kOk) {
    std::fprintf(err,
                 "qxstation: the key ring %s is not damaged; key reset replaces only a damaged "
                 "ring (use key install, use and remove to change it)\n",
                 path.c_str());
    return kFailure;
  }
  if (status == qx::KeyRingStatus::kDenied || status == qx::KeyRingStatus::kUnreadable) {
    Read(&old, err);  // says why
    return kFailure;
  }
  std::string aside;
  if (status != qx::KeyRingStatus::kMissing) {
    aside = AsideName(path);
    if (::rename(path.c_str(), aside.c_str()) != 0) {
      std::fprintf(err, "qxstation: cannot move the key ring %s aside: %s; run as root\n",
                   path.c_str(), std::strerror(errno));
      return kFailure;
    }
    // Whoever could read the ring must not read what is left of it either; a link stays a link.
    const int fd = ::open(aside.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) ::fchmod(fd, 0600);
    if (fd >= 0) ::close(fd);
  }
  const std::optional<qx::ClusterKey> key = qx::GenerateClusterKey(/*installed=*/false);
  if (!key) {
    std::fprintf(err, "qxstation: no random bytes for a key\n");
    return kFailure;
  }
  qx::KeyRing ring;
  ring.keys.push_back(*key);
  ring.inUse = key->id;
  if (Write(ring, err) != kSuccess) return kFailure;
  if (!aside.empty()) std::fprintf(out, "moved the damaged key ring to %s\n", aside.c_str());
  std::fprintf(out,
               "new key ring with the local key %s (this machine only); install the cluster's "
               "key with: echo \"$KEY\" | qxstation key install -\n",
               qx::KeyIdText(key->id).c_str());
  return kSuccess;
}

}  // namespace

int RunKey(const std::vector<std::string>& words, bool json, std::FILE* in, std::FILE* out,
           std::FILE* err) {
  const std::string verb = words.empty() ? "" : words[0];
  if (verb == "list" && words.size() == 1) return List(json, out, err);
  if (verb == "reset" && words.size() == 1) return Reset(out, err);
  if (verb == "generate" && words.size() == 1) {
    const std::optional<qx::ClusterKey> key = qx::GenerateClusterKey(true);
    if (!key) {
      std::fprintf(err, "qxstation: no random bytes for a key\n");
      return kFailure;
    }
    std::fprintf(out, "%s\n", qx::KeyText(*key).c_str());
    return kSuccess;
  }
  if (verb == "install" && words.size() == 2) {
    const std::optional<std::string> text = KeyInput(words[1], in);
    const std::optional<qx::ClusterKey> key =
        text ? qx::ParseKeyText(*text, /*installed=*/true) : std::nullopt;
    if (!key) {
      std::fprintf(err,
                   "qxstation: that is not a cluster key (44 characters of base64, as "
                   "`qxstation key generate` prints it)\n");
      return kUsage;
    }
    qx::KeyRing ring;
    if (!Read(&ring, err)) return kFailure;
    bool present = false;
    for (qx::ClusterKey& held : ring.keys) {
      if (held.id == key->id) {
        held.installed = true;
        present = true;
      }
    }
    if (!present) {
      if (ring.keys.size() >= qx::kMaxRingKeys) {
        std::fprintf(err, "qxstation: the ring holds %zu keys already; remove one first\n",
                     ring.keys.size());
        return kFailure;
      }
      ring.keys.push_back(*key);
    }
    if (ring.inUse == 0) ring.inUse = key->id;  // a new ring sends with its first key
    const int written = Write(ring, err);
    if (written == kSuccess) {
      std::fprintf(
          out, "installed key %s (%s)\n", qx::KeyIdText(key->id).c_str(),
          ring.inUse == key->id ? "in use" : "accepted; `qxstation key use` sends with it");
    }
    return written;
  }
  if ((verb == "use" || verb == "remove") && words.size() == 2) {
    qx::KeyRing ring;
    if (!Read(&ring, err)) return kFailure;
    const qx::ClusterKey* key = FindById(ring, words[1], err);
    if (key == nullptr) return kFailure;
    const std::uint32_t id = key->id;
    if (verb == "use") {
      ring.inUse = id;
    } else {
      if (id == ring.inUse) {
        std::fprintf(err,
                     "qxstation: key %s is in use; use another key first (qxstation key use)\n",
                     qx::KeyIdText(id).c_str());
        return kFailure;
      }
      std::erase_if(ring.keys, [id](const qx::ClusterKey& held) { return held.id == id; });
    }
    const int written = Write(ring, err);
    if (written == kSuccess) {
      std::fprintf(out, "%s key %s\n", verb == "use" ? "sending with" : "removed",
                   qx::KeyIdText(id).c_str());
    }
    return written;
  }
  std::fprintf(err,
               "qxstation: key wants list, generate, install KEY|-, use ID, remove ID or reset\n");
  return kUsage;
}

}  // namespace qxstation
