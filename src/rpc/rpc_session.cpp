// rpc_session.cpp - RpcSession: the handshake, reads and frames, dispatch, answers, deadlines,
// CLOSE and drain of one server connection (see rpc_session.h).
#include "rpc/rpc_session.h"

#include <asio/post.hpp>

#include "common/text.h"
#include "rpc/rpc_connection_slots.h"
#include "rpc/rpc_internal.h"
#include "rpc/rpc_serving.h"
#include "trace/counters.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kServerSource("RemoteServer");

constexpr auto kDrainAfterClose = std::chrono::milliseconds(1000);
constexpr auto kDrainWhenStopping = std::chrono::milliseconds(100);
// Reads in a row before the session lets the other sessions of its I/O thread run.
constexpr int kReadsInARow = 64;

constexpr std::uint32_t kHelloKinds = RpcFrameReader::KindBit(rpc::FrameKind::kHello);
constexpr std::uint32_t kRequestKinds = RpcFrameReader::KindBit(rpc::FrameKind::kStringRequest) |
                                        RpcFrameReader::KindBit(rpc::FrameKind::kDataRequest);

struct ResultSlot {
  bool stored = false;
  HRESULT value = S_OK;
};
thread_local ResultSlot tResultSlot;
thread_local const RpcSession* tServing = nullptr;

std::string PeerText(const asio::ip::tcp::socket& socket) {
  std::error_code error;
  const auto peer = socket.remote_endpoint(error);
  if (error) return "?";
  return peer.address().to_string() + ":" + std::to_string(peer.port());
}

// The peer's IPv4 address as a number, 0 when it has none.
std::uint32_t PeerSource(const asio::ip::tcp::socket& socket) {
  std::error_code error;
  const auto peer = socket.remote_endpoint(error);
  return error || !peer.address().is_v4() ? 0 : peer.address().to_v4().to_uint();
}

}  // namespace

void RpcSession::SetHandlerResult(HRESULT result) { tResultSlot = ResultSlot{true, result}; }

const RpcSession* RpcSession::Serving() { return tServing; }

std::optional<RpcCaller> CurrentRpcCaller() {
  const RpcSession* session = RpcSession::Serving();
  if (session == nullptr) return std::nullopt;
  return RpcCaller{session->peer(), session->keyId()};
}

RpcSession::RpcSession(RpcServing& server, asio::ip::tcp::socket socket, std::uint64_t serial,
                       std::uint16_t clientId)
    : server_(server),
      stream_(std::move(socket)),
      timer_(stream_.socket().get_executor()),
      serial_(serial),
      clientId_(clientId),
      peer_(PeerText(stream_.socket())),
      source_(PeerSource(stream_.socket())),
      useTls_(!RpcPlaintextForBenchmark()),
      input_(server.buffers_, server.settings_.maxFrameBytes) {}

RpcSession::~RpcSession() {
  input_.Release();  // while the serving state surely lives
  RpcConnectionSlots::Instance().Release(ticket_);
  server_.SessionEnded(serial_);
}

bool RpcSession::Admit() {
  // The session is already among the server's sessions, so a Stop may close its socket on the
  // session's strand meanwhile: the peer's address was read when the socket was ours alone.
  const std::uint32_t source = source_;
  std::size_t evicted = 0;
  // Asked under the slots' lock while the connection is pending: End and the destructor
  // release the slot before the socket closes, so the socket is still this connection's.
  auto hasSpoken = [this] {
    std::error_code failed;
    return stream_.socket().available(failed) != 0 && !failed;
  };
  std::uint64_t ticket = 0;
  const bool admitted = RpcConnectionSlots::Instance().Admit(
      &server_, source, hasSpoken,
      [weak = weak_from_this(), executor = stream_.socket().get_executor()] {
        asio::post(executor, [weak] {
          if (auto self = weak.lock()) self->Evicted();
        });
      },
      &ticket, &evicted);
  ticket_.store(ticket);
  TraceRpcEvictions(evicted);
  return admitted;
}

