// rpc_internal.h - pieces of the RPC client shared by rpc_client.cpp, rpc_connection.cpp,
// rpc_pool.cpp and rpc_endpoint.cpp; not part of the platform interface.
//
// RpcClientConnection is one blocking TCP connection of a client with deadline-bounded reads
// and writes (poll on the socket; asio's blocking calls know no timeout), in a TLS session
// keyed by the cluster key (rpc_tls.h); or, for a process that may not read the key ring (an
// operator of the group qxadmin), a plain stream over the agent's relay socket, the agent
// holding the TLS connection (rpc_relay.cpp). It is owned by one
// CRPCClientW at a time, or by an RpcConnectionPool (rpc_pool.h) while it waits for reuse. The
// settings cache is process-wide, safe from any thread, and never destroyed, so that a thread
// still using it while the process exits finds it intact.
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
#include "rpc/rpc_byte_stream.h"
#include "rpc/rpc_frame.h"
#include "rpc/rpc_resolve.h"
#include "rpc/rpc_settings.h"

namespace qx {

// Benchmarks only: true makes the connections opened and accepted from now on plain TCP, so
// that a benchmark can set the cost of TLS against plain TCP in one run. Never set by a
// setting, the registry or the environment; a station always speaks TLS.
void SetRpcPlaintextForBenchmark(bool plaintext);
bool RpcPlaintextForBenchmark();

// What a kept connection is kept for: only a request to the same place with the same identity
// may reuse it.
struct RpcConnectionKey {
  std::uint32_t address = 0;  // IPv4, host order
  std::uint16_t port = 0;
  std::string service;     // upper case
  std::string clientName;  // as given to Connect
  bool operator==(const RpcConnectionKey&) const = default;
};

enum class RpcIo { kOk, kEof, kTimeout, kError, kBadFrame };

// Why Open gave no connection.
enum class RpcOpenFailure {
  kNone,
  kUnreachable,     // no TCP connection, no HELLO answer by the deadline, or the link broke
  kRefused,         // the server refused the service
  kAuthentication,  // no key in use, or the peer refused the handshake or our key
};

// The agent's relay of station-to-station connections for processes that may not read the
// key ring. The client sends kRelayHeaderSize bytes: the magic "QXRL", the version, a zero
// byte, the port (16 bits) and the IPv4 address (32 bits, host order value), little-endian;
// the agent answers one RelayStatus byte and, after kConnected, carries the plain frame stream
// to and from the station over its TLS connection.
inline constexpr const char* kRelaySocketName = "rpcrelay.sock";
inline constexpr std::size_t kRelayHeaderSize = 12;
inline constexpr std::uint8_t kRelayVersion = 1;
enum class RelayStatus : std::uint8_t {
  kConnected = 0,
  kUnreachable = 1,  // no connection to the station
  kKeyRefused = 2,   // the station refused the agent's key, or the agent has none in use
  kNotAllowed = 3,   // not a station's RPC port, or a malformed header
  kBusy = 4,         // the agent relays as many connections as it may
};
struct RelayTarget {
  std::uint32_t address = 0;  // IPv4, host order
  std::uint16_t port = 0;
};
std::string RelaySocketPath();  // <RuntimeDir()>/rpcrelay.sock
void EncodeRelayHeader(const RelayTarget& target, std::uint8_t* out);
// False for a header of another magic or version.
bool DecodeRelayHeader(const std::uint8_t* in, RelayTarget* target);
// The failure a client reports for a status other than kConnected.
RpcOpenFailure RelayFailure(RelayStatus status);

class RpcClientConnection {
 public:
  // Connects, makes the TLS session and exchanges HELLO by the deadline. nullptr on failure,
  // *failure tells why (an authentication failure is traced here).
  // A process that may not read the key ring (open fails with EACCES or EPERM) goes through
  // the agent's relay instead; root processes connect themselves.
  static std::unique_ptr<RpcClientConnection> Open(const RpcConnectionKey& key,
                                                   RpcClock::time_point deadline,
                                                   RpcOpenFailure* failure,
                                                   RpcKeyRingSource keyRings = nullptr);
  // Connects to key.address:key.port and makes the TLS session with the ring of keyRings (this
  // process's ring by default) by the deadline, without HELLO: what the agent's relay opens for
  // an operator's process.
  static std::unique_ptr<RpcClientConnection> OpenSecured(const RpcConnectionKey& key,
                                                          RpcClock::time_point deadline,
                                                          RpcOpenFailure* failure,
                                                          RpcKeyRingSource keyRings = nullptr);
  // A connected stream socket without TLS (the relay's socket, frame readers of tests); Open is
  // the way to get a usable connection.
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

  // The agent's side of a relay (a connection from OpenSecured): carries bytes between the
  // local stream socket fd and the TLS session, through buffers of kRelayBufferBytes each way,
  // until either side ends, nothing moves for idle, an error, or wakeFd becomes readable.
  static constexpr std::size_t kRelayBufferBytes = 64 * 1024;
  RpcIo Relay(int fd, std::chrono::milliseconds idle, int wakeFd);

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
  // Over the agent's relay: connects, sends the header, reads the status; no HELLO.
  static std::unique_ptr<RpcClientConnection> OpenThroughRelay(const RpcConnectionKey& key,
                                                               RpcClock::time_point deadline,
                                                               RpcOpenFailure* failure);
  std::string PeerText() const;

  RpcConnectionKey key_;
  RpcByteStream stream_;  // in TLS, but plain for benchmark connections and the relay's socket
  std::uint16_t clientId_ = 0;
  std::vector<std::uint8_t>
      input_;  // bytes received and not yet consumed: [inputBegin_, inputEnd_)
  std::size_t inputBegin_ = 0;
  std::size_t inputEnd_ = 0;
};

// The io_context on which client sockets live (never run: clients use blocking calls).
asio::io_context& RpcClientIoContext();

}  // namespace qx
