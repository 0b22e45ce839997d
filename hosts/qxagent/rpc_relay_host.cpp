// rpc_relay_host.cpp - the agent's relay listener: checks, limits and traces of each relay.
#include "rpc_relay_host.h"

#include <sys/socket.h>

#include <algorithm>
#include <asio/ip/address_v4.hpp>
#include <cstdint>
#include <optional>

#include "platform/environment.h"
#include "platform/unix_socket.h"
#include "rpc/rpc_internal.h"
#include "rpc/rpc_settings.h"
#include "rpc/rpc_tls.h"
#include "trace/trace.h"

namespace qxagent {
namespace {

namespace us = qx::unix_socket;

const qx::CTraceSource kSource("RpcRelay");

// Room beyond kMaxRelays for the connections that are only told kBusy.
constexpr std::size_t kRefusalSlots = 4;
constexpr auto kStatusTimeout = std::chrono::seconds(2);
// Beyond the longest quiet time of a healthy connection: the answer of a long call, or a kept
// connection that waits for reuse.
constexpr auto kIdleMargin = std::chrono::seconds(5);

struct Caller {
  bool known = false;
  ucred cred{};
};

Caller CallerOf(int fd) {
  Caller caller;
  socklen_t size = sizeof caller.cred;
  caller.known = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &caller.cred, &size) == 0;
  return caller;
}

std::string CallerText(const Caller& caller) {
  if (!caller.known) return "an unknown process";
  return "uid " + std::to_string(caller.cred.uid) + " gid " + std::to_string(caller.cred.gid) +
         " pid " + std::to_string(caller.cred.pid);
}

void Answer(int fd, qx::RelayStatus status, int wakeFd) {
  const auto byte = static_cast<std::uint8_t>(status);
  us::WriteAll(fd, &byte, 1, us::Clock::now() + kStatusTimeout, wakeFd);
}

void TraceRefusal(const Caller& caller, const std::string& why) {
  std::uint32_t suppressed = 0;
  if (!qx::TakeRefusalTraceSlot(&suppressed)) return;
  TraceWarning(kSource, "RPC relay: refused %s: %s (%u more refusals left out)",
               CallerText(caller).c_str(), why.c_str(), static_cast<unsigned>(suppressed));
}

// A station's address: neither "any", nor multicast, nor broadcast.
bool IsStationAddress(std::uint32_t address) {
  return address != 0 && (address >> 28) != 0xE && address != 0xFFFFFFFFu;
}

bool IsServicePort(std::uint16_t port) {
  for (const char* service : {qx::kServiceDiscovery, qx::kServiceProjectManager}) {
    const std::optional<std::uint16_t> known = qx::ServicePort(service);
    if (known && *known == port) return true;
  }
  return false;
}

}  // namespace

RpcRelayHost::~RpcRelayHost() { Stop(); }

bool RpcRelayHost::Start(std::string* error) {
  listener_ = us::LocalListener::Start(
      qx::RelaySocketPath(), "RPC relay", kMaxRelays + kRefusalSlots,
      [this](int fd, int wakeFd) { Serve(fd, wakeFd); }, error);
  return listener_ != nullptr;
}

void RpcRelayHost::Stop() {
  if (listener_) listener_->Stop();
  listener_.reset();
}

void RpcRelayHost::Serve(int fd, int wakeFd) {
  const Caller caller = CallerOf(fd);
  struct Count {
    std::atomic<std::size_t>& running;
    ~Count() { running.fetch_sub(1); }
  } count{running_};
  if (running_.fetch_add(1) >= kMaxRelays) {
    Answer(fd, qx::RelayStatus::kBusy, wakeFd);
    TraceRefusal(caller, std::to_string(kMaxRelays) + " relays run already");
    return;
  }
  std::uint8_t header[qx::kRelayHeaderSize];
  if (!us::ReadAll(fd, header, sizeof header, us::Clock::now() + kHeaderTimeout, wakeFd)) {
    TraceRefusal(caller, "no whole request within the header time");
    return;
  }
  qx::RelayTarget target;
  if (!qx::DecodeRelayHeader(header, &target)) {
    Answer(fd, qx::RelayStatus::kNotAllowed, wakeFd);
    TraceRefusal(caller, "not a relay request");
    return;
  }
  const std::string peer =
      asio::ip::address_v4(target.address).to_string() + ":" + std::to_string(target.port);
  if (!IsStationAddress(target.address) || !IsServicePort(target.port)) {
    Answer(fd, qx::RelayStatus::kNotAllowed, wakeFd);
    TraceRefusal(caller, peer + " is not an RPC service of a station");
    return;
  }
  Trace(kSource, nullptr, nullptr, qx::kTraceServer, qx::kLevelText, "RPC relay: %s calls %s",
        CallerText(caller).c_str(), peer.c_str());

  const qx::RpcSettings settings = qx::ReadRpcSettings();
  qx::RpcConnectionKey key;
  key.address = target.address;
  key.port = target.port;
  qx::RpcOpenFailure failure = qx::RpcOpenFailure::kNone;
  const std::unique_ptr<qx::RpcClientConnection> connection = qx::RpcClientConnection::OpenSecured(
      key, qx::RpcClock::now() + std::chrono::milliseconds(settings.connectTimeoutMs), &failure);
  if (!connection) {
    Answer(fd,
           failure == qx::RpcOpenFailure::kAuthentication ? qx::RelayStatus::kKeyRefused
                                                          : qx::RelayStatus::kUnreachable,
           wakeFd);
    return;
  }
  Answer(fd, qx::RelayStatus::kConnected, wakeFd);
  const auto idle =
      std::chrono::milliseconds(std::max(settings.callTimeoutMs, settings.idleConnectionMs)) +
      kIdleMargin;
  connection->Relay(fd, std::chrono::duration_cast<std::chrono::milliseconds>(idle), wakeFd);
}

}  // namespace qxagent
