// settings.h - the typed reader of the station's settings, and the cache of values read from it.
//
// Every setting lives below HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE. The module's own keys
// (STORAGE, STORAGE\PROJECTLIST, SETUP) keep the names, types and defaults that every station
// expects; what only this Linux version needs (addresses, ports, limits, allow-lists) sits
// beside them in keys of its own, never in theirs, one key per owning layer: PLATFORM here; RPC,
// RPC\PORTS and RPC\HOSTS in rpc/rpc_settings.h; SECURITY in server/path_settings.h; MULTICAST;
// DIAGNOSIS. Each value comes from the registry or the station's settings file
// (protected_settings.h: what a station exposes only root may set); the owning layer knows the
// names and defaults, this reader only the rules of reading.
//
// A value that cannot be read (a store failure, an unusable settings file) is traced once per
// failure and minute, not at every read. Readers of numbers and texts then keep the default;
// ReadDirectoryListSetting fails closed: only a list that is absent gets the default, and one
// that exists but cannot be read (a store failure, another type) allows nothing, as does a list
// that is present but empty. Directory lists are REG_MULTI_SZ, or REG_SZ with ':' between the
// directories.
//
// SettingsCache keeps a value built from several settings until the registry's content changes
// (a write by any process), the settings file changes, or the registry becomes writable by
// others (or no longer): one cheap query and a few stat calls instead of a dozen reads on every
// request a station serves. Any thread may call.
//
//   std::uint32_t limit = 16u << 20;
//   ReadDwordSetting(keyPath, "ReadFileLimit", &limit, 1);
//   static SettingsCache<Limits> cache(&ReadLimits);
//   Limits now = cache.Get();
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/mutex.h"
#include "registry/store/registry_store.h"
#include "registry/store/settings_file.h"

namespace qx {

inline constexpr const char* kPlatformKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\PLATFORM";  // ComputerName, Domain
// A text of the PLATFORM key (the configured host names), nullopt when empty or absent: the
// platform's host setting source (SetHostSettingSource).
std::optional<std::string> PlatformSettingValue(const char* name);

// The value in effect (protected_settings.h), or nullopt when the default holds: absent, or
// cannot be read (traced). The value may have another type than asked.
std::optional<RegValue> ReadSettingValue(std::string_view keyPath, std::string_view name,
                                         RegType asked);
// *out becomes a REG_DWORD value of at least minimum; anything else leaves it.
void ReadDwordSetting(std::string_view keyPath, std::string_view name, std::uint32_t* out,
                      std::uint32_t minimum = 0);
// *out becomes a non-empty REG_SZ value; anything else leaves it.
void ReadTextSetting(std::string_view keyPath, std::string_view name, std::string* out);
// A directory list, failing closed (see above): {fallback} only when the value or its key is
// absent. From the station's registry, or from the store given.
std::vector<std::string> ReadDirectoryListSetting(std::string_view keyPath, std::string_view name,
                                                  const char* fallback);
std::vector<std::string> ReadDirectoryListSetting(RegistryStore& store, std::string_view keyPath,
                                                  std::string_view name, const char* fallback);

// What a cached setting depends on besides its own values: one content version of the
// registry, one state of the settings file, and one answer to whether the registry is root's
// alone. A registry without a content version matches nothing, so its values are read each time.
struct SettingsState {
  std::optional<std::uint64_t> version;
  std::shared_ptr<const SettingsFile::Snapshot> file;
  bool trust = false;

  static SettingsState Current();
  bool Matches(const SettingsState& other) const {
    return version && other.version == version && other.file == file && other.trust == trust;
  }
};

// A value read by read() and kept while the SettingsState it was read in holds. Owns its copy;
// Get() returns a copy, so callers never share it.
template <typename T>
class SettingsCache {
 public:
  using Reader = T (*)();
  explicit SettingsCache(Reader read) : read_(read) {}
  SettingsCache(const SettingsCache&) = delete;
  SettingsCache& operator=(const SettingsCache&) = delete;

  T Get() {
    SettingsState state = SettingsState::Current();
    {
      MutexLock lock(&mutex_);
      if (cached_ && state.Matches(state_)) return *cached_;
    }
    T fresh = read_();
    MutexLock lock(&mutex_);
    state_ = std::move(state);
    cached_ = fresh;
    return fresh;
  }

 private:
  const Reader read_;
  Mutex mutex_;
  SettingsState state_ GUARDED_BY(mutex_);
  std::optional<T> cached_ GUARDED_BY(mutex_);
};

}  // namespace qx
