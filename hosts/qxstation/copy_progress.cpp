// copy_progress.cpp - the progress line of "qxstation copy".
#include "copy_progress.h"

#include <signal.h>

#include <algorithm>
#include <cmath>

#include "common/text.h"
#include "output.h"

namespace qxstation {
namespace {

CopyProgress* current = nullptr;
volatile sig_atomic_t breakRequested = 0;

constexpr std::int32_t kOpened = 10;
constexpr std::int32_t kBlock = 11;
constexpr std::int32_t kDone = 12;
constexpr std::int32_t kBreak = 1;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

std::string Rate(double bytesPerSecond) {
  static const char* const kUnits[] = {"kB/s", "MB/s", "GB/s", "TB/s"};
  double value = bytesPerSecond / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  return qx::Format("%7.2f%s", value, kUnits[unit]);
}

}  // namespace

std::string ProgressLine(std::uint64_t bytes, std::optional<std::uint64_t> total, double seconds,
                         bool done) {
  std::string share = "?%";
  if (done) {
    share = "100%";
  } else if (total && *total > 0) {
    share = std::to_string(std::min<std::uint64_t>(99, bytes * 100 / *total)) + "%";
  } else if (total) {
    share = "0%";
  }
  const double rate = seconds > 0.0 ? static_cast<double>(bytes) / seconds : 0.0;
  double shownSeconds = seconds;
  if (!done && total && rate > 0.0) {
    shownSeconds = *total > bytes ? static_cast<double>(*total - bytes) / rate : 0.0;
  }
  const auto wholeSeconds = static_cast<std::uint64_t>(std::max(0.0, std::floor(shownSeconds)));
  return qx::Format("%13s %4s %s %10s", WithThousands(bytes).c_str(), share.c_str(),
                    Rate(rate).c_str(), ClockTime(wholeSeconds).c_str());
}

CopyProgress::CopyProgress(std::FILE* out, bool terminal, std::optional<std::uint64_t> total)
    : out_(out),
      terminal_(terminal),
      total_(total),
      start_(std::chrono::steady_clock::now()),
      lastDrawn_(start_),
      end_(start_) {
  current = this;
}

CopyProgress::~CopyProgress() {
  if (drawn_ && !finished_) {
    std::fputc('\n', out_);
    std::fflush(out_);
  }
  if (current == this) current = nullptr;
}

std::int32_t CopyProgress::Callback(std::int32_t code, std::int32_t value) {
  if (current == nullptr) return breakRequested != 0 ? kBreak : 0;
  return current->Report(code, value);
}

void CopyProgress::RequestBreak() { breakRequested = 1; }

bool CopyProgress::BreakRequested() { return breakRequested != 0; }

double CopyProgress::seconds() const {
  const auto end = finished_ ? end_ : std::chrono::steady_clock::now();
  return std::chrono::duration<double>(end - start_).count();
}

std::int32_t CopyProgress::Report(std::int32_t code, std::int32_t value) {
  const auto now = std::chrono::steady_clock::now();
  if (code == kOpened) start_ = now;
  if ((code == kBlock || code == kDone) && value >= 0) bytes_ = static_cast<std::uint64_t>(value);
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  if (code == kDone) {
    finished_ = true;
    end_ = now;
    const std::string line = ProgressLine(bytes_, total_, elapsed, true);
    std::fprintf(out_, "%s%s\n", terminal_ ? "\r" : "", line.c_str());
    std::fflush(out_);
  } else if (terminal_ && (!drawn_ || now - lastDrawn_ >= kRedrawInterval)) {
    lastDrawn_ = now;
    drawn_ = true;
    const std::string line = ProgressLine(bytes_, total_, elapsed, false);
    std::fprintf(out_, "\r%s", line.c_str());
    std::fflush(out_);
  }
  return breakRequested != 0 ? kBreak : 0;
}

}  // namespace qxstation
