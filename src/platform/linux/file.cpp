// file.cpp - CFILEW on a POSIX file descriptor, file times through statx, and CFNameW.
//
// A failure text names the call and the path and ends with the system's reason, as in
// "open(/srv/a.mcp): No such file or directory". Birth time cannot be set on Linux:
// SetTimes sets the access and modification times only. One thread per CFILEW or CFNameW.
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "common/text.h"
#include "platform/host_platform.h"

namespace qx {
namespace {

// FILETIME of 1970-01-01 00:00:00 UTC.
constexpr std::int64_t kUnixEpochFileTime = 116444736000000000;
constexpr std::int64_t kTicksPerSecond = 10000000;  // 100 ns ticks
constexpr std::size_t kMaxChunk = 1u << 30;         // one read(2) or write(2) at most

std::string ErrorText(int error) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not lie in buffer.
  return ::strerror_r(error, buffer, sizeof buffer);
}

FileTime ToFileTime(std::int64_t seconds, std::uint32_t nanoseconds) {
  // Times before 1601 (not representable) are 0; times past the FILETIME range saturate.
  constexpr std::int64_t kMinSeconds = -kUnixEpochFileTime / kTicksPerSecond;
  constexpr std::int64_t kMaxSeconds = (INT64_MAX - kUnixEpochFileTime) / kTicksPerSecond - 1;
  if (seconds < kMinSeconds) return {};
  if (seconds > kMaxSeconds) return FileTime::FromValue(INT64_MAX);
  std::int64_t ticks = seconds * kTicksPerSecond + nanoseconds / 100 + kUnixEpochFileTime;
  return FileTime::FromValue(ticks < 0 ? 0 : static_cast<std::uint64_t>(ticks));
}

bool ToTimespec(FileTime time, timespec* out) {
  std::uint64_t value = time.value();
  if (value > static_cast<std::uint64_t>(INT64_MAX)) return false;
  std::int64_t sinceEpoch = static_cast<std::int64_t>(value) - kUnixEpochFileTime;
  std::int64_t seconds = sinceEpoch / kTicksPerSecond;
  std::int64_t rest = sinceEpoch % kTicksPerSecond;
  if (rest < 0) {  // floor division for times before 1970
    rest += kTicksPerSecond;
    --seconds;
  }
  out->tv_sec = static_cast<time_t>(seconds);
  out->tv_nsec = static_cast<long>(rest * 100);
  return true;
}

void FillTimes(const struct statx& info, FileTimes* times) {
  const statx_timestamp& birth = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_mtime;
  times->creation = ToFileTime(birth.tv_sec, birth.tv_nsec);
  times->lastAccess = ToFileTime(info.stx_atime.tv_sec, info.stx_atime.tv_nsec);
  times->lastWrite = ToFileTime(info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec);
}

constexpr unsigned kTimeMask = STATX_BTIME | STATX_ATIME | STATX_MTIME;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

CFILEW::~CFILEW() {
  if (fd_ >= 0) ::close(fd_);
}

bool CFILEW::Fail(const char* what, const std::string& path) {
  std::string text = Format("%s(%s): %s", what, path.c_str(), ErrorText(errno).c_str());
  if (throws_) throw FileError{std::move(text)};
  return false;
}

bool CFILEW::Open(const std::string& path) {
  if (fd_ >= 0) Close();
  path_ = path;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail("open", path);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    int error = S_ISDIR(info.st_mode) ? EISDIR : errno;
    ::close(fd);
    errno = error;
    return Fail("open", path);
  }
  fd_ = fd;
  return true;
}

bool CFILEW::Create(const std::string& path) {
  if (fd_ >= 0) Close();
  path_ = path;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Fail("create", path);
  fd_ = fd;
  return true;
}

bool CFILEW::Seek(std::uint64_t offset) {
  if (fd_ < 0) {
    errno = EBADF;
    return Fail("seek", path_);
  }
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
    errno = EINVAL;
    return Fail("seek", path_);
  }
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return Fail("seek", path_);
  return true;
}

std::int64_t CFILEW::Read(void* buffer, std::size_t count) {
  if (fd_ < 0) {
    errno = EBADF;
    Fail("read", path_);
    return -1;
  }
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = ::read(fd_, out + done, std::min(count - done, kMaxChunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("read", path_);
      return -1;
    }
    if (n == 0) break;  // end of file
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

std::int64_t CFILEW::Write(const void* buffer, std::size_t count) {
  if (fd_ < 0) {
    errno = EBADF;
    Fail("write", path_);
    return -1;
  }
  const auto* in = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd_, in + done, std::min(count - done, kMaxChunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("write", path_);
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

bool CFILEW::Close() {
  if (fd_ < 0) return true;
  int fd = fd_;
  fd_ = -1;
  // Linux releases the descriptor even when close reports an error; never retry it.
  if (::close(fd) != 0 && errno != EINTR) return Fail("close", path_);
  return true;
}

bool CFILEW::GetTimes(FileTimes* times) const {
  if (fd_ < 0 || times == nullptr) return false;
  struct statx info {};
  if (::statx(fd_, "", AT_EMPTY_PATH, kTimeMask, &info) != 0) return false;
  FillTimes(info, times);
  return true;
}

bool CFILEW::SetTimes(const FileTimes& times) {
  timespec both[2];
  if (!ToTimespec(times.lastAccess, &both[0]) || !ToTimespec(times.lastWrite, &both[1])) {
    errno = EINVAL;
    return Fail("futimens", path_);
  }
  if (fd_ < 0) {
    errno = EBADF;
    return Fail("futimens", path_);
  }
  if (::futimens(fd_, both) != 0) return Fail("futimens", path_);
  return true;
}

bool GetPathTimes(const std::string& path, FileTimes* times) {
  if (times == nullptr) return false;
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), 0, kTimeMask, &info) != 0) return false;
  FillTimes(info, times);
  return true;
}

bool IsSameFile(const std::string& first, const std::string& second) {
  struct stat a {};
  struct stat b {};
  return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

CFNameW::CFNameW(std::string_view path) {
  if (path.size() < 3 || !IsSeparator(path[0]) || !IsSeparator(path[1])) return;
  std::string_view rest = path.substr(2);
  std::size_t end = 0;
  while (end < rest.size() && !IsSeparator(rest[end])) ++end;
  std::string_view host = rest.substr(0, end);
  if (host.empty()) return;
  if (host == "." || IEquals(host, "LOCAL") || IEquals(host, "THIS")) return;
  std::optional<std::string> own = Host().ComputerName();
  if (own && IEquals(host, *own)) return;
  host_ = std::string(host);
}

}  // namespace qx
