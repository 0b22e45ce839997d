// rpc_internal.h - pieces of the RPC client shared by rpc_client.cpp, rpc_connection.cpp,
// rpc_pool.cpp and rpc_endpoint.cpp; not part of the platform interface.
//
// RpcClientConnection is one blocking TCP connection of a client with deadline-bounded reads
// and writes (poll on the socket; asio's blocking calls know no timeout), in a TLS session
// keyed by the cluster key (rpc_tls.h). It is owned by one
// CRPCClientW at a time, or by the RpcConnectionPool while it waits for reuse. The pool and the
// settings cache are process-wide, safe from any thread, and never destroyed, so that a thread
// still using them while the process exits finds them intact.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/address_v4.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/mutex.h"
#include "registry/store/settings.h"
#include "rpc/rpc_frame.h"

namespace qx {

class RpcTlsSession;

// Benchmarks only: true makes the connections opened and accepted from now on plain TCP, so
// that a benchmark can set the cost of TLS against plain TCP in one run. Never set by a
// setting, the registry or the environment; a station always speaks TLS.
void SetRpcPlaintextForBenchmark(bool plaintext);
bool RpcPlaintextForBenchmark();

using RpcClock = std::chrono::steady_clock;

// What a kept connection is kept for: only a request to the same place with the same identity
// may reuse it.
struct RpcConnectionKey {
  std::uint32_t address = 0;  // IPv4, host order
  std::uint16_t port = 0;
  std::string service;     // upper case
  std::string clientName;  // as given to Connect
  bool operator==(const RpcConnectionKey&) const = default;
};

// Settings read for clients, at most once a second (ClearRpcClientCaches forgets them).
RpcSettings CachedRpcSettings();
std::optional<std::uint16_t> CachedServicePort(std::string_view serviceGuid);
// The address of a station: an IPv4 text, this computer's name (the listen address), the
// registry's hosts table, the system resolver (IPv4 only), in that order. Cached like the
// settings. The system resolver's answer is waited for until the deadline only.
std::optional<asio::ip::address_v4> ResolveStationAddress(std::string_view host,
                                                          const RpcSettings& settings,
                                                          RpcClock::time_point deadline);
void ClearRpcClientCaches();

enum class RpcIo { kOk, kEof, kTimeout, kError, kBadFrame };

// Why Open gave no connection.
enum class RpcOpenFailure {
  kNone,
  kUnreachable,     // no TCP connection, no HELLO answer by the deadline, or the link broke
  kRefused,         // the server refused the service
  kAuthentication,  // no key in use, or the peer refused the handshake or our key
};

class RpcClientConnection {
 public:
  // Connects, makes the TLS session and exchanges HELLO by the deadline. nullptr on failure,
  // *failure tells why (an authentication failure is traced here).
  static std::unique_ptr<RpcClientConnection> Open(const RpcConnectionKey& key,
                                                   RpcClock::time_point deadline,
                                                   RpcOpenFailure* failure);
  // A connected socket without TLS (frame readers of tests); Open is the way to get a usable
  // connection.
  RpcClientConnection(const RpcConnectionKey& key, asio::ip::tcp::socket socket);
  ~RpcClientConnection();
  RpcClientConnection(const RpcClientConnection&) = delete;
  RpcClientConnection& operator=(const RpcClientConnection&) = delete;

  const RpcConnectionKey& key() const { return key_; }
  std::uint16_t clientId() const { return clientId_; }

  RpcIo WriteAll(const std::uint8_t* data, std::size_t size, RpcClock::time_point deadline);
  // Reads one frame; the body length is checked against maxBody before it is allocated.
  RpcIo ReadFrame(rpc::FrameHeader* header, std::vector<std::uint8_t>* body, std::uint32_t maxBody,
                  RpcClock::time_point deadline);
  // A kept connection is reusable when nothing is waiting to be read on it: neither a CLOSE,
  // nor an end of stream, nor stray bytes.
  bool IsIdleAndOpen();

  RpcClock::time_point lastUsed;

 private:
  RpcIo WaitFor(short events, RpcClock::time_point deadline);
  RpcIo ReadExact(std::uint8_t* out, std::size_t size, RpcClock::time_point deadline);
  RpcIo Fill(RpcClock::time_point deadline);
  // Moves at least one byte (fewer than size when the socket holds fewer) by the deadline.
  RpcIo Receive(std::uint8_t* out, std::size_t size, std::size_t* got,
                RpcClock::time_point deadline);
  RpcIo Send(const std::uint8_t* data, std::size_t size, std::size_t* sent,
             RpcClock::time_point deadline);
  // The TLS handshake by the deadline; false (traced) when the peer does not take our key.
  RpcIo Handshake(RpcClock::time_point deadline, bool* refused);
  std::string PeerText() const;

  RpcConnectionKey key_;
  asio::ip::tcp::socket socket_;
  std::unique_ptr<RpcTlsSession> tls_;  // null only for plain benchmark connections
  std::uint16_t clientId_ = 0;
  std::vector<std::uint8_t>
      input_;  // bytes received and not yet consumed: [inputBegin_, inputEnd_)
  std::size_t inputBegin_ = 0;
  std::size_t inputEnd_ = 0;
};

// Idle connections kept for reuse, at most kMaxKeptPerKey a key, each for idleConnectionMs.
class RpcConnectionPool {
 public:
  static constexpr std::size_t kMaxKeptPerKey = 16;
  static RpcConnectionPool& Instance();

  // A kept connection for key that is still open and idle, or nullptr. Connections found
  // closed by the peer on the way are dropped.
  std::unique_ptr<RpcClientConnection> Checkout(const RpcConnectionKey& key, std::uint32_t idleMs)
      EXCLUDES(mutex_);
  void Checkin(std::unique_ptr<RpcClientConnection> connection, std::uint32_t idleMs)
      EXCLUDES(mutex_);
  void Clear() EXCLUDES(mutex_);

 private:
  void DropExpiredLocked(RpcClock::time_point now, std::uint32_t idleMs) REQUIRES(mutex_);

  Mutex mutex_;
  std::vector<std::unique_ptr<RpcClientConnection>> kept_ GUARDED_BY(mutex_);  // oldest first
};

// The io_context on which client sockets live (never run: clients use blocking calls).
asio::io_context& RpcClientIoContext();

}  // namespace qx
