// rpc_server.cpp - CRPCServerW on asio: an acceptor, one session per connection, a fixed pool of
// threads running the io_context.
//
// A session reads what the socket holds, checks each frame header before it makes room for
// the body, calls the handler on the pool thread and writes the answer; then it serves the
// next frame. Each session runs on a strand of its own, so one connection's requests are
// served in order and several connections in parallel.
// A bad frame, a connection closed mid-frame, a client silent past the connect timeout, or a
// body or answer stalled past the call timeout ends that connection only, with a warning.
// A session idle for twice the client's idle drop (kept connections are dropped by the client
// first) sends CLOSE, shuts its sending side and discards what still arrives until the peer
// closes: the client learns that a request it may just have sent was not run.
//
// Ownership: CRPCServerW owns RpcServerImpl, which owns the io_context, the acceptor and the
// threads; sessions are shared by their pending operations and registered (weakly) with the
// server. stopServer closes the acceptor, asks every session to end (idle ones send CLOSE,
// busy ones end after their answer), waits a bounded time for them, then stops the io_context
// and joins the threads, which waits for handlers still running. Network mode would replace
// the session's socket by a TLS stream keyed by the cluster key (see SessionSocket).
// startServer and stopServer may be called from any thread but not from a handler.
#include <array>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "common/text.h"
#include "registry/store/settings.h"
#include "rpc/rpc.h"
#include "rpc/rpc_frame.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kServerSource("RemoteServer");

constexpr std::size_t kMaxSessions = 1024;
constexpr std::uint32_t kMaxServerThreads = 64;
// Bodies grow as their bytes arrive, so a header that announces a large body costs nothing
// until the bytes come.
constexpr std::size_t kBodyChunk = 256 * 1024;
constexpr auto kDrainAfterClose = std::chrono::milliseconds(1000);
constexpr auto kDrainWhenStopping = std::chrono::milliseconds(100);
constexpr auto kStopWaitForSessions = std::chrono::milliseconds(2000);
constexpr auto kMinIdleClose = std::chrono::milliseconds(1000);
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

using SessionSocket = asio::ip::tcp::socket;  // a TLS stream in network mode

struct ResultSlot {
  bool stored = false;
  HRESULT value = S_OK;
};
thread_local ResultSlot tResultSlot;
thread_local const RpcServerImpl* tServingServer = nullptr;

std::string PeerText(const SessionSocket& socket) {
  std::error_code error;
  const auto peer = socket.remote_endpoint(error);
  if (error) return "?";
  return peer.address().to_string() + ":" + std::to_string(peer.port());
}

}  // namespace

class RpcSession;

class RpcServerImpl {
 public:
  explicit RpcServerImpl(CRPCServerW& owner) : owner_(owner) {}
  ~RpcServerImpl() { Stop(); }

  bool Start(std::string_view endpointName);
  bool Stop();
  bool running() const { return running_.load(); }
  std::uint16_t port() const { return port_.load(); }

  // Session bookkeeping (any thread).
  void SessionEnded(std::uint64_t serial);

  CRPCServerW& owner_;
  std::string service_;  // the endpoint name a HELLO must name
  RpcSettings settings_;
  std::chrono::milliseconds idleClose_{60000};
  std::atomic<bool> stopping_{false};

 private:
  void Accept();

  std::mutex mutex_;  // guards sessions_ and start/stop
  std::condition_variable sessionsChanged_;
  std::map<std::uint64_t, std::weak_ptr<RpcSession>> sessions_;
  std::uint64_t nextSerial_ = 1;
  std::uint16_t nextClientId_ = 0;

  std::unique_ptr<asio::io_context> io_;
  std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  std::unique_ptr<asio::steady_timer> acceptRetry_;
  std::vector<std::thread> threads_;
  std::atomic<bool> running_{false};
  std::atomic<std::uint16_t> port_{0};
};

class RpcSession : public std::enable_shared_from_this<RpcSession> {
 public:
  RpcSession(RpcServerImpl& server, SessionSocket socket, std::uint64_t serial,
             std::uint16_t clientId)
      : server_(server),
        socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        serial_(serial),
        clientId_(clientId),
        peer_(PeerText(socket_)) {}
  ~RpcSession() { server_.SessionEnded(serial_); }

