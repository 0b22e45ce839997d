// copy_progress.h - CopyProgress, the progress line of "qxstation copy" on stderr.
//
// RemoteCopyFile reports progress through a plain function without a context, so one
// CopyProgress at a time is installed as the process's current one; its Callback is what the
// copy receives. On a terminal the line is redrawn at most ten times a second; otherwise only
// the final line is written. Lives on the copying thread's stack; that thread only.
//
//   CopyProgress progress(stderr);
//   std::int32_t n = CallRemoteCopyFile(request, &CopyProgress::Callback);
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace qxstation {

class CopyProgress {
 public:
  explicit CopyProgress(std::FILE* out);
  ~CopyProgress();
  CopyProgress(const CopyProgress&) = delete;
  CopyProgress& operator=(const CopyProgress&) = delete;

  // The progress callback of the module: code 10 opened, 11 a block, 12 done. Never breaks off.
  static std::int32_t Callback(std::int32_t code, std::int32_t value);

  std::int64_t bytes() const { return bytes_; }
  bool finished() const { return finished_; }

 private:
  void Report(std::int32_t code, std::int32_t value);

  std::FILE* out_;
  bool terminal_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDrawn_;
  std::int64_t bytes_ = 0;
  bool finished_ = false;
  bool drawn_ = false;  // a partial line stands on the terminal
};

// "150000 bytes (146.5 KiB)" style amounts and "2.5 MiB/s" rates.
std::string FormatBytes(std::int64_t bytes);
std::string FormatRate(std::int64_t bytes, double seconds);

}  // namespace qxstation
