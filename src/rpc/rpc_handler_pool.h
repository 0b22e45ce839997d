// rpc_handler_pool.h - RpcHandlerPool, the bounded set of threads that run a server's request
// handlers when its I/O threads must stay free to move bytes.
//
// A fixed number of worker threads take jobs from a queue of bounded length; Submit refuses a
// job at once when the queue is full, and the caller answers that request with a failure.
// Each job is one request of one connection; a connection submits its next request only after
// the previous one was answered, so requests of one connection run in order.
//
// Stop discards the queued jobs, waits for the running ones until a deadline and joins every
// thread that has finished. A thread whose handler still runs then is detached: it still
// refers to the pool, so its owner must keep the pool (and everything a job touches) alive from
// then on; RpcServerImpl leaves such serving state undestroyed on purpose.
//
// Owned by the serving state of one running server. Submit and Busy from any thread; Stop from
// one thread, once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "common/mutex.h"

namespace qx {

// One request waiting for, or running on, a worker thread.
class RpcHandlerJob {
 public:
  virtual ~RpcHandlerJob() = default;
  // Runs the handler (on a worker thread). Must not throw.
  virtual void RunHandler() = 0;
};

class RpcHandlerPool {
 public:
  RpcHandlerPool(std::uint32_t threads, std::uint32_t queueLimit);
  // Stops with no grace when Stop has not run.
  ~RpcHandlerPool();
  RpcHandlerPool(const RpcHandlerPool&) = delete;
  RpcHandlerPool& operator=(const RpcHandlerPool&) = delete;

  // Queues a job; false (nothing queued) when the queue is full or the pool stops.
  bool Submit(std::shared_ptr<RpcHandlerJob> job) EXCLUDES(mutex_);
  // Jobs running or queued.
  std::size_t Busy() const EXCLUDES(mutex_);
  // Discards the queued jobs and waits until the running ones return or the deadline passes.
  // True when every thread was joined; otherwise the threads still running are detached.
  bool Stop(std::chrono::steady_clock::time_point deadline) EXCLUDES(mutex_);

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<RpcHandlerJob> job;  // running now, if any (guarded by the pool's mutex)
    bool exited = false;                 // guarded by the pool's mutex
  };

  void Run(std::size_t index) EXCLUDES(mutex_);

  const std::size_t queueLimit_;
  mutable Mutex mutex_;
  CondVar work_{&mutex_};      // a job was queued, or the pool stops
  CondVar finished_{&mutex_};  // a job returned, or a thread exited
  std::deque<std::shared_ptr<RpcHandlerJob>> queue_ GUARDED_BY(mutex_);
  // Fixed size after construction; the entries' fields are guarded by mutex_.
  std::vector<Worker> workers_;
  std::size_t running_ GUARDED_BY(mutex_) = 0;
  bool stopping_ GUARDED_BY(mutex_) = false;
  bool stopped_ = false;  // Stop has run (Stop's thread only)
};

}  // namespace qx
