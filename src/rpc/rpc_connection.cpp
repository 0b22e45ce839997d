// rpc_connection.cpp - one client connection: connect with a timeout, HELLO, and frame reads
// and writes that end by their deadline.
//
// The socket is non-blocking; every read and write that would block waits in poll() for what
// is left of its deadline, so no call outlives the connect or call timeout. Received bytes are
// buffered so that a small answer costs one recv; large bodies are read straight into place.
// Network mode would wrap WriteAll, Fill and ReadExact (the only places that move bytes) and
// the HELLO exchange in a TLS session keyed by the cluster key; plain TCP is the only
// transport today.
// One thread uses a connection at a time (its owner).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <asio/ip/tcp.hpp>
#include <cerrno>
#include <cstring>

#include "common/text.h"
#include "platform/environment.h"
#include "rpc/rpc.h"
#include "rpc/rpc_internal.h"

namespace qx {
namespace {

constexpr std::size_t kInputBufferSize = 64 * 1024;
// Bodies at least this large are read directly into the caller's buffer.
constexpr std::size_t kDirectReadSize = 16 * 1024;

// The cancel flag of this thread's calls (ScopedRpcCancelFlag), or null.
thread_local const std::atomic<bool>* threadCancelFlag = nullptr;

int RemainingMs(RpcClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - RpcClock::now()).count();
  if (left <= 0) return 0;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

// poll() on one socket until it is ready, the deadline passes (0) or the thread's call is
// cancelled (0 as well): with a cancel flag the wait looks at it every kCancelCheckMs.
int PollUntil(pollfd* entry, RpcClock::time_point deadline) {
  for (;;) {
    const int left = RemainingMs(deadline);
    const std::atomic<bool>* cancel = threadCancelFlag;
    if (cancel == nullptr) return ::poll(entry, 1, left);
    if (cancel->load()) return 0;
    const int ready = ::poll(entry, 1, std::min(left, kCancelCheckMs));
    if (ready != 0 || left <= kCancelCheckMs) return ready;
  }
}

}  // namespace

ScopedRpcCancelFlag::ScopedRpcCancelFlag(const std::atomic<bool>* flag)
    : previous_(threadCancelFlag) {
  threadCancelFlag = flag;
}

ScopedRpcCancelFlag::~ScopedRpcCancelFlag() { threadCancelFlag = previous_; }

asio::io_context& RpcClientIoContext() {
  // Never destroyed: kept connections live on it, and a thread may still close one while the
  // process exits.
  static asio::io_context& context = *std::make_unique<asio::io_context>().release();
  return context;
}

RpcClientConnection::RpcClientConnection(const RpcConnectionKey& key, asio::ip::tcp::socket socket)
    : key_(key), socket_(std::move(socket)) {}

RpcClientConnection::~RpcClientConnection() {
  std::error_code ignored;
  socket_.close(ignored);
}

RpcIo RpcClientConnection::WaitFor(short events, RpcClock::time_point deadline) {
  for (;;) {
    pollfd entry{socket_.native_handle(), events, 0};
    const int ready = PollUntil(&entry, deadline);
    if (ready > 0) return RpcIo::kOk;
    if (ready == 0) return RpcIo::kTimeout;
    if (errno != EINTR) return RpcIo::kError;
  }
}

std::unique_ptr<RpcClientConnection> RpcClientConnection::Open(const RpcConnectionKey& key,
                                                               RpcClock::time_point deadline,
                                                               bool* refused) {
  *refused = false;
  asio::ip::tcp::socket socket(RpcClientIoContext());
  std::error_code error;
  socket.open(asio::ip::tcp::v4(), error);
  if (error) return nullptr;
  // A blocking socket would let connect and every read outlive the deadline.
  socket.non_blocking(true, error);
  if (error) return nullptr;
  socket.set_option(asio::ip::tcp::no_delay(true), error);
  if (error) return nullptr;
  // asio's connect waits for the handshake without a limit; the plain call returns at once.
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(key.port);
  to.sin_addr.s_addr = htonl(key.address);
  if (::connect(socket.native_handle(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return nullptr;
    pollfd entry{socket.native_handle(), POLLOUT, 0};
    int ready;
    do {
      ready = PollUntil(&entry, deadline);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return nullptr;
    int soError = 0;
    socklen_t length = sizeof soError;
    if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_ERROR, &soError, &length) != 0 ||
        soError != 0)
      return nullptr;
  }

  auto connection = std::make_unique<RpcClientConnection>(key, std::move(socket));
  const std::vector<std::uint8_t> hello = rpc::BuildHello(key.service, key.clientName);
  if (connection->WriteAll(hello.data(), hello.size(), deadline) != RpcIo::kOk) return nullptr;
  rpc::FrameHeader header;
  std::vector<std::uint8_t> body;
  if (connection->ReadFrame(&header, &body, rpc::kMaxHelloBytes, deadline) != RpcIo::kOk)
    return nullptr;
  if (header.kind == rpc::FrameKind::kHelloRefused) {
    *refused = true;
    return nullptr;
  }
  if (header.kind != rpc::FrameKind::kHelloAck) return nullptr;
  connection->clientId_ = static_cast<std::uint16_t>(header.dataId);
  connection->lastUsed = RpcClock::now();
  return connection;
}

RpcIo RpcClientConnection::WriteAll(const std::uint8_t* data, std::size_t size,
                                    RpcClock::time_point deadline) {
  while (size != 0) {
    std::error_code error;
    const std::size_t written = socket_.write_some(asio::buffer(data, size), error);
    if (!error) {
      data += written;
      size -= written;
      continue;
    }
    if (error != asio::error::would_block && error != asio::error::try_again &&
        error != asio::error::interrupted)
      return RpcIo::kError;
    if (RpcIo waited = WaitFor(POLLOUT, deadline); waited != RpcIo::kOk) return waited;
  }
  return RpcIo::kOk;
}

// Receives into the input buffer at least one more byte.
RpcIo RpcClientConnection::Fill(RpcClock::time_point deadline) {
  if (input_.size() < kInputBufferSize) input_.resize(kInputBufferSize);
  if (inputBegin_ == inputEnd_) inputBegin_ = inputEnd_ = 0;
  if (inputEnd_ == input_.size()) {
    std::memmove(input_.data(), input_.data() + inputBegin_, inputEnd_ - inputBegin_);
    inputEnd_ -= inputBegin_;
    inputBegin_ = 0;
  }
  for (;;) {
    std::error_code error;
    const std::size_t got = socket_.read_some(
        asio::buffer(input_.data() + inputEnd_, input_.size() - inputEnd_), error);
    if (!error) {
      inputEnd_ += got;
      return RpcIo::kOk;
    }
    if (error == asio::error::eof) return RpcIo::kEof;
    if (error != asio::error::would_block && error != asio::error::try_again &&
        error != asio::error::interrupted)
      return RpcIo::kError;
    if (RpcIo waited = WaitFor(POLLIN, deadline); waited != RpcIo::kOk) return waited;
  }
}

RpcIo RpcClientConnection::ReadExact(std::uint8_t* out, std::size_t size,
                                     RpcClock::time_point deadline) {
  const std::size_t buffered = std::min(size, inputEnd_ - inputBegin_);
  if (buffered != 0) {
    std::memcpy(out, input_.data() + inputBegin_, buffered);
    inputBegin_ += buffered;
    out += buffered;
    size -= buffered;
  }
  while (size >= kDirectReadSize) {
    std::error_code error;
    const std::size_t got = socket_.read_some(asio::buffer(out, size), error);
    if (!error) {
      out += got;
      size -= got;
      continue;
    }
    if (error == asio::error::eof) return RpcIo::kEof;
    if (error != asio::error::would_block && error != asio::error::try_again &&
        error != asio::error::interrupted)
      return RpcIo::kError;
    if (RpcIo waited = WaitFor(POLLIN, deadline); waited != RpcIo::kOk) return waited;
  }
  while (size != 0) {
    if (inputBegin_ == inputEnd_) {
      if (RpcIo filled = Fill(deadline); filled != RpcIo::kOk) return filled;
    }
    const std::size_t take = std::min(size, inputEnd_ - inputBegin_);
    std::memcpy(out, input_.data() + inputBegin_, take);
    inputBegin_ += take;
    out += take;
    size -= take;
  }
  return RpcIo::kOk;
}

RpcIo RpcClientConnection::ReadFrame(rpc::FrameHeader* header, std::vector<std::uint8_t>* body,
                                     std::uint32_t maxBody, RpcClock::time_point deadline) {
  // An answer is seldom there the moment its request has gone: wait before the first read.
  if (inputBegin_ == inputEnd_) {
    if (RpcIo waited = WaitFor(POLLIN, deadline); waited != RpcIo::kOk) return waited;
  }
  std::uint8_t raw[rpc::kFrameHeaderSize];
  if (RpcIo read = ReadExact(raw, sizeof raw, deadline); read != RpcIo::kOk) return read;
  if (rpc::DecodeHeader(raw, maxBody, header) != rpc::FrameCheck::kOk) return RpcIo::kBadFrame;
  body->resize(header->length);
  if (header->length == 0) return RpcIo::kOk;
  return ReadExact(body->data(), header->length, deadline);
}

bool RpcClientConnection::IsIdleAndOpen() {
  if (inputBegin_ != inputEnd_) return false;
  pollfd entry{socket_.native_handle(), POLLIN, 0};
  const int ready = ::poll(&entry, 1, 0);
  return ready == 0;
}

}  // namespace qx
