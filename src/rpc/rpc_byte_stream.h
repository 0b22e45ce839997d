// rpc_byte_stream.h - the bytes of one RPC connection over a non-blocking TCP socket: in a TLS
// session (rpc_tls.h), or plain for a benchmark's connection, behind one set of steps.
//
// Every call does what the socket allows at once and says, as an RpcTlsSession::Step, whether
// it is done, waits for the socket to read or to write, or the stream closed or failed.
// WaitOf is the one place that turns such a step into the socket wait it asks for: the server's
// sessions wait for it with asio (AsyncWait), the client's connections with poll (PollEvents).
// Bytes that TLS has read ahead are not seen by the socket: ask HasPending before waiting.
//
// The stream owns the socket and the TLS session (destroyed before the socket closes). It
// belongs to one thread at a time: a client connection's owner, or a server session's strand.
#pragma once

#include <asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "rpc/rpc_tls.h"

namespace qx {

class RpcByteStream {
 public:
  using Step = RpcTlsSession::Step;
  enum class Wait { kNone, kRead, kWrite };

  explicit RpcByteStream(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {}
  RpcByteStream(const RpcByteStream&) = delete;
  RpcByteStream& operator=(const RpcByteStream&) = delete;

  asio::ip::tcp::socket& socket() { return socket_; }
  const asio::ip::tcp::socket& socket() const { return socket_; }

  // From now on the bytes go through tls (over this socket); nullptr leaves the stream plain.
  void Secure(std::unique_ptr<RpcTlsSession> tls) { tls_ = std::move(tls); }
  bool secured() const { return tls_ != nullptr; }
  // The TLS session, or nullptr for a plain stream.
  RpcTlsSession* tls() const { return tls_.get(); }
  // Sends close_notify if TLS is done and the socket takes it at once; never waits.
  void CloseTls() {
    if (tls_) tls_->Close();
  }
  // Drops the TLS session (its socket is gone or going).
  void ForgetTls() { tls_.reset(); }

  // The TLS handshake step (checks that a ring key was used); kDone at once when plain.
  Step Handshake() { return tls_ ? tls_->Handshake() : Step::kDone; }
  // kDone with *got > 0 bytes; kClosed at the end of the stream.
  Step Read(std::uint8_t* out, std::size_t size, std::size_t* got);
  // kDone with *done bytes taken (TLS may keep records unsent: HasUnsent, Flush).
  Step Write(const std::uint8_t* data, std::size_t size, std::size_t* done);
  // Sends what Write left: kDone when nothing is left.
  Step Flush() { return tls_ ? tls_->Flush() : Step::kDone; }
  bool HasUnsent() const { return tls_ && tls_->HasUnsent(); }
  // Bytes already received wait inside the stream (the socket would not show them).
  bool HasPending() const { return tls_ && tls_->HasPending(); }

  // The socket wait that a step asks for; kNone when the step ends the call.
  static Wait WaitOf(Step step) {
    switch (step) {
      case Step::kWantRead:
        return Wait::kRead;
      case Step::kWantWrite:
        return Wait::kWrite;
      default:
        return Wait::kNone;
    }
  }
  // The poll events of a step's wait (POLLIN, POLLOUT), or 0.
  static short PollEvents(Step step);

  // When step waits for the socket, asks asio to call handler(error) once the socket is ready
  // for it, and the answer is true; false (nothing asked) when the step ends the call.
  template <typename Handler>
  bool AsyncWait(Step step, Handler&& handler) {
    const Wait wait = WaitOf(step);
    if (wait == Wait::kNone) return false;
    socket_.async_wait(
        wait == Wait::kRead ? asio::socket_base::wait_read : asio::socket_base::wait_write,
        std::forward<Handler>(handler));
    return true;
  }

 private:
  asio::ip::tcp::socket socket_;
  std::unique_ptr<RpcTlsSession> tls_;  // over socket_; null for a plain stream
};

}  // namespace qx
