// settings.cpp - the readers of settings.h on the station's registry and settings file.
//
// Each value is read from where protected_settings.h says (registry, settings file, default).
// Each RPC reader falls back to the default of a value that is missing, of another type, or out
// of range; a registry that cannot be read gives those defaults too, with a warning trace. The
// directory lists decide what a station lets others reach, so they fail closed: only a list
// that is absent gets the default, and a list that exists but cannot be read (a store failure,
// another type) allows nothing, as does a list that is present but empty. The RPC settings and the
// two directory lists are read on every request a station serves, so they are kept until the
// registry's content version changes (a write by any process), the settings file changes, or
// the registry becomes writable by others (or no longer), which costs one cheap query and a few
// stat calls instead of a dozen reads. Directory lists are REG_MULTI_SZ, or REG_SZ with ':' between
// the directories.
#include "registry/store/settings.h"

#include <chrono>
#include <limits>

#include "common/mutex.h"
#include "common/text.h"
#include "platform/environment.h"
#include "platform/host_platform.h"
#include "registry/store/known_settings.h"
#include "registry/store/protected_settings.h"
#include "registry/store/registry_store.h"
#include "registry/store/settings_file.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSource("Settings");

constexpr const char* kDefaultLibraryDir = "/usr/lib/qxremote/remotecall";
constexpr const char* kDefaultFileRoot = "/var/lib/qxremote/projects";
// A store failure that lasts is traced again after this long, not at every read.
constexpr std::chrono::seconds kFailureRetracePeriod{60};

// Traces a failed settings read, once per change of the failure or period.
void NoteReadFailure(std::string_view what, const SettingRead& read, const char* consequence) {
  const RegStatus status = read.status;
  static Mutex mutex;
  static RegStatus lastStatus GUARDED_BY(mutex) = RegStatus::kOk;
  static std::chrono::steady_clock::time_point lastTime GUARDED_BY(mutex);
  const auto now = std::chrono::steady_clock::now();
  {
    MutexLock lock(&mutex);
    if (status == lastStatus && now - lastTime < kFailureRetracePeriod) return;
    lastStatus = status;
    lastTime = now;
  }
  const std::string name(what);
  const std::string detail = read.detail.empty() ? std::string() : " (" + read.detail + ")";
  TraceWarning(kSource, "Settings %s cannot be read (error %d%s): %s", name.c_str(),
               RegStatusCode(status), detail.c_str(), consequence);
}

// The value in effect (protected_settings.h), or nullopt when the default holds: absent, or
// cannot be read (traced).
std::optional<RegValue> ReadValue(std::string_view keyPath, std::string_view name, RegType asked) {
  SettingRead read = ReadSetting(keyPath, name, asked);
  if (read.status == RegStatus::kOk) return std::move(read.value);
  if (read.status != RegStatus::kNotFound) NoteReadFailure(name, read, "the default applies");
  return std::nullopt;
}

void ReadDword(std::string_view key, std::string_view name, std::uint32_t* out,
               std::uint32_t minimum = 0) {
  const std::optional<RegValue> value = ReadValue(key, name, RegType::kDword);
  if (value && value->type == RegType::kDword && value->dword >= minimum) *out = value->dword;
}

void ReadString(std::string_view key, std::string_view name, std::string* out) {
  const std::optional<RegValue> value = ReadValue(key, name, RegType::kSz);
  if (value && value->type == RegType::kSz && !value->text.empty()) *out = value->text;
}

// The list, the default only when the value or its key is absent, and nothing when it exists
// but cannot be read.
std::vector<std::string> ReadDirectoryList(std::string_view name, const char* fallback) {
  const SettingRead read = ReadSetting(kSecurityKey, name, RegType::kMultiSz);
  if (read.status == RegStatus::kNotFound) return {fallback};
  if (read.status != RegStatus::kOk) {
    NoteReadFailure(name, read, "nothing is allowed");
    return {};
  }
  const RegValue& value = read.value;
  std::vector<std::string> dirs;
  if (value.type == RegType::kMultiSz) {
    for (const std::string& dir : value.texts) {
      if (!dir.empty()) dirs.push_back(dir);
    }
  } else if (value.type == RegType::kSz) {
    dirs = SplitDirectoryText(value.text);
  } else {
    const std::string text(name);
    TraceWarning(kSource,
                 "Registry setting %s has type %u, not a directory list: nothing is allowed",
                 text.c_str(), static_cast<unsigned>(value.type));
  }
  return dirs;
}

