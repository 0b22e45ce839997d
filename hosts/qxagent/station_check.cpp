// station_check.cpp - runtime directory, registry and listen checks of the agent.
#include "station_check.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/ip/address.hpp>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "keys/cluster_keys.h"
#include "platform/environment.h"
#include "platform/unix_socket.h"
#include "platform/write_trust.h"
#include "registry/store/protected_settings.h"
#include "registry/store/registry_store.h"
#include "rpc/rpc_settings.h"

namespace qxagent {
namespace {

std::string ErrorText(int error) {
  char buffer[256];
  return ::strerror_r(error, buffer, sizeof buffer);
}

constexpr mode_t kRuntimeDirMode = 0750;

std::string ParentDirectory(const std::string& path) {
  std::string_view trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
  const std::size_t slash = trimmed.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(trimmed.substr(0, slash));
}

std::string StatusText(qx::RegStatus status) {
  switch (status) {
    case qx::RegStatus::kOk:
      return "ok";
    case qx::RegStatus::kNotFound:
      return "not found";
    case qx::RegStatus::kHasSubkeys:
      return "key has subkeys";
    case qx::RegStatus::kAccessDenied:
      return "access denied (cannot be opened or written)";
    case qx::RegStatus::kBusy:
      return "locked by another process";
    case qx::RegStatus::kCorrupt:
      return "not a registry database, or damaged";
    case qx::RegStatus::kInvalid:
      return "invalid";
  }
  return "unknown status";
}

// A qxstation command line for this station: "qxstation WORDS --station DIR" for a station of
// its own (DIR/registry.db and DIR/run), else "sudo qxstation WORDS".
std::string StationCommand(const std::string& words) {
  const std::string runtime = qx::RuntimeDir();
  const std::size_t slash = runtime.find_last_of('/');
  if (slash != std::string::npos && runtime.substr(slash) == "/run" &&
      qx::RegistryPath() == runtime.substr(0, slash) + "/registry.db") {
    return "qxstation " + words + " --station " + runtime.substr(0, slash);
  }
  return "sudo qxstation " + words;
}

}  // namespace

bool PrepareRuntimeDirectory(std::string* error) {
  const std::string dir = qx::RuntimeDir();
  if (!qx::EnsureRuntimeDir()) {
    *error = "cannot create the runtime directory " + dir + ": " + ErrorText(errno);
    return false;
  }
  // The directory as it is now, by a descriptor: what is checked is what is changed.
  const qx::unix_socket::UniqueFd fd(
      ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
    *error = "cannot open the runtime directory " + dir + " (" + ErrorText(errno) +
             "); it must be a directory, not a link; refusing to serve";
    return false;
  }
  if (info.st_uid != ::geteuid()) {
    *error = "the runtime directory " + dir + " belongs to uid " + std::to_string(info.st_uid) +
             ", not to the agent's uid " + std::to_string(::geteuid()) +
             ", so others could replace its sockets; remove it (the agent makes it) or give it "
             "to the agent's user; refusing to serve";
    return false;
  }
  std::string why;
  if (!qx::OnlyOwnerMayWriteDirectories(ParentDirectory(dir), &why)) {
    *error = "the runtime directory " + dir + " lies where others could replace it: " + why +
             "; choose a runtime directory below directories only root may write (QX_RUNTIME_DIR); "
             "refusing to serve";
    return false;
  }
  // Whatever mode it had: the agent's, and readable by the station's users only.
  const std::optional<std::uint32_t> group = qx::AdminGroupId();
  if ((group && ::fchown(fd.get(), static_cast<uid_t>(-1), *group) != 0) ||
      ::fchmod(fd.get(), kRuntimeDirMode) != 0) {
    *error = "cannot set the mode of the runtime directory " + dir + ": " + ErrorText(errno) +
             "; refusing to serve";
    return false;
  }
  return true;
}

bool CheckRegistry(std::string* error) {
  const std::string path = qx::RegistryPath();
  std::string detail;
  const qx::RegStatus status = qx::CheckSqliteRegistry(path, &detail);
  if (status == qx::RegStatus::kOk) {
    // The registry this check may just have made is the one every later read uses, at once.
    if (qx::CreateStationRegistry() == qx::RegStatus::kOk) return qx::CheckSettingsFile(error);
    *error = "the registry " + path + " cannot be opened after its check; refusing to start";
    return false;
  }
  *error = "the registry " + path + " cannot be read: " + StatusText(status) +
           (detail.empty() ? std::string() : " (" + detail + ")") + "; refusing to start";
  return false;
}

std::string ListenPoint::Text() const {
  return address + ":" + (port ? std::to_string(*port) : std::string("?"));
}

ListenPoint ServiceListenPoint(std::string_view serviceGuid) {
  return ListenPoint{qx::ReadRpcSettings().listenAddress, qx::ServicePort(serviceGuid)};
}

namespace {

std::string PortTaken(const ListenPoint& point) {
  return "port " + std::to_string(point.port.value_or(0)) + " on " + point.address +
         " is taken by another process (another station?); give this station its own "
         "ListenAddress (in the settings file, or `" +
         StationCommand("registry set '" + std::string(qx::kRpcKey) + "' ListenAddress 127.0.0.x") +
         "` on a station of its own)";
}

}  // namespace

std::string DescribeListenFailure(const ListenPoint& point) {
  if (!point.port) return "no port is configured for the service";
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(*point.port);
  if (inet_pton(AF_INET, point.address.c_str(), &address.sin_addr) != 1) {
    return "the listen address \"" + point.address + "\" is not an IPv4 address";
  }
  const qx::unix_socket::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return std::string("cannot make a socket: ") + ErrorText(errno);
  const int on = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    switch (errno) {
      case EADDRINUSE:
        return PortTaken(point);
      case EADDRNOTAVAIL:
        return point.address + " is not an address of this machine";
      case EACCES:
        return "port " + std::to_string(*point.port) + " needs privileges to listen on";
      default:
        return "cannot listen on " + point.Text() + ": " + ErrorText(errno);
    }
  }
  if (listen(fd.get(), 1) != 0 && errno == EADDRINUSE) return PortTaken(point);
  return point.Text() + " is free now; the server failed for another reason (see the trace)";
}

