// environment.cpp - the station's registry path, runtime directory and executable path.
//
// The two variables are read at every call, so that a test may point a station at its own
// directory before (or between) uses. Any thread may call.
#include "platform/environment.h"

#include <grp.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace qx {
namespace {

constexpr const char* kDefaultRegistry = "/var/lib/qxremote/registry.db";
constexpr const char* kDefaultRuntimeDir = "/run/qxremote";
constexpr const char* kDefaultConfigDir = "/etc/qxremote";
constexpr const char* kDefaultLogDir = "/var/log/qxremote";
constexpr mode_t kRuntimeDirMode = 0750;
constexpr std::uint32_t kDefaultLocalCallTimeoutMs = 30000;

std::atomic<CallTimeoutSource> callTimeoutSource{nullptr};

std::string FromEnvironment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  return value;
}

// The directory of QX_REGISTRY, or nullopt when it is not set.
std::optional<std::string> RegistryDirFromEnvironment() {
  const char* registry = std::getenv("QX_REGISTRY");
  if (registry == nullptr || *registry == '\0') return std::nullopt;
  const std::string_view path(registry);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::string(".");
  if (slash == 0) return std::string("/");
  return std::string(path.substr(0, slash));
}

}  // namespace

std::string RegistryPath() { return FromEnvironment("QX_REGISTRY", kDefaultRegistry); }

std::string RuntimeDir() { return FromEnvironment("QX_RUNTIME_DIR", kDefaultRuntimeDir); }

std::string ConfigDir() {
  const char* dir = std::getenv("QX_CONFIG_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  // A station of its own (QX_REGISTRY set) keeps its protected files beside its registry, so
  // that it never reads or writes those of the machine's station.
  return RegistryDirFromEnvironment().value_or(kDefaultConfigDir);
}

std::string LogDir() { return RegistryDirFromEnvironment().value_or(kDefaultLogDir); }

bool MakeDirectories(const std::string& path, std::uint32_t mode) {
  if (path.empty()) return false;
  // Each prefix that ends before a slash, and the whole path: "s/t" tries "s", then "s/t";
  // "/a/b" tries "/a", then "/a/b" (the root itself is never made).
  for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string partial = path.substr(0, end);
    if (!partial.empty() && partial.back() != '/') {
      if (::mkdir(partial.c_str(), static_cast<mode_t>(mode)) == 0) {
        ::chmod(partial.c_str(), static_cast<mode_t>(mode));  // the umask must not narrow it
      } else if (errno != EEXIST) {
        return false;
      }
    }
    if (end == std::string::npos) break;
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool EnsureRuntimeDir() {
  const std::string dir = RuntimeDir();
  struct stat before {};
  const bool existed = ::stat(dir.c_str(), &before) == 0;
  if (!MakeDirectories(dir, kRuntimeDirMode)) return false;
  // A directory made here belongs to the station's users; one that was there keeps its owner.
  if (!existed) {
    if (const std::optional<std::uint32_t> group = AdminGroupId()) {
      static_cast<void>(::chown(dir.c_str(), static_cast<uid_t>(-1), *group));
    }
  }
  return true;
}

std::optional<std::uint32_t> AdminGroupId() {
  std::vector<char> buffer(16 * 1024);
  group entry{};
  group* found = nullptr;
  if (::getgrnam_r("qxadmin", &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(found->gr_gid);
}

std::string ExecutablePath() {
  std::vector<char> buffer(256);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);  // the path may have been cut: try a larger buffer
  }
}

void SetLocalCallTimeoutSource(CallTimeoutSource source) { callTimeoutSource.store(source); }

std::chrono::milliseconds LocalCallTimeout() {
  const CallTimeoutSource source = callTimeoutSource.load();
  return std::chrono::milliseconds(source != nullptr ? source() : kDefaultLocalCallTimeoutMs);
}

}  // namespace qx