void RpcSession::Start() {
  asio::post(stream_.socket().get_executor(), [self = shared_from_this()] {
    std::error_code ignored;
    asio::ip::tcp::socket& socket = self->stream_.socket();
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    // Answers are written at once when the socket takes them; only the rest waits.
    socket.non_blocking(true, ignored);
    // The handshake and HELLO must be complete within the connect timeout, however their
    // bytes trickle in.
    self->SetDeadline(std::chrono::milliseconds(self->server_.settings_.connectTimeoutMs));
    if (!self->useTls_) {
      RpcConnectionSlots::Instance().Authenticated(self->ticket_);
      self->ReadMore();
      return;
    }
    auto tls = RpcTlsSession::Server(socket.native_handle(), RpcKeyRingOf(self->server_.keyRings_));
    if (!tls) {
      self->End("no memory for a TLS session");
      return;
    }
    self->stream_.Secure(std::move(tls));
    self->Handshake();
  });
}

void RpcSession::Shutdown() {
  asio::post(stream_.socket().get_executor(), [self = shared_from_this()] {
    self->stopRequested_ = true;
    if (self->state_ == State::kHandshaking) {
      self->End(nullptr);
      return;
    }
    if (self->state_ != State::kReading) return;  // the answer goes out first
    if (self->helloDone_)
      self->SendCloseAndEnd();
    else
      self->End(nullptr);
  });
}

void RpcSession::RunHandler() {
  RpcServing::SetCurrent(&server_);
  Handle();
  RpcServing::SetCurrent(nullptr);
  try {
    asio::post(stream_.socket().get_executor(), [self = shared_from_this()] { self->OnHandled(); });
  } catch (...) {  // no memory to queue the answer: the session stays until stop
    TraceError(kServerSource, "RPC client %u: the answer could not be queued", clientId_);
  }
}

std::string RpcSession::Describe() const {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - handedOver_);
  return Format("client %u from %s, data id %u, for %lld ms", clientId_, peer_.c_str(),
                request_.dataId, static_cast<long long>(ms.count()));
}

// Runs the handshake as far as the socket allows; resumed when the socket is ready.
void RpcSession::Handshake() {
  state_ = State::kHandshaking;
  if (!spoke_) {
    std::error_code error;
    spoke_ = stream_.socket().available(error) != 0 && !error;
    if (spoke_) RpcConnectionSlots::Instance().Spoke(ticket_);
  }
  const Step step = stream_.Handshake();  // checks that a ring key was used
  if (step == Step::kDone) {
    keyId_ = stream_.tls()->keyId();
    RpcConnectionSlots::Instance().Authenticated(ticket_);
    ReadMore();
  } else if (!AwaitSocket(step, &RpcSession::Handshake)) {
    Refuse(stream_.tls()->FailureText().c_str());
  }
}

// When step waits for the socket: resume runs on the strand once the socket is ready for it
// (unless the session moved on meanwhile), and the answer is true. One wait at a time.
bool RpcSession::AwaitSocket(Step step, void (RpcSession::*resume)()) {
  if (RpcByteStream::WaitOf(step) == RpcByteStream::Wait::kNone) return false;
  const std::uint64_t generation = ++waitGeneration_;
  const State waiting = state_;
  return stream_.AsyncWait(step, [self = shared_from_this(), generation, waiting,
                                  resume](std::error_code error) {
    if (generation != self->waitGeneration_ || waiting != self->state_) return;
    if (!error) {
      ((*self).*resume)();
    } else if (error != asio::error::operation_aborted) {
      if (waiting == State::kHandshaking)
        self->Refuse(error.message().c_str());
      else
        self->End(waiting == State::kWriting ? "answer could not be written" : "connection failed");
    }
  });
}

// Newer connections needed the slot of this one, whose peer has not proved a key yet.
void RpcSession::Evicted() {
  if (state_ == State::kHandshaking) End(nullptr);
}

