// registry_commands.cpp - the registry subcommands of qxstation.
#include "registry_commands.h"

#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "arguments.h"
#include "common/text.h"
#include "module_calls.h"
#include "platform/environment.h"
#include "registry/reg_key.h"
#include "registry/registry_projects.h"
#include "registry/store/protected_settings.h"
#include "registry/store/registry_store.h"
#include "registry/store/settings_file.h"
#include "xml/xml_element.h"

namespace qxstation {
namespace {

const char* TypeName(qx::RegType type) {
  switch (type) {
    case qx::RegType::kSz:
      return "REG_SZ";
    case qx::RegType::kExpandSz:
      return "REG_EXPAND_SZ";
    case qx::RegType::kDword:
      return "REG_DWORD";
    case qx::RegType::kMultiSz:
      return "REG_MULTI_SZ";
    case qx::RegType::kNone:
      break;
  }
  return "REG_NONE";
}

std::string ValueText(const qx::RegValue& value) {
  switch (value.type) {
    case qx::RegType::kSz:
    case qx::RegType::kExpandSz:
      return value.text;
    case qx::RegType::kDword:
      return std::to_string(value.dword);
    case qx::RegType::kMultiSz: {
      std::string text;
      for (const std::string& part : value.texts) text += (text.empty() ? "" : "\n") + part;
      return text;
    }
    case qx::RegType::kNone:
      break;
  }
  return std::string();
}

std::string SettingsFilePath() { return qx::SettingsFile::StationPath(); }

// Why the registry may not hold the protected value, or nothing when it may.
std::optional<std::string> ProtectedRefusal(std::string_view keyPath, std::string_view name) {
  if (!qx::IsProtectedSetting(keyPath, name)) return std::nullopt;
  std::string why;
  if (qx::RegistryHoldsProtectedSettings(&why)) return std::nullopt;
  const std::string hint = "only root sets " + std::string(keyPath) + "\\" + std::string(name) +
                           ", in " + SettingsFilePath();
  if (::geteuid() != 0) return "permission denied: " + hint;
  return "the registry " + qx::RegistryPath() + " may be written by others (" + why + "): " + hint;
}

const char* SourceName(qx::SettingSource source) {
  switch (source) {
    case qx::SettingSource::kRegistry:
      return "the registry";
    case qx::SettingSource::kSettingsFile:
      return "the settings file";
    case qx::SettingSource::kDefault:
      break;
  }
  return "the default";
}

// get of a protected value: the value in effect, and on stderr where it came from.
int GetProtected(std::string_view keyPath, std::string_view name, std::FILE* out, std::FILE* err) {
  const qx::SettingRead read = qx::ReadSetting(keyPath, name, qx::RegType::kMultiSz);
  if (read.status == qx::RegStatus::kNotFound) {
    std::fprintf(err,
                 "qxstation: no value %.*s under %.*s (the default applies; root sets it in %s)\n",
                 static_cast<int>(name.size()), name.data(), static_cast<int>(keyPath.size()),
                 keyPath.data(), SettingsFilePath().c_str());
    return 1;
  }
  if (read.status != qx::RegStatus::kOk) {
    std::fprintf(err, "qxstation: %.*s cannot be read (error %d)%s%s\n",
                 static_cast<int>(name.size()), name.data(), qx::RegStatusCode(read.status),
                 read.detail.empty() ? "" : ": ", read.detail.c_str());
    return 1;
  }
  std::fprintf(out, "%s\n", ValueText(read.value).c_str());
  const std::string where =
      read.source == qx::SettingSource::kSettingsFile ? SettingsFilePath() : qx::RegistryPath();
  std::fprintf(err, "qxstation: in effect from %s %s\n", SourceName(read.source), where.c_str());
  return 0;
}

bool OpenKey(qx::CREGKEY* key, std::string_view keyPath, std::FILE* err) {
  const std::string path(keyPath);
  if (key->Open(path.c_str())) return true;
  std::fprintf(err, "qxstation: no key %s in the registry %s\n", path.c_str(),
               qx::RegistryPath().c_str());
  return false;
}

}  // namespace

int RegistryGet(std::string_view keyPath, std::string_view name, std::FILE* out, std::FILE* err) {
  if (qx::IsProtectedSetting(keyPath, name)) return GetProtected(keyPath, name, out, err);
  qx::CREGKEY key;
  if (!OpenKey(&key, keyPath, err)) return 1;
  qx::RegValue value;
  if (qx::Registry().GetValue(*key.id(), name, &value) != qx::RegStatus::kOk) {
    std::fprintf(err, "qxstation: no value %.*s under %.*s\n", static_cast<int>(name.size()),
                 name.data(), static_cast<int>(keyPath.size()), keyPath.data());
    return 1;
  }
  std::fprintf(out, "%s\n", ValueText(value).c_str());
  return 0;
}

int RegistrySet(std::string_view keyPath, std::string_view name, std::string_view value,
                ValueKind kind, std::FILE* err) {
  const std::string path(keyPath);
  if (qx::IsProtectedSetting(keyPath, name) && ::geteuid() != 0 &&
      ::access(qx::RegistryPath().c_str(), F_OK) != 0) {
    // Not even a missing registry is made for a value that would be ignored in it.
    std::fprintf(err, "qxstation: %s\n", ProtectedRefusal(keyPath, name).value_or("").c_str());
    return 1;
  }
  // The owner's explicit write is the one reader that may make the registry.
  const qx::RegStatus created = qx::CreateStationRegistry();
  if (created != qx::RegStatus::kOk) {
    std::fprintf(err, "qxstation: the registry %s cannot be opened or made (error %d)\n",
                 qx::RegistryPath().c_str(), qx::RegStatusCode(created));
    return 1;
  }
  if (const std::optional<std::string> refusal = ProtectedRefusal(keyPath, name)) {
    std::fprintf(err, "qxstation: %s\n", refusal->c_str());
    return 1;
  }
  if (!qx::CREGKEY::CreateKey(path.c_str())) {
    std::fprintf(err, "qxstation: cannot create the key %s in the registry %s\n", path.c_str(),
                 qx::RegistryPath().c_str());
    return 1;
  }
  qx::CREGKEY key;
  if (!OpenKey(&key, keyPath, err)) return 1;
  bool written = false;
  if (kind == ValueKind::kDword) {
    const std::optional<std::int64_t> parsed = ParseNumber(value, 0, 0xFFFFFFFF);
    if (!parsed) {
      std::fprintf(err, "qxstation: %.*s is not a 32-bit unsigned number\n",
                   static_cast<int>(value.size()), value.data());
      return 1;
    }
    written = key.SetInt(name, static_cast<std::uint32_t>(*parsed));
  } else {
    written = key.SetString(name, value);
  }
  if (!written) {
    std::fprintf(err, "qxstation: cannot write the value %.*s under %s\n",
                 static_cast<int>(name.size()), name.data(), path.c_str());
    return 1;
  }
  return 0;
}

int RegistryList(std::string_view keyPath, std::FILE* out, std::FILE* err) {
  qx::CREGKEY key;
  if (!OpenKey(&key, keyPath, err)) return 1;
  const std::uint32_t count = key.GetSubkeyCount();
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string name;
    if (key.EnumKey(i, &name, qx::kRegBufferChars)) std::fprintf(out, "[%s]\n", name.c_str());
  }
  std::vector<std::string> names;
  qx::RegistryStore& store = qx::Registry();
  if (store.ListValues(*key.id(), &names) != qx::RegStatus::kOk) {
    std::fprintf(err, "qxstation: cannot list the values of %.*s\n",
                 static_cast<int>(keyPath.size()), keyPath.data());
    return 1;
  }
  for (const std::string& name : names) {
    qx::RegValue value;
    if (store.GetValue(*key.id(), name, &value) != qx::RegStatus::kOk) continue;
    const std::optional<std::string> ignored = ProtectedRefusal(keyPath, name);
    std::fprintf(
        out, "%s (%s) = %s%s\n", name.c_str(), TypeName(value.type), ValueText(value).c_str(),
        ignored ? ("  [ignored: root sets it in " + SettingsFilePath() + "]").c_str() : "");
  }
  return 0;
}

int WriteProject(const ProjectFields& project, std::FILE* err) {
  const std::string command = WriteProjectCommand(project);
  // An explicit write like `registry set`: it may make the registry. The discovery service
  // makes the list key at its start; a station that never ran one gets it here.
  qx::CreateStationRegistry();
  qx::CREGKEY::CreateKey(qx::kProjectListKey);
  qx::HRESULT hr = qx::E_FAIL;
  if (const std::optional<ModuleAnswer> answer = CallLocalCommand(command)) {
    hr = answer->hr;
  } else {
    // No server could start (no listen address, say): the list writer of the module's code
    // does the same work without one.
    qx::CXmlElement parsed;
    if (parsed.LoadXml(command)) hr = qx::WriteToRegistry(parsed);
  }
  if (qx::Failed(hr)) {
    std::fprintf(err, "qxstation: cannot write the project %s to the registry %s (%s)\n",
                 project.dsn.c_str(), qx::RegistryPath().c_str(), DescribeHresult(hr).c_str());
    return 1;
  }
  return 0;
}

}  // namespace qxstation
