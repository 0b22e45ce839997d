// rpc_server.cpp - CRPCServerW on asio: RpcServing (the acceptor, the I/O threads, the handler
// pool and the sessions of one start) and the start and stop of a server. One RpcSession
// (rpc_session.h) serves each connection. How connections are served, bounded and stopped:
// docs/rpc-protocol.md.
//
// Ownership: CRPCServerW owns RpcServerImpl, which owns one RpcServing for each start; a stop
// that leaves a handler running keeps that RpcServing forever. startServer and stopServer may
// be called from any thread but not from a handler.
#include <algorithm>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "rpc/rpc.h"
#include "rpc/rpc_connection_slots.h"
#include "rpc/rpc_handler_pool.h"
#include "rpc/rpc_serving.h"
#include "rpc/rpc_session.h"
#include "rpc/rpc_settings.h"
#include "rpc/rpc_tls.h"
#include "trace/counters.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kServerSource("RemoteServer");

using SteadyClock = std::chrono::steady_clock;

constexpr std::uint32_t kMaxServerThreads = 64;
constexpr std::uint32_t kMaxHandlerThreads = 256;
// How long stop waits for sessions that run no handler (an answer still being written).
constexpr auto kStopWaitForSessions = std::chrono::milliseconds(2000);
constexpr auto kStopPollInterval = std::chrono::milliseconds(50);
constexpr auto kMinIdleClose = std::chrono::milliseconds(1000);
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
// After accept found no descriptor, and some were freed.
constexpr auto kDescriptorRetryDelay = std::chrono::milliseconds(5);
constexpr auto kCountTraceInterval = std::chrono::seconds(10);

// The serving state whose I/O thread or handler this thread runs, if any.
thread_local const RpcServing* tServingState = nullptr;

// Handlers that a stop left running, in this process.
std::atomic<std::size_t> gHandlersLeftRunning{0};

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

}  // namespace

void TraceRpcEvictions(std::size_t evicted) {
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

const RpcServing* RpcServing::Current() { return tServingState; }

void RpcServing::SetCurrent(const RpcServing* serving) { tServingState = serving; }

RpcServing::RpcServing(CRPCServerW& owner, std::string_view service, const RpcSettings& settings,
                       RpcKeyRingSource keyRings)
    : owner_(owner),
      service_(service),
      settings_(settings),
      keyRings_(keyRings),
      // Kept client connections are dropped after idleConnectionMs; the server waits longer.
      idleClose_(std::max(kMinIdleClose,
                          std::chrono::milliseconds(2 * std::uint64_t{settings.idleConnectionMs}))),
      buffers_(settings.bufferBudgetBytes, settings.maxFrameBytes) {}

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
          metrics::Add(Metric::kRpcConnections);
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
  TraceRpcEvictions(evicted);
  acceptRetry_->expires_after(noDescriptors ? kDescriptorRetryDelay : kAcceptRetryDelay);
  acceptRetry_->async_wait([this](std::error_code waitError) {
    if (!waitError && !stopping_) Accept();
  });
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
  void SetKeyRingSource(RpcKeyRingSource source) EXCLUDES(mutex_) {
    MutexLock lock(&mutex_);
    keyRings_ = source;
  }
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
  RpcKeyRingSource keyRings_ GUARDED_BY(mutex_) = nullptr;
  std::unique_ptr<RpcServing> serving_ GUARDED_BY(mutex_);
  std::atomic<bool> running_{false};
  std::atomic<std::uint16_t> port_{0};
};

bool RpcServerImpl::Start(std::string_view endpointName) {
  MutexLock lock(&mutex_);
  WaitWhileStoppingLocked();
  if (phase_ != Phase::kStopped) return false;
  auto serving = std::make_unique<RpcServing>(owner_, endpointName, ReadRpcSettings(), keyRings_);
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

void CRPCServerW::setKeyRingSource(RpcKeyRingSource source) { impl_->SetKeyRingSource(source); }

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

void CRPCServerW::SetResultSlot(HRESULT result) { RpcSession::SetHandlerResult(result); }

}  // namespace qx
