// environment.cpp - the station's registry path, runtime directory and executable path.
//
// The two variables are read at every call, so that a test may point a station at its own
// directory before (or between) uses. Any thread may call.
#include "platform/environment.h"

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
constexpr mode_t kRuntimeDirMode = 0750;
constexpr std::uint32_t kDefaultLocalCallTimeoutMs = 30000;

std::atomic<CallTimeoutSource> callTimeoutSource{nullptr};

std::string FromEnvironment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  return value;
}

// mkdir -p: every missing directory on the way is created with exactly the mode.
bool MakeDirectories(const std::string& path, mode_t mode) {
  if (path.empty()) return false;
  std::string partial;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), mode) == 0) {
      ::chmod(partial.c_str(), mode);  // the umask must not narrow the station's directory
    } else if (errno != EEXIST) {
      return false;
    }
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string RegistryPath() { return FromEnvironment("QX_REGISTRY", kDefaultRegistry); }

std::string RuntimeDir() { return FromEnvironment("QX_RUNTIME_DIR", kDefaultRuntimeDir); }

bool EnsureRuntimeDir() { return MakeDirectories(RuntimeDir(), kRuntimeDirMode); }

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
