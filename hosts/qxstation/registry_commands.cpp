// registry_commands.cpp - the registry subcommands of qxstation.
#include "registry_commands.h"

#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "arguments.h"
#include "cli.h"
#include "common/text.h"
#include "failures.h"
#include "module_calls.h"
#include "output.h"
#include "platform/environment.h"
#include "registry/reg_key.h"
#include "registry/registry_projects.h"
#include "registry/store/known_settings.h"
#include "registry/store/protected_settings.h"
#include "registry/store/registry_store.h"
#include "registry/store/settings_file.h"
#include "xml/xml_element.h"

namespace qxstation {
namespace {

constexpr std::string_view kLocalMachine = "HKEY_LOCAL_MACHINE\\";
// An export walks at most this deep and this many keys.
constexpr int kMaxExportDepth = 16;
constexpr std::size_t kMaxExportKeys = 100000;

}  // namespace

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

nlohmann::json ValueJson(const qx::RegValue& value) {
  if (value.type == qx::RegType::kDword) return value.dword;
  if (value.type == qx::RegType::kMultiSz) return value.texts;
  return value.text;
}

namespace {

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

// Says that the registry cannot be opened: damaged (with what to do), or the key is missing.
void ReportNoKey(std::string_view keyPath, std::FILE* err) {
  if (const std::optional<std::string> damage = RegistryDamage()) {
    std::fprintf(err, "qxstation: %s\n", damage->c_str());
    return;
  }
  std::fprintf(err, "qxstation: no key %.*s in the registry %s\n", static_cast<int>(keyPath.size()),
               keyPath.data(), qx::RegistryPath().c_str());
}

bool OpenKey(qx::CREGKEY* key, std::string_view keyPath, std::FILE* err) {
  const std::string path(keyPath);
  if (key->Open(path.c_str())) return true;
  ReportNoKey(keyPath, err);
  return false;
}

// get of a protected value: the value in effect, and on stderr where it came from.
int GetProtected(std::string_view keyPath, std::string_view name, bool json, std::FILE* out,
                 std::FILE* err) {
  const qx::SettingRead read = qx::ReadSetting(keyPath, name, qx::RegType::kMultiSz);
  if (read.status == qx::RegStatus::kNotFound) {
    std::fprintf(err,
                 "qxstation: no value %.*s under %.*s (the default applies; root sets it in %s)\n",
                 static_cast<int>(name.size()), name.data(), static_cast<int>(keyPath.size()),
                 keyPath.data(), SettingsFilePath().c_str());
    return kFailure;
  }
  if (read.status != qx::RegStatus::kOk) {
    if (const std::optional<std::string> damage = RegistryDamage()) {
      std::fprintf(err, "qxstation: %s\n", damage->c_str());
      return kFailure;
    }
    std::fprintf(err, "qxstation: %.*s cannot be read (error %d)%s%s\n",
                 static_cast<int>(name.size()), name.data(), qx::RegStatusCode(read.status),
                 read.detail.empty() ? "" : ": ", read.detail.c_str());
    return kFailure;
  }
  const std::string where =
      read.source == qx::SettingSource::kSettingsFile ? SettingsFilePath() : qx::RegistryPath();
  if (json) {
    WriteJson(
        {{"key", std::string(keyPath)},
         {"name", std::string(name)},
         {"type", qx::RegTypeName(read.value.type)},
         {"value", ValueJson(read.value)},
         {"source", read.source == qx::SettingSource::kSettingsFile ? "settings file" : "registry"},
         {"path", where}},
        out);
  } else {
    std::fprintf(out, "%s\n", ValueText(read.value).c_str());
  }
  std::fprintf(err, "qxstation: in effect from %s %s\n", SourceName(read.source), where.c_str());
  return kSuccess;
}

// The relative path of keyPath below HKEY_LOCAL_MACHINE, or nullopt for another root.
std::optional<std::string_view> BelowLocalMachine(std::string_view keyPath) {
  while (!keyPath.empty() && keyPath.back() == '\\') keyPath.remove_suffix(1);
  if (keyPath.size() <= kLocalMachine.size() ||
      !qx::IEquals(keyPath.substr(0, kLocalMachine.size()), kLocalMachine)) {
    return std::nullopt;
  }
  return keyPath.substr(kLocalMachine.size());
}

// One value to write.
struct Write {
  std::string keyPath;
  std::string name;
  qx::RegValue value;
};

// Why the value may not be written (an unknown name of a closed key, a value of the wrong type
// or form), or nullopt when it may.
std::optional<std::string> CheckWrite(const Write& write) {
  if (const qx::KnownSetting* known = qx::FindKnownSetting(write.keyPath, write.name)) {
    return qx::CheckKnownValue(*known, write.value);
  }
  if (!qx::IsClosedSettingsKey(write.keyPath)) return std::nullopt;
  const std::string key(qx::RelativeSettingsKey(write.keyPath).value_or(write.keyPath));
  std::string why = "unknown setting " + qx::CutToUnits(write.name, 100) + " in " + key;
  const std::string nearest = qx::NearestSettingName(write.keyPath, write.name);
  if (!nearest.empty()) why += "; did you mean " + nearest + "?";
  return why;
}

// Checks every write (unless force) and the protected ones, makes the registry when it is
// missing, and writes them all in one transaction. False after saying why on err.
bool WriteAll(const std::vector<Write>& writes, bool force, std::FILE* err) {
  bool refused = false;
  for (const Write& write : writes) {
    if (!BelowLocalMachine(write.keyPath)) {
      std::fprintf(err, "qxstation: %s is no key below HKEY_LOCAL_MACHINE\n",
                   qx::CutToUnits(write.keyPath, 200).c_str());
      refused = true;
      continue;
    }
    if (force) continue;
    if (const std::optional<std::string> wrong = CheckWrite(write)) {
      std::fprintf(err, "qxstation: %s (--force writes it anyway)\n", wrong->c_str());
      refused = true;
    }
  }
  if (refused) return false;
  const bool anyProtected = std::any_of(writes.begin(), writes.end(), [](const Write& write) {
    return qx::IsProtectedSetting(write.keyPath, write.name);
  });
  if (anyProtected && ::geteuid() != 0 && ::access(qx::RegistryPath().c_str(), F_OK) != 0) {
    // Not even a missing registry is made for a value that would be ignored in it.
    for (const Write& write : writes) {
      if (const std::optional<std::string> why = ProtectedRefusal(write.keyPath, write.name)) {
        std::fprintf(err, "qxstation: %s\n", why->c_str());
        return false;
      }
    }
  }
  // The owner's explicit write is the one writer that may make the registry.
  const qx::RegStatus created = qx::CreateStationRegistry();
  if (created != qx::RegStatus::kOk) {
    if (const std::optional<std::string> damage = RegistryDamage()) {
      std::fprintf(err, "qxstation: %s\n", damage->c_str());
    } else {
      std::fprintf(err, "qxstation: the registry %s cannot be opened or made (error %d)\n",
                   qx::RegistryPath().c_str(), qx::RegStatusCode(created));
    }
    return false;
  }
  for (const Write& write : writes) {
    if (const std::optional<std::string> why = ProtectedRefusal(write.keyPath, write.name)) {
      std::fprintf(err, "qxstation: %s\n", why->c_str());
      return false;
    }
  }
  const qx::RegStatus written = qx::Registry().Transact([&](qx::RegistryStore& store) {
    qx::KeyId root = 0;
    qx::RegStatus status = store.RootKey(qx::RegRoot::kLocalMachine, &root);
    for (const Write& write : writes) {
      qx::KeyId key = 0;
      if (status == qx::RegStatus::kOk) {
        status = store.CreateKey(root, *BelowLocalMachine(write.keyPath), &key);
      }
      if (status == qx::RegStatus::kOk) status = store.SetValue(key, write.name, write.value);
    }
    return status;
  });
  if (written != qx::RegStatus::kOk) {
    std::fprintf(err, "qxstation: cannot write to the registry %s (error %d)%s\n",
                 qx::RegistryPath().c_str(), qx::RegStatusCode(written),
                 writes.size() > 1 ? "; nothing was written" : "");
    return false;
  }
  return true;
}

// A value of the settings file's form: quoted when its blanks or quotes would be lost.
std::string FileItem(const std::string& item) {
  const bool quote = item.empty() || item.front() == ' ' || item.back() == ' ' ||
                     item.front() == '\t' || item.back() == '\t' || item.front() == '"';
  return quote ? "\"" + item + "\"" : item;
}

bool HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// The lines of one value in the settings file's form, or nullopt when that form cannot hold it.
std::optional<std::string> FileLines(const std::string& name, const qx::RegValue& value) {
  if (name.empty() || name.find('=') != std::string::npos || name.front() == '[' ||
      name.front() == '#' || name.front() == ';' || name.front() == ' ' || name.back() == ' ' ||
      HasControl(name)) {
    return std::nullopt;
  }
  switch (value.type) {
    case qx::RegType::kDword:
      return name + " = " + std::to_string(value.dword) + "\n";
    case qx::RegType::kSz:
    case qx::RegType::kExpandSz:
      if (HasControl(value.text)) return std::nullopt;
      return name + " = " + FileItem(value.text) + "\n";
    case qx::RegType::kMultiSz: {
      if (value.texts.empty()) return name + " =\n";
      std::string lines;
      for (const std::string& item : value.texts) {
        if (HasControl(item)) return std::nullopt;
        lines += name + " = " + FileItem(item) + "\n";
      }
      return lines;
    }
    case qx::RegType::kNone:
      break;
  }
  return std::nullopt;
}

// Writes the section of key (relative to the base key) and its subkeys' sections.
void ExportKey(const std::string& keyPath, int depth, std::size_t* keys, std::FILE* out,
               std::FILE* err) {
  qx::CREGKEY key;
  if (++*keys > kMaxExportKeys || depth > kMaxExportDepth || !key.Open(keyPath.c_str())) return;
  std::vector<std::string> names;
  qx::RegistryStore& store = qx::Registry();
  if (store.ListValues(*key.id(), &names) == qx::RegStatus::kOk && !names.empty()) {
    const std::string section(qx::RelativeSettingsKey(keyPath).value_or(""));
    std::string text = "[" + section + "]\n";
    for (const std::string& name : names) {
      qx::RegValue value;
      if (store.GetValue(*key.id(), name, &value) != qx::RegStatus::kOk) continue;
      if (const std::optional<std::string> lines = FileLines(name, value)) {
        text += *lines;
      } else {
        std::fprintf(err, "qxstation: %s\\%s is left out: the settings file cannot hold it\n",
                     qx::CutToUnits(keyPath, 200).c_str(), qx::CutToUnits(name, 100).c_str());
      }
    }
    if (section.empty() || section.find(']') != std::string::npos) {
      std::fprintf(err, "qxstation: the values of %s are left out: no section can name it\n",
                   qx::CutToUnits(keyPath, 200).c_str());
    } else {
      std::fprintf(out, "%s\n", text.c_str());
    }
  }
  std::vector<std::string> subkeys;
  const std::uint32_t count = key.GetSubkeyCount();
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string name;
    if (key.EnumKey(i, &name, qx::kRegBufferChars)) subkeys.push_back(std::move(name));
  }
  for (const std::string& name : subkeys)
    ExportKey(keyPath + "\\" + name, depth + 1, keys, out, err);
}

// The value of items as the setting of the file would be written: the table's type for a
// known setting, a DWORD for a service port, a text for one item, else a list.
qx::RegValue ImportedValue(const std::string& keyPath, const std::string& name,
                           const std::vector<std::string>& items) {
  if (const qx::KnownSetting* known = qx::FindKnownSetting(keyPath, name)) {
    return qx::SettingsFile::AsRegValue(items, known->type);
  }
  const std::optional<std::string_view> relative = qx::RelativeSettingsKey(keyPath);
  if (relative && qx::IEquals(*relative, "RPC\\PORTS")) {
    return qx::SettingsFile::AsRegValue(items, qx::RegType::kDword);
  }
  if (items.size() == 1) return qx::RegValue::String(items.front());
  return qx::RegValue::MultiString(items);
}

bool ReadAll(std::FILE* in, std::string* text) {
  char buffer[8192];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
    text->append(buffer, got);
    if (text->size() > qx::SettingsFile::kMaxFileBytes) return false;
  }
  return std::ferror(in) == 0;
}

}  // namespace

