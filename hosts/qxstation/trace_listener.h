// trace_listener.h - TraceListener, the reader behind "qxstation trace".
//
// Binds the station's debug socket (<RuntimeDir>/debug.sock), to which the module sends every
// debug-output line as one datagram, and with the viewer marker also <RuntimeDir>/tracetree.sock,
// whose presence tells the module to write the tagged form. A socket file left by a reader that
// died is replaced; one held by a living reader is not. The object owns both sockets and
// removes their files when it goes, unless another reader has bound a new one there. One thread.
//
//   TraceListener listener(RuntimeDir(), /*viewerMarker=*/true);
//   if (!listener.Open(&error)) ...;
//   listener.Run(stdout, stopFd);   // until stopFd is readable
#pragma once

#include <cstdio>
#include <string>

#include "platform/unix_socket.h"

namespace qxstation {

class TraceListener {
 public:
  TraceListener(std::string runtimeDir, bool viewerMarker);
  ~TraceListener();
  TraceListener(const TraceListener&) = delete;
  TraceListener& operator=(const TraceListener&) = delete;

  bool Open(std::string* error);
  // Writes each line as it arrives until stopFd becomes readable (a signalfd, a pipe); returns
  // the number of lines written, or -1 when the sockets fail.
  long Run(std::FILE* out, int stopFd);

  const std::string& debugPath() const { return debugPath_; }
  const std::string& markerPath() const { return markerPath_; }

 private:
  struct Bound {
    int fd = -1;
    std::string path;
    qx::unix_socket::SocketFileId id;  // the file we bound, removed only while still ours
  };
  bool Bind(const std::string& path, Bound* bound, std::string* error);
  void Release(Bound* bound);

  std::string debugPath_;
  std::string markerPath_;  // empty without the viewer marker
  Bound debug_;
  Bound marker_;
};

}  // namespace qxstation
