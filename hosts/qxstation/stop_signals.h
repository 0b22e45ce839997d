// stop_signals.h - StopSignals, SIGINT and SIGTERM read from a signalfd.
//
// The live commands (trace, monitor) wait in poll for their input and for the user's Ctrl-C.
// The signals are blocked for the process and read from the descriptor; they stay blocked when
// the object goes: qxstation ends right after, and a second Ctrl-C must not kill it half-way.
// Main thread, before any other thread starts (the mask is inherited).
//
//   StopSignals stop;
//   pollfd fds[] = {{input, POLLIN, 0}, {stop.fd(), POLLIN, 0}};
#pragma once

namespace qxstation {

class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  int fd() const { return fd_; }  // -1 when the signals could not be taken

 private:
  int fd_ = -1;
};

}  // namespace qxstation
