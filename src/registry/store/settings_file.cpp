// settings_file.cpp - parser and cache of the station's settings file (see settings_file.h).
#include "registry/store/settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "common/mutex.h"
#include "common/text.h"
#include "platform/environment.h"
#include "platform/unix_socket.h"
#include "platform/write_trust.h"

namespace qx {
namespace {

constexpr std::string_view kBaseKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE";
constexpr const char* kFileName = "qxremote.conf";
// The directories of an unchanged file are checked again after this long.
constexpr std::chrono::seconds kRecheckPeriod{1};

std::string ErrorText(int error) {
  char buffer[256];
  return ::strerror_r(error, buffer, sizeof buffer);
}

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// A section path as it is looked up: no trailing backslash, folded.
std::string FoldSection(std::string_view path) {
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return FoldedKey(path);
}

bool ValidUtf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    if (text[pos] == '\0') return false;
    const std::size_t start = pos;
    if (DecodeUtf8(text, &pos) == 0xFFFD && pos - start != 3) return false;
  }
  return true;
}

bool ParseDword(std::string_view text, std::uint32_t* out) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t value = 0;
  for (const char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return false;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    if (value > 0xFFFFFFFFull) return false;
  }
  *out = static_cast<std::uint32_t>(value);
  return true;
}

// What decides whether a file must be read again.
struct Signature {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};
  mode_t mode = 0;
  uid_t owner = 0;
  bool operator==(const Signature& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec &&
           mode == other.mode && owner == other.owner;
  }
};

Signature SignatureOf(const struct stat& info) {
  return {info.st_dev,  info.st_ino,  info.st_size, info.st_mtim,
          info.st_ctim, info.st_mode, info.st_uid};
}

std::shared_ptr<SettingsFile::Snapshot> Unusable(const std::string& path, std::string why) {
  auto snapshot = std::make_shared<SettingsFile::Snapshot>();
  snapshot->state = SettingsFile::State::kUnusable;
  snapshot->path = path;
  snapshot->problem = "the settings file " + path + " cannot be used: " + std::move(why);
  return snapshot;
}

}  // namespace

const std::vector<std::string>* SettingsFile::Snapshot::Find(std::string_view fullKeyPath,
                                                             std::string_view name) const {
  if (state != State::kReadable || fullKeyPath.size() < kBaseKey.size() ||
      !IEquals(fullKeyPath.substr(0, kBaseKey.size()), kBaseKey)) {
    return nullptr;
  }
  std::string_view relative = fullKeyPath.substr(kBaseKey.size());
  if (!relative.empty() && relative.front() != '\\') return nullptr;
  while (!relative.empty() && relative.front() == '\\') relative.remove_prefix(1);
  const auto section = sections.find(FoldSection(relative));
  if (section == sections.end()) return nullptr;
  const auto value = section->second.find(FoldedKey(name));
  return value == section->second.end() ? nullptr : &value->second;
}

bool SettingsFile::Parse(std::string_view text, Snapshot* out, std::string* error) {
  if (text.size() > kMaxFileBytes) {
    *error = "larger than " + std::to_string(kMaxFileBytes) + " bytes";
    return false;
  }
  if (!ValidUtf8(text)) {
    *error = "not UTF-8 text";
    return false;
  }
  std::map<std::string, std::map<std::string, std::vector<std::string>>> sections;
  std::map<std::string, std::vector<std::string>>* section = nullptr;
  std::map<std::string, std::string> spellings;
  std::string sectionName;
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::string where = "line " + std::to_string(number);
    if (raw.size() > kMaxLineBytes) {
      *error = where + " is longer than " + std::to_string(kMaxLineBytes) + " bytes";
      return false;
    }
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[') {
      const std::string_view name =
          line.back() == ']' ? Trim(line.substr(1, line.size() - 2)) : std::string_view();
      if (name.empty() || name.front() == '\\' || name.find("\\\\") != std::string_view::npos) {
        *error = where + ": a section is \"[KEY\\PATH]\"";
        return false;
      }
      sectionName = FoldSection(name);
      section = &sections[sectionName];
      spellings.emplace(sectionName, std::string(name));
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || Trim(line.substr(0, equals)).empty()) {
      *error = where + ": neither \"[SECTION]\" nor \"Name = value\"";
      return false;
    }
    if (section == nullptr) {
      *error = where + ": a value before the first [SECTION]";
      return false;
    }
    const std::string_view valueName = Trim(line.substr(0, equals));
    std::vector<std::string>& items = (*section)[FoldedKey(valueName)];
    spellings.emplace(sectionName + "\\" + FoldedKey(valueName), std::string(valueName));
    std::string_view value = Trim(line.substr(equals + 1));
    if (value.empty()) continue;  // "Name =": the list, possibly empty
    const bool opens = value.front() == '"';
    const bool closes = value.size() >= 2 && value.back() == '"';
    if (opens != closes || (opens && value.size() < 2)) {
      *error = where + ": a quoted value needs a quote at both ends";
      return false;
    }
    if (opens) value = value.substr(1, value.size() - 2);
    items.emplace_back(value);
  }
  out->sections = std::move(sections);
  out->spellings = std::move(spellings);
  return true;
}

