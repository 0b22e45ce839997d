// path_settings.h - the server's path policy settings: the directories from which REMOTECALL may
// load libraries, and the roots below which OPENFILE and READFILE may read (path_policy.h
// applies them).
//
// Key HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE\SECURITY, values LibraryDirs and FileRoots
// (REG_MULTI_SZ, or REG_SZ with ':' between the directories), root's alone
// (registry/store/protected_settings.h). Defaults, only while a value is absent, are
// kDefaultLibraryDir and kDefaultFileRoot. A value that cannot be read (of another type, or a
// registry failure) allows nothing, and so does an empty list. The lists are read again only
// after the registry's content or the settings file changed (registry/store/settings.h:
// SettingsCache). The readers taking a store read it afresh on every call (no cache), for a
// station with a registry of its own. Any thread may call.
//
//   if (OpenBelowRoots(path, RemoteFileRoots(), &file) == PathKind::kAllowed) ...
#pragma once

#include <string>
#include <vector>

#include "registry/store/registry_store.h"

namespace qx {

inline constexpr const char* kSecurityKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\SECURITY";  // LibraryDirs, FileRoots
// The lists while their values are absent.
inline constexpr const char* kDefaultLibraryDir = "/usr/lib/qxremote/remotecall";
inline constexpr const char* kDefaultFileRoot = "/var/lib/qxremote/projects";

std::vector<std::string> RemoteCallLibraryDirs();
std::vector<std::string> RemoteFileRoots();
std::vector<std::string> RemoteCallLibraryDirs(RegistryStore& store);
std::vector<std::string> RemoteFileRoots(RegistryStore& store);

}  // namespace qx
