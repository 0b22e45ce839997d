// trace_listener.cpp - reading the debug output datagrams of a station.
#include "trace_listener.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/debug_channel.h"
#include "platform/unix_socket.h"

namespace qxstation {
namespace {

// The largest datagram an AF_UNIX socket delivers in one piece here.
constexpr std::size_t kMaxDatagram = 64 * 1024;

}  // namespace

TraceListener::TraceListener(std::string runtimeDir, bool viewerMarker)
    : debugPath_(runtimeDir + "/debug.sock"),
      markerPath_(viewerMarker ? runtimeDir + "/tracetree.sock" : std::string()) {}

TraceListener::~TraceListener() {
  Release(&marker_);
  Release(&debug_);
}

bool TraceListener::Open(std::string* error) {
  if (!Bind(debugPath_, &debug_, error)) return false;
  if (!markerPath_.empty() && !Bind(markerPath_, &marker_, error)) {
    Release(&debug_);
    return false;
  }
  return true;
}

bool TraceListener::Bind(const std::string& path, Bound* bound, std::string* error) {
  sockaddr_un address;
  if (!qx::unix_socket::FillAddress(path, &address)) {
    *error = "the socket path is too long: " + path;
    return false;
  }
  struct stat info;
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      *error = path + " exists and is not a socket";
      return false;
    }
    if (qx::SocketAccepts(path)) {
      *error = "another trace reader holds " + path;
      return false;
    }
    unlink(path.c_str());
  }
  qx::unix_socket::UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    *error = "socket: " + qx::unix_socket::ErrorText(errno);
    return false;
  }
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *error = "cannot bind " + path + ": " + qx::unix_socket::ErrorText(errno);
    return false;
  }
  if (lstat(path.c_str(), &info) == 0) bound->id = {info.st_dev, info.st_ino};
  bound->fd = fd.Release();
  bound->path = path;
  return true;
}

void TraceListener::Release(Bound* bound) {
  if (bound->fd < 0) return;
  close(bound->fd);
  qx::unix_socket::RemoveSocketFileIfOwn(bound->path, bound->id);
  bound->fd = -1;
}

long TraceListener::Run(std::FILE* out, int stopFd) {
  std::vector<char> buffer(kMaxDatagram);
  long lines = 0;
  for (;;) {
    pollfd fds[2] = {{debug_.fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (fds[1].revents != 0) {
      // Take the signal (or byte) that ended the run, so that it does not stay pending.
      char taken[128];
      [[maybe_unused]] const ssize_t ignored = read(stopFd, taken, sizeof taken);
      return lines;
    }
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) return -1;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const ssize_t n = recv(debug_.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return -1;
    }
    std::fwrite(buffer.data(), 1, static_cast<std::size_t>(n), out);
    if (n == 0 || buffer[static_cast<std::size_t>(n) - 1] != '\n') std::fputc('\n', out);
    std::fflush(out);
    ++lines;
  }
}

}  // namespace qxstation
