// protected_settings.h - where each platform setting is read from: registry, settings file,
// default; and which settings only root may change.
//
// The settings that decide what a station exposes (one table in protected_settings.cpp:
// SECURITY, RPC ListenAddress and PORTS, the MULTICAST addresses and peers, DIAGNOSIS LogFile)
// are root's alone. Operators (group qxadmin) may write the registry, so such a value counts
// there only when the registry is writable by root alone (write_trust.h); otherwise it comes
// from the settings file (settings_file.h), which only root may write, or is the default. A
// protected value in a registry that others may write is ignored, with a trace (at most once a
// minute per value) naming the file where root sets it. Every other setting is the registry's,
// else the file's, else the default.
//
// A settings file that exists but cannot be used (not root's alone, not in the format) leaves
// every protected setting unreadable, so that allow-lists allow nothing and the agent refuses
// to start; other settings then ignore the file. Any thread may call.
//
//   SettingRead read = ReadSetting(keyPath, "FileRoots", RegType::kMultiSz);
//   if (read.status == RegStatus::kNotFound) ... default ...
#pragma once

#include <string>
#include <string_view>

#include "registry/store/registry_store.h"

namespace qx {

enum class SettingSource { kDefault, kRegistry, kSettingsFile };

struct SettingRead {
  // kOk with value; kNotFound when the default holds; else why the value cannot be read.
  RegStatus status = RegStatus::kNotFound;
  RegValue value;  // a file value that is not of the asked type has type kNone
  SettingSource source = SettingSource::kDefault;
  std::string detail;  // a failure of the settings file: which file and what is wrong
};

// True for the values of the table (key paths are full HKEY_LOCAL_MACHINE\... paths).
bool IsProtectedSetting(std::string_view keyPath, std::string_view name);
// The value in effect, of the type that the reader asks for (see above), from the station's
// registry or the store given.
SettingRead ReadSetting(std::string_view keyPath, std::string_view name, RegType asked);
SettingRead ReadSetting(RegistryStore& store, std::string_view keyPath, std::string_view name,
                        RegType asked);
// Whether the station's registry may hold protected values: false with *why when someone
// besides root (or this process's euid) may write it.
bool RegistryHoldsProtectedSettings(std::string* why);
// For the agent's start: false with a message naming the file and the fix when the settings
// file exists but cannot be used.
bool CheckSettingsFile(std::string* error);

}  // namespace qx
