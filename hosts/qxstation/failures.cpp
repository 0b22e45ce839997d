// failures.cpp - explanations of qxstation's failures.
#include "failures.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <thread>

#include "common/mutex.h"
#include "common/text.h"
#include "messaging/netqxkomm.h"
#include "network_view.h"
#include "output.h"
#include "platform/debug_channel.h"
#include "platform/environment.h"
#include "platform/host_platform.h"
#include "platform/unix_socket.h"
#include "rpc/rpc_settings.h"
#include "server/path_settings.h"

namespace qxstation {
namespace {

std::string AddressText(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) return std::string();
  return text;
}

// One lookup of the system resolver; the helper thread owns a share of it, so a lookup that
// outlives its wait ends on its own.
struct Lookup {
  qx::Mutex mutex;
  qx::CondVar done{&mutex};
  bool finished GUARDED_BY(mutex) = false;
  std::optional<std::string> address GUARDED_BY(mutex);
};

std::optional<std::string> SystemResolve(const std::string& name,
                                         std::chrono::milliseconds timeout) {
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, name] {
      addrinfo hints{};
      hints.ai_family = AF_INET;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* found = nullptr;
      std::optional<std::string> address;
      if (getaddrinfo(name.c_str(), nullptr, &hints, &found) == 0 && found != nullptr) {
        std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, &freeaddrinfo);
        if (found->ai_family == AF_INET && found->ai_addr != nullptr) {
          address = AddressText(*reinterpret_cast<const sockaddr_in*>(found->ai_addr));
        }
      }
      qx::MutexLock lock(&lookup->mutex);
      lookup->address = std::move(address);
      lookup->finished = true;
      lookup->done.SignalAll();
    }).detach();
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  qx::MutexLock lock(&lookup->mutex);
  while (!lookup->finished) {
    if (!lookup->done.WaitUntil(deadline) && std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    }
  }
  return lookup->address;
}

// The advice for a name the RPC client cannot resolve; with the address the network tree
// knows for it, when the agent runs and knows one.
std::string HostsKeyAdvice(std::string_view station) {
  const std::string name = Printable(station, 64);
  std::string address = "ADDRESS";
  if (AgentRuns()) {
    const ModuleAnswer details = CallDiscoverCommand(HostDetailsCommand(station));
    if (details.hr >= 0 && details.text) {
      const std::optional<HostEntry> host = ParseHostDetails(*details.text);
      in_addr parsed{};
      if (host && inet_pton(AF_INET, host->address.c_str(), &parsed) == 1) {
        address = host->address + " (the network tree's address of it)";
      }
    }
  }
  return "qxstation registry set '" + std::string(qx::kRpcHostsKey) + "' " + name + " " + address;
}

}  // namespace

std::optional<std::string> StationDirectory() {
  const std::string runtime = qx::RuntimeDir();
  const std::string registry = qx::RegistryPath();
  const std::size_t slash = runtime.find_last_of('/');
  if (slash == std::string::npos || runtime.substr(slash) != "/run") return std::nullopt;
  const std::string dir = runtime.substr(0, slash);
  if (registry != dir + "/registry.db") return std::nullopt;
  return dir;
}

bool AgentRuns() { return qx::SocketAccepts(qx::NetQXKommSocketPath()); }

bool AgentSocketsDenied() {
  // The agent's sockets share their directory, mode and group: one tells for all.
  int error = 0;
  const qx::unix_socket::UniqueFd fd = qx::unix_socket::ConnectWithin(
      qx::NetQXKommSocketPath(), std::chrono::steady_clock::now() + kSocketProbeTime, &error);
  return !fd && (error == EACCES || error == EPERM);
}

std::optional<int> ReportPermissionDenied(std::FILE* err) {
  if (!AgentSocketsDenied()) return std::nullopt;
  std::fprintf(err,
               "qxstation: permission denied: only root and the group qxadmin may use the "
               "station at %s; join the group with `sudo adduser $USER qxadmin`, then log in "
               "again\n",
               qx::RuntimeDir().c_str());
  return kUnreachable;
}

