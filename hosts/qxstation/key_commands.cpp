// key_commands.cpp - the key ring commands on the ring file of platform/cluster_keys.h.
#include "key_commands.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "failures.h"
#include "platform/cluster_keys.h"

namespace qxstation {
namespace {

constexpr std::size_t kMaxKeyInput = 256;

// The ring as it is; a missing one is empty. False (with a line on err) when it can't be read.
bool Read(qx::KeyRing* ring, std::FILE* err) {
  std::string error;
  switch (qx::ReadKeyRing(qx::KeyRingPath(), ring, &error)) {
    case qx::KeyRingStatus::kOk:
    case qx::KeyRingStatus::kMissing:
      return true;
    case qx::KeyRingStatus::kUntrusted:
      std::fprintf(err, "qxstation: the key ring cannot be used: %s\n", error.c_str());
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
                      {"in_use", key.id == ring.inUse}});
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

}  // namespace

int RunKey(const std::vector<std::string>& words, bool json, std::FILE* in, std::FILE* out,
           std::FILE* err) {
  const std::string verb = words.empty() ? "" : words[0];
  if (verb == "list" && words.size() == 1) return List(json, out, err);
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
  std::fprintf(err, "qxstation: key wants list, generate, install KEY|-, use ID or remove ID\n");
  return kUsage;
}

}  // namespace qxstation
