// protected_settings.cpp - the table of protected settings and the order of their sources.
#include "registry/store/protected_settings.h"

#include <chrono>
#include <map>

#include "common/mutex.h"
#include "common/text.h"
#include "registry/store/known_settings.h"
#include "registry/store/settings_file.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSource("Settings");

constexpr std::string_view kLocalMachinePrefix = "HKEY_LOCAL_MACHINE\\";
// A protected value ignored in a member-writable registry is traced again after this long.
constexpr std::chrono::seconds kIgnoredRetracePeriod{60};
constexpr std::size_t kMaxTracedNames = 64;

// Keys whose every value only root may change; the named protected values are those of the
// table of known settings (known_settings.h).
constexpr const char* kProtectedKeys[] = {"SECURITY", "RPC\\PORTS"};

// Traces an ignored registry value, at most once a period per value.
void NoteIgnored(std::string_view keyPath, std::string_view name, const std::string& why) {
  static Mutex mutex;
  static std::map<std::string, std::chrono::steady_clock::time_point> traced GUARDED_BY(mutex);
  const std::string id = FoldedKey(keyPath) + "\\" + FoldedKey(name);
  const auto now = std::chrono::steady_clock::now();
  {
    MutexLock lock(&mutex);
    const auto found = traced.find(id);
    if (found != traced.end() && now - found->second < kIgnoredRetracePeriod) return;
    if (traced.size() >= kMaxTracedNames) traced.clear();
    traced[id] = now;
  }
  const std::string key = CutToUnits(keyPath, 200);
  const std::string value = CutToUnits(name, 100);
  const std::string file = SettingsFile::StationPath();
  TraceWarning(kSource, "Registry setting %s\\%s is ignored: only root sets it, in %s (%s)",
               key.c_str(), value.c_str(), file.c_str(), CutToUnits(why, 200).c_str());
}

RegStatus RegistryValue(RegistryStore& store, std::string_view keyPath, std::string_view name,
                        RegValue* value) {
  KeyId root = 0;
  KeyId key = 0;
  RegStatus status = store.RootKey(RegRoot::kLocalMachine, &root);
  if (status != RegStatus::kOk) return status;
  if (keyPath.size() < kLocalMachinePrefix.size() ||
      !IEquals(keyPath.substr(0, kLocalMachinePrefix.size()), kLocalMachinePrefix)) {
    return RegStatus::kInvalid;
  }
  status = store.OpenKey(root, keyPath.substr(kLocalMachinePrefix.size()), &key);
  if (status != RegStatus::kOk) return status;
  return store.GetValue(key, name, value);
}

}  // namespace

bool IsProtectedSetting(std::string_view keyPath, std::string_view name) {
  const std::optional<std::string_view> relative = RelativeSettingsKey(keyPath);
  if (!relative) return false;
  for (const char* key : kProtectedKeys) {
    if (IEquals(*relative, key)) return true;
  }
  const KnownSetting* known = FindKnownSetting(keyPath, name);
  return known != nullptr && known->isProtected;
}

bool RegistryHoldsProtectedSettings(std::string* why) {
  std::string ignored;
  return Registry().OnlyOwnerMayWrite(why != nullptr ? why : &ignored);
}

SettingRead ReadSetting(std::string_view keyPath, std::string_view name, RegType asked) {
  return ReadSetting(Registry(), keyPath, name, asked);
}

SettingRead ReadSetting(RegistryStore& store, std::string_view keyPath, std::string_view name,
                        RegType asked) {
  SettingRead read;
  const bool guarded = IsProtectedSetting(keyPath, name);
  RegValue value;
  const RegStatus status = RegistryValue(store, keyPath, name, &value);
  if (status != RegStatus::kOk && status != RegStatus::kNotFound) {
    read.status = status;  // a registry that cannot be read fails the read, as it always did
    return read;
  }
  if (status == RegStatus::kOk) {
    std::string why;
    if (!guarded || store.OnlyOwnerMayWrite(&why)) {
      read.status = RegStatus::kOk;
      read.value = std::move(value);
      read.source = SettingSource::kRegistry;
      return read;
    }
    NoteIgnored(keyPath, name, why);
  }
  const std::shared_ptr<const SettingsFile::Snapshot> file = SettingsFile::Current();
  if (file->state == SettingsFile::State::kUnusable) {
    // Root's own settings cannot be told: what they guard allows nothing; the rest ignores
    // the file.
    if (guarded) {
      read.status = RegStatus::kAccessDenied;
      read.detail = file->problem;
    }
    return read;
  }
  if (const std::vector<std::string>* items = file->Find(keyPath, name)) {
    read.status = RegStatus::kOk;
    read.value = SettingsFile::AsRegValue(*items, asked);
    read.source = SettingSource::kSettingsFile;
  }
  return read;
}

bool CheckSettingsFile(std::string* error) {
  const std::shared_ptr<const SettingsFile::Snapshot> file =
      SettingsFile::Load(SettingsFile::StationPath());
  if (file->state != SettingsFile::State::kUnusable) return true;
  *error = file->problem +
           "; make it root's alone (chown root:root, chmod 0644, in directories only root may "
           "write) and correct it, or remove it to use the defaults";
  return false;
}

}  // namespace qx
