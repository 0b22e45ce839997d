// rpc_endpoint.cpp - where a client connects: cached RPC settings, service ports and station
// addresses.
//
// A remote command creates a client, connects, sends one request and disconnects; reading the
// settings from the registry for each of them would cost more than the round trip itself. So
// the values are kept for kCacheLifetime and read again afterwards; ClearRpcClientCaches
// forgets them at once. Station names resolve in this order: an IPv4 text; this computer's own
// name (ignoring case), which is the station's listen address; the registry's hosts table;
// the system resolver (IPv4 only). The hosts table comes before the resolver so that a name the
// station's operator wrote down never waits for a slow or absent name server.
// The system resolver knows no timeout, so it runs on a helper thread of its own (at most
// kMaxLookups at once) and its caller waits only until the connect deadline; a late answer is
// dropped with the helper's state, which the helper owns together with its caller.
// All functions are safe from any thread (one mutex guards the cache, which is never
// destroyed: a thread may still use it while the process exits).
#include <netdb.h>
#include <sys/socket.h>

#include <asio/ip/address_v4.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "common/mutex.h"
#include "common/text.h"
#include "platform/host_platform.h"
#include "rpc/rpc_internal.h"
#include "rpc/rpc_settings.h"

namespace qx {
namespace {

constexpr auto kCacheLifetime = std::chrono::seconds(1);
constexpr int kMaxLookups = 8;

using CachedAddress = std::pair<std::optional<asio::ip::address_v4>, RpcClock::time_point>;
using CachedPort = std::pair<std::optional<std::uint16_t>, RpcClock::time_point>;

struct ClientCache {
  Mutex mutex;
  std::optional<RpcSettings> settings GUARDED_BY(mutex);
  RpcClock::time_point settingsRead GUARDED_BY(mutex);
  std::map<std::string, CachedPort> ports GUARDED_BY(mutex);
  std::map<std::string, CachedAddress> addresses GUARDED_BY(mutex);
};

ClientCache& Cache() {
  static ClientCache& cache = *std::make_unique<ClientCache>().release();
  return cache;
}

bool Fresh(RpcClock::time_point readAt, RpcClock::time_point now) {
  return now - readAt < kCacheLifetime;
}

std::optional<asio::ip::address_v4> ParseIpv4(std::string_view text) {
  std::error_code error;
  asio::ip::address_v4 address = asio::ip::make_address_v4(std::string(text), error);
  if (error) return std::nullopt;
  return address;
}

std::optional<asio::ip::address_v4> BlockingResolve(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
    return std::nullopt;
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, &freeaddrinfo);
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    return asio::ip::address_v4(ntohl(in->sin_addr.s_addr));
  }
  return std::nullopt;
}

// One lookup of the system resolver, shared by its helper thread and its caller.
struct Lookup {
  Mutex mutex;
  CondVar done{&mutex};
  bool finished GUARDED_BY(mutex) = false;
  std::optional<asio::ip::address_v4> address GUARDED_BY(mutex);
};

std::atomic<int> gLookupsRunning{0};

std::optional<asio::ip::address_v4> SystemResolve(const std::string& host,
                                                  RpcClock::time_point deadline) {
  if (RpcClock::now() >= deadline) return std::nullopt;
  if (gLookupsRunning.fetch_add(1) >= kMaxLookups) {
    --gLookupsRunning;
    return std::nullopt;
  }
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, host] {
      std::optional<asio::ip::address_v4> address = BlockingResolve(host);
      {
        MutexLock lock(&lookup->mutex);
        lookup->address = address;
        lookup->finished = true;
        lookup->done.SignalAll();
      }
      --gLookupsRunning;
    }).detach();
  } catch (const std::system_error&) {
    --gLookupsRunning;
    return std::nullopt;
  }
  MutexLock lock(&lookup->mutex);
  while (!lookup->finished) {
    if (!lookup->done.WaitUntil(deadline) && RpcClock::now() >= deadline) return std::nullopt;
  }
  return lookup->address;
}

std::optional<asio::ip::address_v4> ResolveUncached(std::string_view host,
                                                    const RpcSettings& settings,
                                                    RpcClock::time_point deadline,
                                                    HostPlatform& platform) {
  if (host.empty()) return std::nullopt;
  if (auto literal = ParseIpv4(host)) return literal;
  std::optional<std::string> own = platform.ComputerName();
  if (own && IEquals(*own, host)) {
    auto listen = ParseIpv4(settings.listenAddress);
    // A station listening on every address is reached on its loopback address.
    if (!listen || listen->is_unspecified()) return asio::ip::address_v4::loopback();
    return listen;
  }
  if (auto table = HostsTableAddress(host)) {
    if (auto address = ParseIpv4(*table)) return address;
    if (auto address = SystemResolve(*table, deadline)) return address;
  }
  return SystemResolve(std::string(host), deadline);
}

}  // namespace

RpcSettings CachedRpcSettings() {
  ClientCache& cache = Cache();
  const auto now = RpcClock::now();
  {
    MutexLock lock(&cache.mutex);
    if (cache.settings && Fresh(cache.settingsRead, now)) return *cache.settings;
  }
  RpcSettings settings = ReadRpcSettings();
  MutexLock lock(&cache.mutex);
  cache.settings = settings;
  cache.settingsRead = now;
  return settings;
}

std::optional<std::uint16_t> CachedServicePort(std::string_view serviceGuid) {
  ClientCache& cache = Cache();
  const std::string key = ToUpper(serviceGuid);
  const auto now = RpcClock::now();
  {
    MutexLock lock(&cache.mutex);
    auto it = cache.ports.find(key);
    if (it != cache.ports.end() && Fresh(it->second.second, now)) return it->second.first;
  }
  std::optional<std::uint16_t> port = ServicePort(serviceGuid);
  MutexLock lock(&cache.mutex);
  cache.ports[key] = {port, now};
  return port;
}

std::optional<asio::ip::address_v4> ResolveStationAddress(std::string_view host,
                                                          const RpcSettings& settings,
                                                          RpcClock::time_point deadline,
                                                          HostPlatform& platform) {
  if (auto literal = ParseIpv4(host)) return literal;
  ClientCache& cache = Cache();
  const std::string key = ToUpper(host);
  const auto now = RpcClock::now();
  {
    MutexLock lock(&cache.mutex);
    auto it = cache.addresses.find(key);
    if (it != cache.addresses.end() && Fresh(it->second.second, now)) return it->second.first;
  }
  std::optional<asio::ip::address_v4> address = ResolveUncached(host, settings, deadline, platform);
  MutexLock lock(&cache.mutex);
  cache.addresses[key] = {address, now};
  return address;
}

void ClearRpcClientCaches() {
  ClientCache& cache = Cache();
  MutexLock lock(&cache.mutex);
  cache.settings.reset();
  cache.ports.clear();
  cache.addresses.clear();
}

}  // namespace qx