// Ends a session whose peer did not prove a key of the ring; traced at most a few times a
// second, so that a flood of such peers cannot flood the trace.
void RpcSession::Refuse(const char* why) {
  metrics::Add(Metric::kRpcHandshakesRefused);
  std::uint32_t suppressed = 0;
  if (TakeRefusalTraceSlot(&suppressed)) {
    TraceWarning(
        kServerSource,
        "RPC %s: TLS handshake refused, the peer does not prove a cluster key of this "
        "station (%s); connection closed%s",
        peer_.c_str(), why,
        suppressed == 0 ? "" : Format(" (%u more refused peers not traced)", suppressed).c_str());
  }
  End(nullptr);
}

// One timer per session, re-armed only when a deadline comes earlier than its expiry: a
// request served in the usual way costs no timer operation.
void RpcSession::SetDeadline(std::chrono::milliseconds after) {
  deadline_ = SteadyClock::now() + after;
  if (!timerArmed_ || deadline_ < timerExpiry_) ArmTimer(deadline_);
}

void RpcSession::ArmTimer(SteadyClock::time_point at) {
  const std::uint64_t generation = ++timerGeneration_;
  timerArmed_ = true;
  timerExpiry_ = at;
  timer_.expires_at(at);
  timer_.async_wait([self = shared_from_this(), generation](std::error_code error) {
    if (generation != self->timerGeneration_) return;
    self->timerArmed_ = false;
    if (!error) self->OnTimer();
  });
}

void RpcSession::CancelTimer() {
  ++timerGeneration_;
  timerArmed_ = false;
  timer_.cancel();
}

void RpcSession::OnTimer() {
  if (state_ == State::kClosed || state_ == State::kHandling) return;
  if (SteadyClock::now() < deadline_) {
    ArmTimer(deadline_);
    return;
  }
  switch (state_) {
    case State::kHandshaking:
      Refuse("no TLS handshake within the connect timeout");
      break;
    case State::kReading:
      if (!helloDone_)
        End("no HELLO within the connect timeout");
      else if (!input_.empty())
        End("frame not complete within the call timeout");
      else
        SendCloseAndEnd();  // idle
      break;
    case State::kWriting:
      End("answer not taken within the call timeout");
      break;
    case State::kClosing:
      End(nullptr);
      break;
    case State::kHandling:
    case State::kClosed:
      break;
  }
}

// Room for the next read (RpcFrameReader::MakeRoom). False when the session ended: a step
// beyond the budget, or no memory.
bool RpcSession::MakeRoom() {
  switch (input_.MakeRoom()) {
    case RpcFrameReader::Room::kOk:
      return true;
    case RpcFrameReader::Room::kOverBudget:
      TraceWarning(kServerSource,
                   "RPC %s: a frame of %zu bytes needs more than is left of the buffer budget "
                   "of %u bytes (at most %zu for one connection); connection closed",
                   peer_.c_str(), input_.needed(), server_.buffers_.budgetBytes(),
                   server_.buffers_.shareBytes());
      End(nullptr);
      return false;
    case RpcFrameReader::Room::kNoMemory:
      End("no memory for the frame");
      return false;
  }
  return false;
}

// Reads what has come and serves it, until the socket has no more (then waits for it), a
// request is handed over or an answer waits for the socket. After kReadsInARow reads the rest
// is read in a later turn of the I/O thread, so one busy peer cannot hold it.
void RpcSession::ReadMore() {
  for (int reads = 0; reads < kReadsInARow; ++reads) {
    state_ = State::kReading;
    if (!MakeRoom()) return;
    std::size_t got = 0;
    const Step step = stream_.Read(input_.space(), input_.room(), &got);
    if (step != Step::kDone) {
      if (!AwaitSocket(step, &RpcSession::ReadMore)) InputEnded(step == Step::kClosed);
      return;
    }
    input_.Received(got);
    if (!ServeInput()) return;
  }
  const std::uint64_t generation = ++waitGeneration_;
  asio::post(stream_.socket().get_executor(), [self = shared_from_this(), generation] {
    if (generation == self->waitGeneration_ && self->state_ == State::kReading) self->ReadMore();
  });
}

