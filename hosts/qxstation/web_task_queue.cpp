// web_task_queue.cpp - a fixed pool of request threads with a bounded queue.
#include "web_task_queue.h"

namespace qxstation {

WebTaskQueue::WebTaskQueue(std::size_t threads, std::size_t waiting) : waiting_(waiting) {
  for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

WebTaskQueue::~WebTaskQueue() { shutdown(); }

void WebTaskQueue::enqueue(std::function<void()> task) {
  qx::MutexLock lock(&mutex_);
  while (!stopping_ && tasks_.size() >= waiting_) changed_.Wait();
  // Once stopping, the task still runs: it owns the connection's socket and closes it.
  tasks_.push_back(std::move(task));
  changed_.SignalAll();
}

void WebTaskQueue::shutdown() {
  {
    qx::MutexLock lock(&mutex_);
    stopping_ = true;
    changed_.SignalAll();
  }
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

void WebTaskQueue::Work() {
  for (;;) {
    std::function<void()> task;
    {
      qx::MutexLock lock(&mutex_);
      while (!stopping_ && tasks_.empty()) changed_.Wait();
      if (tasks_.empty()) return;  // stopping, and nothing left
      task = std::move(tasks_.front());
      tasks_.pop_front();
      changed_.SignalAll();
    }
    task();
  }
}

}  // namespace qxstation
