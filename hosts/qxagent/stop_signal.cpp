// stop_signal.cpp - StopSignal on signalfd.
#include "stop_signal.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qxagent {

StopSignal::StopSignal() {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  if (int rc = pthread_sigmask(SIG_BLOCK, &mask, nullptr); rc != 0) {
    error_ = std::string("cannot block SIGINT and SIGTERM: ") + std::strerror(rc);
    return;
  }
  fd_ = signalfd(-1, &mask, SFD_CLOEXEC);
  if (fd_ < 0) error_ = std::string("signalfd: ") + std::strerror(errno);
}

StopSignal::~StopSignal() {
  if (fd_ >= 0) close(fd_);
}

int StopSignal::Wait() {
  if (fd_ < 0) return -1;
  signalfd_siginfo info;
  for (;;) {
    const ssize_t n = read(fd_, &info, sizeof info);
    if (n == static_cast<ssize_t>(sizeof info)) return static_cast<int>(info.ssi_signo);
    if (n < 0 && errno == EINTR) continue;
    error_ = std::string("reading the signalfd: ") + std::strerror(errno);
    return -1;
  }
}

std::string SignalName(int signo) {
  switch (signo) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    default:
      return "signal " + std::to_string(signo);
  }
}

}  // namespace qxagent
