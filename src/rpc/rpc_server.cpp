// rpc_server.cpp - CRPCServerW on asio: an acceptor and one session per connection on a pool of
// I/O threads, and the request handlers on a bounded pool of worker threads.
//
// A session reads what the socket holds and checks each frame header before it makes room for
// the body. A complete request is handled on the I/O thread that read it while at least one
// other I/O thread stays free (no hand-off, no context switch); otherwise it goes to the handler
// pool (HandlerThreads, HandlerQueue), and when the pool's queue is full it is answered at once
// with RPC_E_SERVERCALL_RETRYLATER and a warning. So however slow the handlers are, one I/O
// thread always accepts, runs the timers and moves every other session's bytes. The session
// reads nothing more until the answer has gone out, so one connection's requests are served in
// order and several connections in parallel. Each session runs on a strand of its own.
//
// Deadlines hold for a whole exchange, not for the gaps between bytes: HELLO must be complete
// within the connect timeout of the connection's start, every request frame within the call
// timeout of its first byte, and an answer must be taken within the call timeout. A HELLO
// frame holds at most rpc::kMaxHelloBytes. A session's input buffer grows with the bytes of a
// large frame as they arrive, and what it holds beyond kReadChunk counts against the server's
// buffer budget (BufferBudgetBytes across all its sessions), step by step: a header alone
// costs nothing, whatever it announces. One session may hold a quarter of the budget, and
// never more than MaxFrameBytes; a frame beyond that share is refused at its header, and a
// step beyond what is left of the budget ends its connection, with a warning either way. A
// session gives its large buffers back when their frame is done, all of them when it ends, and
// freed memory goes back to the system at most once a second.
//
// Connections whose TLS handshake is not done are bounded per source address and in total,
// and all connections of the process's servers stay below its descriptor limit
// (rpc_connection_slots.h): a new connection evicts the oldest unauthenticated one rather than
// being refused, and when accept finds no descriptor the oldest unauthenticated ones make room
// and the accept is retried after kDescriptorRetryDelay. Evictions and accept failures are
// traced at most once per kCountTraceInterval, with their count. A bad frame, a connection closed
// mid-frame or a missed deadline ends that connection only, with a warning. A session idle for
// twice the client's idle drop (kept connections are dropped by the client first) sends CLOSE,
// shuts its sending side and discards what still arrives until the peer closes: the client learns
// that a request it may just have sent was not run.
//
// Ownership: CRPCServerW owns RpcServerImpl, which owns one RpcServing for each start: the
// io_context, acceptor, I/O threads, handler pool and sessions. Sessions are shared by their
// pending operations and by the job a worker runs, and registered (weakly) with the RpcServing.
// stopServer runs once; a concurrent caller waits until the first has finished. It closes the
// acceptor, asks every session to end (idle ones send CLOSE, busy ones end after their answer)
// and waits for them at most StopGraceMs, then stops the I/O threads and the handler pool. A
// handler still running then (on either) is traced and left behind: its RpcServing is kept, never
// destroyed, so that the handler may still return into it; the handler's own object (the
// CRPCServerW subclass) is its owner's to keep, or the process exits (RpcHandlersLeftRunning).
// Every session is TLS 1.3 keyed by the cluster key (rpc_tls.h): an RpcTlsSession over the
// session's non-blocking socket, driven on the session's strand only (so no two threads ever
// use its SSL object). Each TLS step does what the socket allows at once; when it waits, the
// socket's async_wait for reading or writing resumes it. So a TLS answer is written at once,
// whole, where a plain one is, and a request is read as soon as its records are there, with no
// extra pass through the I/O threads. The handshake comes first and must end, like HELLO,
// within the connect timeout of the connection's start. A peer that fails it (no key of the
// ring, a wrong one, garbage instead of a ClientHello) loses its connection with a
// rate-limited warning; the others are served as before. The benchmark switch of
// rpc_internal.h makes new sessions plain TCP instead. startServer and stopServer may be called
// from any thread but not from a handler.
#include <algorithm>
#include <array>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/text.h"
#include "platform/heap_memory.h"
#include "rpc/rpc.h"
#include "rpc/rpc_connection_slots.h"
#include "rpc/rpc_frame.h"
#include "rpc/rpc_handler_pool.h"
#include "rpc/rpc_internal.h"
#include "rpc/rpc_settings.h"
#include "rpc/rpc_tls.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kServerSource("RemoteServer");

using SteadyClock = std::chrono::steady_clock;

constexpr std::uint32_t kMaxServerThreads = 64;
constexpr std::uint32_t kMaxHandlerThreads = 256;
// Every session reads into a buffer of this size; what a buffer holds beyond it counts against
// the buffer budget. A frame larger than it grows the buffer as its bytes arrive, so a header
// that announces a large body costs nothing until the bytes come.
constexpr std::size_t kReadChunk = 16 * 1024;
// A buffer above this size is given back when its frame is done.
constexpr std::size_t kLargeBuffer = 1024 * 1024;
constexpr auto kTrimInterval = std::chrono::seconds(1);
constexpr auto kDrainAfterClose = std::chrono::milliseconds(1000);
constexpr auto kDrainWhenStopping = std::chrono::milliseconds(100);
// How long stop waits for sessions that run no handler (an answer still being written).
constexpr auto kStopWaitForSessions = std::chrono::milliseconds(2000);
constexpr auto kStopPollInterval = std::chrono::milliseconds(50);
constexpr auto kMinIdleClose = std::chrono::milliseconds(1000);
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
// After accept found no descriptor, and some were freed.
constexpr auto kDescriptorRetryDelay = std::chrono::milliseconds(5);
constexpr auto kCountTraceInterval = std::chrono::seconds(10);
// TLS records read in a row before the session lets the other sessions of its I/O thread run.
constexpr int kTlsReadsInARow = 64;

