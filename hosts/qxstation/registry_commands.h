// registry_commands.h - "qxstation registry get|set|list" and "qxstation write-project".
//
// Direct access to the station's registry (QX_REGISTRY) for settings, through CREGKEY. A project
// is written with the local command "WriteProjectToRegistry" of the module (on a server of no
// role started for it), so an entry of the same project file is replaced as the station would
// replace it. Key paths are full paths
// that begin with a root name ("HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE\RPC"). Each function
// returns the exit code (0 done, 1 failed) and writes its output and errors to the streams.
// Reads never create the registry; set and write-project do (the owner's explicit writes). The settings that
// only root sets (protected_settings.h): set refuses them, naming the settings file where root
// sets them, unless the registry is writable by root alone; get prints the value in effect
// and says on stderr where it came from; list marks those that the station ignores.
// One thread.
//
//   RegistrySet("HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\RPC", "ListenAddress",
//               "127.0.0.2", ValueKind::kString, stderr);
#pragma once

#include <cstdio>
#include <string_view>

#include "requests.h"

namespace qxstation {

enum class ValueKind { kString, kDword };

int RegistryGet(std::string_view keyPath, std::string_view name, std::FILE* out, std::FILE* err);
int RegistrySet(std::string_view keyPath, std::string_view name, std::string_view value,
                ValueKind kind, std::FILE* err);
// Subkeys as "[name]" lines, then "name (TYPE) = value" lines.
int RegistryList(std::string_view keyPath, std::FILE* out, std::FILE* err);
int WriteProject(const ProjectFields& project, std::FILE* err);

}  // namespace qxstation