std::optional<std::string> RegistryDamage() {
  const std::string path = qx::RegistryPath();
  if (::access(path.c_str(), F_OK) != 0) return std::nullopt;
  qx::KeyId root = 0;
  if (qx::Registry().RootKey(qx::RegRoot::kLocalMachine, &root) != qx::RegStatus::kCorrupt) {
    return std::nullopt;
  }
  return "the registry " + path +
         " is damaged (no registry database): restore a copy of it, or move it aside (mv " + path +
         " " + path +
         ".damaged) and start qxagent, which makes a new one, then put the settings back with "
         "qxstation registry import";
}

int RegistryGet(std::string_view keyPath, std::string_view name, std::FILE* out, std::FILE* err,
                bool json) {
  if (qx::IsProtectedSetting(keyPath, name)) return GetProtected(keyPath, name, json, out, err);
  qx::CREGKEY key;
  if (!OpenKey(&key, keyPath, err)) return kFailure;
  qx::RegValue value;
  if (qx::Registry().GetValue(*key.id(), name, &value) != qx::RegStatus::kOk) {
    std::fprintf(err, "qxstation: no value %.*s under %.*s\n", static_cast<int>(name.size()),
                 name.data(), static_cast<int>(keyPath.size()), keyPath.data());
    return kFailure;
  }
  if (json) {
    WriteJson({{"key", std::string(keyPath)},
               {"name", std::string(name)},
               {"type", qx::RegTypeName(value.type)},
               {"value", ValueJson(value)},
               {"source", "registry"},
               {"path", qx::RegistryPath()}},
              out);
  } else {
    std::fprintf(out, "%s\n", ValueText(value).c_str());
  }
  return kSuccess;
}

