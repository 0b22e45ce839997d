// log_writer.h - where libqxdiagnosis.so puts its lines: the systemd journal or a log file.
//
// A configured log file wins; without one, lines go to the journal when one runs on the
// machine, else to the default file: qxdiagnosis.log beside the registry for a station of its
// own (QX_REGISTRY set), so that it never writes into the machine's station, else
// /var/log/qxremote/qxdiagnosis.log (the folder is made when missing). A line that the journal
// refuses goes to that default file instead. Each line is one write, so lines
// of concurrent threads and processes never mix.
//
// A log file never grows past its limit by more than one line: before a line would take it over,
// the file is rotated (name.2 -> name.3, name.1 -> name.2, name -> name.1; the oldest is dropped)
// and a new one begun (trace/rotating_file.h). When another process has rotated, moved or removed
// the file, the writer opens the file by its name again. Write may be called from any thread at
// once; the file lock is held for one line.
//
//   LogWriter writer("QXAgent.exe", "");
//   writer.Write(0x1, 0x4, "<doRPCCommand>...</doRPCCommand>");
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/mutex.h"
#include "trace/rotating_file.h"

namespace qx::diagnosis {

// The journal's priority of a line: errors, warnings and plain lines (every type) LOG_ERR,
// main and event lines LOG_INFO, text and detail lines LOG_DEBUG.
int PriorityOf(std::uint32_t type, std::uint32_t level);

inline constexpr const char* kDefaultLogFile = "/var/log/qxremote/qxdiagnosis.log";
// The default file of this process's station (see above).
std::string DefaultLogFile();
inline constexpr std::uint64_t kDefaultLogFileLimit = 10u << 20;
inline constexpr std::uint64_t kMinLogFileLimit = 4096;
inline constexpr int kKeptLogFiles = 3;  // name.1 .. name.3

class LogWriter {
 public:
  // identifier: the host's name (the journal's SYSLOG_IDENTIFIER and the file's line prefix);
  // logFile: the configured file, or empty; limit: the size of a file that makes it rotate
  // (raised to kMinLogFileLimit).
  LogWriter(std::string identifier, std::string logFile,
            std::uint64_t limit = kDefaultLogFileLimit);
  ~LogWriter();
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // 0 when the line was written, -1 when it was lost.
  int Write(std::uint32_t type, std::uint32_t level, std::string_view text);
  bool usesJournal() const { return useJournal_; }

 private:
  int WriteToFile(std::uint32_t type, std::uint32_t level, std::string_view text) EXCLUDES(mutex_);

  const std::string identifier_;
  const std::string path_;
  const std::uint64_t limit_;
  const bool useJournal_;
  Mutex mutex_;
  bool folderTried_ GUARDED_BY(mutex_) = false;
  // Opened at the first line; a failed open is not tried again.
  RotatingFile file_ GUARDED_BY(mutex_);
};

}  // namespace qx::diagnosis
