// rotating_file.cpp - RotatingFile: open, rotate, append whole lines.
#include "trace/rotating_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace qx {

RotatingFile::RotatingFile(std::string path, std::uint64_t limit, int kept, std::uint32_t mode,
                           bool retryOpen)
    : path_(std::move(path)),
      limit_(limit),
      kept_(kept < 0 ? 0 : kept),
      mode_(mode),
      retryOpen_(retryOpen) {}

RotatingFile::~RotatingFile() {
  if (fd_ >= 0) ::close(fd_);
}

void RotatingFile::Fail(const char* step, int error) {
  lastError_ = std::string(step) + ": " + std::strerror(error);
}

int RotatingFile::Open() {
  if (fd_ >= 0 || (openTried_ && !retryOpen_)) return fd_;
  openTried_ = true;
  fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
               static_cast<mode_t>(mode_));
  if (fd_ < 0) Fail("open", errno);
  return fd_;
}

void RotatingFile::RotateIfFull(std::size_t size) {
  struct stat current {};
  if (::fstat(fd_, &current) != 0 || current.st_size == 0 ||
      static_cast<std::uint64_t>(current.st_size) + size <= limit_) {
    return;
  }
  struct stat named {};
  const bool renamedByOther = ::stat(path_.c_str(), &named) != 0 ||
                              named.st_dev != current.st_dev || named.st_ino != current.st_ino;
  if (!renamedByOther) {
    if (kept_ == 0) {
      ::unlink(path_.c_str());
    } else {
      for (int i = kept_ - 1; i >= 1; --i) {
        const std::string from = path_ + "." + std::to_string(i);
        const std::string to = path_ + "." + std::to_string(i + 1);
        ::rename(from.c_str(), to.c_str());
      }
      ::rename(path_.c_str(), (path_ + ".1").c_str());
    }
  }
  const int fresh = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                           static_cast<mode_t>(mode_));
  if (fresh >= 0) {
    ::close(fd_);
    fd_ = fresh;
  }
}

void RotatingFile::ReopenIfMoved() {
  if (fd_ < 0) return;
  struct stat open {};
  struct stat named {};
  if (::fstat(fd_, &open) != 0) return;
  if (::stat(path_.c_str(), &named) == 0 && named.st_dev == open.st_dev &&
      named.st_ino == open.st_ino) {
    return;
  }
  ::close(fd_);
  fd_ = -1;
  openTried_ = false;
  Open();
}

bool RotatingFile::Append(std::string_view line) {
  if (Open() < 0) return false;
  RotateIfFull(line.size());
  struct stat before {};
  const bool sized = ::fstat(fd_, &before) == 0;
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t n = ::write(fd_, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Fail("write", n < 0 ? errno : ENOSPC);
      // No partial line stays behind to spoil the next one.
      if (sized && rest.size() != line.size()) {
        if (::ftruncate(fd_, before.st_size) != 0) {
          // The cut failed too: the partial line stays; the next line still starts a line of
          // its own only when this one ended, which it did not. Nothing more can be done here.
        }
      }
      return false;
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace qx
