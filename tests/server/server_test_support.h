// server_test_support.h - a private station for the server tests.
//
// Station() sets QX_REGISTRY and QX_RUNTIME_DIR to a temporary directory before anything opens
// the registry (every fixture calls it first), creates the station's key ring there, installs a
// HostPlatform double and fills the SECURITY settings: REMOTECALL libraries from the test
// library's directory, files below Station().root. DebugCapture reads the trace lines that the
// module sends to the debug output.
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

#include "hostinfo/local_host_info.h"
#include "keys/cluster_keys.h"
#include "platform/host_platform.h"
#include "platform/unix_socket.h"
#include "registry/reg_key.h"
#include "registry/store/registry_store.h"
#include "trace/trace.h"

namespace qx::test {

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
  std::filesystem::path dir;      // registry and runtime directory
  std::filesystem::path root;     // the only file root
  std::filesystem::path outside;  // a directory beside the root, not below it
  std::string libraryDir;

  TestStation() {
    char pattern[] = "/tmp/qxsrvXXXXXX";
    dir = ::mkdtemp(pattern);
    root = dir / "files";
    outside = dir / "elsewhere";
    std::filesystem::create_directories(dir / "run");
    std::filesystem::create_directories(root);
    std::filesystem::create_directories(outside);
    ::setenv("QX_REGISTRY", (dir / "registry.db").c_str(), 1);
    ::setenv("QX_RUNTIME_DIR", (dir / "run").c_str(), 1);
    // The test owns its station: it makes the registry, as the agent does at its start.
    if (CreateStationRegistry() != RegStatus::kOk) std::abort();
    // The station's key ring beside the registry: servers and clients of the tests share it.
    KeyRing ring;
    if (!LoadOrCreateKeyRing(KeyRingPath(), &ring, nullptr)) std::abort();
#ifdef QX_TEST_REMOTE_DIR
    libraryDir = QX_TEST_REMOTE_DIR;
#endif
    SetHostPlatformForTesting(std::make_unique<FakeHost>());
    LocalHost().Refresh();
    SetSecurity({libraryDir}, {root.string()});
  }
  ~TestStation() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
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

// A loopback port that nothing listens on right now.
inline std::uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

inline TestStation& Station() {
  static TestStation station;
  return station;
}

// Binds the debug output socket of the station and collects the lines sent to it.
class DebugCapture {
 public:
  DebugCapture() {
    path_ = (Station().dir / "run" / "debug.sock").string();
    ::unlink(path_.c_str());
    fd_ = unix_socket::UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int size = 4 << 20;
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_un address;
    if (unix_socket::FillAddress(path_, &address)) {
      ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    previousType_ = Diagnosis().typeMask();
    previousLevel_ = Diagnosis().levelMask();
    Diagnosis().SetMasks(kTraceAll, kTraceAll);
  }
  ~DebugCapture() {
    Diagnosis().SetMasks(previousType_, previousLevel_);
    fd_.Reset();
    ::unlink(path_.c_str());
  }
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  // Every line received so far, in order.
  const std::vector<std::string>& Lines() {
    std::vector<char> buffer(1 << 17);
    for (;;) {
      const ssize_t n = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
      if (n < 0) break;
      lines_.emplace_back(buffer.data(), static_cast<std::size_t>(n));
    }
    return lines_;
  }
  int Count(const std::string& part) {
    int count = 0;
    for (const std::string& line : Lines()) count += line.find(part) != std::string::npos;
    return count;
  }

 private:
  std::string path_;
  unix_socket::UniqueFd fd_;
  std::vector<std::string> lines_;
  std::uint32_t previousType_ = 0;
  std::uint32_t previousLevel_ = 0;
};

}  // namespace qx::test
