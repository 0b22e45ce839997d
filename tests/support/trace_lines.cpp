// trace_lines.cpp - TraceLines.
#include "support/trace_lines.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/environment.h"
#include "trace/trace.h"

namespace qx::testing {

TraceLines::TraceLines() : path_(RuntimeDir() + "/debug.sock") {
  ::unlink(path_.c_str());
  fd_ = unix_socket::UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int size = 4 << 20;
  ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_un address;
  if (unix_socket::FillAddress(path_, &address)) {
    ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  previousType_ = Diagnosis().typeMask();
  previousLevel_ = Diagnosis().levelMask();
  Diagnosis().SetMasks(kTraceAll, kTraceAll);
}

TraceLines::~TraceLines() {
  Diagnosis().SetMasks(previousType_, previousLevel_);
  fd_.Reset();
  ::unlink(path_.c_str());
}

const std::vector<std::string>& TraceLines::Lines() {
  std::vector<char> buffer(1 << 17);
  for (;;) {
    const ssize_t n = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
    if (n < 0) break;
    lines_.emplace_back(buffer.data(), static_cast<std::size_t>(n));
  }
  return lines_;
}

int TraceLines::Count(const std::string& part) {
  int count = 0;
  for (const std::string& line : Lines()) count += line.find(part) != std::string::npos ? 1 : 0;
  return count;
}

}  // namespace qx::testing
