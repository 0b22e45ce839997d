// web_task_queue.h - WebTaskQueue, the web view's request threads, bounded.
//
// The HTTP server hands every accepted connection to its task queue. This one runs them on a
// fixed number of threads and holds at most `waiting` more; when that many wait, the accepting
// thread waits too, so that further connections stay in the kernel's small backlog and are
// refused beyond it, rather than piling up in memory. Owned by the server (it deletes it);
// enqueue: the accepting thread; shutdown: the thread that stops the server.
#pragma once

#include <httplib.h>

#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include "common/mutex.h"

namespace qxstation {

class WebTaskQueue : public httplib::TaskQueue {
 public:
  WebTaskQueue(std::size_t threads, std::size_t waiting);
  ~WebTaskQueue() override;
  WebTaskQueue(const WebTaskQueue&) = delete;
  WebTaskQueue& operator=(const WebTaskQueue&) = delete;

  void enqueue(std::function<void()> task) override EXCLUDES(mutex_);
  void shutdown() override EXCLUDES(mutex_);

 private:
  void Work() EXCLUDES(mutex_);

  const std::size_t waiting_;
  qx::Mutex mutex_;
  qx::CondVar changed_{&mutex_};
  std::deque<std::function<void()>> tasks_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::vector<std::thread> threads_;
};

}  // namespace qxstation