// The peer closed its side (closed) or the connection failed.
void RpcSession::InputEnded(bool closed) {
  if (!input_.empty())
    End("connection closed mid-frame");
  else if (closed)
    End(nullptr);  // the client closed between requests
  else
    End("connection failed");
}

void RpcSession::ProcessInput() {
  if (ServeInput()) ReadMore();
}

// Serves the complete frames of the input. A request goes to a worker, and the session goes
// on when its answer has gone out. True when the session reads on at once.
bool RpcSession::ServeInput() {
  for (;;) {
    rpc::FrameHeader frame;
    const std::uint8_t* body = nullptr;
    rpc::FrameCheck check = rpc::FrameCheck::kOk;
    const RpcFrameReader::Result next =
        input_.Next(helloDone_ ? kRequestKinds : kHelloKinds, &frame, &body, &check);
    if (next == RpcFrameReader::Result::kNeedMore) break;
    switch (next) {
      case RpcFrameReader::Result::kBadHeader:
        End(rpc::FrameCheckText(check));
        return false;
      case RpcFrameReader::Result::kUnexpectedKind:
        End(helloDone_ ? "unexpected frame kind" : "first frame is not HELLO");
        return false;
      case RpcFrameReader::Result::kTooLarge:  // it could never be complete
        TraceWarning(kServerSource,
                     "RPC %s: a frame of %zu bytes exceeds what one connection may buffer (%zu "
                     "bytes of the budget of %u); connection closed",
                     peer_.c_str(), rpc::kFrameHeaderSize + frame.length,
                     server_.buffers_.shareBytes(), server_.buffers_.budgetBytes());
        End(nullptr);
        return false;
      case RpcFrameReader::Result::kFrame:
      case RpcFrameReader::Result::kNeedMore:
        break;
    }
    frameTimed_ = false;
    if (!ServeFrame(frame, body)) return false;
  }
  // The deadline of a frame starts with its first byte and is not moved by later ones.
  if (helloDone_) {
    if (input_.empty()) {
      SetDeadline(server_.idleClose_);
    } else if (!frameTimed_) {
      frameTimed_ = true;
      SetDeadline(std::chrono::milliseconds(server_.settings_.callTimeoutMs));
    }
  }
  return true;
}

// True when the session goes on reading at once.
bool RpcSession::ServeFrame(const rpc::FrameHeader& frame, const std::uint8_t* body) {
  if (!helloDone_) return OnHello(body, frame.length);
  if (stopRequested_) {  // not run: the client learns so from CLOSE
    SendCloseAndEnd();
    return false;
  }
  metrics::Add(frame.kind == rpc::FrameKind::kStringRequest ? Metric::kRpcStringRequests
                                                            : Metric::kRpcDataRequests);
  state_ = State::kHandling;
  request_ = frame;
  requestBody_ = body;
  handedOver_ = SteadyClock::now();
  if (server_.TakeInlineSlot()) {
    Handle();
    server_.ReturnInlineSlot();
    return Write(std::move(answer_), false);
  }
  if (server_.handlers_->Submit(shared_from_this())) return false;
  metrics::Add(Metric::kRpcHandlerRefusals);
  TraceWarning(kServerSource,
               "RPC client %u: every handler thread is busy and %u requests wait; request "
               "answered with RPC_E_SERVERCALL_RETRYLATER",
               clientId_, server_.settings_.handlerQueue);
  const rpc::FrameKind kind = frame.kind == rpc::FrameKind::kStringRequest
                                  ? rpc::FrameKind::kStringAnswer
                                  : rpc::FrameKind::kDataAnswer;
  return Write(rpc::BuildFrame({kind, 0, frame.dataId, RPC_E_SERVERCALL_RETRYLATER}), false);
}

void RpcSession::Handle() {
  server_.HandlerBegins(this);
  tServing = this;
  answer_ = Dispatch(request_, requestBody_);
  tServing = nullptr;
  server_.HandlerEnds(this);
}

// Back on the strand after the worker ran the handler.
void RpcSession::OnHandled() {
  if (state_ != State::kHandling) return;
  if (Write(std::move(answer_), false)) ProcessInput();
}

