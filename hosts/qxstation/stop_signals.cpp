// stop_signals.cpp - SIGINT and SIGTERM through a signalfd.
#include "stop_signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace qxstation {

StopSignals::StopSignals() {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &mask, nullptr) == 0) fd_ = signalfd(-1, &mask, SFD_CLOEXEC);
}

StopSignals::~StopSignals() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace qxstation
