// unix_socket.h - the pieces that every user of a local (AF_UNIX) socket needs: an owned
// descriptor, the address of a socket file, a bounded wait, whole writes and reads within a
// deadline, little-endian 32-bit numbers on the wire and a connect that gives up at a deadline.
//
// Ownership: a UniqueFd owns one descriptor and closes it when it goes; moving hands it on.
// Every function only borrows the descriptors it is given and keeps no state, so any thread may
// call any of them, each on descriptors that it may use at that moment.
//
//   UniqueFd fd = ConnectWithin(path, Clock::now() + std::chrono::seconds(1));
//   std::uint8_t header[8];
//   if (!fd || !ReadAll(fd.get(), header, sizeof header, deadline)) return E_FAIL;
//   const std::uint32_t length = GetU32(header + 4);
#pragma once

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

// Little-endian 32-bit numbers: Put writes and Get reads 4 bytes at the address; Append adds
// 4 bytes to the end of a string.
void PutU32(void* out, std::uint32_t value);
void AppendU32(std::string* out, std::uint32_t value);
std::uint32_t GetU32(const void* in);

// A non-blocking stream connection to the socket file path, or an empty UniqueFd when nothing
// accepts there before the deadline (a full backlog is tried again until then).
UniqueFd ConnectWithin(std::string_view path, Clock::time_point deadline);

}  // namespace qx::unix_socket