int RegistrySet(std::string_view keyPath, std::string_view name,
                const std::vector<std::string>& values, ValueKind kind, bool force,
                std::FILE* err) {
  Write write{std::string(keyPath), std::string(name), {}};
  if (kind == ValueKind::kDword) {
    const std::optional<std::int64_t> parsed =
        values.size() == 1 ? ParseNumber(values.front(), 0, 0xFFFFFFFF) : std::nullopt;
    if (!parsed) {
      std::fprintf(err, "qxstation: %s is not one 32-bit unsigned number\n",
                   values.empty() ? "nothing" : qx::CutToUnits(values.front(), 100).c_str());
      return kFailure;
    }
    write.value = qx::RegValue::Dword(static_cast<std::uint32_t>(*parsed));
  } else if (kind == ValueKind::kMulti || values.size() != 1) {
    write.value = qx::RegValue::MultiString(values);
  } else {
    write.value = qx::RegValue::String(values.front());
  }
  return WriteAll({write}, force, err) ? kSuccess : kFailure;
}

int RegistrySet(std::string_view keyPath, std::string_view name, std::string_view value,
                ValueKind kind, std::FILE* err) {
  return RegistrySet(keyPath, name, {std::string(value)}, kind, /*force=*/false, err);
}

int RegistryDelete(std::string_view keyPath, const std::optional<std::string>& name,
                   std::FILE* err) {
  const std::optional<std::string_view> relative = BelowLocalMachine(keyPath);
  if (!relative) {
    std::fprintf(err, "qxstation: %s is no key below HKEY_LOCAL_MACHINE\n",
                 qx::CutToUnits(keyPath, 200).c_str());
    return kFailure;
  }
  qx::CREGKEY key;
  if (!OpenKey(&key, keyPath, err)) return kFailure;
  if (name && ProtectedRefusal(keyPath, *name)) {
    std::fprintf(err, "qxstation: %s\n", ProtectedRefusal(keyPath, *name)->c_str());
    return kFailure;
  }
  qx::RegistryStore& store = qx::Registry();
  const qx::RegStatus status =
      name ? store.DeleteValue(*key.id(), *name) : store.DeleteKey(*key.id());
  if (status == qx::RegStatus::kOk) return kSuccess;
  const std::string path(keyPath);
  if (status == qx::RegStatus::kNotFound && name) {
    std::fprintf(err, "qxstation: no value %s under %s\n", qx::CutToUnits(*name, 100).c_str(),
                 path.c_str());
  } else if (status == qx::RegStatus::kHasSubkeys) {
    std::fprintf(err, "qxstation: the key %s has subkeys: delete them first\n", path.c_str());
  } else {
    std::fprintf(err, "qxstation: cannot delete from the registry %s (error %d)\n",
                 qx::RegistryPath().c_str(), qx::RegStatusCode(status));
  }
  return kFailure;
}

