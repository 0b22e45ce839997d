// copy_progress.cpp - the progress line of "qxstation copy".
#include "copy_progress.h"

#include <unistd.h>

#include "common/text.h"

namespace qxstation {
namespace {

CopyProgress* current = nullptr;

constexpr std::int32_t kOpened = 10;
constexpr std::int32_t kBlock = 11;
constexpr std::int32_t kDone = 12;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

std::string Scaled(double value, const char* suffix) {
  static const char* const kUnits[] = {"", "Ki", "Mi", "Gi", "Ti"};
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  if (unit == 0) return qx::Format("%.0f %s", value, suffix);
  return qx::Format("%.1f %s%s", value, kUnits[unit], suffix);
}

}  // namespace

CopyProgress::CopyProgress(std::FILE* out)
    : out_(out),
      terminal_(isatty(fileno(out)) == 1),
      start_(std::chrono::steady_clock::now()),
      lastDrawn_(start_) {
  current = this;
}

CopyProgress::~CopyProgress() {
  if (drawn_ && !finished_) std::fputc('\n', out_);
  if (current == this) current = nullptr;
}

std::int32_t CopyProgress::Callback(std::int32_t code, std::int32_t value) {
  if (current != nullptr) current->Report(code, value);
  return 0;
}

void CopyProgress::Report(std::int32_t code, std::int32_t value) {
  const auto now = std::chrono::steady_clock::now();
  if (code == kOpened) start_ = now;
  if (code == kBlock || code == kDone) bytes_ = value;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const std::string line = FormatBytes(bytes_) + "  " + FormatRate(bytes_, seconds);
  if (code == kDone) {
    finished_ = true;
    std::fprintf(out_, "%s%s\n", terminal_ ? "\r\033[K" : "", line.c_str());
  } else if (terminal_ && now - lastDrawn_ >= kRedrawInterval) {
    lastDrawn_ = now;
    drawn_ = true;
    std::fprintf(out_, "\r\033[K%s", line.c_str());
  }
  std::fflush(out_);
}

std::string FormatBytes(std::int64_t bytes) {
  std::string text = std::to_string(bytes) + " bytes";
  if (bytes >= 1024) text += " (" + Scaled(static_cast<double>(bytes), "B") + ")";
  return text;
}

std::string FormatRate(std::int64_t bytes, double seconds) {
  if (seconds <= 0.0) return "-- B/s";
  return Scaled(static_cast<double>(bytes) / seconds, "B/s");
}

}  // namespace qxstation
