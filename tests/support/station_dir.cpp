// station_dir.cpp - StationDir and the helpers of in-process test stations.
#include "support/station_dir.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "keys/cluster_keys.h"

namespace qx::testing {

StationDir::StationDir(const std::string& prefix) : temp_(prefix) {
  if (!temp_.ok()) std::abort();
  temp_.Make("run");
  temp_.Make("files");
  ::setenv("QX_REGISTRY", (dir() / "registry.db").c_str(), 1);
  ::setenv("QX_RUNTIME_DIR", (dir() / "run").c_str(), 1);
  if (CreateStationRegistry() != RegStatus::kOk) std::abort();
  KeyRing ring;
  if (!LoadOrCreateKeyRing(KeyRingPath(), &ring, nullptr)) std::abort();
}

void SetRegistryValue(const std::string& path, const std::string& name, const RegValue& value) {
  RegistryStore& store = Registry();
  KeyId root = 0;
  KeyId key = 0;
  store.RootKey(RegRoot::kLocalMachine, &root);
  store.CreateKey(root, path, &key);
  store.SetValue(key, name, value);
}

std::uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace qx::testing
