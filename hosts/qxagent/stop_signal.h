// stop_signal.h - StopSignal, the agent's wait for SIGINT or SIGTERM.
//
// The constructor blocks both signals for the calling thread and opens a signalfd for them; it
// must run on the main thread before any other thread starts, so that every thread inherits the
// blocked mask and the signals reach only the signalfd. Owned by main; main thread only.
//
//   StopSignal stop;             // first thing in main
//   ... start the servers ...
//   int signo = stop.Wait();     // SIGINT or SIGTERM
#pragma once

#include <string>

namespace qxagent {

class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // False when the signalfd could not be made; error() then says why.
  bool ok() const { return fd_ >= 0; }
  const std::string& error() const { return error_; }
  // Blocks until SIGINT or SIGTERM arrives; returns its number (-1 on a failure of the fd).
  int Wait();

 private:
  int fd_ = -1;
  std::string error_;
};

// "SIGINT", "SIGTERM" or the number.
std::string SignalName(int signo);

}  // namespace qxagent
