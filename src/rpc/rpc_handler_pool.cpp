// rpc_handler_pool.cpp - RpcHandlerPool: worker threads over one bounded queue.
#include "rpc/rpc_handler_pool.h"

#include <algorithm>

#include "trace/counters.h"

namespace qx {

RpcHandlerPool::RpcHandlerPool(std::uint32_t threads, std::uint32_t queueLimit)
    : queueLimit_(queueLimit), workers_(std::max<std::uint32_t>(threads, 1)) {
  for (std::size_t i = 0; i < workers_.size(); ++i)
    workers_[i].thread = std::thread([this, i] { Run(i); });
}

RpcHandlerPool::~RpcHandlerPool() {
  if (!stopped_) {
    Stop(std::chrono::steady_clock::now());
  }
}

bool RpcHandlerPool::Submit(std::shared_ptr<RpcHandlerJob> job) {
  MutexLock lock(&mutex_);
  if (stopping_) return false;
  // A job counts against the queue only while no worker is free to take it at once.
  const std::size_t idle = workers_.size() - running_;
  if (queue_.size() >= idle + queueLimit_) return false;
  queue_.push_back(std::move(job));
  metrics::Add(Metric::kRpcHandlerQueueDepth);
  work_.Signal();
  return true;
}

std::size_t RpcHandlerPool::Busy() const {
  MutexLock lock(&mutex_);
  return running_ + queue_.size();
}

void RpcHandlerPool::Run(std::size_t index) {
  Worker& self = workers_[index];
  mutex_.Lock();
  for (;;) {
    while (queue_.empty() && !stopping_) work_.Wait();
    if (stopping_) break;
    self.job = std::move(queue_.front());
    queue_.pop_front();
    metrics::Subtract(Metric::kRpcHandlerQueueDepth);
    ++running_;
    std::shared_ptr<RpcHandlerJob> job = self.job;
    mutex_.Unlock();
    job->RunHandler();
    job.reset();  // the last reference may end a session: not under the lock
    mutex_.Lock();
    self.job.reset();
    --running_;
    finished_.SignalAll();
  }
  self.exited = true;
  finished_.SignalAll();
  mutex_.Unlock();
}

bool RpcHandlerPool::Stop(std::chrono::steady_clock::time_point deadline) {
  stopped_ = true;
  std::deque<std::shared_ptr<RpcHandlerJob>> discarded;
  {
    MutexLock lock(&mutex_);
    stopping_ = true;
    discarded.swap(queue_);
    metrics::Subtract(Metric::kRpcHandlerQueueDepth, discarded.size());
    work_.SignalAll();
    while (!std::all_of(workers_.begin(), workers_.end(),
                        [](const Worker& worker) { return worker.exited; })) {
      if (!finished_.WaitUntil(deadline) && std::chrono::steady_clock::now() >= deadline) break;
    }
  }
  discarded.clear();  // ends the sessions that waited: outside the lock
  bool allJoined = true;
  for (Worker& worker : workers_) {
    bool exited;
    {
      MutexLock lock(&mutex_);
      exited = worker.exited;
    }
    // An exited worker's last step was under the lock: joining it is quick.
    if (exited) {
      worker.thread.join();
    } else {
      worker.thread.detach();
      allJoined = false;
    }
  }
  return allJoined;
}

}  // namespace qx