bool RpcSession::OnHello(const std::uint8_t* body, std::size_t size) {
  std::string service;
  std::string clientName;
  if (!rpc::ParseHello(body, size, &service, &clientName)) {
    End("malformed HELLO");
    return false;
  }
  if (!IEquals(service, server_.service_)) {
    TraceWarning(kServerSource, "RPC %s: HELLO for service %s refused", peer_.c_str(),
                 service.c_str());
    Write(rpc::BuildFrame({rpc::FrameKind::kHelloRefused}), true);
    return false;
  }
  helloDone_ = true;
  Trace(kServerSource, nullptr, nullptr, kTraceServer, kLevelDetail,
        "RPC client %u connected from %s (%s)", clientId_, peer_.c_str(), clientName.c_str());
  CallSafely([&] { server_.owner_.onClientConnected(clientId_); });
  return Write(rpc::BuildFrame({rpc::FrameKind::kHelloAck, 0, clientId_}), false);
}

template <typename F>
void RpcSession::CallSafely(F&& call) {
  try {
    call();
  } catch (...) {
    TraceWarning(kServerSource, "RPC client %u: a handler threw an exception", clientId_);
  }
}

std::vector<std::uint8_t> RpcSession::Dispatch(const rpc::FrameHeader& frame,
                                               const std::uint8_t* body) {
  try {
    return DispatchUnsafe(frame, body);
  } catch (...) {  // no memory for the answer: the request fails
    rpc::FrameHeader answer{frame.kind == rpc::FrameKind::kStringRequest
                                ? rpc::FrameKind::kStringAnswer
                                : rpc::FrameKind::kDataAnswer,
                            0, frame.dataId, E_OUTOFMEMORY};
    return rpc::BuildFrame(answer);
  }
}

std::vector<std::uint8_t> RpcSession::DispatchUnsafe(const rpc::FrameHeader& frame,
                                                     const std::uint8_t* body) {
  tResultSlot = ResultSlot{};
  bool handled = false;
  rpc::FrameHeader answer;
  answer.dataId = frame.dataId;
  const std::uint32_t maxBody = server_.settings_.maxFrameBytes;
  if (frame.kind == rpc::FrameKind::kStringRequest) {
    answer.kind = rpc::FrameKind::kStringAnswer;
    AnswerText text;
    const std::string request(reinterpret_cast<const char*>(body), frame.length);
    CallSafely(
        [&] { handled = server_.owner_.onReceiveString(clientId_, frame.dataId, request, &text); });
    Finish(handled, &answer);
    std::string answerText;
    if (text.has_value()) {
      answerText = std::move(text.value());
      answer.flags |= rpc::kFlagAnswerPresent;
    }
    if (answerText.size() > maxBody) {
      TraceWarning(kServerSource, "RPC client %u: answer of %zu bytes above the maximum", clientId_,
                   answerText.size());
      answerText.clear();
      answer.flags &= static_cast<std::uint16_t>(~rpc::kFlagAnswerPresent);
      answer.result = E_FAIL;
    }
    return rpc::BuildFrame(answer, answerText);
  }
  answer.kind = rpc::FrameKind::kDataAnswer;
  ByteBlock block;
  CallSafely([&] {
    handled = server_.owner_.onReceiveData(clientId_, frame.dataId, body, frame.length, &block);
  });
  Finish(handled, &answer);
  if (block.size() > maxBody) {
    TraceWarning(kServerSource, "RPC client %u: answer of %zu bytes above the maximum", clientId_,
                 block.size());
    block.clear();
    answer.result = E_FAIL;
  }
  if (!block.empty()) answer.flags |= rpc::kFlagAnswerPresent;
  return rpc::BuildFrame(answer, block.data(), block.size());
}

void RpcSession::Finish(bool handled, rpc::FrameHeader* answer) {
  if (handled) answer->flags |= rpc::kFlagHandlerTrue;
  answer->result = tResultSlot.stored ? tResultSlot.value : (handled ? S_OK : E_FAIL);
  tResultSlot = ResultSlot{};
}

