// debug_capture.h - a private runtime directory with a reader on its debug socket, for tests.
//
// The capture points QX_RUNTIME_DIR at a fresh temporary directory, binds debug.sock there and
// hands out the lines that arrive. StartViewer binds tracetree.sock as the trace viewer does.
// Destruction closes the sockets and removes the directory. One thread per object.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "platform/unix_socket.h"

namespace qx::testing {

// A socket bound to a path (and listening, for SOCK_STREAM); empty when that fails.
class BoundSocket {
 public:
  BoundSocket() = default;
  BoundSocket(int type, const std::string& path) {
    sockaddr_un address;
    if (!unix_socket::FillAddress(path, &address)) return;
    unix_socket::UniqueFd fd(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      return;
    }
    if (type == SOCK_STREAM && ::listen(fd.get(), 4) != 0) return;
    const int buffer = 1 << 20;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    fd_ = std::move(fd);
  }
  void Close() { fd_.Reset(); }
  int fd() const { return fd_.get(); }

 private:
  unix_socket::UniqueFd fd_;
};

class DebugCapture {
 public:
  DebugCapture() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qxtrace.XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
    ::setenv("QX_RUNTIME_DIR", dir_.c_str(), 1);
    reader_ = BoundSocket(SOCK_DGRAM, dir_ + "/debug.sock");
  }
  ~DebugCapture() {
    reader_.Close();
    viewer_.Close();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  const std::string& dir() const { return dir_; }
  bool ready() const { return reader_.fd() >= 0; }

  // Binds tracetree.sock as a listening stream socket (or a datagram socket).
  bool StartViewer(int type = SOCK_STREAM) {
    viewer_ = BoundSocket(type, dir_ + "/tracetree.sock");
    return viewer_.fd() >= 0;
  }
  void StopViewer() {
    viewer_.Close();
    std::filesystem::remove(dir_ + "/tracetree.sock");
  }

  // The next line, or nullopt when none arrives within timeoutMs.
  std::optional<std::string> Next(int timeoutMs = 1000) {
    pollfd entry{reader_.fd(), POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) != 1) return std::nullopt;
    std::string line(256 * 1024, '\0');
    const ssize_t n = ::recv(reader_.fd(), line.data(), line.size(), 0);
    if (n < 0) return std::nullopt;
    line.resize(static_cast<std::size_t>(n));
    return line;
  }

 private:
  std::string dir_;
  BoundSocket reader_;
  BoundSocket viewer_;
};

}  // namespace qx::testing
