// file.cpp - CFILEW on a POSIX file descriptor, file times through statx, and CFNameW.
//
// A failure text names the call and the path and ends with the system's reason, as in
// "open(/srv/a.mcp): No such file or directory". Birth time cannot be set on Linux:
// SetTimes sets the access and modification times only. One thread per CFILEW or CFNameW.
//
// OpenBeneath resolves with openat2(RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS) on a descriptor
// of the root. A kernel without openat2 (ENOSYS) gets a walk instead: each directory on the way
// is opened with O_NOFOLLOW beneath the previous one, and any symbolic link or ".." is refused,
// which is stricter than openat2 (a link that stays inside does not open either).
#include "platform/file.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "platform/host_platform.h"
#include "platform/unix_socket.h"

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

using unix_socket::UniqueFd;

// A peer's file opens for reading only, never waits (FIFO) and never becomes a terminal.
constexpr int kPeerOpenFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int kRetriesOnRace = 4;  // openat2 answers EAGAIN when a rename races with it

BeneathOpen StatusOf(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return BeneathOpen::kMissing;
    case EXDEV:
    case ELOOP:
      return BeneathOpen::kOutside;
    case ENXIO:  // a socket, or a device without its driver
    case ENODEV:
    case EISDIR:
      return BeneathOpen::kNotRegular;
    default:
      return BeneathOpen::kFailed;
  }
}

// The descriptor, or -1 with errno set (ENOSYS when the kernel has no openat2).
int OpenWithOpenat2(int rootFd, const std::string& relative) {
  open_how how{};
  how.flags = kPeerOpenFlags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0; attempt < kRetriesOnRace; ++attempt) {
    const long fd = ::syscall(SYS_openat2, rootFd, relative.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != EAGAIN && errno != EINTR) return -1;
  }
  return -1;
}

// After a failed O_NOFOLLOW open of name in dirFd: EXDEV when name is a symbolic link (it is
// not followed, as if it led out), the open's own error otherwise.
int WalkError(int dirFd, const std::string& name, int openError) {
  struct stat info {};
  if (::fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
    return EXDEV;
  }
  return openError;
}

// The descriptor, or -1 with errno set.
int OpenByWalk(int rootFd, std::string_view relative) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string_view::npos) end = relative.size();
    const std::string_view name = relative.substr(start, end - start);
    if (name == "..") {
      errno = EXDEV;
      return -1;
    }
    if (!name.empty() && name != ".") names.emplace_back(name);
    start = end + 1;
  }
  if (names.empty()) names.emplace_back(".");

  UniqueFd dir(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
  if (!dir) return -1;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    UniqueFd next(
        ::openat(dir.get(), names[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) {
      errno = WalkError(dir.get(), names[i], errno);
      return -1;
    }
    dir = std::move(next);
  }
  const int fd = ::openat(dir.get(), names.back().c_str(), kPeerOpenFlags | O_NOFOLLOW);
  if (fd < 0) errno = WalkError(dir.get(), names.back(), errno);
  return fd;
}

}  // namespace

CFILEW::~CFILEW() {
  if (fd_ >= 0) ::close(fd_);
}

void CFILEW::Remember(const char* what, const std::string& path, const std::string& reason) {
  lastError_ = Format("%s(%s): %s", what, path.c_str(), reason.c_str());
}

bool CFILEW::Fail(const char* what, const std::string& path) {
  Remember(what, path, ErrorText(errno));
  if (throws_) throw FileError{lastError_};
  return false;
}

BeneathOpen CFILEW::OpenBeneath(const std::string& root, std::string_view relative,
                                Resolve resolve) {
  if (fd_ >= 0) Close();
  path_ = root;
  if (!relative.empty()) path_.append("/").append(relative);
  UniqueFd rootFd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!rootFd) {
    const int error = errno;
    Remember("open", root, ErrorText(error));
    return StatusOf(error) == BeneathOpen::kMissing ? BeneathOpen::kMissing : BeneathOpen::kFailed;
  }
  const std::string name = relative.empty() ? std::string(".") : std::string(relative);
  const bool walk = resolve == Resolve::kWalk;
  int fd = walk ? -1 : OpenWithOpenat2(rootFd.get(), name);
  if (walk || (fd < 0 && errno == ENOSYS)) fd = OpenByWalk(rootFd.get(), name);
  if (fd < 0) {
    const int error = errno;
    Remember("open", path_, ErrorText(error));
    return StatusOf(error);
  }
  UniqueFd file(fd);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) {
    Remember("fstat", path_, ErrorText(errno));
    return BeneathOpen::kFailed;
  }
  if (!S_ISREG(info.st_mode)) {
    Remember("open", path_, "not a regular file");
    return BeneathOpen::kNotRegular;
  }
  fd_ = file.Release();
  return BeneathOpen::kOpened;
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

bool CFILEW::CreateBeside(const std::string& path, std::string* created) {
  if (fd_ >= 0) Close();
  path_ = path;
  // ".<name>.XXXXXX" in the folder of path; a long name is cut (at a character's first byte)
  // so that the temporary one still fits a file name.
  constexpr std::size_t kMaxNameBytes = 200;
  const std::size_t slash = path.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  std::size_t nameEnd = std::min(path.size(), nameStart + kMaxNameBytes);
  while (nameEnd > nameStart && nameEnd < path.size() &&
         (static_cast<unsigned char>(path[nameEnd]) & 0xC0) == 0x80) {
    --nameEnd;
  }
  std::string name =
      path.substr(0, nameStart) + "." + path.substr(nameStart, nameEnd - nameStart) + ".XXXXXX";
  // A file that this process may not write is not replaced either.
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 && errno != ENOENT) {
    return Fail("create", path);
  }
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return Fail("create", name);
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
    // Only a privileged process may give the file another owner; a refusal keeps this one's,
    // and the permission bits then still follow the existing file's.
    if (::fchown(fd, existing.st_uid, existing.st_gid) != 0) {
    }
    if (::fchmod(fd, existing.st_mode & 0777) != 0) {
    }
  }
  fd_ = fd;
  path_ = name;
  *created = name;
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

CFNameW::CFNameW(std::string_view path, HostPlatform& platform) {
  if (path.size() < 3 || !IsSeparator(path[0]) || !IsSeparator(path[1])) return;
  std::string_view rest = path.substr(2);
  std::size_t end = 0;
  while (end < rest.size() && !IsSeparator(rest[end])) ++end;
  std::string_view host = rest.substr(0, end);
  if (host.empty()) return;
  if (host == "." || IEquals(host, "LOCAL") || IEquals(host, "THIS")) return;
  std::optional<std::string> own = platform.ComputerName();
  if (own && IEquals(host, *own)) return;
  host_ = std::string(host);
}

}  // namespace qx
