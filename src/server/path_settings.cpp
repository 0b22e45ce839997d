// path_settings.cpp - the readers of path_settings.h on the store's typed reader.
#include "server/path_settings.h"

#include "registry/store/settings.h"

namespace qx {
namespace {

// Both lists, read together and kept as of one state of the settings.
struct PathSettings {
  std::vector<std::string> libraryDirs;
  std::vector<std::string> fileRoots;
};

PathSettings ReadPathSettings() {
  return PathSettings{RemoteCallLibraryDirs(Registry()), RemoteFileRoots(Registry())};
}

PathSettings CurrentPathSettings() {
  static SettingsCache<PathSettings> cache(&ReadPathSettings);
  return cache.Get();
}

}  // namespace

std::vector<std::string> RemoteCallLibraryDirs() { return CurrentPathSettings().libraryDirs; }

std::vector<std::string> RemoteFileRoots() { return CurrentPathSettings().fileRoots; }

std::vector<std::string> RemoteCallLibraryDirs(RegistryStore& store) {
  return ReadDirectoryListSetting(store, kSecurityKey, "LibraryDirs", kDefaultLibraryDir);
}

std::vector<std::string> RemoteFileRoots(RegistryStore& store) {
  return ReadDirectoryListSetting(store, kSecurityKey, "FileRoots", kDefaultFileRoot);
}

}  // namespace qx
