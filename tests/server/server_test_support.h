// server_test_support.h - a private station for the server tests.
//
// Station() sets QX_REGISTRY and QX_RUNTIME_DIR to a temporary directory before anything opens
// the registry (every fixture calls it first), creates the station's key ring there, installs a
// HostPlatform double, makes the station's parts (core: the double, and the transport that
// records while a test::RecordSends lives) and fills the SECURITY settings: REMOTECALL libraries
// from the test library's directory, files below Station().root. TraceLines reads the trace lines
// that the module sends to the debug output.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "discovery/recording_komm.h"
#include "hostinfo/local_host_info.h"
#include "platform/host_platform.h"
#include "platform/unix_socket.h"
#include "registry/reg_key.h"
#include "registry/store/registry_store.h"
#include "station/station.h"
#include "support/station_dir.h"
#include "support/trace_lines.h"
#include "trace/trace.h"

namespace qx::test {

using qx::testing::FreeLoopbackPort;
using qx::testing::StationDir;

class FakeHost : public HostPlatform {
 public:
  std::optional<std::string> ComputerName() override { return "STATIONT"; }
  std::optional<std::string> DomainName() override { return "PLANTNET"; }
  std::optional<std::string> UserName() override { return "operator"; }
  std::optional<std::vector<Ipv4Row>> Ipv4Addresses() override {
    // 192.168.0.5/24 and 10.0.0.7/8, first octet in the lowest byte.
    return std::vector<Ipv4Row>{{0x0500A8C0u, 0x00FFFFFFu}, {0x0700000Au, 0x000000FFu}};
  }
};

struct TestStation {
  StationDir station{"qxsrv"};
  std::filesystem::path dir = station.dir();          // registry and runtime directory
  std::filesystem::path root = station.files();       // the only file root
  std::filesystem::path outside = dir / "elsewhere";  // a directory beside the root, not below it
  std::string libraryDir;
  qx::Station core{CoreParts()};

  TestStation() {
    std::filesystem::create_directories(outside);
#ifdef QX_TEST_REMOTE_DIR
    libraryDir = QX_TEST_REMOTE_DIR;
#endif
    core.localHost().Refresh();
    SetSecurity({libraryDir}, {root.string()});
  }

  static StationParts CoreParts() {
    StationParts parts;
    parts.hostPlatform = std::make_unique<FakeHost>();
    parts.transport = &RecordingTransport;
    return parts;
  }

  static void SetSecurity(const std::vector<std::string>& libraryDirs,
                          const std::vector<std::string>& fileRoots) {
    KeyId key;
    RegistryStore& store = Registry();
    KeyId machine;
    store.RootKey(RegRoot::kLocalMachine, &machine);
    store.CreateKey(machine, "SOFTWARE\\TOLVAR\\NORVANE\\SECURITY", &key);
    store.SetValue(key, "LibraryDirs", RegValue::MultiString(libraryDirs));
    store.SetValue(key, "FileRoots", RegValue::MultiString(fileRoots));
  }

  std::string WriteFile(const std::string& relative, const std::string& content) const {
    std::filesystem::path path = root / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }
};

inline TestStation& Station() {
  static TestStation station;
  return station;
}

// The trace lines of the station (support/trace_lines.h).
using qx::testing::TraceLines;

}  // namespace qx::test
