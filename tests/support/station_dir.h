// station_dir.h - StationDir, a station of the test's own process, and the small helpers that
// the in-process tests share.
//
// StationDir makes a temporary directory with run/ and files/ below it, points QX_REGISTRY and
// QX_RUNTIME_DIR at it before anything opens the registry, creates the registry as the agent does
// at its start, and the key ring beside it that the process's servers and clients share. The
// directory goes with the object. One per process at a time; made by the test's main thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "registry/store/registry_store.h"
#include "support/temp_dir.h"

namespace qx::testing {

class StationDir {
 public:
  // Aborts when the station cannot be made: no test of the process could run without it.
  explicit StationDir(const std::string& prefix);
  StationDir(const StationDir&) = delete;
  StationDir& operator=(const StationDir&) = delete;

  std::filesystem::path dir() const { return temp_.path(); }
  std::filesystem::path files() const { return dir() / "files"; }  // the station's file root

 private:
  TempDir temp_;
};

// Writes value name of HKEY_LOCAL_MACHINE\path in the station's registry, making the key.
void SetRegistryValue(const std::string& path, const std::string& name, const RegValue& value);

// A loopback TCP port that nothing listens on right now.
std::uint16_t FreeLoopbackPort();

}  // namespace qx::testing