// Writes a frame at once as far as the socket takes it, and the rest when the socket is
// ready for it. Then the session ends (endAfter), sends CLOSE (stop requested) or reads on.
// True when the frame went out at once and the caller goes on reading.
bool RpcSession::Write(std::vector<std::uint8_t> frame, bool endAfter) {
  state_ = State::kWriting;
  out_ = std::move(frame);
  outDone_ = 0;
  endAfter_ = endAfter;
  if (SendOut()) return AfterWrite(endAfter);
  if (state_ == State::kWriting)
    SetDeadline(std::chrono::milliseconds(server_.settings_.callTimeoutMs));
  return false;
}

// Sends out_ from outDone_ as far as the socket takes it; waits for the socket otherwise
// (ResumeSend). True when all of it is on the socket; false when it waits or the session
// ended.
bool RpcSession::SendOut() {
  while (outDone_ < out_.size() || stream_.HasUnsent()) {
    std::size_t wrote = 0;
    const Step step = outDone_ < out_.size()
                          ? stream_.Write(out_.data() + outDone_, out_.size() - outDone_, &wrote)
                          : stream_.Flush();
    if (step == Step::kDone) {
      outDone_ += wrote;
      continue;
    }
    if (!AwaitSocket(step, &RpcSession::ResumeSend))
      End(state_ == State::kClosing ? nullptr : "answer could not be written");
    return false;
  }
  return true;
}

void RpcSession::ResumeSend() {
  if (!SendOut()) return;
  if (state_ == State::kClosing)
    CloseSent();
  else if (AfterWrite(endAfter_))
    ProcessInput();
}

bool RpcSession::AfterWrite(bool endAfter) {
  if (out_.capacity() > RpcFrameReader::kLargeBuffer) {
    std::vector<std::uint8_t>().swap(out_);
    LargeBufferFreed();
  }
  if (endAfter || server_.abandoned_) {
    End(nullptr);
    return false;
  }
  if (stopRequested_) {
    SendCloseAndEnd();
    return false;
  }
  state_ = State::kReading;
  return true;
}

// CLOSE, then the sending side shut and whatever still arrives discarded until the peer
// closes or the drain time ends. Nothing read after CLOSE is ever served (nor decrypted: the
// drain reads the TCP socket).
void RpcSession::SendCloseAndEnd() {
  state_ = State::kClosing;
  input_.Release();  // nothing read is served any more
  std::error_code ignored;
  stream_.socket().cancel(ignored);
  out_ = rpc::BuildFrame({rpc::FrameKind::kClose});
  SetDeadline(stopRequested_ ? kDrainWhenStopping : kDrainAfterClose);
  outDone_ = 0;
  if (SendOut()) CloseSent();
}

void RpcSession::CloseSent() {
  std::error_code shutdownError;
  stream_.socket().shutdown(asio::socket_base::shutdown_send, shutdownError);
  Drain();
}

void RpcSession::Drain() {
  stream_.socket().async_read_some(asio::buffer(drain_),
                                   [self = shared_from_this()](std::error_code error, std::size_t) {
                                     if (self->state_ != State::kClosing) return;
                                     if (error)
                                       self->End(nullptr);
                                     else
                                       self->Drain();
                                   });
}

// Closes the connection; a reason is traced as a warning.
void RpcSession::End(const char* reason) {
  if (state_ == State::kClosed) return;
  state_ = State::kClosed;
  if (reason != nullptr)
    TraceWarning(kServerSource, "RPC %s: %s; connection closed", peer_.c_str(), reason);
  CancelTimer();
  RpcConnectionSlots::Instance().Release(ticket_);  // before the descriptor may be reused
  std::error_code ignored;
  stream_.socket().shutdown(asio::socket_base::shutdown_both, ignored);
  stream_.socket().close(ignored);
  stream_.ForgetTls();  // its socket is gone
  input_.Release();
  std::vector<std::uint8_t>().swap(out_);
  if (helloDone_ && !server_.abandoned_)
    CallSafely([&] { server_.owner_.onClientDisconnected(clientId_); });
}

}  // namespace qx