RegValue SettingsFile::AsRegValue(const std::vector<std::string>& items, RegType asked) {
  switch (asked) {
    case RegType::kDword: {
      std::uint32_t value = 0;
      if (items.size() == 1 && ParseDword(items.front(), &value)) return RegValue::Dword(value);
      break;
    }
    case RegType::kSz:
    case RegType::kExpandSz:
      if (items.size() <= 1) return RegValue::String(items.empty() ? "" : items.front());
      break;
    case RegType::kMultiSz:
      return RegValue::MultiString(items);
    case RegType::kNone:
      break;
  }
  return RegValue{};
}

std::string SettingsFile::StationPath() { return ConfigDir() + "/" + kFileName; }

std::shared_ptr<const SettingsFile::Snapshot> SettingsFile::Load(const std::string& path) {
  const unix_socket::UniqueFd fd(
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) {
    if (errno == ENOENT) {
      auto missing = std::make_shared<Snapshot>();
      missing->path = path;
      return missing;
    }
    if (errno == ELOOP) return Unusable(path, "it is a symbolic link");
    return Unusable(path, ErrorText(errno));
  }
  std::string why;
  if (!OnlyOwnerMayWriteFile(fd.get(), path, &why)) return Unusable(path, why);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return Unusable(path, ErrorText(errno));
  if (static_cast<std::uint64_t>(info.st_size) > kMaxFileBytes) {
    return Unusable(path, "larger than " + std::to_string(kMaxFileBytes) + " bytes");
  }
  // One byte more than the limit tells a file that grew meanwhile.
  std::string text(kMaxFileBytes + 1, '\0');
  std::size_t filled = 0;
  while (filled < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + filled, text.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Unusable(path, ErrorText(errno));
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  text.resize(filled);
  auto snapshot = std::make_shared<Snapshot>();
  if (!Parse(text, snapshot.get(), &why)) return Unusable(path, why);
  snapshot->state = State::kReadable;
  snapshot->path = path;
  return snapshot;
}

namespace {

// The last snapshot taken and what the file looked like then. Never destroyed: threads that run
// to the end of the process (the audit writer) read settings while static objects are destroyed.
struct CurrentSnapshot {
  Mutex mutex;
  std::shared_ptr<const SettingsFile::Snapshot> cached GUARDED_BY(mutex);
  Signature signature GUARDED_BY(mutex);
  bool present GUARDED_BY(mutex) = false;
  std::chrono::steady_clock::time_point checked GUARDED_BY(mutex);
};

}  // namespace

std::shared_ptr<const SettingsFile::Snapshot> SettingsFile::Current() {
  static CurrentSnapshot& current = *std::make_unique<CurrentSnapshot>().release();

  const std::string path = StationPath();
  struct stat info {};
  const bool present = ::lstat(path.c_str(), &info) == 0;
  const Signature signature = present ? SignatureOf(info) : Signature{};
  const auto now = std::chrono::steady_clock::now();
  {
    MutexLock lock(&current.mutex);
    if (current.cached && current.cached->path == path && present == current.present &&
        signature == current.signature && now - current.checked < kRecheckPeriod) {
      return current.cached;
    }
  }
  std::shared_ptr<const Snapshot> fresh = Load(path);
  MutexLock lock(&current.mutex);
  current.cached = fresh;
  current.signature = signature;
  current.present = present;
  current.checked = now;
  return fresh;
}

}  // namespace qx