struct ResultSlot {
  bool stored = false;
  HRESULT value = S_OK;
};
thread_local ResultSlot tResultSlot;
// The serving state whose I/O thread or handler this thread runs, if any.
thread_local const void* tServingState = nullptr;

// Handlers that a stop left running, in this process.
std::atomic<std::size_t> gHandlersLeftRunning{0};

std::string PeerText(const asio::ip::tcp::socket& socket) {
  std::error_code error;
  const auto peer = socket.remote_endpoint(error);
  if (error) return "?";
  return peer.address().to_string() + ":" + std::to_string(peer.port());
}

// Gives freed heap memory back after a large buffer went, at most once per kTrimInterval.
void LargeBufferFreed() {
  static std::atomic<std::int64_t> lastTrim{0};
  const std::int64_t now = SteadyClock::now().time_since_epoch().count();
  std::int64_t last = lastTrim.load(std::memory_order_relaxed);
  if (now - last < std::chrono::duration_cast<SteadyClock::duration>(kTrimInterval).count()) return;
  if (!lastTrim.compare_exchange_strong(last, now, std::memory_order_relaxed)) return;
  ReturnFreeHeapMemory();
}

// An event that may come thousands of times a second, traced at most once per
// kCountTraceInterval with how often it came since the last trace.
class CountedTrace {
 public:
  // True when the caller traces now; *count then tells how many events the trace covers.
  bool Add(std::size_t events, std::uint64_t* count) {
    const std::uint64_t total = count_.fetch_add(events) + events;
    const std::int64_t now = SteadyClock::now().time_since_epoch().count();
    std::int64_t last = last_.load(std::memory_order_relaxed);
    if (last != 0 &&
        now - last < std::chrono::duration_cast<SteadyClock::duration>(kCountTraceInterval).count())
      return false;
    if (!last_.compare_exchange_strong(last, now, std::memory_order_relaxed)) return false;
    *count = total;
    count_.fetch_sub(total);
    return true;
  }

 private:
  std::atomic<std::uint64_t> count_{0};
  std::atomic<std::int64_t> last_{0};
};

CountedTrace gEvictionTrace;
CountedTrace gAcceptFailureTrace;
CountedTrace gFullTrace;

void TraceEvictions(std::size_t evicted) {
  std::uint64_t count = 0;
  if (evicted == 0 || !gEvictionTrace.Add(evicted, &count)) return;
  const RpcConnectionCaps caps = RpcConnectionSlots::Instance().caps();
  TraceWarning(kServerSource,
               "RPC: %llu connections without a finished TLS handshake closed to make room for "
               "newer ones (at most %zu such connections, %zu from one address, %zu "
               "connections in all)",
               static_cast<unsigned long long>(count), caps.pending, caps.pendingPerSource,
               caps.connections);
}

}  // namespace

class RpcSession;

// Everything of one running server: listening socket, I/O threads, handler pool, sessions.
// Created by a start and destroyed by its stop, unless a handler outlived the stop.
class RpcServing {
 public:
  RpcServing(CRPCServerW& owner, std::string_view service, const RpcSettings& settings);

  // Listens and starts the threads; false (traced) when the address cannot be used.
  bool Start(std::uint16_t wantedPort);
  // True when everything was joined and the object may be destroyed.
  bool Stop(SteadyClock::time_point graceDeadline) EXCLUDES(mutex_);

  std::uint16_t port() const { return port_; }

  // The buffer budget across the sessions: false when bytes do not fit what is left.
  bool ReserveBuffer(std::size_t bytes);
  // What one session may hold of the budget: a quarter of it, at most the largest frame.
  std::size_t shareBytes() const { return shareBytes_; }
  void ReleaseBuffer(std::size_t bytes) { bufferUsed_.fetch_sub(bytes); }

  void SessionEnded(std::uint64_t serial) EXCLUDES(mutex_);

  // True when the calling I/O thread may run a handler itself: another I/O thread stays free.
  // A true answer is given back with ReturnInlineSlot.
  bool TakeInlineSlot() {
    if (ioInHandlers_.fetch_add(1) + 1 < ioThreads_) return true;
    ioInHandlers_.fetch_sub(1);
    return false;
  }
  void ReturnInlineSlot() { ioInHandlers_.fetch_sub(1); }
  // The handlers running now, wherever they run, for the stop.
  void HandlerBegins(const RpcSession* session) EXCLUDES(mutex_);
  void HandlerEnds(const RpcSession* session) EXCLUDES(mutex_);

  CRPCServerW& owner_;
  const std::string service_;  // the endpoint name a HELLO must name
  const RpcSettings settings_;
  const std::chrono::milliseconds idleClose_;
  std::atomic<bool> stopping_{false};
  // The stop left a handler running and returned: the owner may be gone. Sessions call into it
  // no more, and end once the left handler's answer is written.
  std::atomic<bool> abandoned_{false};
  std::unique_ptr<RpcHandlerPool> handlers_;

 private:
  void Accept();
  void AcceptFailed(const std::error_code& error);

  Mutex mutex_;
  CondVar changed_{&mutex_};  // a session, handler or I/O thread ended
  std::map<std::uint64_t, std::weak_ptr<RpcSession>> sessions_ GUARDED_BY(mutex_);
  std::uint64_t nextSerial_ GUARDED_BY(mutex_) = 1;
  std::uint16_t nextClientId_ GUARDED_BY(mutex_) = 0;
  std::vector<const RpcSession*> handling_ GUARDED_BY(mutex_);
  std::vector<bool> ioExited_ GUARDED_BY(mutex_);
  std::atomic<std::uint64_t> bufferUsed_{0};
  const std::size_t shareBytes_;
  std::atomic<std::uint32_t> ioInHandlers_{0};
  std::uint32_t ioThreads_ = 0;

  std::unique_ptr<asio::io_context> io_;
  std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  std::unique_ptr<asio::steady_timer> acceptRetry_;
  std::vector<std::thread> threads_;
  std::uint16_t port_ = 0;
};

