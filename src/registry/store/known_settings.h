// known_settings.h - the table of the settings the station reads: key, name, type, the form a
// value must have, whether only root sets it, and what it means.
//
// One table serves the checks of a write (qxstation registry set and import), the list of the
// settings in effect (qxstation config), the export of the registry, and the protected values
// (protected_settings.h). The table holds no defaults: each layer that reads a setting owns
// its default, and server/settings_defaults.h gathers them for display. A key of the table is
// closed when the table lists every value it may hold (PLATFORM, RPC, MULTICAST, SECURITY,
// DIAGNOSIS, AUDIT): a value name it does not know there is a typo. Other keys
// (STORAGE\PROJECTLIST, SETUP, RPC\HOSTS, RPC\PORTS) take any name. Pure data and pure functions;
// any thread may call.
//
//   const KnownSetting* known = FindKnownSetting(keyPath, "ConnectTimeoutMs");
//   if (std::optional<std::string> wrong = CheckKnownValue(*known, value)) ... refuse ...
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "registry/store/registry_store.h"

namespace qx {

// The form a value must have beyond its type.
enum class ValueForm : std::uint8_t {
  kText,          // any non-empty text
  kNumber,        // a DWORD within minimum..maximum
  kIpv4,          // an IPv4 address in dotted form
  kGroup,         // an IPv4 multicast address (224.0.0.0/4)
  kPatterns,      // a list of interface names, name* patterns or IPv4 CIDR blocks
  kDirectories,   // a list of absolute paths (REG_MULTI_SZ, or REG_SZ with ':' between them)
  kAbsolutePath,  // one absolute path
  kPeers,         // IPv4 addresses or host names (REG_MULTI_SZ, or REG_SZ with ',' between them)
};

struct KnownSetting {
  const char* key;  // below HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE, e.g. "RPC\\PORTS"
  const char* name;
  RegType type;
  ValueForm form;
  std::uint32_t minimum;  // kNumber
  std::uint32_t maximum;  // kNumber
  bool isProtected;       // only root sets it (protected_settings.h)
  const char* meaning;    // one line
};

inline constexpr std::string_view kSettingsBaseKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE";

std::span<const KnownSetting> KnownSettings();
// The full key path of a setting ("HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE\RPC").
std::string KnownSettingKeyPath(const KnownSetting& setting);
// The key path below the base key ("RPC"), or nullopt when keyPath is not below it.
std::optional<std::string_view> RelativeSettingsKey(std::string_view keyPath);
// The setting of keyPath (a full path) and name, ignoring case; null when the table lacks it.
const KnownSetting* FindKnownSetting(std::string_view keyPath, std::string_view name);
// True when the table lists every value that keyPath may hold.
bool IsClosedSettingsKey(std::string_view keyPath);
// The known name of keyPath nearest to name (a typo's likely meaning); empty when none is near.
std::string NearestSettingName(std::string_view keyPath, std::string_view name);
// Why value cannot be this setting (wrong type, out of range, not of the form), with the form
// it takes ("ListenAddress takes an IPv4 address such as 127.0.0.1"); nullopt when it fits.
std::optional<std::string> CheckKnownValue(const KnownSetting& setting, const RegValue& value);
// The directories of a REG_SZ directory list ("/a:/b"), empty parts dropped.
std::vector<std::string> SplitDirectoryText(std::string_view text);
// "REG_DWORD", "REG_SZ", ...
const char* RegTypeName(RegType type);

}  // namespace qx
