// rpc_serving.h - RpcServing: everything of one running RPC server (listening socket, I/O
// threads, handler pool, buffer budget, sessions), shared by rpc_server.cpp, which starts and
// stops it, and its sessions (rpc_session.h).
//
// Created by CRPCServerW's start and destroyed by its stop, unless a handler outlived the stop
// (then kept forever). The settings and names are fixed at creation; the rest is safe from any
// thread as annotated. Start and Stop run on the thread of start/stopServer only.
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "rpc/rpc.h"
#include "rpc/rpc_frame_reader.h"
#include "rpc/rpc_handler_pool.h"
#include "rpc/rpc_settings.h"

namespace qx {

class RpcSession;

// Traces connections evicted to make room for newer ones, at most once per few seconds.
void TraceRpcEvictions(std::size_t evicted);

class RpcServing {
 public:
  using SteadyClock = std::chrono::steady_clock;

  RpcServing(CRPCServerW& owner, std::string_view service, const RpcSettings& settings,
             RpcKeyRingSource keyRings);

  // Listens and starts the threads; false (traced) when the address cannot be used.
  bool Start(std::uint16_t wantedPort);
  // True when everything was joined and the object may be destroyed.
  bool Stop(SteadyClock::time_point graceDeadline) EXCLUDES(mutex_);

  std::uint16_t port() const { return port_; }

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

  // The serving state whose I/O thread or handler the calling thread runs, if any.
  static const RpcServing* Current();
  static void SetCurrent(const RpcServing* serving);

  CRPCServerW& owner_;
  const std::string service_;  // the endpoint name a HELLO must name
  const RpcSettings settings_;
  const RpcKeyRingSource keyRings_;  // the ring each session's handshake accepts
  const std::chrono::milliseconds idleClose_;
  std::atomic<bool> stopping_{false};
  // The stop left a handler running and returned: the owner may be gone. Sessions call into it
  // no more, and end once the left handler's answer is written.
  std::atomic<bool> abandoned_{false};
  std::unique_ptr<RpcHandlerPool> handlers_;
  // What the sessions' input buffers hold beyond their read chunks (BufferBudgetBytes).
  RpcBufferBudget buffers_;

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
  std::atomic<std::uint32_t> ioInHandlers_{0};
  std::uint32_t ioThreads_ = 0;

  std::unique_ptr<asio::io_context> io_;
  std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  std::unique_ptr<asio::steady_timer> acceptRetry_;
  std::vector<std::thread> threads_;
  std::uint16_t port_ = 0;
};

}  // namespace qx