int RegistryList(std::string_view keyPath, std::FILE* out, std::FILE* err, bool json) {
  qx::CREGKEY key;
  if (!OpenKey(&key, keyPath, err)) return kFailure;
  std::vector<std::string> subkeys;
  const std::uint32_t count = key.GetSubkeyCount();
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string name;
    if (key.EnumKey(i, &name, qx::kRegBufferChars)) subkeys.push_back(std::move(name));
  }
  std::vector<std::string> names;
  qx::RegistryStore& store = qx::Registry();
  if (store.ListValues(*key.id(), &names) != qx::RegStatus::kOk) {
    std::fprintf(err, "qxstation: cannot list the values of %.*s\n",
                 static_cast<int>(keyPath.size()), keyPath.data());
    return kFailure;
  }
  nlohmann::json values = nlohmann::json::array();
  std::string text;
  for (const std::string& name : subkeys) text += "[" + name + "]\n";
  for (const std::string& name : names) {
    qx::RegValue value;
    if (store.GetValue(*key.id(), name, &value) != qx::RegStatus::kOk) continue;
    const bool ignored = ProtectedRefusal(keyPath, name).has_value();
    values.push_back({{"name", name},
                      {"type", qx::RegTypeName(value.type)},
                      {"value", ValueJson(value)},
                      {"ignored", ignored}});
    text += name + " (" + qx::RegTypeName(value.type) + ") = " + ValueText(value) +
            (ignored ? "  [ignored: root sets it in " + SettingsFilePath() + "]" : "") + "\n";
  }
  if (json) {
    WriteJson({{"key", std::string(keyPath)}, {"subkeys", subkeys}, {"values", values}}, out);
  } else {
    std::fputs(text.c_str(), out);
  }
  return kSuccess;
}

