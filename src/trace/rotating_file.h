// rotating_file.h - an append-only log file that rotates by size: name -> name.1 -> ... ->
// name.K, the oldest dropped.
//
// Before a line would take the file past its limit, the file is rotated and a new one begun, so
// a file never grows past the limit by more than one line (a line larger than the limit goes
// into a file of its own). When another process has rotated the file already, the writer just
// opens the new one; ReopenIfMoved, which the owner calls when it likes (a stat), opens the file
// by its name again when the name no longer names the open file (moved or removed), so that lines
// never go on into a file that is gone. Each line is one write; a
// write that fails part way (a full disk) is cut back, so that no partial line stays. The file
// is opened at the first line, with O_NOFOLLOW; a failed open is tried again at the next line
// only when retryOpen says so. Not thread-safe: the owner serialises Append (and holds the one
// descriptor).
//
//   RotatingFile file("/var/log/qxremote/audit.jsonl", 10u << 20, 5, 0640);
//   if (!file.Append(line)) TraceError(kSource, "lost: %s", file.lastError().c_str());
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qx {

class RotatingFile {
 public:
  // limit: the size that makes the file rotate; kept: the rotated files kept (name.1 ..
  // name.kept; 0 keeps none); mode: of a file made new.
  RotatingFile(std::string path, std::uint64_t limit, int kept, std::uint32_t mode,
               bool retryOpen = true);
  ~RotatingFile();
  RotatingFile(const RotatingFile&) = delete;
  RotatingFile& operator=(const RotatingFile&) = delete;

  // Writes line (which should end with '\n') whole; false when it was not written.
  bool Append(std::string_view line);
  // The open descriptor (opening it when none is), or -1.
  int Open();
  // Opens the file by its name again when the name no longer names the open file.
  void ReopenIfMoved();
  const std::string& path() const { return path_; }
  // What the last failure was ("write: No space left on device").
  const std::string& lastError() const { return lastError_; }

 private:
  void RotateIfFull(std::size_t size);
  void Fail(const char* step, int error);

  const std::string path_;
  const std::uint64_t limit_;
  const int kept_;
  const std::uint32_t mode_;
  const bool retryOpen_;
  bool openTried_ = false;
  int fd_ = -1;
  std::string lastError_;
};

}  // namespace qx
