// file.h - CFILEW and CFNameW: files of this station and names of files on other stations.
//
// CFILEW wraps one POSIX file descriptor (closed on destruction). Failures are reported by
// return value, or, after setUseExceptions(true), thrown as FileError with a text that says
// what failed. File times are FILETIMEs (100 ns since 1601-01-01 UTC): birth time (the
// modification time where the file system keeps none), access time, modification time.
// CFNameW tells a local path from "\\host\share\path" or "//host/path". One thread per object.
//
//   CFILEW file; file.setUseExceptions(true);
//   file.Open("/srv/plant.mcp"); file.Seek(65536); std::int64_t n = file.Read(buffer, 65536);
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qx {

struct FileTime {
  std::uint32_t high = 0;
  std::uint32_t low = 0;
  std::uint64_t value() const { return (std::uint64_t{high} << 32) | low; }
  static FileTime FromValue(std::uint64_t v) {
    return {static_cast<std::uint32_t>(v >> 32), static_cast<std::uint32_t>(v)};
  }
};
struct FileTimes {
  FileTime creation;
  FileTime lastAccess;
  FileTime lastWrite;
};

// The exception of a CFILEW switched to throw.
struct FileError {
  std::string text;
};

class CFILEW {
 public:
  CFILEW() = default;
  ~CFILEW();
  CFILEW(const CFILEW&) = delete;
  CFILEW& operator=(const CFILEW&) = delete;

  void setUseExceptions(bool on) { throws_ = on; }
  bool Open(const std::string& path);    // for reading; a directory does not open
  bool Create(const std::string& path);  // for writing, truncated
  bool Seek(std::uint64_t offset);
  std::int64_t Read(void* buffer, std::size_t count);         // bytes read, -1 on failure
  std::int64_t Write(const void* buffer, std::size_t count);  // bytes written, -1 on failure
  bool Close();
  bool GetTimes(FileTimes* times) const;
  bool SetTimes(const FileTimes& times);  // access and modification times
  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

 private:
  bool Fail(const char* what, const std::string& path);
  int fd_ = -1;
  bool throws_ = false;
  std::string path_;
};

// File times of a path without opening it; false when it cannot be examined.
bool GetPathTimes(const std::string& path, FileTimes* times);
// True when both paths exist and name the same file (links and ".." resolved).
bool IsSameFile(const std::string& first, const std::string& second);

class CFNameW {
 public:
  explicit CFNameW(std::string_view path);
  bool isLocalFName() const { return host_.empty(); }
  const std::string& getHost() const { return host_; }

 private:
  std::string host_;
};

}  // namespace qx