bool CheckKeyRing(std::string* error) {
  const std::string path = qx::KeyRingPath();
  // A ring of an older version is 0640, group qxadmin: root alone reads it from now on.
  if (qx::TightenKeyRingMode(path)) {
    std::cerr << "qxagent: the key ring " << path
              << " was readable by others than root; made it 0600\n";
  }
  qx::KeyRing ring;
  std::string detail;
  if (!qx::LoadOrCreateKeyRing(path, &ring, &detail)) {
    *error = "the key ring " + path + " cannot be read or made: " + detail +
             "; move it aside and start a new ring with `" + StationCommand("key reset") +
             "`, then install the cluster's key with `echo \"$KEY\" | " +
             StationCommand("key install -") + "`";
    return false;
  }
  if (ring.InUse() == nullptr) {
    *error = "the key ring " + path + " has no key in use; choose one with `qxstation key use ID`";
    return false;
  }
  const std::string listen = qx::ReadRpcSettings().listenAddress;
  asio::error_code ec;
  const asio::ip::address address = asio::ip::make_address(listen, ec);
  const bool loopback = !ec && address.is_loopback();
  if (!loopback && !ring.NetworkReady()) {
    *error = "RPC ListenAddress " + listen +
             " reaches beyond this machine, but the cluster key in use was made here and no "
             "other station has it. Make one key with `KEY=$(qxstation key generate)`, install it "
             "on every station with `echo \"$KEY\" | " +
             StationCommand("key install -") + "`, then start again";
    return false;
  }
  return true;
}

}  // namespace qxagent
