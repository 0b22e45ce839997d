// settings.cpp - the readers of settings.h on the station's registry.
//
// Each reader falls back to the default of a value that is missing, of another type, or out of
// range; a registry that cannot be opened gives the defaults. The RPC settings and the two
// directory lists are read on every request a station serves, so they are kept until the
// registry's content version changes (a write by any process), which costs one cheap query
// instead of a dozen. Directory lists are REG_MULTI_SZ, or REG_SZ with ':' between the directories;
// a list that is present but empty allows nothing.
#include "registry/store/settings.h"

#include <limits>
#include <mutex>

#include "common/text.h"
#include "platform/environment.h"
#include "platform/host_platform.h"
#include "registry/store/registry_store.h"

namespace qx {
namespace {

constexpr std::string_view kLocalMachinePrefix = "HKEY_LOCAL_MACHINE\\";
constexpr const char* kDefaultLibraryDir = "/usr/lib/qxremote/remotecall";
constexpr const char* kDefaultFileRoot = "/var/lib/qxremote/projects";

// Opens a key given by its full HKEY_LOCAL_MACHINE path.
std::optional<KeyId> OpenSettingsKey(std::string_view fullPath) {
  RegistryStore& store = Registry();
  KeyId root = 0;
  KeyId key = 0;
  if (store.RootKey(RegRoot::kLocalMachine, &root) != RegStatus::kOk) return std::nullopt;
  fullPath.remove_prefix(kLocalMachinePrefix.size());
  if (store.OpenKey(root, fullPath, &key) != RegStatus::kOk) return std::nullopt;
  return key;
}

std::optional<RegValue> ReadValue(const std::optional<KeyId>& key, std::string_view name) {
  if (!key) return std::nullopt;
  RegValue value;
  if (Registry().GetValue(*key, name, &value) != RegStatus::kOk) return std::nullopt;
  return value;
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

std::vector<std::string> ReadDirectoryList(std::string_view name, const char* fallback) {
  const std::optional<RegValue> value = ReadValue(OpenSettingsKey(kSecurityKey), name);
  if (!value) return {fallback};
  std::vector<std::string> dirs;
  if (value->type == RegType::kMultiSz) {
    for (const std::string& dir : value->texts) {
      if (!dir.empty()) dirs.push_back(dir);
    }
  } else if (value->type == RegType::kSz) {
    std::string_view rest = value->text;
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      const std::string_view dir = rest.substr(0, colon);
      if (!dir.empty()) dirs.emplace_back(dir);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  } else {
    return {fallback};
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
  return settings;
}

// The settings that serving a request reads, as of one content version of the registry.
struct ServingSettings {
  RpcSettings rpc;
  std::vector<std::string> libraryDirs;
  std::vector<std::string> fileRoots;
};

ServingSettings CurrentServingSettings() {
  static std::mutex mutex;
  static std::optional<std::uint64_t> cachedVersion;  // guarded by mutex
  static ServingSettings cached;                      // guarded by mutex
  const std::optional<std::uint64_t> version = Registry().ContentVersion();
  {
    std::lock_guard lock(mutex);
    if (version && cachedVersion == version) return cached;
  }
  ServingSettings fresh{ReadRpcSettingsFromRegistry(),
                        ReadDirectoryList("LibraryDirs", kDefaultLibraryDir),
                        ReadDirectoryList("FileRoots", kDefaultFileRoot)};
  std::lock_guard lock(mutex);
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