  void Start() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
      std::error_code ignored;
      self->socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
      // Answers are written at once when the socket takes them; only the rest waits.
      self->socket_.non_blocking(true, ignored);
      self->SetDeadline(std::chrono::milliseconds(self->server_.settings_.connectTimeoutMs));
      self->ReadMore();
    });
  }

  // Ends the session as soon as no request is being served (runs on the session's strand).
  void Shutdown() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
      self->stopRequested_ = true;
      if (self->state_ != State::kReading) return;  // the answer goes out first
      if (self->helloDone_)
        self->SendCloseAndEnd();
      else
        self->End(nullptr);
    });
  }

 private:
  enum class State { kReading, kHandling, kWriting, kClosing, kClosed };

  // One timer per session, re-armed only when a deadline comes earlier than its expiry: a
  // request served in the usual way costs no timer operation.
  void SetDeadline(std::chrono::milliseconds after) {
    deadline_ = std::chrono::steady_clock::now() + after;
    if (!timerArmed_ || deadline_ < timerExpiry_) ArmTimer(deadline_);
  }
  void ArmTimer(std::chrono::steady_clock::time_point at) {
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
    if (std::chrono::steady_clock::now() < deadline_) {
      ArmTimer(deadline_);
      return;
    }
    switch (state_) {
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

  // Room for the next read: at least kReadChunk, and for a frame whose header has come, room
  // that grows with the bytes that arrive, up to the whole frame.
  void MakeRoom() {
    if (inBegin_ == inEnd_) {
      inBegin_ = inEnd_ = 0;
      if (in_.size() > kLargeInput) std::vector<std::uint8_t>(kReadChunk).swap(in_);
    } else if (inBegin_ != 0 && (needed_ > in_.size() - inBegin_ || inEnd_ == in_.size())) {
      std::memmove(in_.data(), in_.data() + inBegin_, inEnd_ - inBegin_);
      inEnd_ -= inBegin_;
      inBegin_ = 0;
    }
    std::size_t want = std::max(kReadChunk, inEnd_ + 1);
    if (needed_ > 0) want = std::max(want, std::min(inBegin_ + needed_, inEnd_ + kBodyChunk));
    if (in_.size() < want) in_.resize(want);
  }

  void ReadMore() {
    state_ = State::kReading;
    MakeRoom();
    socket_.async_read_some(asio::buffer(in_.data() + inEnd_, in_.size() - inEnd_),
                            [self = shared_from_this()](std::error_code error, std::size_t got) {
                              self->OnRead(error, got);
                            });
  }

  void OnRead(std::error_code error, std::size_t got) {
    if (state_ != State::kReading) return;
    if (error) {
      if (error == asio::error::operation_aborted) return;
      if (inBegin_ != inEnd_)
        End("connection closed mid-frame");
      else if (error == asio::error::eof)
        End(nullptr);  // the client closed between requests
      else
        End("connection failed");
      return;
    }
    inEnd_ += got;
    ProcessInput();
  }

  // Serves every complete frame in the input, in order; then reads more unless an answer
  // still waits to be written or the session ends.
  void ProcessInput() {
    needed_ = 0;
    while (inEnd_ - inBegin_ >= rpc::kFrameHeaderSize) {
      rpc::FrameHeader frame;
      const rpc::FrameCheck check =
          rpc::DecodeHeader(in_.data() + inBegin_, server_.settings_.maxFrameBytes, &frame);
      if (check != rpc::FrameCheck::kOk) {
        End(rpc::FrameCheckText(check));
        return;
      }
      const bool isHello = frame.kind == rpc::FrameKind::kHello;
      const bool isRequest = frame.kind == rpc::FrameKind::kStringRequest ||
                             frame.kind == rpc::FrameKind::kDataRequest;
      if (helloDone_ ? !isRequest : !isHello) {
        End(helloDone_ ? "unexpected frame kind" : "first frame is not HELLO");
        return;
      }
      const std::size_t total = rpc::kFrameHeaderSize + frame.length;
      if (inEnd_ - inBegin_ < total) {
        needed_ = total;
        break;
      }
      const std::uint8_t* body = in_.data() + inBegin_ + rpc::kFrameHeaderSize;
      inBegin_ += total;
      if (!ServeFrame(frame, body)) return;
    }
    std::chrono::milliseconds wait(server_.settings_.connectTimeoutMs);
    if (helloDone_)
      wait = inBegin_ != inEnd_ ? std::chrono::milliseconds(server_.settings_.callTimeoutMs)
                                : server_.idleClose_;
    SetDeadline(wait);
    ReadMore();
  }

  // True when the session goes on reading at once.
  bool ServeFrame(const rpc::FrameHeader& frame, const std::uint8_t* body) {
    if (!helloDone_) return OnHello(body, frame.length);
    if (stopRequested_) {  // not run: the client learns so from CLOSE
      SendCloseAndEnd();
      return false;
    }
    state_ = State::kHandling;
    return Write(Dispatch(frame, body), false);
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

  // Writes a frame, at once as far as the socket takes it, the rest asynchronously. Then the
  // session ends (endAfter), sends CLOSE (stop requested) or reads on. True when the frame went
  // out at once and the caller goes on reading.
  bool Write(std::vector<std::uint8_t> frame, bool endAfter) {
    state_ = State::kWriting;
    out_ = std::move(frame);
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

  bool AfterWrite(bool endAfter) {
    if (endAfter) {
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
  // closes or the drain time ends. Nothing read after CLOSE is ever served.
  void SendCloseAndEnd() {
    state_ = State::kClosing;
    std::error_code ignored;
    socket_.cancel(ignored);
    out_ = rpc::BuildFrame({rpc::FrameKind::kClose});
    SetDeadline(stopRequested_ ? kDrainWhenStopping : kDrainAfterClose);
    asio::async_write(socket_, asio::buffer(out_),
                      [self = shared_from_this()](std::error_code error, std::size_t) {
                        if (self->state_ != State::kClosing) return;
                        if (error) {
                          self->End(nullptr);
                          return;
                        }
                        std::error_code shutdownError;
                        self->socket_.shutdown(asio::socket_base::shutdown_send, shutdownError);
                        self->Drain();
                      });
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
    std::error_code ignored;
    socket_.shutdown(asio::socket_base::shutdown_both, ignored);
    socket_.close(ignored);
    if (helloDone_) CallSafely([&] { server_.owner_.onClientDisconnected(clientId_); });
  }

  static constexpr std::size_t kReadChunk = 16 * 1024;
  static constexpr std::size_t kLargeInput = 1024 * 1024;

  RpcServerImpl& server_;
  SessionSocket socket_;
  asio::steady_timer timer_;
  const std::uint64_t serial_;
  const std::uint16_t clientId_;
  const std::string peer_;
  std::uint64_t timerGeneration_ = 0;
  bool timerArmed_ = false;
  std::chrono::steady_clock::time_point timerExpiry_;
  std::chrono::steady_clock::time_point deadline_;
  State state_ = State::kReading;
  bool helloDone_ = false;
  bool stopRequested_ = false;
  std::vector<std::uint8_t> in_;  // received bytes not yet served: [inBegin_, inEnd_)
  std::size_t inBegin_ = 0;
  std::size_t inEnd_ = 0;
  std::size_t needed_ = 0;  // size of the frame whose header has come, while its body comes
  std::vector<std::uint8_t> out_;
  std::array<std::uint8_t, 4096> drain_{};
};

bool RpcServerImpl::Start(std::string_view endpointName) {
  std::lock_guard lock(mutex_);
  if (running_) return false;
  settings_ = ReadRpcSettings();
  service_ = std::string(endpointName);
  // Kept client connections are dropped after idleConnectionMs; the server waits longer.
  idleClose_ = std::max(kMinIdleClose,
                        std::chrono::milliseconds(2 * std::uint64_t{settings_.idleConnectionMs}));
  const std::uint16_t wantedPort = ServicePort(endpointName).value_or(0);

  std::error_code error;
  const asio::ip::address_v4 address = asio::ip::make_address_v4(settings_.listenAddress, error);
  if (error) {
    TraceError(kServerSource, "RPC: listen address \"%s\" is not an IPv4 address",
               settings_.listenAddress.c_str());
    return false;
  }
  auto io = std::make_unique<asio::io_context>();
  auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(asio::make_strand(*io));
  const asio::ip::tcp::endpoint endpoint(address, wantedPort);
  acceptor->open(endpoint.protocol(), error);
  if (!error) acceptor->set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor->bind(endpoint, error);
  if (!error) acceptor->listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    TraceWarning(kServerSource, "RPC: cannot listen on %s:%u for %s: %s",
                 settings_.listenAddress.c_str(), wantedPort, service_.c_str(),
                 error.message().c_str());
    return false;
  }
  port_ = acceptor->local_endpoint(error).port();
  io_ = std::move(io);
  acceptor_ = std::move(acceptor);
  acceptRetry_ = std::make_unique<asio::steady_timer>(acceptor_->get_executor());
  work_ = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(
      io_->get_executor());
  stopping_ = false;
  Accept();
  const std::uint32_t threads =
      std::clamp<std::uint32_t>(settings_.serverThreads, 1, kMaxServerThreads);
  for (std::uint32_t i = 0; i < threads; ++i) {
    threads_.emplace_back([this] {
      tServingServer = this;
      for (;;) {
        try {
          io_->run();
          break;
        } catch (const std::exception& e) {
          TraceError(kServerSource, "RPC: request thread caught %s", e.what());
        }
      }
      tServingServer = nullptr;
    });
  }
  running_ = true;
  return true;
}

void RpcServerImpl::Accept() {
  acceptor_->async_accept(
      asio::make_strand(*io_), [this](std::error_code error, asio::ip::tcp::socket socket) {
        if (stopping_ || error == asio::error::operation_aborted) return;
        if (error) {
          TraceWarning(kServerSource, "RPC: accept failed: %s", error.message().c_str());
          acceptRetry_->expires_after(kAcceptRetryDelay);
          acceptRetry_->async_wait([this](std::error_code waitError) {
            if (!waitError && !stopping_) Accept();
          });
          return;
        }
        std::shared_ptr<RpcSession> session;
        {
          std::lock_guard lock(mutex_);
          if (stopping_) return;
          if (sessions_.size() < kMaxSessions) {
            if (++nextClientId_ == 0) ++nextClientId_;
            const std::uint64_t serial = nextSerial_++;
            session = std::make_shared<RpcSession>(*this, std::move(socket), serial, nextClientId_);
            sessions_.emplace(serial, session);
          }
        }
        if (session) {
          session->Start();
        } else {
          TraceWarning(kServerSource, "RPC: %zu connections already open; connection refused",
                       kMaxSessions);
          std::error_code ignored;
          socket.close(ignored);
        }
        Accept();
      });
}

void RpcServerImpl::SessionEnded(std::uint64_t serial) {
  std::lock_guard lock(mutex_);
  sessions_.erase(serial);
  sessionsChanged_.notify_all();
}

bool RpcServerImpl::Stop() {
  std::unique_lock lock(mutex_);
  if (!running_) return false;
  if (tServingServer == this) {
    TraceError(kServerSource, "RPC: stopServer called from a request handler");
    return false;
  }
  stopping_ = true;
  asio::post(acceptor_->get_executor(), [this] {
    std::error_code ignored;
    acceptor_->close(ignored);
    acceptRetry_->cancel();
  });
  std::vector<std::shared_ptr<RpcSession>> live;
  for (auto& [serial, weak] : sessions_) live.push_back(weak.lock());
  // A session may end while we hold it; its destructor takes the lock.
  lock.unlock();
  for (auto& session : live)
    if (session) session->Shutdown();
  live.clear();
  lock.lock();
  sessionsChanged_.wait_for(lock, kStopWaitForSessions, [this] { return sessions_.empty(); });
  lock.unlock();

  work_.reset();
  io_->stop();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  // Destroying the io_context destroys the handlers still queued and the sessions they hold.
  acceptRetry_.reset();
  acceptor_.reset();
  io_.reset();

  lock.lock();
  sessions_.clear();
  running_ = false;
  port_ = 0;
  return true;
}

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
