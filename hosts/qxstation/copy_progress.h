// copy_progress.h - CopyProgress, the progress line of "qxstation copy" on stderr.
//
// The line reads like rsync's --info=progress2: bytes so far, the share of the whole, the rate
// and the time left (or, once done, the time taken):
//
//      12,345,678  45%   10.23MB/s    0:00:03
//
// On a terminal it is redrawn in place (\r) at most ten times a second and ended with a newline;
// elsewhere only the final line is written. The whole size is known only when the caller knows
// it (the file lies on this machine); otherwise the share shows "?%" and the time column the
// time so far. A user break (Ctrl-C, through RequestBreak from a signal handler) makes the next
// callback return the break, which the copy honours before writing on.
//
// RemoteCopyFile reports progress through a plain function without a context, so one
// CopyProgress at a time is installed as the process's current one; its Callback is what the
// copy receives. Lives on the copying thread's stack; that thread only (RequestBreak: any
// thread or a signal handler).
//
//   CopyProgress progress(stderr, isatty(STDERR_FILENO) == 1, std::nullopt);
//   std::int32_t n = CallRemoteCopyFile(request, &CopyProgress::Callback);
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace qxstation {

class CopyProgress {
 public:
  CopyProgress(std::FILE* out, bool terminal, std::optional<std::uint64_t> total);
  ~CopyProgress();
  CopyProgress(const CopyProgress&) = delete;
  CopyProgress& operator=(const CopyProgress&) = delete;

  // The progress callback of the module: code 10 opened, 11 a block, 12 done. Returns 1 (break)
  // once a break was requested, else 0.
  static std::int32_t Callback(std::int32_t code, std::int32_t value);
  // Async-signal-safe.
  static void RequestBreak();
  static bool BreakRequested();

  std::uint64_t bytes() const { return bytes_; }
  bool finished() const { return finished_; }
  double seconds() const;

 private:
  std::int32_t Report(std::int32_t code, std::int32_t value);

  std::FILE* out_;
  bool terminal_;
  std::optional<std::uint64_t> total_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDrawn_;
  std::chrono::steady_clock::time_point end_;
  std::uint64_t bytes_ = 0;
  bool finished_ = false;
  bool drawn_ = false;  // a partial line stands on the terminal
};

// One progress line (without \r or newline). total: the whole size when known; done: the copy
// ended (100%, time taken) rather than running (time left, or time so far without a total).
std::string ProgressLine(std::uint64_t bytes, std::optional<std::uint64_t> total, double seconds,
                         bool done);

}  // namespace qxstation
