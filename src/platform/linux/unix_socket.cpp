// unix_socket.cpp - owned descriptors, addresses and bounded I/O of local sockets (see
// unix_socket.h).
#include "platform/linux/unix_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

namespace qx::unix_socket {
namespace {

// A long wait is cut into polls of at most this length, so a far deadline never overflows the
// poll timeout.
constexpr std::int64_t kMaxPollMs = 60000;
constexpr auto kConnectRetryPause = std::chrono::milliseconds(5);

}  // namespace

UniqueFd::UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void UniqueFd::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int UniqueFd::Release() { return std::exchange(fd_, -1); }

bool FillAddress(std::string_view path, sockaddr_un* address) {
  *address = {};
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.data(), path.size());
  return true;
}

WaitResult WaitFor(int fd, short events, Clock::time_point deadline, int wakeFd) {
  for (;;) {
    int timeoutMs = -1;
    bool slice = false;  // the poll ends before the deadline does
    if (deadline != kForever) {
      const std::int64_t left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      slice = left > kMaxPollMs;
      timeoutMs = static_cast<int>(std::clamp<std::int64_t>(left, 0, kMaxPollMs));
    }
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    const int n = ::poll(fds, wakeFd >= 0 ? 2 : 1, timeoutMs);
    if (n < 0) {
      if (errno == EINTR) continue;
      return WaitResult::kError;
    }
    if (n == 0) {
      if (slice) continue;
      return WaitResult::kTimeout;
    }
    if (wakeFd >= 0 && (fds[1].revents & POLLIN)) return WaitResult::kWoken;
    return WaitResult::kReady;  // readiness, hang-up or error: the next call tells which
  }
}

bool WriteAll(int fd, const void* data, std::size_t size, Clock::time_point deadline, int wakeFd) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, next, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      next += n;
      size -= static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (WaitFor(fd, POLLOUT, deadline, wakeFd) != WaitResult::kReady) return false;
    } else if (!(n < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

bool ReadAll(int fd, void* data, std::size_t size, Clock::time_point deadline, int wakeFd) {
  char* next = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::recv(fd, next, size, MSG_DONTWAIT);
    if (n > 0) {
      next += n;
      size -= static_cast<std::size_t>(n);
    } else if (n == 0) {
      return false;  // the peer closed
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (WaitFor(fd, POLLIN, deadline, wakeFd) != WaitResult::kReady) return false;
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

void PutU32(void* out, std::uint32_t value) {
  auto* bytes = static_cast<std::uint8_t*>(out);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void AppendU32(std::string* out, std::uint32_t value) {
  char bytes[4];
  PutU32(bytes, value);
  out->append(bytes, sizeof bytes);
}

std::uint32_t GetU32(const void* in) {
  const auto* bytes = static_cast<const std::uint8_t*>(in);
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= std::uint32_t{bytes[i]} << (8 * i);
  return value;
}

UniqueFd ConnectWithin(std::string_view path, Clock::time_point deadline) {
  sockaddr_un address;
  if (!FillAddress(path, &address)) return {};
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return {};
  for (;;) {
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      return fd;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {  // the listener's backlog is full: try again until the deadline
      if (Clock::now() + kConnectRetryPause >= deadline) return {};
      std::this_thread::sleep_for(kConnectRetryPause);
      continue;
    }
    if (errno != EINPROGRESS) return {};
    if (WaitFor(fd.get(), POLLOUT, deadline) != WaitResult::kReady) return {};
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) return {};
    return fd;
  }
}

}  // namespace qx::unix_socket
