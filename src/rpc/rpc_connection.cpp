// rpc_connection.cpp - one client connection: connect with a timeout, the TLS handshake with
// the cluster key, HELLO, and frame reads and writes that end by their deadline.
//
// The socket is non-blocking; every read, write and handshake step that would block waits in
// poll() for what is left of its deadline, so no call outlives the connect or call timeout.
// Received bytes are buffered so that a small answer costs one read; large bodies are read
// straight into place. Receive and Send are the only places that move bytes: through the
// connection's RpcByteStream (TLS, or plain for a benchmark's connection), whose steps say what
// poll() waits for. Bytes that TLS has read ahead are not seen by poll(), so every wait for
// input first asks the stream.
// A process that may not read the key ring (an operator's) opens its connections through the
// agent's relay instead (rpc_relay.cpp): plain frames over a local socket, the agent holding
// the TLS session. One thread uses a connection at a time (its owner).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <asio/ip/tcp.hpp>
#include <cerrno>
#include <cstring>

#include "common/text.h"
#include "keys/cluster_keys.h"
#include "platform/environment.h"
#include "rpc/rpc.h"
#include "rpc/rpc_internal.h"
#include "rpc/rpc_tls.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kConnectionSource("RemoteClient");

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

// What a stream step that ends the call means: kOk when it is done, `closed` when the stream
// closed, else kError.
RpcIo ResultOfStep(RpcByteStream::Step step, RpcIo closed) {
  if (step == RpcByteStream::Step::kDone) return RpcIo::kOk;
  if (step == RpcByteStream::Step::kClosed) return closed;
  return RpcIo::kError;
}

}  // namespace

void TraceKeyRingProblem(KeyRingStatus status, const std::string& text, std::uint32_t suppressed) {
  const char* what = status == KeyRingStatus::kUnreadable
                         ? "could not be read; the last good ring serves until it can"
                         : "cannot be used; nothing is sent or accepted with it";
  TraceError(kConnectionSource, "the key ring %s: %s (%u more such reports left out)", what,
             text.c_str(), static_cast<unsigned>(suppressed));
}

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
    : key_(key), stream_(std::move(socket)) {}

RpcClientConnection::~RpcClientConnection() {
  stream_.CloseTls();
  stream_.ForgetTls();
  std::error_code ignored;
  stream_.socket().close(ignored);
}

std::string RpcClientConnection::PeerText() const {
  return asio::ip::address_v4(key_.address).to_string() + ":" + std::to_string(key_.port);
}

RpcIo RpcClientConnection::WaitFor(short events, RpcClock::time_point deadline) {
  for (;;) {
    pollfd entry{stream_.socket().native_handle(), events, 0};
    const int ready = PollUntil(&entry, deadline);
    if (ready > 0) return RpcIo::kOk;
    if (ready == 0) return RpcIo::kTimeout;
    if (errno != EINTR) return RpcIo::kError;
  }
}

std::unique_ptr<RpcClientConnection> RpcClientConnection::OpenSecured(const RpcConnectionKey& key,
                                                                      RpcClock::time_point deadline,
                                                                      RpcOpenFailure* failure,
                                                                      RpcKeyRingSource keyRings) {
  *failure = RpcOpenFailure::kUnreachable;
  // The key is chosen before anything goes out: a station without one cannot call at all.
  const bool plaintext = RpcPlaintextForBenchmark();
  std::shared_ptr<const KeyRing> ring;
  if (!plaintext) {
    ring = RpcKeyRingOf(keyRings);
    if (ring->InUse() == nullptr) {
      *failure = RpcOpenFailure::kAuthentication;
      TraceWarning(kConnectionSource,
                   "RPC: no cluster key in use on this station; %s:%u cannot be called",
                   asio::ip::address_v4(key.address).to_string().c_str(), key.port);
      return nullptr;
    }
  }
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
  if (!plaintext) {
    bool noKey = false;
    auto tls = RpcTlsSession::Client(connection->stream_.socket().native_handle(), *ring, &noKey);
    if (!tls) return nullptr;
    connection->stream_.Secure(std::move(tls));
    bool refused = false;
    if (connection->Handshake(deadline, &refused) != RpcIo::kOk) {
      if (refused) *failure = RpcOpenFailure::kAuthentication;
      return nullptr;
    }
  }
  *failure = RpcOpenFailure::kNone;
  return connection;
}

