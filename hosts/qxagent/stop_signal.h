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

#include <chrono>
#include <string>
#include <thread>

#include "common/mutex.h"

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

// The exit code when the services did not stop within the grace after a stop signal.
inline constexpr int kExitStopTimedOut = 4;

// StopDeadline bounds the agent's stop: unless it is destroyed before `after` has passed, its
// thread writes `line` to stderr and ends the process with _exit(kExitStopTimedOut), without
// waiting for a request handler that hangs and without running static destructors under it.
// Owned by main; main thread only.
class StopDeadline {
 public:
  StopDeadline(std::chrono::milliseconds after, std::string line);
  ~StopDeadline();
  StopDeadline(const StopDeadline&) = delete;
  StopDeadline& operator=(const StopDeadline&) = delete;

 private:
  void Watch(std::chrono::steady_clock::time_point deadline, const std::string& line)
      EXCLUDES(mutex_);

  qx::Mutex mutex_;
  qx::CondVar changed_{&mutex_};
  bool done_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};

// Writes line to stderr and ends the process at once with kExitStopTimedOut.
[[noreturn]] void ExitStopTimedOut(const std::string& line);

// "SIGINT", "SIGTERM" or the number.
std::string SignalName(int signo);

}  // namespace qxagent
