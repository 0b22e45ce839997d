// settings.cpp - the readers of settings.h on the station's registry.
//
// Each RPC reader falls back to the default of a value that is missing, of another type, or out
// of range; a registry that cannot be read gives those defaults too, with a warning trace. The
// directory lists decide what a station lets others reach, so they fail closed: only a list
// that is absent gets the default, and a list that exists but cannot be read (a store failure,
// another type) allows nothing, as does a list that is present but empty. The RPC settings and the
// two directory lists are read on every request a station serves, so they are kept until the
// registry's content version changes (a write by any process), which costs one cheap query
// instead of a dozen. Directory lists are REG_MULTI_SZ, or REG_SZ with ':' between the directories.
#include "registry/store/settings.h"

#include <chrono>
#include <limits>

#include "common/mutex.h"
#include "common/text.h"
#include "platform/environment.h"
#include "platform/host_platform.h"
#include "registry/store/registry_store.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSource("Settings");

constexpr std::string_view kLocalMachinePrefix = "HKEY_LOCAL_MACHINE\\";
constexpr const char* kDefaultLibraryDir = "/usr/lib/qxremote/remotecall";
constexpr const char* kDefaultFileRoot = "/var/lib/qxremote/projects";
// A store failure that lasts is traced again after this long, not at every read.
constexpr std::chrono::seconds kFailureRetracePeriod{60};

// Traces a failed settings read, once per change of the failure or period.
void NoteReadFailure(std::string_view what, RegStatus status, const char* consequence) {
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
  TraceWarning(kSource, "Registry settings %s cannot be read (error %d): %s", name.c_str(),
               RegStatusCode(status), consequence);
}

// Opens a key given by its full HKEY_LOCAL_MACHINE path: kOk, kNotFound or the store's failure.
RegStatus OpenSettingsKey(std::string_view fullPath, KeyId* key) {
  RegistryStore& store = Registry();
  KeyId root = 0;
  const RegStatus status = store.RootKey(RegRoot::kLocalMachine, &root);
  if (status != RegStatus::kOk) return status;
  fullPath.remove_prefix(kLocalMachinePrefix.size());
  return store.OpenKey(root, fullPath, key);
}

// The key, or nullopt when it is absent or cannot be read (traced; the caller's defaults hold).
std::optional<KeyId> OpenSettingsKey(std::string_view fullPath) {
  KeyId key = 0;
  const RegStatus status = OpenSettingsKey(fullPath, &key);
  if (status == RegStatus::kOk) return key;
  if (status != RegStatus::kNotFound) NoteReadFailure(fullPath, status, "defaults apply");
  return std::nullopt;
}

std::optional<RegValue> ReadValue(const std::optional<KeyId>& key, std::string_view name) {
  if (!key) return std::nullopt;
  RegValue value;
  const RegStatus status = Registry().GetValue(*key, name, &value);
  if (status == RegStatus::kOk) return value;
  if (status != RegStatus::kNotFound) NoteReadFailure(name, status, "the default applies");
  return std::nullopt;
}

void ReadDword(const std::optional<KeyId>& key, std::string_view name, std::uint32_t* out,
               std::uint32_t minimum = 0) {
  const std::optional<RegValue> value = ReadValue(key, name);
  if (value && value->type == RegType::kDword && value->dword >= minimum) *out = value->dword;
}

void ReadString(const std::optional<KeyId>& key, std::string_view name, std::string* out) {
  const std::optional<RegValue> value = ReadValue(key, name);
  if (value && value->type == RegType::kSz && !value->text.empty()) *out = value->text;
}

// The list, the default only when the value or its key is absent, and nothing when it exists
// but cannot be read.
std::vector<std::string> ReadDirectoryList(std::string_view name, const char* fallback) {
  KeyId key = 0;
  RegValue value;
  RegStatus status = OpenSettingsKey(kSecurityKey, &key);
  if (status == RegStatus::kOk) status = Registry().GetValue(key, name, &value);
  if (status == RegStatus::kNotFound) return {fallback};
  if (status != RegStatus::kOk) {
    NoteReadFailure(name, status, "nothing is allowed");
    return {};
  }
  std::vector<std::string> dirs;
  if (value.type == RegType::kMultiSz) {
    for (const std::string& dir : value.texts) {
      if (!dir.empty()) dirs.push_back(dir);
    }
  } else if (value.type == RegType::kSz) {
    std::string_view rest = value.text;
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      const std::string_view dir = rest.substr(0, colon);
      if (!dir.empty()) dirs.emplace_back(dir);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
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
  const std::optional<KeyId> key = OpenSettingsKey(kRpcKey);
  if (!key) return settings;
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

// The settings that serving a request reads, as of one content version of the registry.
struct ServingSettings {
  RpcSettings rpc;
  std::vector<std::string> libraryDirs;
  std::vector<std::string> fileRoots;
};

ServingSettings CurrentServingSettings() {
  static Mutex mutex;
  static std::optional<std::uint64_t> cachedVersion GUARDED_BY(mutex);
  static ServingSettings cached GUARDED_BY(mutex);
  const std::optional<std::uint64_t> version = Registry().ContentVersion();
  {
    MutexLock lock(&mutex);
    if (version && cachedVersion == version) return cached;
  }
  ServingSettings fresh{ReadRpcSettingsFromRegistry(),
                        ReadDirectoryList("LibraryDirs", kDefaultLibraryDir),
                        ReadDirectoryList("FileRoots", kDefaultFileRoot)};
  MutexLock lock(&mutex);
  cachedVersion = version;
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
  const std::optional<RegValue> value = ReadValue(OpenSettingsKey(kRpcPortsKey), serviceGuid);
  if (value && value->type == RegType::kDword &&
      value->dword <= std::numeric_limits<std::uint16_t>::max()) {
    port = static_cast<std::uint16_t>(value->dword);
  }
  return port;
}

std::optional<std::string> HostsTableAddress(std::string_view host) {
  if (host.empty()) return std::nullopt;
  const std::optional<RegValue> value = ReadValue(OpenSettingsKey(kRpcHostsKey), host);
  if (!value || value->type != RegType::kSz || value->text.empty()) return std::nullopt;
  return value->text;
}

std::vector<std::string> RemoteCallLibraryDirs() { return CurrentServingSettings().libraryDirs; }

std::vector<std::string> RemoteFileRoots() { return CurrentServingSettings().fileRoots; }

namespace {

std::optional<std::string> PlatformValue(const char* name) {
  std::string text;
  ReadString(OpenSettingsKey(kPlatformKey), name, &text);
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