int ReportNoStation(std::FILE* err) {
  if (const std::optional<int> code = ReportPermissionDenied(err)) return *code;
  if (const std::optional<std::string> dir = StationDirectory()) {
    std::fprintf(err,
                 "qxstation: no station runs at %s; start one with scripts/run-station --dir %s\n",
                 dir->c_str(), dir->c_str());
  } else {
    const std::string runtime = qx::RuntimeDir();
    std::fprintf(err,
                 "qxstation: no station runs at %s (no agent answers on %s); start one with "
                 "systemctl start qxagent, or pick one with --station DIR\n",
                 runtime.c_str(), qx::NetQXKommSocketPath().c_str());
  }
  return kUnreachable;
}

int ReportLocalFailure(std::string_view what, HRESULT hr, std::FILE* err) {
  if (hr == kNoAgent) return ReportNoStation(err);
  std::fprintf(err,
               "qxstation: the station's agent could not answer %.*s (%s); "
               "qxstation trace shows why\n",
               static_cast<int>(what.size()), what.data(), HresultName(hr).c_str());
  return kFailure;
}

StationLookup LookUpStation(std::string_view name) {
  StationLookup found;
  if (qx::IEquals(name, ".") || qx::IEquals(name, "LOCAL") || qx::IEquals(name, "THIS")) {
    found.local = true;
    return found;
  }
  if (const std::optional<std::string> computer = qx::Host().ComputerName()) {
    if (qx::IEquals(*computer, name)) {
      found.local = true;
      return found;
    }
  }
  const std::string text(name);
  in_addr literal{};
  if (inet_pton(AF_INET, text.c_str(), &literal) == 1) {
    found.address = text;
  } else if (std::optional<std::string> listed = qx::HostsTableAddress(name)) {
    found.address = std::move(listed);
  } else if (!text.empty()) {
    found.address =
        SystemResolve(text, std::chrono::milliseconds(qx::ReadRpcSettings().connectTimeoutMs));
  }
  return found;
}

std::optional<int> ReportUnreachable(std::string_view station, std::FILE* err) {
  const std::string name = Printable(station, 64);
  const StationLookup lookup = LookUpStation(station);
  if (lookup.local) return std::nullopt;
  if (const std::optional<int> code = ReportPermissionDenied(err)) return code;
  if (!lookup.address) {
    std::fprintf(err,
                 "qxstation: unknown station %s: neither the registry's hosts table nor the "
                 "resolver knows it; add it with %s\n",
                 name.c_str(), HostsKeyAdvice(station).c_str());
    return kUnreachable;
  }
  const std::string test = "<Test><Receiver>" + qx::XmlEscape(station) + "</Receiver></Test>";
  const HRESULT tested = CallRemoteCommand(test).hr;
  if (tested >= 0) return std::nullopt;
  if (tested == kAuthenticationFailed) {
    std::fprintf(err,
                 "qxstation: station %s (%s) and this station do not share a cluster key (or "
                 "this one has none in use); install the same key on both with `qxstation key "
                 "install` and compare `qxstation key list`\n",
                 name.c_str(), lookup.address->c_str());
    return kUnreachable;
  }
  const std::uint16_t port =
      qx::ServicePort(qx::kServiceProjectManager).value_or(qx::kDefaultProjectManagerPort);
  std::fprintf(err,
               "qxstation: station %s (%s, port %u) does not answer; is its qxagent running? "
               "(qxstation status on that station tells)\n",
               name.c_str(), lookup.address->c_str(), static_cast<unsigned>(port));
  return kUnreachable;
}

int ReportRemoteFailure(std::string_view station, std::string_view what, HRESULT hr,
                        std::FILE* err) {
  if (const std::optional<int> code = ReportUnreachable(station, err)) return *code;
  std::fprintf(err,
               "qxstation: %.*s on %s failed (%s); qxstation trace on that station shows why\n",
               static_cast<int>(what.size()), what.data(), Printable(station, 64).c_str(),
               HresultName(hr).c_str());
  return kFailure;
}

std::string FileRootsAdvice(std::string_view station) {
  return "only files below its FileRoots are served (" + std::string(qx::kSecurityKey) +
         ", MULTI_SZ) on " + Printable(station, 64) + "; add the directory there";
}

std::string LibraryDirsAdvice(std::string_view station) {
  return "only libraries in its LibraryDirs are loaded (" + std::string(qx::kSecurityKey) +
         ", MULTI_SZ) on " + Printable(station, 64) +
         ", and only functions the library itself defines are called";
}

}  // namespace qxstation