std::unique_ptr<RpcClientConnection> RpcClientConnection::Open(const RpcConnectionKey& key,
                                                               RpcClock::time_point deadline,
                                                               RpcOpenFailure* failure,
                                                               RpcKeyRingSource keyRings) {
  std::unique_ptr<RpcClientConnection> connection;
  KeyRing unused;
  if (!RpcPlaintextForBenchmark() && RpcKeyRingOf(keyRings)->InUse() == nullptr &&
      ReadKeyRing(KeyRingPath(), &unused, nullptr) == KeyRingStatus::kDenied) {
    // An operator's process: the agent holds the key and opens the connection for it.
    connection = OpenThroughRelay(key, deadline, failure);
  } else {
    connection = OpenSecured(key, deadline, failure, keyRings);
  }
  if (!connection) return nullptr;
  *failure = RpcOpenFailure::kUnreachable;
  const std::vector<std::uint8_t> hello = rpc::BuildHello(key.service, key.clientName);
  if (connection->WriteAll(hello.data(), hello.size(), deadline) != RpcIo::kOk) return nullptr;
  rpc::FrameHeader header;
  std::vector<std::uint8_t> body;
  if (connection->ReadFrame(&header, &body, rpc::kMaxHelloBytes, deadline) != RpcIo::kOk)
    return nullptr;
  if (header.kind == rpc::FrameKind::kHelloRefused) {
    *failure = RpcOpenFailure::kRefused;
    return nullptr;
  }
  if (header.kind != rpc::FrameKind::kHelloAck) return nullptr;
  connection->clientId_ = static_cast<std::uint16_t>(header.dataId);
  connection->lastUsed = RpcClock::now();
  *failure = RpcOpenFailure::kNone;
  return connection;
}

RpcIo RpcClientConnection::Handshake(RpcClock::time_point deadline, bool* refused) {
  *refused = false;
  for (;;) {
    const RpcByteStream::Step step = stream_.Handshake();
    const short wait = RpcByteStream::PollEvents(step);
    if (wait == 0) {
      if (step == RpcByteStream::Step::kDone) return RpcIo::kOk;
      *refused = true;
      const RpcTlsSession& tls = *stream_.tls();
      TraceWarning(kConnectionSource,
                   "RPC: %s refused the TLS handshake: it does not accept cluster key %s of "
                   "this station (%s)",
                   PeerText().c_str(), KeyIdText(tls.keyId()).c_str(), tls.FailureText().c_str());
      return RpcIo::kError;
    }
    if (RpcIo waited = WaitFor(wait, deadline); waited != RpcIo::kOk) return waited;
  }
}

RpcIo RpcClientConnection::Send(const std::uint8_t* data, std::size_t size, std::size_t* sent,
                                RpcClock::time_point deadline) {
  for (;;) {
    const RpcByteStream::Step step = stream_.Write(data, size, sent);
    const short wait = RpcByteStream::PollEvents(step);
    if (wait == 0) return ResultOfStep(step, RpcIo::kError);
    if (RpcIo waited = WaitFor(wait, deadline); waited != RpcIo::kOk) return waited;
  }
}

RpcIo RpcClientConnection::Receive(std::uint8_t* out, std::size_t size, std::size_t* got,
                                   RpcClock::time_point deadline) {
  for (;;) {
    const RpcByteStream::Step step = stream_.Read(out, size, got);
    const short wait = RpcByteStream::PollEvents(step);
    if (wait == 0) return ResultOfStep(step, RpcIo::kEof);
    if (RpcIo waited = WaitFor(wait, deadline); waited != RpcIo::kOk) return waited;
  }
}

RpcIo RpcClientConnection::WriteAll(const std::uint8_t* data, std::size_t size,
                                    RpcClock::time_point deadline) {
  while (size != 0) {
    std::size_t written = 0;
    if (RpcIo sent = Send(data, size, &written, deadline); sent != RpcIo::kOk) return sent;
    data += written;
    size -= written;
  }
  // The last records of a TLS write may still wait for the socket.
  while (stream_.HasUnsent()) {
    std::size_t none = 0;
    if (RpcIo sent = Send(data, 0, &none, deadline); sent != RpcIo::kOk) return sent;
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
  std::size_t got = 0;
  const RpcIo read = Receive(input_.data() + inputEnd_, input_.size() - inputEnd_, &got, deadline);
  if (read == RpcIo::kOk) inputEnd_ += got;
  return read;
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
    std::size_t got = 0;
    if (RpcIo read = Receive(out, size, &got, deadline); read != RpcIo::kOk) return read;
    out += got;
    size -= got;
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
  if (inputBegin_ == inputEnd_ && !stream_.HasPending()) {
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
  if (inputBegin_ != inputEnd_ || stream_.HasPending()) return false;
  pollfd entry{stream_.socket().native_handle(), POLLIN, 0};
  const int ready = ::poll(&entry, 1, 0);
  return ready == 0;
}

}  // namespace qx