class RpcSession final : public std::enable_shared_from_this<RpcSession>, public RpcHandlerJob {
 public:
  RpcSession(RpcServing& server, asio::ip::tcp::socket socket, std::uint64_t serial,
             std::uint16_t clientId)
      : server_(server),
        socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        serial_(serial),
        clientId_(clientId),
        peer_(PeerText(socket_)),
        useTls_(!RpcPlaintextForBenchmark()) {}
  ~RpcSession() override {
    ReleaseCharge();
    RpcConnectionSlots::Instance().Release(ticket_);
    server_.SessionEnded(serial_);
  }

  // On the acceptor's strand, before Start: takes a slot of the process's connections, as a
  // pending one until the handshake is done, evicting older pending ones as the caps ask.
  // False when every slot is held by an authenticated session.
  bool Admit() {
    std::error_code error;
    const auto peer = socket_.remote_endpoint(error);
    const std::uint32_t source =
        error || !peer.address().is_v4() ? 0 : peer.address().to_v4().to_uint();
    std::size_t evicted = 0;
    // Asked under the slots' lock while the connection is pending: End and the destructor
    // release the slot before the socket closes, so the socket is still this connection's.
    auto hasSpoken = [this] {
      std::error_code failed;
      return socket_.available(failed) != 0 && !failed;
    };
    const bool admitted = RpcConnectionSlots::Instance().Admit(
        &server_, source, hasSpoken,
        [weak = weak_from_this(), executor = socket_.get_executor()] {
          asio::post(executor, [weak] {
            if (auto self = weak.lock()) self->Evicted();
          });
        },
        &ticket_, &evicted);
    TraceEvictions(evicted);
    return admitted;
  }

