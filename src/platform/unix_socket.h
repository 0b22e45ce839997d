// unix_socket.h - the pieces that every user of a local (AF_UNIX) socket needs: an owned
// descriptor, the address of a socket file, a bounded wait, whole writes and reads within a
// deadline, a connect that gives up at a deadline, and a listening socket file that is removed
// at the end only while it is still this process's. Integers on the wire go through
// common/little_endian.h.
//
// Ownership: a UniqueFd owns one descriptor and closes it when it goes; moving hands it on.
// Every function only borrows the descriptors it is given and keeps no state, so any thread may
// call any of them, each on descriptors that it may use at that moment.
//
//   UniqueFd fd = ConnectWithin(path, Clock::now() + std::chrono::seconds(1));
//   std::uint8_t header[8];
//   if (!fd || !ReadAll(fd.get(), header, sizeof header, deadline)) return E_FAIL;
//   const std::uint32_t length = GetLe32(header + 4);
#pragma once

#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qx::unix_socket {

using Clock = std::chrono::steady_clock;

// A deadline that never comes: the wait ends only on readiness (or on the wake descriptor).
inline constexpr Clock::time_point kForever = Clock::time_point::max();

// An owned file descriptor; -1 when empty.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept;
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes the descriptor (if any); the object is empty afterwards.
  void Reset();
  // Gives the descriptor up without closing it; the caller owns it from then on.
  int Release();

 private:
  int fd_ = -1;
};

// Sets *address to the socket file path. False when path is empty or does not fit sun_path
// with its terminator; *address is then of no use.
bool FillAddress(std::string_view path, sockaddr_un* address);

enum class WaitResult { kReady, kTimeout, kWoken, kError };

// Waits until fd shows one of events (or a hang-up or error, which the following read or write
// tells apart), until the deadline passes, or until wakeFd (when >= 0) becomes readable.
WaitResult WaitFor(int fd, short events, Clock::time_point deadline, int wakeFd = -1);

// Writes all size bytes of a stream socket; SIGPIPE is never raised. False on an error, at the
// deadline or when wakeFd becomes readable: how much was written is then unknown.
bool WriteAll(int fd, const void* data, std::size_t size, Clock::time_point deadline,
              int wakeFd = -1);

// Reads exactly size bytes of a stream socket. False on the end of the stream before size
// bytes, on an error, at the deadline or when wakeFd becomes readable.
bool ReadAll(int fd, void* data, std::size_t size, Clock::time_point deadline, int wakeFd = -1);

// A non-blocking stream connection to the socket file path, or an empty UniqueFd when nothing
// accepts there before the deadline (a full backlog is tried again until then). *error (when
// given) receives the reason of a failure: the errno of the socket calls, ETIMEDOUT at the
// deadline, ENAMETOOLONG for a path that does not fit.
UniqueFd ConnectWithin(std::string_view path, Clock::time_point deadline, int* error = nullptr);

// The system's text for an errno value (strerror_r), as in "No such file or directory".
std::string ErrorText(int error);

// Which file a bound socket is: recorded right after bind, compared before the file is removed.
struct SocketFileId {
  dev_t device = 0;
  ino_t inode = 0;
};

// A non-blocking stream socket bound at path with the given mode and listening with the given
// backlog. A socket file there that nobody accepts on (left by a process that died) is replaced;
// one that accepts is not: the error then reads "another <what> listens on <path>". *id names
// the new file for RemoveSocketFileIfOwn. Empty, with *error set, on a failure.
UniqueFd ListenAt(const std::string& path, mode_t mode, int backlog, std::string_view what,
                  SocketFileId* id, std::string* error);

// True when the peer of the connected socket fd may use the station (SO_PEERCRED and
// SO_PEERGROUPS as they were at its connect): root, this process's own user, or a member of the
// group qxadmin. False when the credentials cannot be read.
bool PeerIsStationUser(int fd);

// Removes the socket file at path only while it is the one that id names, so that a socket that
// another process bound at the same path since then stays.
void RemoveSocketFileIfOwn(const std::string& path, const SocketFileId& id);

}  // namespace qx::unix_socket
