// log_writer.cpp - journal and log-file output of libqxdiagnosis.so.
#include "diagnosis/log_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/text.h"
#include "trace/trace.h"

#ifdef QX_HAVE_SYSTEMD
#include <systemd/sd-journal.h>
#endif

namespace qx::diagnosis {
namespace {

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";
constexpr const char* kDefaultLogFolder = "/var/log/qxremote";
constexpr mode_t kLogFolderMode = 0750;
constexpr std::uint32_t kLogFileMode = 0640;

bool JournalRuns() {
#ifdef QX_HAVE_SYSTEMD
  return ::access(kJournalSocket, W_OK) == 0;
#else
  return false;
#endif
}

std::string UtcTimestamp() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  ::gmtime_r(&now.tv_sec, &parts);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<long>(now.tv_nsec / 1000));
  return text;
}

}  // namespace

std::string DefaultLogFile() {
  const char* registry = std::getenv("QX_REGISTRY");
  if (registry == nullptr || *registry == '\0') return kDefaultLogFile;
  const std::string_view path(registry);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return "qxdiagnosis.log";
  return std::string(path.substr(0, slash + 1)) + "qxdiagnosis.log";
}

int PriorityOf(std::uint32_t type, std::uint32_t level) {
  if (type == kTraceAll) return LOG_ERR;
  if ((level & (kLevelMain | kLevelEvents)) != 0) return LOG_INFO;
  return LOG_DEBUG;
}

LogWriter::LogWriter(std::string identifier, std::string logFile, std::uint64_t limit)
    : identifier_(std::move(identifier)),
      path_(logFile.empty() ? DefaultLogFile() : logFile),
      limit_(std::max(limit, kMinLogFileLimit)),
      useJournal_(logFile.empty() && JournalRuns()),
      file_(path_, limit_, kKeptLogFiles, kLogFileMode, /*retryOpen=*/false) {}

LogWriter::~LogWriter() = default;

int LogWriter::Write(std::uint32_t type, std::uint32_t level, std::string_view text) {
#ifdef QX_HAVE_SYSTEMD
  if (useJournal_) {
    const std::string message(text);
    const int sent =
        sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%i", PriorityOf(type, level),
                        "SYSLOG_IDENTIFIER=%s", identifier_.c_str(), "QX_TRACE_TYPE=0x%08x", type,
                        "QX_TRACE_LEVEL=%u", level, nullptr);
    if (sent >= 0) return 0;
  }
#endif
  return WriteToFile(type, level, text);
}

int LogWriter::WriteToFile(std::uint32_t type, std::uint32_t level, std::string_view text) {
  std::string line = UtcTimestamp();
  line +=
      Format(" %s[%d]: %08x/%u ", identifier_.c_str(), static_cast<int>(::getpid()), type, level);
  line.append(text);
  line.push_back('\n');
  MutexLock lock(&mutex_);
  if (!folderTried_) {
    folderTried_ = true;
    if (path_ == kDefaultLogFile) ::mkdir(kDefaultLogFolder, kLogFolderMode);
  }
  return file_.Append(line) ? 0 : -1;
}

}  // namespace qx::diagnosis
