// project_manager_link.cpp - the project manager's request object over a Unix stream socket.
//
// One connection carries one exchange. The request is a 32-bit length and that many bytes of
// UTF-8; the answer is a 32-bit HRESULT, one byte that says whether an answer text was
// written, a 32-bit length and that many bytes of UTF-8. Every number is little-endian. Both
// sides check a length against kMaxProjectManagerMessage before they allocate for it, and
// every wait is bounded, so neither side hangs on a peer that stops talking.
//
// The serving side: one thread accepts and hands each connection to a small pool of workers,
// which read the request, run the handler and write the answer. Stop wakes every waiting
// thread through an eventfd, waits for the handlers that run, and removes the socket file
// (only while it is still this listener's). The client side keeps no state; any thread may
// call it.
#include "platform/project_manager_link.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "common/text.h"
#include "platform/environment.h"
#include "platform/linux/unix_socket.h"

namespace qx {
namespace {

using unix_socket::AppendU32;
using unix_socket::Clock;
using unix_socket::ConnectWithin;
using unix_socket::FillAddress;
using unix_socket::GetU32;
using unix_socket::ReadAll;
using unix_socket::UniqueFd;
using unix_socket::WaitFor;
using unix_socket::WaitResult;
using unix_socket::WriteAll;

constexpr const char* kSocketName = "projectmgr.sock";
constexpr auto kProbeTimeout = std::chrono::milliseconds(500);    // "does it accept?"
constexpr auto kServeTimeout = std::chrono::milliseconds(10000);  // a request in, an answer out
constexpr auto kAcceptErrorPause = std::chrono::milliseconds(50);
constexpr std::size_t kWorkers = 4;
constexpr std::size_t kMaxQueued = 64;
constexpr int kBacklog = 32;
constexpr mode_t kSocketMode = 0660;
constexpr std::size_t kAnswerHeaderSize = 9;  // HRESULT, has-answer byte, length

thread_local std::optional<std::uint32_t> t_peerUid;

std::string ErrorText(int error) {
  char buffer[256];
  return ::strerror_r(error, buffer, sizeof buffer);
}

class UnixProjectManagerListener final : public ProjectManagerListener {
 public:
  explicit UnixProjectManagerListener(ProjectManagerHandler handler)
      : handler_(std::move(handler)) {}
  ~UnixProjectManagerListener() override { Stop(); }

  bool Start(std::string* error);
  void Stop() override;

 private:
  void AcceptLoop();
  void WorkerLoop();
  void Serve(const UniqueFd& connection);

  ProjectManagerHandler handler_;
  std::string path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  UniqueFd listen_;
  UniqueFd wake_;  // readable once Stop has begun

  std::mutex mutex_;  // guards queue_ and stopping_
  std::condition_variable ready_;
  std::deque<UniqueFd> queue_;
  bool stopping_ = false;

  std::mutex stopMutex_;  // guards stopped_
  bool stopped_ = false;
  std::thread acceptor_;
  std::vector<std::thread> workers_;
};

bool UnixProjectManagerListener::Start(std::string* error) {
  auto fail = [error](std::string text) {
    if (error != nullptr) *error = std::move(text);
    return false;
  };
  if (!EnsureRuntimeDir()) {
    return fail(Format("cannot create the runtime directory %s: %s", RuntimeDir().c_str(),
                       ErrorText(errno).c_str()));
  }
  path_ = ProjectManagerSocketPath();
  sockaddr_un address;
  if (!FillAddress(path_, &address)) return fail("socket path too long: " + path_);

  listen_ = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!listen_) return fail("socket: " + ErrorText(errno));
  auto bindSocket = [&] {
    return ::bind(listen_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  };
  if (!bindSocket()) {
    if (errno != EADDRINUSE)
      return fail(Format("bind(%s): %s", path_.c_str(), ErrorText(errno).c_str()));
    // A socket file is there: a live project manager keeps it, a crashed one left it behind.
    if (ConnectWithin(path_, Clock::now() + kProbeTimeout)) {
      return fail("another project manager listens on " + path_);
    }
    ::unlink(path_.c_str());
    if (!bindSocket()) return fail(Format("bind(%s): %s", path_.c_str(), ErrorText(errno).c_str()));
  }
  struct stat info {};
  if (::chmod(path_.c_str(), kSocketMode) != 0 || ::stat(path_.c_str(), &info) != 0) {
    std::string text = Format("chmod(%s): %s", path_.c_str(), ErrorText(errno).c_str());
    ::unlink(path_.c_str());
    return fail(text);
  }
  device_ = info.st_dev;
  inode_ = info.st_ino;
  if (::listen(listen_.get(), kBacklog) != 0) {
    std::string text = Format("listen(%s): %s", path_.c_str(), ErrorText(errno).c_str());
    ::unlink(path_.c_str());
    return fail(text);
  }
  wake_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake_) {
    std::string text = "eventfd: " + ErrorText(errno);
    ::unlink(path_.c_str());
    return fail(text);
  }
  workers_.reserve(kWorkers);
  for (std::size_t i = 0; i < kWorkers; ++i) workers_.emplace_back([this] { WorkerLoop(); });
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void UnixProjectManagerListener::Stop() {
  {
    std::lock_guard lock(stopMutex_);
    if (stopped_) return;
    stopped_ = true;
  }
  if (wake_) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
  }
  if (acceptor_.joinable()) acceptor_.join();
  if (!path_.empty()) {
    struct stat info {};
    if (::stat(path_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_) {
      ::unlink(path_.c_str());
    }
  }
  listen_.Reset();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  queue_.clear();  // connections never served: their clients see the end of the stream
}

void UnixProjectManagerListener::AcceptLoop() {
  for (;;) {
    WaitResult waited =
        WaitFor(listen_.get(), POLLIN, Clock::now() + std::chrono::hours(1), wake_.get());
    if (waited == WaitResult::kWoken) return;
    if (waited != WaitResult::kReady) continue;
    UniqueFd connection(::accept4(listen_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!connection) {
      if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
        std::this_thread::sleep_for(kAcceptErrorPause);  // out of descriptors: don't spin
      }
      continue;
    }
    std::lock_guard lock(mutex_);
    if (queue_.size() < kMaxQueued) {
      queue_.push_back(std::move(connection));
      ready_.notify_one();
    }  // else: too many waiting; closing the connection tells the client at once
  }
}

void UnixProjectManagerListener::WorkerLoop() {
  for (;;) {
    UniqueFd connection;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      connection = std::move(queue_.front());
      queue_.pop_front();
    }
    Serve(connection);
  }
}

void UnixProjectManagerListener::Serve(const UniqueFd& connection) {
  const int fd = connection.get();
  Clock::time_point deadline = Clock::now() + kServeTimeout;
  char lengthBytes[4];
  if (!ReadAll(fd, lengthBytes, sizeof lengthBytes, deadline, wake_.get())) return;
  std::uint32_t length = GetU32(lengthBytes);
  if (length > kMaxProjectManagerMessage) return;
  std::string request(length, '\0');
  if (!ReadAll(fd, request.data(), length, deadline, wake_.get())) return;

  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) {
    t_peerUid = static_cast<std::uint32_t>(peer.uid);
  }
  AnswerText answer;
  HRESULT hr = E_FAIL;
  try {
    hr = handler_(request, &answer);
  } catch (...) {
    hr = E_FAIL;  // a handler's failure never takes the listener down
  }
  t_peerUid.reset();
  if (answer && answer->size() > kMaxProjectManagerMessage) {
    answer.reset();  // the client would refuse it: say plainly that the request failed
    hr = E_FAIL;
  }

