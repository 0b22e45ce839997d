// debug_channel.cpp - AF_UNIX datagrams for the debug output; the viewer's socket test.
//
// Each call opens its own non-blocking socket and closes it again, so nothing is shared
// between threads and nothing outlives the call.
#include "platform/debug_channel.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>

#include "platform/unix_socket.h"

namespace qx {
namespace {

using unix_socket::FillAddress;
using unix_socket::UniqueFd;

UniqueFd OpenSocket(int type) {
  return UniqueFd(::socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

}  // namespace

bool SendDebugDatagram(const std::string& path, std::string_view data) {
  sockaddr_un address;
  if (!FillAddress(path, &address)) return false;
  const UniqueFd socket = OpenSocket(SOCK_DGRAM);
  if (socket.get() < 0) return false;
  const ssize_t sent = ::sendto(socket.get(), data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), sizeof address);
  return sent == static_cast<ssize_t>(data.size());
}

bool SocketAccepts(const std::string& path) {
  sockaddr_un address;
  if (!FillAddress(path, &address)) return false;
  for (const int type : {SOCK_STREAM, SOCK_DGRAM}) {
    const UniqueFd socket = OpenSocket(type);
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