int RegistryExport(std::string_view keyPath, std::FILE* out, std::FILE* err) {
  const std::string path =
      keyPath.empty() ? std::string(qx::kSettingsBaseKey) : std::string(keyPath);
  std::string_view trimmed = path;
  while (!trimmed.empty() && trimmed.back() == '\\') trimmed.remove_suffix(1);
  if (!qx::RelativeSettingsKey(path) && !qx::IEquals(trimmed, qx::kSettingsBaseKey)) {
    std::fprintf(err, "qxstation: the settings file holds only keys below %s\n",
                 std::string(qx::kSettingsBaseKey).c_str());
    return kFailure;
  }
  qx::CREGKEY key;
  if (!OpenKey(&key, path, err)) return kFailure;
  std::fprintf(out, "# the settings of the registry %s\n", qx::RegistryPath().c_str());
  qx::RegistryReadBatch batch;
  std::size_t keys = 0;
  ExportKey(path, 0, &keys, out, err);
  return kSuccess;
}

int RegistryImport(const std::string& path, bool force, std::FILE* in, std::FILE* err) {
  std::string text;
  bool read = false;
  if (path == "-") {
    read = ReadAll(in, &text);
  } else if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    read = ReadAll(file, &text);
    std::fclose(file);
  }
  if (!read) {
    std::fprintf(err, "qxstation: cannot read %s (at most %zu bytes)\n",
                 path == "-" ? "standard input" : path.c_str(), qx::SettingsFile::kMaxFileBytes);
    return kFailure;
  }
  qx::SettingsFile::Snapshot parsed;
  std::string error;
  if (!qx::SettingsFile::Parse(text, &parsed, &error)) {
    std::fprintf(err, "qxstation: %s: %s\n", path == "-" ? "standard input" : path.c_str(),
                 error.c_str());
    return kFailure;
  }
  std::vector<Write> writes;
  const auto spelled = [&](const std::string& folded) {
    const auto found = parsed.spellings.find(folded);
    return found == parsed.spellings.end() ? folded : found->second;
  };
  for (const auto& [section, values] : parsed.sections) {
    const std::string keyPath = std::string(qx::kSettingsBaseKey) + "\\" + spelled(section);
    for (const auto& [name, items] : values) {
      std::string written = spelled(section + "\\" + name);
      if (const qx::KnownSetting* known = qx::FindKnownSetting(keyPath, written)) {
        written = known->name;
      }
      writes.push_back({keyPath, written, ImportedValue(keyPath, written, items)});
    }
  }
  if (writes.empty()) return kSuccess;
  return WriteAll(writes, force, err) ? kSuccess : kFailure;
}

