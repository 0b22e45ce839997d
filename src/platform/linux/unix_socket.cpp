// unix_socket.cpp - owned descriptors, addresses and bounded I/O of local sockets (see
// unix_socket.h).
#include "platform/unix_socket.h"

#include "platform/environment.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

namespace qx::unix_socket {
namespace {

// A long wait is cut into polls of at most this length, so a far deadline never overflows the
// poll timeout.
constexpr std::int64_t kMaxPollMs = 60000;
constexpr auto kConnectRetryPause = std::chrono::milliseconds(5);
// How long ListenAt asks a socket file that is already there whether somebody accepts on it.
constexpr auto kProbeTimeout = std::chrono::milliseconds(500);

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

UniqueFd ConnectWithin(std::string_view path, Clock::time_point deadline, int* error) {
  int ignored = 0;
  int& reason = error != nullptr ? *error : ignored;
  reason = 0;
  sockaddr_un address;
  if (!FillAddress(path, &address)) {
    reason = ENAMETOOLONG;
    return {};
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    reason = errno;
    return {};
  }
  for (;;) {
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      return fd;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {  // the listener's backlog is full: try again until the deadline
      if (Clock::now() + kConnectRetryPause >= deadline) {
        reason = ETIMEDOUT;
        return {};
      }
      std::this_thread::sleep_for(kConnectRetryPause);
      continue;
    }
    if (errno != EINPROGRESS) {
      reason = errno;
      return {};
    }
    if (WaitFor(fd.get(), POLLOUT, deadline) != WaitResult::kReady) {
      reason = ETIMEDOUT;
      return {};
    }
    int failure = 0;
    socklen_t size = sizeof failure;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &failure, &size) != 0) failure = errno;
    if (failure != 0) {
      reason = failure;
      return {};
    }
    return fd;
  }
}

bool PeerIsStationUser(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) {
    return false;
  }
  if (peer.uid == 0 || peer.uid == ::geteuid()) return true;
  const std::optional<std::uint32_t> admins = AdminGroupId();
  if (!admins) return false;
  if (peer.gid == *admins) return true;
  std::vector<gid_t> groups(256);
  for (int attempt = 0; attempt < 2; ++attempt) {
    socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
      groups.resize(bytes / sizeof(gid_t));
      return std::find(groups.begin(), groups.end(), *admins) != groups.end();
    }
    // ERANGE: bytes says how many it has (at most NGROUPS_MAX, 65536 groups).
    if (errno != ERANGE || bytes / sizeof(gid_t) > 65536) return false;
    groups.resize(bytes / sizeof(gid_t));
  }
  return false;
}

std::string ErrorText(int error) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not lie in buffer.
  return ::strerror_r(error, buffer, sizeof buffer);
}

UniqueFd ListenAt(const std::string& path, mode_t mode, int backlog, std::string_view what,
                  SocketFileId* id, std::string* error) {
  auto fail = [&](std::string text) {
    if (error != nullptr) *error = std::move(text);
    return UniqueFd();
  };
  sockaddr_un address;
  if (!FillAddress(path, &address)) return fail("socket path too long: " + path);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return fail("socket: " + ErrorText(errno));
  auto bindSocket = [&] {
    return ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  };
  if (!bindSocket()) {
    if (errno != EADDRINUSE) return fail("bind(" + path + "): " + ErrorText(errno));
    // A socket file is there: a live listener keeps it, a process that died left it behind.
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) {
      return fail(path + " exists and is not a socket");
    }
    int probe = 0;
    if (ConnectWithin(path, Clock::now() + kProbeTimeout, &probe) || probe != ECONNREFUSED) {
      // Accepted, or too busy to accept within the probe: somebody is there.
      return fail("another " + std::string(what) + " listens on " + path);
    }
    ::unlink(path.c_str());
    if (!bindSocket()) return fail("bind(" + path + "): " + ErrorText(errno));
  }
  // The socket belongs to the station's users' group, so that its mode lets them in.
  if (const std::optional<std::uint32_t> group = AdminGroupId()) {
    static_cast<void>(::chown(path.c_str(), static_cast<uid_t>(-1), *group));
  }
  struct stat info {};
  if (::chmod(path.c_str(), mode) != 0 || ::stat(path.c_str(), &info) != 0) {
    std::string text = "chmod(" + path + "): " + ErrorText(errno);
    ::unlink(path.c_str());
    return fail(std::move(text));
  }
  if (::listen(fd.get(), backlog) != 0) {
    std::string text = "listen(" + path + "): " + ErrorText(errno);
    ::unlink(path.c_str());
    return fail(std::move(text));
  }
  if (id != nullptr) *id = {info.st_dev, info.st_ino};
  return fd;
}

void RemoveSocketFileIfOwn(const std::string& path, const SocketFileId& id) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && info.st_dev == id.device && info.st_ino == id.inode) {
    ::unlink(path.c_str());
  }
}

}  // namespace qx::unix_socket