  void Start() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
      std::error_code ignored;
      self->socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
      // Answers are written at once when the socket takes them; only the rest waits.
      self->socket_.non_blocking(true, ignored);
      // The handshake and HELLO must be complete within the connect timeout, however their
      // bytes trickle in.
      self->SetDeadline(std::chrono::milliseconds(self->server_.settings_.connectTimeoutMs));
      if (!self->useTls_) {
        RpcConnectionSlots::Instance().Authenticated(self->ticket_);
        self->ReadMore();
        return;
      }
      self->tls_ = RpcTlsSession::Server(self->socket_.native_handle());
      if (!self->tls_) {
        self->End("no memory for a TLS session");
        return;
      }
      self->Handshake();
    });
  }

  // Ends the session as soon as no request is being served (runs on the session's strand).
  void Shutdown() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
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

  // On a worker thread: runs the handler of the request that ServeFrame handed over. The
  // session's strand touches neither the request nor the answer until OnHandled.
  void RunHandler() override {
    tServingState = &server_;
    Handle();
    tServingState = nullptr;
    try {
      asio::post(socket_.get_executor(), [self = shared_from_this()] { self->OnHandled(); });
    } catch (...) {  // no memory to queue the answer: the session stays until stop
      TraceError(kServerSource, "RPC client %u: the answer could not be queued", clientId_);
    }
  }

  // Who is being served, for the trace of a handler that outlives stop.
  std::string Describe() const {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - handedOver_);
    return Format("client %u from %s, data id %u, for %lld ms", clientId_, peer_.c_str(),
                  request_.dataId, static_cast<long long>(ms.count()));
  }

 private:
  enum class State { kHandshaking, kReading, kHandling, kWriting, kClosing, kClosed };

  // Runs the handshake as far as the socket allows; resumed when the socket is ready.
  void Handshake() {
    state_ = State::kHandshaking;
    if (!spoke_) {
      std::error_code error;
      spoke_ = socket_.available(error) != 0 && !error;
      if (spoke_) RpcConnectionSlots::Instance().Spoke(ticket_);
    }
    const RpcTlsSession::Step step = tls_->Handshake();  // checks that a ring key was used
    if (step == RpcTlsSession::Step::kDone) {
      RpcConnectionSlots::Instance().Authenticated(ticket_);
      ReadMore();
    } else if (!AwaitSocket(step, &RpcSession::Handshake))
      Refuse(tls_->FailureText().c_str());
  }

  // When step waits for the socket: resume runs on the strand once the socket is ready for it
  // (unless the session moved on meanwhile), and the answer is true. One wait at a time.
  bool AwaitSocket(RpcTlsSession::Step step, void (RpcSession::*resume)()) {
    asio::socket_base::wait_type what;
    if (step == RpcTlsSession::Step::kWantRead)
      what = asio::socket_base::wait_read;
    else if (step == RpcTlsSession::Step::kWantWrite)
      what = asio::socket_base::wait_write;
    else
      return false;
    const std::uint64_t generation = ++waitGeneration_;
    const State waiting = state_;
    socket_.async_wait(
        what, [self = shared_from_this(), generation, waiting, resume](std::error_code error) {
          if (generation != self->waitGeneration_ || waiting != self->state_) return;
          if (!error) {
            ((*self).*resume)();
          } else if (error != asio::error::operation_aborted) {
            if (waiting == State::kHandshaking)
              self->Refuse(error.message().c_str());
            else
              self->End(waiting == State::kWriting ? "answer could not be written"
                                                   : "connection failed");
          }
        });
    return true;
  }

  // Newer connections needed the slot of this one, whose peer has not proved a key yet.
  void Evicted() {
    if (state_ == State::kHandshaking) End(nullptr);
  }

  // Ends a session whose peer did not prove a key of the ring; traced at most a few times a
  // second, so that a flood of such peers cannot flood the trace.
  void Refuse(const char* why) {
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
  void SetDeadline(std::chrono::milliseconds after) {
    deadline_ = SteadyClock::now() + after;
    if (!timerArmed_ || deadline_ < timerExpiry_) ArmTimer(deadline_);
  }
  void ArmTimer(SteadyClock::time_point at) {
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
  void CancelTimer() {
    ++timerGeneration_;
    timerArmed_ = false;
    timer_.cancel();
  }

  void OnTimer() {
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
        else if (inEnd_ != inBegin_)
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

  // Room for the next read: kReadChunk, and for a frame whose header has come, a buffer that
  // grows as the frame's bytes arrive: once full, to twice its size (at least kReadChunk more),
  // never beyond the frame. What the buffer holds beyond kReadChunk is charged to the buffer
  // budget at each step, within the session's share. A large buffer goes once nothing is left
  // in it. False when the session ended: a step beyond the budget, or no memory.
  bool MakeRoom() {
    if (inBegin_ == inEnd_) {
      inBegin_ = inEnd_ = 0;
      if (in_.size() > kLargeBuffer) {
        ReleaseInput();
        LargeBufferFreed();
      }
    } else if (inBegin_ != 0 && (needed_ > in_.size() - inBegin_ || inEnd_ == in_.size())) {
      std::memmove(in_.data(), in_.data() + inBegin_, inEnd_ - inBegin_);
      inEnd_ -= inBegin_;
      inBegin_ = 0;
    }
    if (inEnd_ < in_.size()) return true;
    std::size_t want = std::max(kReadChunk, inEnd_ + 1);
    if (needed_ > 0)
      want = std::max(want,
                      std::min(inBegin_ + needed_, std::max(2 * in_.size(), inEnd_ + kReadChunk)));
    return GrowInput(want);
  }

  bool GrowInput(std::size_t size) {
    const std::size_t charge = size > kReadChunk ? size - kReadChunk : 0;
    if (charge > charged_) {
      if (charge > server_.shareBytes() || !server_.ReserveBuffer(charge - charged_)) {
        TraceWarning(kServerSource,
                     "RPC %s: a frame of %zu bytes needs more than is left of the buffer budget "
                     "of %u bytes (at most %zu for one connection); connection closed",
                     peer_.c_str(), needed_, server_.settings_.bufferBudgetBytes,
                     server_.shareBytes());
        End(nullptr);
        return false;
      }
      charged_ = charge;
    }
    try {
      std::vector<std::uint8_t> bigger;
      bigger.reserve(size);  // exactly what is charged, not what the vector's growth would take
      bigger.assign(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(inEnd_));
      bigger.resize(size);
      in_.swap(bigger);
    } catch (const std::bad_alloc&) {
      End("no memory for the frame");
      return false;
    }
    return true;
  }

  // Gives the input buffer and its charge back.
  void ReleaseInput() {
    std::vector<std::uint8_t>().swap(in_);
    inBegin_ = inEnd_ = 0;
    ReleaseCharge();
  }

  void ReleaseCharge() {
    if (charged_ == 0) return;
    server_.ReleaseBuffer(charged_);
    charged_ = 0;
  }

  void ReadMore() {
    if (useTls_) {
      ReadTls();
      return;
    }
    state_ = State::kReading;
    if (!MakeRoom()) return;
    socket_.async_read_some(asio::buffer(in_.data() + inEnd_, in_.size() - inEnd_),
                            [self = shared_from_this()](std::error_code error, std::size_t got) {
                              self->OnRead(error, got);
                            });
  }

  // Decrypts what has come and serves it, until the socket has no more (then waits for it),
  // a request is handed over or an answer waits for the socket. After kTlsReadsInARow records
  // the rest is read in a later turn of the I/O thread, so one busy peer cannot hold it.
  void ReadTls() {
    for (int reads = 0; reads < kTlsReadsInARow; ++reads) {
      state_ = State::kReading;
      if (!MakeRoom()) return;
      std::size_t got = 0;
      const RpcTlsSession::Step step = tls_->Read(in_.data() + inEnd_, in_.size() - inEnd_, &got);
      if (step != RpcTlsSession::Step::kDone) {
        if (!AwaitSocket(step, &RpcSession::ReadTls))
          InputEnded(step == RpcTlsSession::Step::kClosed);
        return;
      }
      inEnd_ += got;
      if (!ServeInput()) return;
    }
    const std::uint64_t generation = ++waitGeneration_;
    asio::post(socket_.get_executor(), [self = shared_from_this(), generation] {
      if (generation == self->waitGeneration_ && self->state_ == State::kReading) self->ReadTls();
    });
  }

  void OnRead(std::error_code error, std::size_t got) {
    if (state_ != State::kReading) return;
    if (error) {
      if (error != asio::error::operation_aborted) InputEnded(error == asio::error::eof);
      return;
    }
    inEnd_ += got;
    ProcessInput();
  }

  // The peer closed its side (closed) or the connection failed.
  void InputEnded(bool closed) {
    if (inBegin_ != inEnd_)
      End("connection closed mid-frame");
    else if (closed)
      End(nullptr);  // the client closed between requests
    else
      End("connection failed");
  }

  void ProcessInput() {
    if (ServeInput()) ReadMore();
  }

  // Serves the complete frames of the input. A request goes to a worker, and the session goes
  // on when its answer has gone out. True when the session reads on at once.
  bool ServeInput() {
    needed_ = 0;
    while (inEnd_ - inBegin_ >= rpc::kFrameHeaderSize) {
      rpc::FrameHeader frame;
      const rpc::FrameCheck check =
          rpc::DecodeHeader(in_.data() + inBegin_, server_.settings_.maxFrameBytes, &frame);
      if (check != rpc::FrameCheck::kOk) {
        End(rpc::FrameCheckText(check));
        return false;
      }
      const bool isHello = frame.kind == rpc::FrameKind::kHello;
      const bool isRequest = frame.kind == rpc::FrameKind::kStringRequest ||
                             frame.kind == rpc::FrameKind::kDataRequest;
      if (helloDone_ ? !isRequest : !isHello) {
        End(helloDone_ ? "unexpected frame kind" : "first frame is not HELLO");
        return false;
      }
      const std::size_t total = rpc::kFrameHeaderSize + frame.length;
      if (total > kReadChunk + server_.shareBytes()) {  // it could never be complete
        TraceWarning(kServerSource,
                     "RPC %s: a frame of %zu bytes exceeds what one connection may buffer (%zu "
                     "bytes of the budget of %u); connection closed",
                     peer_.c_str(), total, server_.shareBytes(),
                     server_.settings_.bufferBudgetBytes);
        End(nullptr);
        return false;
      }
      if (inEnd_ - inBegin_ < total) {
        needed_ = total;
        break;
      }
      const std::uint8_t* body = in_.data() + inBegin_ + rpc::kFrameHeaderSize;
      inBegin_ += total;
      frameTimed_ = false;
      if (!ServeFrame(frame, body)) return false;
    }
    // The deadline of a frame starts with its first byte and is not moved by later ones.
    if (helloDone_) {
      if (inBegin_ == inEnd_) {
        SetDeadline(server_.idleClose_);
      } else if (!frameTimed_) {
        frameTimed_ = true;
        SetDeadline(std::chrono::milliseconds(server_.settings_.callTimeoutMs));
      }
    }
    return true;
  }

  // True when the session goes on reading at once.
  bool ServeFrame(const rpc::FrameHeader& frame, const std::uint8_t* body) {
    if (!helloDone_) return OnHello(body, frame.length);
    if (stopRequested_) {  // not run: the client learns so from CLOSE
      SendCloseAndEnd();
      return false;
    }
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
    TraceWarning(kServerSource,
                 "RPC client %u: every handler thread is busy and %u requests wait; request "
                 "answered with RPC_E_SERVERCALL_RETRYLATER",
                 clientId_, server_.settings_.handlerQueue);
    const rpc::FrameKind kind = frame.kind == rpc::FrameKind::kStringRequest
                                    ? rpc::FrameKind::kStringAnswer
                                    : rpc::FrameKind::kDataAnswer;
    return Write(rpc::BuildFrame({kind, 0, frame.dataId, RPC_E_SERVERCALL_RETRYLATER}), false);
  }

  void Handle() {
    server_.HandlerBegins(this);
    answer_ = Dispatch(request_, requestBody_);
    server_.HandlerEnds(this);
  }

  // Back on the strand after the worker ran the handler.
  void OnHandled() {
    if (state_ != State::kHandling) return;
    if (Write(std::move(answer_), false)) ProcessInput();
  }

  bool OnHello(const std::uint8_t* body, std::size_t size) {
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
  void CallSafely(F&& call) {
    try {
      call();
    } catch (...) {
      TraceWarning(kServerSource, "RPC client %u: a handler threw an exception", clientId_);
    }
  }

  std::vector<std::uint8_t> Dispatch(const rpc::FrameHeader& frame, const std::uint8_t* body) {
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

  std::vector<std::uint8_t> DispatchUnsafe(const rpc::FrameHeader& frame,
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
      CallSafely([&] {
        handled = server_.owner_.onReceiveString(clientId_, frame.dataId, request, &text);
      });
      Finish(handled, &answer);
      std::string answerText;
      if (text.has_value()) {
        answerText = std::move(text.value());
        answer.flags |= rpc::kFlagAnswerPresent;
      }
      if (answerText.size() > maxBody) {
        TraceWarning(kServerSource, "RPC client %u: answer of %zu bytes above the maximum",
                     clientId_, answerText.size());
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

  static void Finish(bool handled, rpc::FrameHeader* answer) {
    if (handled) answer->flags |= rpc::kFlagHandlerTrue;
    answer->result = tResultSlot.stored ? tResultSlot.value : (handled ? S_OK : E_FAIL);
    tResultSlot = ResultSlot{};
  }

  // Writes a frame at once as far as the socket takes it, and the rest when the socket is
  // ready for it. Then the session ends (endAfter), sends CLOSE (stop requested) or reads on.
  // True when the frame went out at once and the caller goes on reading.
  bool Write(std::vector<std::uint8_t> frame, bool endAfter) {
    state_ = State::kWriting;
    out_ = std::move(frame);
    if (useTls_) {
      outDone_ = 0;
      endAfter_ = endAfter;
      if (SendTls()) return AfterWrite(endAfter);
      if (state_ == State::kWriting)
        SetDeadline(std::chrono::milliseconds(server_.settings_.callTimeoutMs));
      return false;
    }
    std::size_t done = 0;
    while (done < out_.size()) {
      std::error_code error;
      const std::size_t wrote =
          socket_.write_some(asio::buffer(out_.data() + done, out_.size() - done), error);
      if (error == asio::error::would_block || error == asio::error::try_again) break;
      if (error) {
        End("answer could not be written");
        return false;
      }
      done += wrote;
    }
    if (done == out_.size()) return AfterWrite(endAfter);
    SetDeadline(std::chrono::milliseconds(server_.settings_.callTimeoutMs));
    asio::async_write(socket_, asio::buffer(out_.data() + done, out_.size() - done),
                      [self = shared_from_this(), endAfter](std::error_code error, std::size_t) {
                        if (self->state_ != State::kWriting) return;
                        if (error) {
                          self->End(error == asio::error::operation_aborted
                                        ? nullptr
                                        : "answer could not be written");
                          return;
                        }
                        if (self->AfterWrite(endAfter)) self->ProcessInput();
                      });
    return false;
  }

  // Encrypts and sends out_ from outDone_ as far as the socket takes it; waits for the socket
  // otherwise (ResumeSend). True when all of it is on the socket; false when it waits or the
  // session ended.
  bool SendTls() {
    while (outDone_ < out_.size() || tls_->HasUnsent()) {
      std::size_t wrote = 0;
      const RpcTlsSession::Step step =
          outDone_ < out_.size()
              ? tls_->Write(out_.data() + outDone_, out_.size() - outDone_, &wrote)
              : tls_->Flush();
      if (step == RpcTlsSession::Step::kDone) {
        outDone_ += wrote;
        continue;
      }
      if (!AwaitSocket(step, &RpcSession::ResumeSend))
        End(state_ == State::kClosing ? nullptr : "answer could not be written");
      return false;
    }
    return true;
  }

  void ResumeSend() {
    if (!SendTls()) return;
    if (state_ == State::kClosing)
      CloseSent();
    else if (AfterWrite(endAfter_))
      ProcessInput();
  }

  bool AfterWrite(bool endAfter) {
    if (out_.capacity() > kLargeBuffer) {
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
  void SendCloseAndEnd() {
    state_ = State::kClosing;
    ReleaseInput();  // nothing read is served any more
    std::error_code ignored;
    socket_.cancel(ignored);
    out_ = rpc::BuildFrame({rpc::FrameKind::kClose});
    SetDeadline(stopRequested_ ? kDrainWhenStopping : kDrainAfterClose);
    if (useTls_) {
      outDone_ = 0;
      if (SendTls()) CloseSent();
      return;
    }
    asio::async_write(socket_, asio::buffer(out_),
                      [self = shared_from_this()](std::error_code error, std::size_t) {
                        if (self->state_ != State::kClosing) return;
                        if (error)
                          self->End(nullptr);
                        else
                          self->CloseSent();
                      });
  }

  void CloseSent() {
    std::error_code shutdownError;
    socket_.shutdown(asio::socket_base::shutdown_send, shutdownError);
    Drain();
  }

  void Drain() {
    socket_.async_read_some(asio::buffer(drain_),
                            [self = shared_from_this()](std::error_code error, std::size_t) {
                              if (self->state_ != State::kClosing) return;
                              if (error)
                                self->End(nullptr);
                              else
                                self->Drain();
                            });
  }

  // Closes the connection; a reason is traced as a warning.
  void End(const char* reason) {
    if (state_ == State::kClosed) return;
    state_ = State::kClosed;
    if (reason != nullptr)
      TraceWarning(kServerSource, "RPC %s: %s; connection closed", peer_.c_str(), reason);
    CancelTimer();
    RpcConnectionSlots::Instance().Release(ticket_);  // before the descriptor may be reused
    std::error_code ignored;
    socket_.shutdown(asio::socket_base::shutdown_both, ignored);
    socket_.close(ignored);
    tls_.reset();  // its socket is gone
    ReleaseInput();
    std::vector<std::uint8_t>().swap(out_);
    if (helloDone_ && !server_.abandoned_)
      CallSafely([&] { server_.owner_.onClientDisconnected(clientId_); });
  }

  RpcServing& server_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  const std::uint64_t serial_;
  std::uint64_t ticket_ = 0;  // its slot (RpcConnectionSlots); set by Admit before Start
  const std::uint16_t clientId_;
  const std::string peer_;
  const bool useTls_;  // false only for the plain sessions of a benchmark
  // Over socket_ from Start to End; used on the strand only.
  std::unique_ptr<RpcTlsSession> tls_;
  std::uint64_t waitGeneration_ = 0;  // the socket wait (or read turn) that is current
  std::uint64_t timerGeneration_ = 0;
  bool timerArmed_ = false;
  SteadyClock::time_point timerExpiry_;
  SteadyClock::time_point deadline_;
  State state_ = State::kHandshaking;
  bool helloDone_ = false;
  bool spoke_ = false;  // the peer has sent bytes of its handshake
  bool stopRequested_ = false;
  bool frameTimed_ = false;       // the deadline of the frame now arriving is set
  std::vector<std::uint8_t> in_;  // received bytes not yet served: [inBegin_, inEnd_)
  std::size_t inBegin_ = 0;
  std::size_t inEnd_ = 0;
  std::size_t needed_ = 0;   // size of the frame whose header has come, while its body comes
  std::size_t charged_ = 0;  // bytes of the buffer budget that in_ holds
  // The request on a worker (set before it is handed over) and the answer the worker made.
  rpc::FrameHeader request_;
  const std::uint8_t* requestBody_ = nullptr;
  SteadyClock::time_point handedOver_;
  std::vector<std::uint8_t> answer_;
  std::vector<std::uint8_t> out_;
  std::size_t outDone_ = 0;  // bytes of out_ already given to TLS
  bool endAfter_ = false;    // the session ends once out_ has gone
  std::array<std::uint8_t, 4096> drain_{};
};

RpcServing::RpcServing(CRPCServerW& owner, std::string_view service, const RpcSettings& settings)
    : owner_(owner),
      service_(service),
      settings_(settings),
      // Kept client connections are dropped after idleConnectionMs; the server waits longer.
      idleClose_(std::max(kMinIdleClose,
                          std::chrono::milliseconds(2 * std::uint64_t{settings.idleConnectionMs}))),
      shareBytes_(std::min<std::size_t>(settings.bufferBudgetBytes / 4, settings.maxFrameBytes)) {}

bool RpcServing::Start(std::uint16_t wantedPort) {
  std::error_code error;
  const asio::ip::address_v4 address = asio::ip::make_address_v4(settings_.listenAddress, error);
  if (error) {
    TraceError(kServerSource, "RPC: listen address \"%s\" is not an IPv4 address",
               settings_.listenAddress.c_str());
    return false;
  }
  if (RpcServerTlsContext() == nullptr) {
    TraceError(kServerSource, "RPC: no TLS context for %s", service_.c_str());
    return false;
  }
  io_ = std::make_unique<asio::io_context>();
  acceptor_ = std::make_unique<asio::ip::tcp::acceptor>(asio::make_strand(*io_));
  const asio::ip::tcp::endpoint endpoint(address, wantedPort);
  acceptor_->open(endpoint.protocol(), error);
  if (!error) acceptor_->set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor_->bind(endpoint, error);
  if (!error) acceptor_->listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    TraceWarning(kServerSource, "RPC: cannot listen on %s:%u for %s: %s",
                 settings_.listenAddress.c_str(), wantedPort, service_.c_str(),
                 error.message().c_str());
    return false;
  }
  port_ = acceptor_->local_endpoint(error).port();
  // The caps follow the descriptor limit that the process has now.
  RpcConnectionSlots::Instance().SetCaps(CapsForThisProcess());
  acceptRetry_ = std::make_unique<asio::steady_timer>(acceptor_->get_executor());
  work_ = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(
      io_->get_executor());
  handlers_ = std::make_unique<RpcHandlerPool>(
      std::clamp<std::uint32_t>(settings_.handlerThreads, 1, kMaxHandlerThreads),
      settings_.handlerQueue);
  Accept();
  ioThreads_ = std::clamp<std::uint32_t>(settings_.serverThreads, 1, kMaxServerThreads);
  {
    MutexLock lock(&mutex_);
    ioExited_.assign(ioThreads_, false);
  }
  for (std::uint32_t i = 0; i < ioThreads_; ++i) {
    threads_.emplace_back([this, i] {
      tServingState = this;
      for (;;) {
        try {
          io_->run();
          break;
        } catch (const std::exception& e) {
          TraceError(kServerSource, "RPC: I/O thread caught %s", e.what());
        }
      }
      tServingState = nullptr;
      MutexLock lock(&mutex_);
      ioExited_[i] = true;
      changed_.SignalAll();
    });
  }
  return true;
}

void RpcServing::Accept() {
  acceptor_->async_accept(
      asio::make_strand(*io_), [this](std::error_code error, asio::ip::tcp::socket socket) {
        if (stopping_ || error == asio::error::operation_aborted) return;
        if (error) {
          AcceptFailed(error);
          return;
        }
        std::shared_ptr<RpcSession> session;
        bool noMemory = false;
        {
          MutexLock lock(&mutex_);
          if (stopping_) return;
          if (++nextClientId_ == 0) ++nextClientId_;
          const std::uint64_t serial = nextSerial_++;
          try {
            session = std::make_shared<RpcSession>(*this, std::move(socket), serial, nextClientId_);
            sessions_.emplace(serial, session);
          } catch (...) {  // no memory for the session
            noMemory = true;
          }
        }
        if (noMemory) {
          session.reset();  // outside the lock: its end takes it
          TraceWarning(kServerSource, "RPC: no memory for a new connection; connection refused");
          std::error_code ignored;
          socket.close(ignored);
        } else if (session->Admit()) {
          session->Start();
        } else {
          std::uint64_t count = 0;
          if (gFullTrace.Add(1, &count))
            TraceWarning(kServerSource,
                         "RPC: %zu connections already open, all authenticated; %llu new "
                         "connections refused",
                         RpcConnectionSlots::Instance().caps().connections,
                         static_cast<unsigned long long>(count));
          session.reset();  // its end closes the socket
        }
        Accept();
      });
}

// Out of descriptors, the oldest connections without a finished handshake make room, and the
// accept is tried again soon: neither a spin nor a stall. Other failures wait longer.
void RpcServing::AcceptFailed(const std::error_code& error) {
  const bool noDescriptors =
      error == asio::error::no_descriptors || error == std::errc::too_many_files_open_in_system;
  std::size_t evicted = 0;
  if (noDescriptors) evicted = RpcConnectionSlots::Instance().DescriptorsExhausted();
  std::uint64_t count = 0;
  if (gAcceptFailureTrace.Add(1, &count))
    TraceWarning(kServerSource, "RPC: accept failed %llu times lately: %s",
                 static_cast<unsigned long long>(count), error.message().c_str());
  TraceEvictions(evicted);
  acceptRetry_->expires_after(noDescriptors ? kDescriptorRetryDelay : kAcceptRetryDelay);
  acceptRetry_->async_wait([this](std::error_code waitError) {
    if (!waitError && !stopping_) Accept();
  });
}

bool RpcServing::ReserveBuffer(std::size_t bytes) {
  std::uint64_t used = bufferUsed_.load();
  do {
    if (used + bytes > settings_.bufferBudgetBytes) return false;
  } while (!bufferUsed_.compare_exchange_weak(used, used + bytes));
  return true;
}

void RpcServing::SessionEnded(std::uint64_t serial) {
  MutexLock lock(&mutex_);
  sessions_.erase(serial);
  changed_.SignalAll();
}

void RpcServing::HandlerBegins(const RpcSession* session) {
  MutexLock lock(&mutex_);
  handling_.push_back(session);
}

void RpcServing::HandlerEnds(const RpcSession* session) {
  MutexLock lock(&mutex_);
  auto it = std::find(handling_.begin(), handling_.end(), session);
  if (it != handling_.end()) {
    *it = handling_.back();
    handling_.pop_back();
  }
  changed_.SignalAll();
}

bool RpcServing::Stop(SteadyClock::time_point graceDeadline) {
  const auto begin = SteadyClock::now();
  stopping_ = true;
  asio::post(acceptor_->get_executor(), [this] {
    std::error_code ignored;
    acceptor_->close(ignored);
    acceptRetry_->cancel();
  });
  std::vector<std::shared_ptr<RpcSession>> live;
  {
    MutexLock lock(&mutex_);
    for (auto& [serial, weak] : sessions_) live.push_back(weak.lock());
  }
  // A session may end while we hold it; its destructor takes the lock.
  for (auto& session : live)
    if (session) session->Shutdown();
  live.clear();
  // Sessions end after their answer; one that runs no handler gets kStopWaitForSessions, and
  // a running handler gets the whole grace.
  {
    MutexLock lock(&mutex_);
    while (!sessions_.empty()) {
      const auto now = SteadyClock::now();
      if (now >= graceDeadline) break;
      if (now - begin >= kStopWaitForSessions && handling_.empty() && handlers_->Busy() == 0) break;
      changed_.WaitUntil(std::min(graceDeadline, now + kStopPollInterval));
    }
  }

  // I/O threads end at once, unless they run a handler.
  work_.reset();
  io_->stop();
  {
    MutexLock lock(&mutex_);
    while (std::find(ioExited_.begin(), ioExited_.end(), false) != ioExited_.end()) {
      if (!changed_.WaitUntil(graceDeadline) && SteadyClock::now() >= graceDeadline) break;
    }
  }
  bool joined = true;
  for (std::size_t i = 0; i < threads_.size(); ++i) {
    bool exited;
    {
      MutexLock lock(&mutex_);
      exited = ioExited_[i];
    }
    if (exited) {
      threads_[i].join();
    } else {
      threads_[i].detach();
      joined = false;
    }
  }
  threads_.clear();
  // No accept runs any more: no eviction may reach this io_context from now on.
  RpcConnectionSlots::Instance().ForgetOwner(this);
  if (!handlers_->Stop(graceDeadline)) joined = false;

  if (!joined) {
    abandoned_ = true;
    MutexLock lock(&mutex_);
    for (const RpcSession* session : handling_)
      TraceError(kServerSource, "RPC %s: stop left a handler running (%s)", service_.c_str(),
                 session->Describe().c_str());
    gHandlersLeftRunning += handling_.size();
    return false;
  }
  handlers_.reset();
  // Destroying the io_context destroys the handlers still queued and the sessions they hold.
  acceptRetry_.reset();
  acceptor_.reset();
  io_.reset();
  MutexLock lock(&mutex_);
  sessions_.clear();
  return true;
}

namespace {

// Serving states that a stop had to leave to a running handler: kept and never destroyed, so
// that the handler can still return into them, even during the process's exit.
void KeepForever(std::unique_ptr<RpcServing> serving) {
  struct Kept {
    Mutex mutex;
    std::vector<std::unique_ptr<RpcServing>> list GUARDED_BY(mutex);
  };
  static Kept& kept = *std::make_unique<Kept>().release();
  MutexLock lock(&kept.mutex);
  kept.list.push_back(std::move(serving));
}

}  // namespace

// Start and stop of one CRPCServerW: a stop runs once, and whoever comes while it runs waits.
class RpcServerImpl {
 public:
  explicit RpcServerImpl(CRPCServerW& owner) : owner_(owner) {}
  ~RpcServerImpl() { Stop(); }

  bool Start(std::string_view endpointName) EXCLUDES(mutex_);
  bool Stop() EXCLUDES(mutex_);
  bool running() const { return running_.load(); }
  std::uint16_t port() const { return port_.load(); }

 private:
  enum class Phase { kStopped, kRunning, kStopping };

  void WaitWhileStoppingLocked() REQUIRES(mutex_) {
    while (phase_ == Phase::kStopping) phaseChanged_.Wait();
  }

  CRPCServerW& owner_;
  Mutex mutex_;
  CondVar phaseChanged_{&mutex_};
  Phase phase_ GUARDED_BY(mutex_) = Phase::kStopped;
  std::unique_ptr<RpcServing> serving_ GUARDED_BY(mutex_);
  std::atomic<bool> running_{false};
  std::atomic<std::uint16_t> port_{0};
};

bool RpcServerImpl::Start(std::string_view endpointName) {
  MutexLock lock(&mutex_);
  WaitWhileStoppingLocked();
  if (phase_ != Phase::kStopped) return false;
  auto serving = std::make_unique<RpcServing>(owner_, endpointName, ReadRpcSettings());
  // A failed start has no thread and no session yet: the state simply goes.
  if (!serving->Start(ServicePort(endpointName).value_or(0))) return false;
  port_ = serving->port();
  serving_ = std::move(serving);
  phase_ = Phase::kRunning;
  running_ = true;
  return true;
}

bool RpcServerImpl::Stop() {
  RpcServing* serving = nullptr;
  SteadyClock::time_point graceDeadline;
  {
    MutexLock lock(&mutex_);
    WaitWhileStoppingLocked();
    if (phase_ != Phase::kRunning) return false;
    if (tServingState == serving_.get()) {
      TraceError(kServerSource, "RPC: stopServer called from a request handler");
      return false;
    }
    phase_ = Phase::kStopping;
    running_ = false;
    serving = serving_.get();
    graceDeadline = SteadyClock::now() + std::chrono::milliseconds(serving->settings_.stopGraceMs);
  }
  // Only this thread touches the serving state while the phase is kStopping.
  const bool finished = serving->Stop(graceDeadline);
  MutexLock lock(&mutex_);
  if (finished)
    serving_.reset();
  else
    KeepForever(std::move(serving_));
  port_ = 0;
  phase_ = Phase::kStopped;
  phaseChanged_.SignalAll();
  return true;
}

std::size_t RpcHandlersLeftRunning() { return gHandlersLeftRunning.load(); }

CRPCServerW::CRPCServerW() : impl_(std::make_unique<RpcServerImpl>(*this)) {}

CRPCServerW::~CRPCServerW() { impl_->Stop(); }

bool CRPCServerW::startServer(std::string_view endpointName, int /*flags*/) {
  return impl_->Start(endpointName);
}

bool CRPCServerW::stopServer() { return impl_->Stop(); }

bool CRPCServerW::onReceiveData(std::uint16_t, std::uint32_t, const std::uint8_t*, std::size_t,
                                ByteBlock*) {
  return false;
}

bool CRPCServerW::onReceiveString(std::uint16_t, std::uint32_t, const std::string&, AnswerText*) {
  return false;
}

bool CRPCServerW::onReceiveAnsiStr(std::uint16_t, std::uint32_t, const std::string&) {
  return false;
}

void CRPCServerW::onClientConnected(std::uint16_t) {}
void CRPCServerW::onClientDisconnected(std::uint16_t) {}
void CRPCServerW::onClientRunDown(std::uint16_t) {}

bool CRPCServerW::IsRunning() const { return impl_->running(); }

std::uint16_t CRPCServerW::port() const { return impl_->port(); }

void CRPCServerW::SetResultSlot(HRESULT result) { tResultSlot = ResultSlot{true, result}; }

}  // namespace qx
