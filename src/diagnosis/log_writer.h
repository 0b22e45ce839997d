// log_writer.h - where libqxdiagnosis.so puts its lines: the systemd journal or a log file.
//
// A configured log file wins; without one, lines go to the journal when one runs on the
// machine, else to <runtime dir>/qxdiagnosis.log. A line that the journal refuses goes to that
// default file instead. Each line is one write, so lines of concurrent threads and processes
// never mix. Write may be called from any thread at once.
//
//   LogWriter writer("QXAgent.exe", "");
//   writer.Write(0x1, 0x4, "<doRPCCommand>...</doRPCCommand>");
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace qx::diagnosis {

// The journal's priority of a line: errors, warnings and plain lines (every type) LOG_ERR,
// main and event lines LOG_INFO, text and detail lines LOG_DEBUG.
int PriorityOf(std::uint32_t type, std::uint32_t level);

class LogWriter {
 public:
  // identifier: the host's name (the journal's SYSLOG_IDENTIFIER and the file's line prefix);
  // logFile: the configured file, or empty.
  LogWriter(std::string identifier, std::string logFile);
  ~LogWriter();
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // 0 when the line was written, -1 when it was lost.
  int Write(std::uint32_t type, std::uint32_t level, std::string_view text);
  bool usesJournal() const { return useJournal_; }

 private:
  int WriteToFile(std::uint32_t type, std::uint32_t level, std::string_view text);
  int FileDescriptor();

  const std::string identifier_;
  std::string path_;
  bool useJournal_ = false;
  std::once_flag openOnce_;
  int fd_ = -1;
};

}  // namespace qx::diagnosis
