// registry_commands.h - "qxstation registry get|set|delete|list|export|import" and
// "qxstation write-project".
//
// Direct access to the station's registry (QX_REGISTRY) for settings. A project is written
// with the local command "WriteProjectToRegistry" of the module (on a server of no role started
// for it), so an entry of the same project file is replaced as the station would replace it.
// Key paths are full paths that begin with a root name
// ("HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE\RPC"). Each function returns the exit code (0
// done, 1 failed, 2 wrong command line) and writes its output and errors to the streams.
//
// Writes (set, import) are checked against the table of known settings (known_settings.h): a
// name that a closed key does not know, a value of the wrong type or form is refused with the
// form it takes, unless force. Import is all or nothing (one transaction). Reads never create
// the registry; set and import do (the owner's explicit writes). The settings that only root
// sets (protected_settings.h): set and import refuse them, naming the settings file where root
// sets them, unless the registry is writable by root alone; get prints the value in effect and
// says on stderr where it came from; list marks those that the station ignores. A registry file
// that is no registry database is named as damaged, with what to do. One thread.
//
//   RegistrySet(kRpcKey, "ListenAddress", {"127.0.0.2"}, ValueKind::kString, false, stderr);
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "registry/store/registry_store.h"
#include "requests.h"

namespace qxstation {

struct Invocation;

enum class ValueKind { kString, kDword, kMulti };

int RegistryGet(std::string_view keyPath, std::string_view name, std::FILE* out, std::FILE* err,
                bool json = false);
// Several values, or kMulti, make a REG_MULTI_SZ.
int RegistrySet(std::string_view keyPath, std::string_view name,
                const std::vector<std::string>& values, ValueKind kind, bool force, std::FILE* err);
int RegistrySet(std::string_view keyPath, std::string_view name, std::string_view value,
                ValueKind kind, std::FILE* err);
// Removes the value name, or without it the key (which must have no subkeys).
int RegistryDelete(std::string_view keyPath, const std::optional<std::string>& name,
                   std::FILE* err);
// Subkeys as "[name]" lines, then "name (TYPE) = value" lines; or one JSON object.
int RegistryList(std::string_view keyPath, std::FILE* out, std::FILE* err, bool json = false);
// The values below keyPath (default: every setting) in the settings file's form.
int RegistryExport(std::string_view keyPath, std::FILE* out, std::FILE* err);
// Reads the settings file's form from the file at path ("-": in) into the registry.
int RegistryImport(const std::string& path, bool force, std::FILE* in, std::FILE* err);
// The registry subcommand of the command line.
int RunRegistryCommand(const Invocation& call, std::FILE* out, std::FILE* err);
int WriteProject(const ProjectFields& project, std::FILE* err);

// A value as text (a list's items on lines of their own), and as JSON (number, text, array).
std::string ValueText(const qx::RegValue& value);
nlohmann::json ValueJson(const qx::RegValue& value);

// When the station's registry file exists but is no registry database: a line naming it and
// what to do; nullopt otherwise.
std::optional<std::string> RegistryDamage();

}  // namespace qxstation