RpcSettings ReadRpcSettingsFromRegistry() {
  RpcSettings settings;
  const std::string_view key = kRpcKey;
  ReadString(key, "ListenAddress", &settings.listenAddress);
  ReadDword(key, "ConnectTimeoutMs", &settings.connectTimeoutMs);
  ReadDword(key, "CallTimeoutMs", &settings.callTimeoutMs);
  ReadDword(key, "ServerThreads", &settings.serverThreads, 1);
  ReadDword(key, "MaxFrameBytes", &settings.maxFrameBytes, 1);
  ReadDword(key, "ReadFileLimit", &settings.readFileLimit, 1);
  ReadDword(key, "IdleConnectionMs", &settings.idleConnectionMs);
  ReadDword(key, "BufferBudgetBytes", &settings.bufferBudgetBytes, 1);
  ReadDword(key, "StopGraceMs", &settings.stopGraceMs);
  ReadDword(key, "HandlerThreads", &settings.handlerThreads, 1);
  ReadDword(key, "HandlerQueue", &settings.handlerQueue);
  return settings;
}

// The settings that serving a request reads, as of one content version of the registry, one
// state of the settings file and one answer to whether the registry is root's alone.
struct ServingSettings {
  RpcSettings rpc;
  std::vector<std::string> libraryDirs;
  std::vector<std::string> fileRoots;
};

ServingSettings CurrentServingSettings() {
  static Mutex mutex;
  static std::optional<std::uint64_t> cachedVersion GUARDED_BY(mutex);
  static std::shared_ptr<const SettingsFile::Snapshot> cachedFile GUARDED_BY(mutex);
  static bool cachedTrust GUARDED_BY(mutex) = false;
  static ServingSettings cached GUARDED_BY(mutex);
  const std::optional<std::uint64_t> version = Registry().ContentVersion();
  std::shared_ptr<const SettingsFile::Snapshot> file = SettingsFile::Current();
  const bool trust = RegistryHoldsProtectedSettings(nullptr);
  {
    MutexLock lock(&mutex);
    if (version && cachedVersion == version && cachedFile == file && cachedTrust == trust) {
      return cached;
    }
  }
  ServingSettings fresh{ReadRpcSettingsFromRegistry(),
                        ReadDirectoryList("LibraryDirs", kDefaultLibraryDir),
                        ReadDirectoryList("FileRoots", kDefaultFileRoot)};
  MutexLock lock(&mutex);
  cachedVersion = version;
  cachedFile = std::move(file);
  cachedTrust = trust;
  cached = fresh;
  return fresh;
}

}  // namespace

RpcSettings ReadRpcSettings() { return CurrentServingSettings().rpc; }

std::optional<std::uint16_t> ServicePort(std::string_view serviceGuid) {
  std::optional<std::uint16_t> port;
  if (IEquals(serviceGuid, kServiceDiscovery)) port = kDefaultDiscoveryPort;
  if (IEquals(serviceGuid, kServiceProjectManager)) port = kDefaultProjectManagerPort;
  if (serviceGuid.empty()) return port;
  const std::optional<RegValue> value = ReadValue(kRpcPortsKey, serviceGuid, RegType::kDword);
  if (value && value->type == RegType::kDword &&
      value->dword <= std::numeric_limits<std::uint16_t>::max()) {
    port = static_cast<std::uint16_t>(value->dword);
  }
  return port;
}

std::optional<std::string> HostsTableAddress(std::string_view host) {
  if (host.empty()) return std::nullopt;
  const std::optional<RegValue> value = ReadValue(kRpcHostsKey, host, RegType::kSz);
  if (!value || value->type != RegType::kSz || value->text.empty()) return std::nullopt;
  return value->text;
}

std::vector<std::string> RemoteCallLibraryDirs() { return CurrentServingSettings().libraryDirs; }

std::vector<std::string> RemoteFileRoots() { return CurrentServingSettings().fileRoots; }

namespace {

std::optional<std::string> PlatformValue(const char* name) {
  std::string text;
  ReadString(kPlatformKey, name, &text);
  if (text.empty()) return std::nullopt;
  return text;
}

std::uint32_t CallTimeoutMs() { return ReadRpcSettings().callTimeoutMs; }

// The platform's configured host names and local call timeout come from this registry.
[[maybe_unused]] const bool kSourcesInstalled = [] {
  SetHostSettingSource(&PlatformValue);
  SetLocalCallTimeoutSource(&CallTimeoutMs);
  return true;
}();

}  // namespace

}  // namespace qx