  std::string frame;
  frame.reserve(kAnswerHeaderSize + (answer ? answer->size() : 0));
  AppendU32(&frame, static_cast<std::uint32_t>(hr));
  frame.push_back(answer ? 1 : 0);
  AppendU32(&frame, answer ? static_cast<std::uint32_t>(answer->size()) : 0);
  if (answer) frame += *answer;
  // The answer goes out even while Stop waits: the handler has done its work.
  WriteAll(fd, frame.data(), frame.size(), Clock::now() + kServeTimeout);
}

}  // namespace

std::string ProjectManagerSocketPath() { return RuntimeDir() + "/" + kSocketName; }

bool ProjectManagerSocketAccepts() {
  return static_cast<bool>(ConnectWithin(ProjectManagerSocketPath(), Clock::now() + kProbeTimeout));
}

HRESULT ProjectManagerHandleRequest(std::string_view request, AnswerText* answer) {
  return ProjectManagerHandleRequest(request, answer,
                                     static_cast<std::uint32_t>(LocalCallTimeout().count()));
}

HRESULT ProjectManagerHandleRequest(std::string_view request, AnswerText* answer,
                                    std::uint32_t callTimeoutMs) {
  if (request.size() > kMaxProjectManagerMessage) return E_FAIL;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(callTimeoutMs);
  UniqueFd fd = ConnectWithin(ProjectManagerSocketPath(), deadline);
  if (!fd) return E_FAIL;

  std::string frame;
  frame.reserve(4 + request.size());
  AppendU32(&frame, static_cast<std::uint32_t>(request.size()));
  frame.append(request);
  if (!WriteAll(fd.get(), frame.data(), frame.size(), deadline)) return E_FAIL;

  char header[kAnswerHeaderSize];
  if (!ReadAll(fd.get(), header, sizeof header, deadline)) return E_FAIL;
  const auto hr = static_cast<HRESULT>(GetU32(header));
  const auto hasAnswer = static_cast<unsigned char>(header[4]);
  const std::uint32_t length = GetU32(header + 5);
  if (hasAnswer > 1 || length > kMaxProjectManagerMessage) return E_FAIL;
  std::string text(length, '\0');
  if (!ReadAll(fd.get(), text.data(), length, deadline)) return E_FAIL;
  if (hasAnswer != 0 && answer != nullptr) *answer = std::move(text);
  return hr;
}

std::unique_ptr<ProjectManagerListener> StartProjectManagerListener(ProjectManagerHandler handler,
                                                                    std::string* error) {
  if (!handler) {
    if (error != nullptr) *error = "no request handler";
    return nullptr;
  }
  auto listener = std::make_unique<UnixProjectManagerListener>(std::move(handler));
  if (!listener->Start(error)) return nullptr;
  return listener;
}

std::optional<std::uint32_t> ProjectManagerPeerUid() { return t_peerUid; }

}  // namespace qx
