// config_commands.cpp - the settings in effect, with their defaults and sources.
#include "config_commands.h"

#include <string>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "common/text.h"
#include "failures.h"
#include "messaging/multicast_settings.h"
#include "output.h"
#include "platform/environment.h"
#include "registry/reg_key.h"
#include "registry/store/known_settings.h"
#include "registry/store/protected_settings.h"
#include "registry/store/settings_file.h"
#include "registry_commands.h"
#include "rpc/rpc_settings.h"
#include "server/settings_defaults.h"

namespace qxstation {
namespace {

struct Effective {
  const qx::KnownSetting* setting = nullptr;
  nlohmann::json value;  // as ValueJson; the default's text when the default holds
  std::string text;      // for people
  std::string source;    // "default", "registry", "settings file", "unreadable"
  std::string path;      // the store it came from; empty for the default
  bool ignoredInRegistry = false;
};

// The default's value as this station has it (the TTL's depends on the mode).
std::string DefaultText(const qx::KnownSetting& setting) {
  if (qx::IEquals(setting.key, "MULTICAST") && qx::IEquals(setting.name, "TTL")) {
    qx::MulticastSettings multicast;
    const std::string listen = qx::ReadRpcSettings().listenAddress;
    if (qx::ReadMulticastSettings(listen, &multicast, nullptr)) {
      return std::to_string(multicast.ttl);
    }
  }
  return qx::KnownSettingDefault(setting);
}

Effective Read(const qx::KnownSetting& setting) {
  Effective effective;
  effective.setting = &setting;
  const std::string keyPath = qx::KnownSettingKeyPath(setting);
  const qx::SettingRead read = qx::ReadSetting(keyPath, setting.name, setting.type);
  if (setting.isProtected && read.source != qx::SettingSource::kRegistry) {
    // A protected value the registry holds but may not (others may write it).
    qx::CREGKEY key;
    qx::RegValue ignored;
    effective.ignoredInRegistry =
        key.Open(keyPath.c_str()) &&
        qx::Registry().GetValue(*key.id(), setting.name, &ignored) == qx::RegStatus::kOk;
  }
  switch (read.status) {
    case qx::RegStatus::kOk:
      effective.value = ValueJson(read.value);
      effective.text = ValueText(read.value);
      if (read.value.type == qx::RegType::kMultiSz) {
        effective.text.clear();
        for (const std::string& item : read.value.texts) {
          effective.text += (effective.text.empty() ? "" : ", ") + item;
        }
        if (read.value.texts.empty()) effective.text = "(empty list)";
      }
      if (read.source == qx::SettingSource::kSettingsFile) {
        effective.source = "settings file";
        effective.path = qx::SettingsFile::StationPath();
      } else {
        effective.source = "registry";
        effective.path = qx::RegistryPath();
      }
      break;
    case qx::RegStatus::kNotFound:
      effective.text = DefaultText(setting);
      effective.value = effective.text;
      effective.source = "default";
      break;
    default:
      effective.text = "(cannot be read: error " + std::to_string(qx::RegStatusCode(read.status)) +
                       (read.detail.empty() ? "" : ", " + read.detail) + ")";
      effective.value = nullptr;
      effective.source = "unreadable";
      break;
  }
  return effective;
}

}  // namespace

int RunConfig(const Invocation& call, std::FILE* out, std::FILE* err) {
  if (call.format == OutputFormat::kXml) {
    std::fprintf(err, "qxstation: config has no XML form; use --json\n");
    return kUsage;
  }
  if (const std::optional<std::string> damage = RegistryDamage()) {
    std::fprintf(err, "qxstation: %s\n", damage->c_str());
    return kFailure;
  }
  qx::RegistryReadBatch batch;
  if (call.format == OutputFormat::kJson) {
    nlohmann::json settings = nlohmann::json::array();
    for (const qx::KnownSetting& setting : qx::KnownSettings()) {
      const Effective effective = Read(setting);
      settings.push_back({{"key", setting.key},
                          {"name", setting.name},
                          {"value", effective.value},
                          {"default", qx::KnownSettingDefault(setting)},
                          {"source", effective.source},
                          {"path", effective.path.empty() ? nlohmann::json(nullptr)
                                                          : nlohmann::json(effective.path)},
                          {"protected", setting.isProtected},
                          {"ignoredInRegistry", effective.ignoredInRegistry},
                          {"meaning", setting.meaning}});
    }
    WriteJson(settings, out);
    return kSuccess;
  }
  Table table({"KEY", "NAME", "VALUE", "DEFAULT", "SOURCE"});
  for (const qx::KnownSetting& setting : qx::KnownSettings()) {
    const Effective effective = Read(setting);
    std::string source = effective.source;
    if (!effective.path.empty()) source += " " + effective.path;
    if (effective.ignoredInRegistry) source += " (ignored in the registry: root sets it)";
    std::string name = setting.name;
    if (qx::IEquals(setting.key, "RPC\\PORTS")) name = setting.meaning;
    table.Add(
        {setting.key, name, Printable(effective.text), qx::KnownSettingDefault(setting), source});
  }
  table.Print(out);
  return kSuccess;
}

}  // namespace qxstation
