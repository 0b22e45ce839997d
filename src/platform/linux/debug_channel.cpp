// debug_channel.cpp - AF_UNIX datagrams for the debug output; the viewer's socket test.
//
// Each call opens its own non-blocking socket and closes it again, so nothing is shared
// between threads and nothing outlives the call.
#include "platform/debug_channel.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qx {
namespace {

class SocketFd {
 public:
  explicit SocketFd(int type) : fd_(::socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {}
  ~SocketFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  SocketFd(const SocketFd&) = delete;
  SocketFd& operator=(const SocketFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Fills address with path; false when the path does not fit sun_path with its terminator.
bool MakeAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.data(), path.size());
  return true;
}

}  // namespace

bool SendDebugDatagram(const std::string& path, std::string_view data) {
  sockaddr_un address;
  if (!MakeAddress(path, &address)) return false;
  SocketFd socket(SOCK_DGRAM);
  if (socket.get() < 0) return false;
  const ssize_t sent = ::sendto(socket.get(), data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), sizeof address);
  return sent == static_cast<ssize_t>(data.size());
}

bool SocketAccepts(const std::string& path) {
  sockaddr_un address;
  if (!MakeAddress(path, &address)) return false;
  for (const int type : {SOCK_STREAM, SOCK_DGRAM}) {
    SocketFd socket(type);
    if (socket.get() < 0) return false;
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
      return true;
    // A listener whose backlog is full is still there.
    if (errno == EAGAIN || errno == EINPROGRESS) return true;
    // A socket of the other kind is bound there: try that kind.
    if (errno != EPROTOTYPE) return false;
  }
  return false;
}

}  // namespace qx