int RunRegistryCommand(const Invocation& call, std::FILE* out, std::FILE* err) {
  const std::vector<std::string>& p = call.words;
  const std::string_view verb = p.empty() ? std::string_view() : std::string_view(p[0]);
  const bool json = call.format == OutputFormat::kJson;
  if (call.format == OutputFormat::kXml) {
    std::fprintf(err, "qxstation: registry has no XML form; use --json\n");
    return kUsage;
  }
  if (verb == "get" && p.size() == 3) return RegistryGet(p[1], p[2], out, err, json);
  // An empty list is a set with --multi and no value.
  if (verb == "set" && (p.size() >= 4 || (p.size() == 3 && call.multi))) {
    const ValueKind kind = call.dword   ? ValueKind::kDword
                           : call.multi ? ValueKind::kMulti
                                        : ValueKind::kString;
    return RegistrySet(p[1], p[2], std::vector<std::string>(p.begin() + 3, p.end()), kind,
                       call.force, err);
  }
  if (verb == "delete" && (p.size() == 2 || p.size() == 3)) {
    return RegistryDelete(p[1], p.size() == 3 ? std::optional<std::string>(p[2]) : std::nullopt,
                          err);
  }
  if (verb == "list" && p.size() == 2) return RegistryList(p[1], out, err, json);
  if (verb == "export" && p.size() <= 2) {
    return RegistryExport(p.size() == 2 ? std::string_view(p[1]) : std::string_view(), out, err);
  }
  if (verb == "import" && p.size() == 2) return RegistryImport(p[1], call.force, stdin, err);
  std::fprintf(err,
               "qxstation: registry wants get KEYPATH NAME, set KEYPATH NAME VALUE..., delete "
               "KEYPATH [NAME], list KEYPATH, export [KEYPATH] or import FILE|-\n");
  return kUsage;
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
    return kFailure;
  }
  return kSuccess;
}

}  // namespace qxstation
