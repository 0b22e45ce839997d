// file.h - CFILEW and CFNameW: files of this station and names of files on other stations.
//
// CFILEW wraps one POSIX file descriptor (closed on destruction). Failures are reported by
// return value, or, after setUseExceptions(true), thrown as FileError with a text that says
// what failed. File times are FILETIMEs (100 ns since 1601-01-01 UTC): birth time (the
// modification time where the file system keeps none), access time, modification time.
// CFNameW tells a local path from "\\host\share\path" or "//host/path". One thread per object.
//
// OpenBeneath opens a file that a peer named without ever leaving a root directory: the root
// is opened first and the path is resolved beneath that descriptor in one step, so a symbolic
// link swapped in at any moment cannot lead out; everything after the open (times, reads, the
// loader) uses the descriptor, never the path again.
//
//   CFILEW file; file.setUseExceptions(true);
//   file.Open("/srv/plant.mcp"); file.Seek(65536); std::int64_t n = file.Read(buffer, 65536);
//
//   CFILEW peerFile;
//   if (peerFile.OpenBeneath("/srv", "plants/a.mcp") == BeneathOpen::kOpened) ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/host_platform.h"

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

// How CFILEW::OpenBeneath ended.
enum class BeneathOpen {
  kOpened,      // a regular file, open for reading
  kMissing,     // nothing there, or a component on the way is not a directory
  kOutside,     // the path leaves the root: "..", an absolute or escaping symbolic link, a
                // /proc magic link, or a link loop
  kNotRegular,  // a directory, FIFO, device or socket: refused without waiting on it
  kFailed,      // any other failure (no permission, no descriptor left)
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
  // Creates a new, empty file with a unique hidden name in the folder of path (so that a
  // rename onto path is atomic) and opens it for writing; *created receives its name. It takes
  // path's permission bits (and owner, where this process may give it) when path exists, and
  // fails as Create would when path exists but this process may not write it.
  bool CreateBeside(const std::string& path, std::string* created);
  // Opens `relative` for reading beneath the directory `root` (a trusted path; its own links
  // are followed). Links within the path are followed only while they stay below the root;
  // the open never blocks (a FIFO does not wait for a writer) and anything but a regular file
  // is closed again at once. Never throws; lastError() tells why it did not open. kWalk
  // resolves component by component, as a kernel without openat2 makes it do.
  enum class Resolve { kKernel, kWalk };
  BeneathOpen OpenBeneath(const std::string& root, std::string_view relative,
                          Resolve resolve = Resolve::kKernel);
  bool Seek(std::uint64_t offset);
  std::int64_t Read(void* buffer, std::size_t count);         // bytes read, -1 on failure
  std::int64_t Write(const void* buffer, std::size_t count);  // bytes written, -1 on failure
  bool Close();
  bool GetTimes(FileTimes* times) const;
  bool SetTimes(const FileTimes& times);  // access and modification times
  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // The text of the last failure, as in "open(/srv/a.mcp): No such file or directory".
  const std::string& lastError() const { return lastError_; }

 private:
  bool Fail(const char* what, const std::string& path);
  void Remember(const char* what, const std::string& path, const std::string& reason);
  int fd_ = -1;
  bool throws_ = false;
  std::string path_;
  std::string lastError_;
};

// File times of a path without opening it; false when it cannot be examined.
bool GetPathTimes(const std::string& path, FileTimes* times);
// True when both paths exist and name the same file (links and ".." resolved).
bool IsSameFile(const std::string& first, const std::string& second);

class CFNameW {
 public:
  // platform names this computer, whose own name in a path means a local path.
  CFNameW(std::string_view path, HostPlatform& platform);
  bool isLocalFName() const { return host_.empty(); }
  const std::string& getHost() const { return host_; }

 private:
  std::string host_;
};

}  // namespace qx
