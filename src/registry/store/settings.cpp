// settings.cpp - the typed reader of settings.h on the station's registry and settings file,
// and the platform's own settings (PLATFORM), which the platform layer reads through a hook.
//
// Each value is read from where protected_settings.h says (registry, settings file, default).
// A registry that cannot be read gives the defaults of numbers and texts, with a warning trace;
// a directory list decides what a station lets others reach, so it then allows nothing.
#include "registry/store/settings.h"

#include <chrono>

#include "common/text.h"
#include "platform/host_platform.h"
#include "registry/store/known_settings.h"
#include "registry/store/protected_settings.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSource("Settings");

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

}  // namespace

std::optional<RegValue> ReadSettingValue(std::string_view keyPath, std::string_view name,
                                         RegType asked) {
  SettingRead read = ReadSetting(keyPath, name, asked);
  if (read.status == RegStatus::kOk) return std::move(read.value);
  if (read.status != RegStatus::kNotFound) NoteReadFailure(name, read, "the default applies");
  return std::nullopt;
}

void ReadDwordSetting(std::string_view keyPath, std::string_view name, std::uint32_t* out,
                      std::uint32_t minimum) {
  const std::optional<RegValue> value = ReadSettingValue(keyPath, name, RegType::kDword);
  if (value && value->type == RegType::kDword && value->dword >= minimum) *out = value->dword;
}

void ReadTextSetting(std::string_view keyPath, std::string_view name, std::string* out) {
  const std::optional<RegValue> value = ReadSettingValue(keyPath, name, RegType::kSz);
  if (value && value->type == RegType::kSz && !value->text.empty()) *out = value->text;
}

std::vector<std::string> ReadDirectoryListSetting(std::string_view keyPath, std::string_view name,
                                                  const char* fallback) {
  return ReadDirectoryListSetting(Registry(), keyPath, name, fallback);
}

std::vector<std::string> ReadDirectoryListSetting(RegistryStore& store, std::string_view keyPath,
                                                  std::string_view name, const char* fallback) {
  const SettingRead read = ReadSetting(store, keyPath, name, RegType::kMultiSz);
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

SettingsState SettingsState::Current() {
  SettingsState state;
  state.version = Registry().ContentVersion();
  state.file = SettingsFile::Current();
  state.trust = RegistryHoldsProtectedSettings(nullptr);
  return state;
}

std::optional<std::string> PlatformSettingValue(const char* name) {
  std::string text;
  ReadTextSetting(kPlatformKey, name, &text);
  if (text.empty()) return std::nullopt;
  return text;
}

}  // namespace qx
