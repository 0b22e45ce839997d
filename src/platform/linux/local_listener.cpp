// local_listener.cpp - accept thread and capped connection threads of a local socket (see
// local_listener.h).
#include "platform/local_listener.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <utility>

namespace qx::unix_socket {
namespace {

constexpr mode_t kSocketMode = 0660;
constexpr int kBacklog = 128;
constexpr auto kAcceptErrorPause = std::chrono::milliseconds(50);

}  // namespace

std::unique_ptr<LocalListener> LocalListener::Start(const std::string& path, std::string_view what,
                                                    std::size_t maxConnections, ServeFunction serve,
                                                    std::string* error) {
  if (!serve || maxConnections == 0) {
    if (error != nullptr) *error = "nothing to serve connections with";
    return nullptr;
  }
  auto listener = std::make_unique<LocalListener>(Key(), path, maxConnections, std::move(serve));
  listener->wake_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!listener->wake_) {
    if (error != nullptr) *error = "eventfd: " + ErrorText(errno);
    return nullptr;
  }
  listener->listen_ = ListenAt(path, kSocketMode, kBacklog, what, &listener->fileId_, error);
  if (!listener->listen_) return nullptr;
  listener->acceptor_ = std::thread([raw = listener.get()] { raw->AcceptLoop(); });
  return listener;
}

LocalListener::LocalListener(Key, std::string path, std::size_t maxConnections, ServeFunction serve)
    : path_(std::move(path)), maxConnections_(maxConnections), serve_(std::move(serve)) {}

LocalListener::~LocalListener() { Stop(); }

void LocalListener::Stop() {
  MutexLock stopLock(&stopMutex_);
  if (stopped_) return;
  stopped_ = true;
  {
    MutexLock lock(&mutex_);
    stopping_ = true;
  }
  slotFreed_.SignalAll();
  if (wake_) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
  }
  if (acceptor_.joinable()) acceptor_.join();
  if (listen_) {
    RemoveSocketFileIfOwn(path_, fileId_);
    listen_.Reset();
  }
  std::list<std::thread> threads;
  {
    MutexLock lock(&mutex_);
    threads.splice(threads.end(), running_);
    threads.splice(threads.end(), finished_);
  }
  for (std::thread& thread : threads) thread.join();
}

void LocalListener::AcceptLoop() {
  for (;;) {
    {
      MutexLock lock(&mutex_);
      JoinFinishedLocked();
      // At the cap, new clients wait in the backlog until a connection ends.
      while (!stopping_ && running_.size() >= maxConnections_) {
        slotFreed_.Wait();
        JoinFinishedLocked();
      }
      if (stopping_) return;
    }
    const WaitResult waited = WaitFor(listen_.get(), POLLIN, kForever, wake_.get());
    if (waited == WaitResult::kWoken) return;
    if (waited != WaitResult::kReady) {
      std::this_thread::sleep_for(kAcceptErrorPause);
      continue;
    }
    UniqueFd connection(::accept4(listen_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!connection) {
      if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
        std::this_thread::sleep_for(kAcceptErrorPause);  // out of descriptors: don't spin
      }
      continue;
    }
    MutexLock lock(&mutex_);
    if (stopping_) return;
    // The lock is held until the thread object is in place, so Finished never sees it half made.
    const auto self = running_.emplace(running_.end());
    *self = std::thread([this, self, fd = std::move(connection)]() mutable {
      serve_(fd.get(), wake_.get());
      fd.Reset();
      Finished(self);
    });
  }
}

void LocalListener::Finished(std::list<std::thread>::iterator self) {
  MutexLock lock(&mutex_);
  if (stopping_) return;  // Stop has taken every thread over and joins it
  finished_.splice(finished_.end(), running_, self);
  slotFreed_.Signal();
}

void LocalListener::JoinFinishedLocked() {
  // A finished thread only returns after handing itself over, so these joins are short.
  for (std::thread& thread : finished_) thread.join();
  finished_.clear();
}

}  // namespace qx::unix_socket
