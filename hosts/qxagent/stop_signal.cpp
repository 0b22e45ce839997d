// stop_signal.cpp - StopSignal on signalfd; StopDeadline on a thread of its own.
#include "stop_signal.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qxagent {
namespace {

std::string ErrorText(int error) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not lie in buffer.
  return ::strerror_r(error, buffer, sizeof buffer);
}

}  // namespace

StopSignal::StopSignal() {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  if (int rc = pthread_sigmask(SIG_BLOCK, &mask, nullptr); rc != 0) {
    error_ = std::string("cannot block SIGINT and SIGTERM: ") + ErrorText(rc);
    return;
  }
  fd_ = signalfd(-1, &mask, SFD_CLOEXEC);
  if (fd_ < 0) error_ = std::string("signalfd: ") + ErrorText(errno);
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
    error_ = std::string("reading the signalfd: ") + ErrorText(errno);
    return -1;
  }
}

StopDeadline::StopDeadline(std::chrono::milliseconds after, std::string line) {
  const auto deadline = std::chrono::steady_clock::now() + after;
  thread_ = std::thread([this, deadline, line = std::move(line)] { Watch(deadline, line); });
}

void StopDeadline::Watch(std::chrono::steady_clock::time_point deadline, const std::string& line) {
  qx::MutexLock lock(&mutex_);
  while (!done_) {
    if (!changed_.WaitUntil(deadline) && !done_ && std::chrono::steady_clock::now() >= deadline)
      ExitStopTimedOut(line);
  }
}

StopDeadline::~StopDeadline() {
  {
    qx::MutexLock lock(&mutex_);
    done_ = true;
    changed_.SignalAll();
  }
  thread_.join();
}

void ExitStopTimedOut(const std::string& line) {
  const std::string text = "qxagent: " + line + "\n";
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text.data(), text.size());
  _exit(kExitStopTimedOut);
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
