// Tests of the local-socket helpers: numbers on the wire (the shared little-endian codec), socket
// file addresses, bounded waits, whole reads and writes between the two ends of a socket pair, and
// connects to socket files.
#include "platform/unix_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/little_endian.h"

namespace qx::unix_socket {
namespace {

using std::chrono::milliseconds;

struct SocketPair {
  SocketPair() {
    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      a = UniqueFd(fds[0]);
      b = UniqueFd(fds[1]);
    }
  }
  UniqueFd a;
  UniqueFd b;
};

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UnixSocketTest, NumbersAreLittleEndian) {
  const struct {
    std::uint32_t value;
    std::string bytes;
  } rows[] = {{0, std::string(4, '\0')},
              {1, std::string("\x01\0\0\0", 4)},
              {0x01020304u, "\x04\x03\x02\x01"},
              {0x80FF00FEu, std::string("\xFE\x00\xFF\x80", 4)},
              {0xFFFFFFFFu, "\xFF\xFF\xFF\xFF"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.value);
    std::uint8_t put[4] = {};
    PutLe32(put, row.value);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(put), 4), row.bytes);
    std::string appended = "x";
    AppendLe32(&appended, row.value);
    EXPECT_EQ(appended, "x" + row.bytes);
    EXPECT_EQ(GetLe32(row.bytes.data()), row.value);  // signed char input reads as bytes
  }
}

TEST(UnixSocketTest, AddressTakesOnlyPathsThatFitWithTerminator) {
  const std::size_t room = sizeof(sockaddr_un{}.sun_path);
  const struct {
    std::string path;
    bool fits;
  } rows[] = {{"", false},
              {"/run/qx/x.sock", true},
              {"/" + std::string(room - 2, 'a'), true},
              {"/" + std::string(room - 1, 'a'), false},
              {"/" + std::string(room + 40, 'a'), false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path.size());
    sockaddr_un address;
    std::memset(&address, 0x5A, sizeof address);
    ASSERT_EQ(FillAddress(row.path, &address), row.fits);
    if (!row.fits) continue;
    EXPECT_EQ(address.sun_family, AF_UNIX);
    EXPECT_EQ(std::string(address.sun_path), row.path);  // terminated, no stale bytes
  }
}

TEST(UnixSocketTest, UniqueFdClosesOnceAndReleaseGivesUp) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  UniqueFd first(fds[0]);
  UniqueFd second(fds[1]);
  UniqueFd moved(std::move(first));
  EXPECT_FALSE(first);
  EXPECT_EQ(moved.get(), fds[0]);
  moved = std::move(second);  // closes the read end it held
  EXPECT_FALSE(IsOpen(fds[0]));
  const int kept = moved.Release();
  EXPECT_EQ(kept, fds[1]);
  moved.Reset();
  EXPECT_TRUE(IsOpen(kept));
  ::close(kept);
}

TEST(UnixSocketTest, WaitForTellsReadyTimeoutAndWake) {
  SocketPair pair;
  ASSERT_TRUE(pair.a && pair.b);
  const UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  ASSERT_TRUE(wake);

  EXPECT_EQ(WaitFor(pair.a.get(), POLLIN, Clock::now() + milliseconds(30)), WaitResult::kTimeout);
  EXPECT_EQ(WaitFor(pair.a.get(), POLLIN, Clock::now() - milliseconds(5), wake.get()),
            WaitResult::kTimeout);  // a passed deadline is not a wait forever
  EXPECT_EQ(WaitFor(pair.a.get(), POLLOUT, kForever), WaitResult::kReady);

  const std::uint64_t one = 1;
  ASSERT_EQ(::write(wake.get(), &one, sizeof one), static_cast<ssize_t>(sizeof one));
  EXPECT_EQ(WaitFor(pair.a.get(), POLLIN, kForever, wake.get()), WaitResult::kWoken);
  ASSERT_EQ(::write(pair.b.get(), "z", 1), 1);
  EXPECT_EQ(WaitFor(pair.a.get(), POLLIN, kForever, wake.get()), WaitResult::kWoken);
  EXPECT_EQ(WaitFor(pair.a.get(), POLLIN, kForever), WaitResult::kReady);

  pair.b.Reset();  // a hang-up is readiness: the read that follows tells the end
  char byte;
  ASSERT_EQ(::read(pair.a.get(), &byte, 1), 1);
  EXPECT_EQ(WaitFor(pair.a.get(), POLLIN, Clock::now() + milliseconds(1000)), WaitResult::kReady);
}

TEST(UnixSocketTest, WholeBlocksCrossAFullSocketBuffer) {
  SocketPair pair;
  ASSERT_TRUE(pair.a && pair.b);
  std::vector<std::uint8_t> sent(8 << 20);
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i * 31 + 7);
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  bool written = false;
  std::thread writer([&] { written = WriteAll(pair.a.get(), sent.data(), sent.size(), deadline); });
  std::vector<std::uint8_t> received(sent.size());
  const bool read = ReadAll(pair.b.get(), received.data(), received.size(), deadline);
  writer.join();
  EXPECT_TRUE(written);
  ASSERT_TRUE(read);
  EXPECT_EQ(received, sent);
}

TEST(UnixSocketTest, ReadAndWriteFailInsteadOfHanging) {
  char buffer[16];
  {
    SCOPED_TRACE("stream ends before the block");
    SocketPair pair;
    ASSERT_EQ(::write(pair.a.get(), "abc", 3), 3);
    pair.a.Reset();
    EXPECT_FALSE(ReadAll(pair.b.get(), buffer, sizeof buffer, kForever));
  }
  {
    SCOPED_TRACE("silent peer: the deadline ends the read");
    SocketPair pair;
    ASSERT_EQ(::write(pair.a.get(), "abc", 3), 3);
    EXPECT_FALSE(ReadAll(pair.b.get(), buffer, sizeof buffer, Clock::now() + milliseconds(50)));
  }
  {
    SCOPED_TRACE("woken while waiting for the rest");
    SocketPair pair;
    const UniqueFd wake(::eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK));
    ASSERT_EQ(::write(pair.a.get(), "abc", 3), 3);
    EXPECT_FALSE(ReadAll(pair.b.get(), buffer, sizeof buffer, kForever, wake.get()));
  }
  {
    SCOPED_TRACE("peer gone: no SIGPIPE, just false");
    SocketPair pair;
    pair.b.Reset();
    EXPECT_FALSE(WriteAll(pair.a.get(), "abc", 3, kForever));
  }
  {
    SCOPED_TRACE("peer never reads: the deadline ends the write");
    SocketPair pair;
    std::vector<char> block(8 << 20, 'q');
    EXPECT_FALSE(
        WriteAll(pair.a.get(), block.data(), block.size(), Clock::now() + milliseconds(100)));
  }
}

// Each test gets a fresh directory for its socket file, removed afterwards.
class UnixSocketConnectTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(::mkdtemp(dir_.data()), nullptr); }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // A socket bound at path(); listening with the given backlog unless backlog < 0.
  UniqueFd Bind(int backlog) {
    sockaddr_un address;
    EXPECT_TRUE(FillAddress(path(), &address));
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    if (backlog >= 0) {
      EXPECT_EQ(::listen(fd.get(), backlog), 0);
    }
    return fd;
  }

  std::string path() const { return dir_ + "/s.sock"; }

  std::string dir_ = "/tmp/qx-us-XXXXXX";  // made unique by SetUp
};

TEST_F(UnixSocketConnectTest, ConnectsOnlyWhereSomebodyListens) {
  EXPECT_FALSE(ConnectWithin(path(), Clock::now() + milliseconds(200)));  // no file
  EXPECT_FALSE(ConnectWithin(dir_ + "/" + std::string(200, 'n'), Clock::now() + milliseconds(200)));
  {
    const UniqueFd bound = Bind(-1);  // a file nobody accepts on
    EXPECT_FALSE(ConnectWithin(path(), Clock::now() + milliseconds(200)));
  }
  ::unlink(path().c_str());
  const UniqueFd listener = Bind(4);
  const UniqueFd client = ConnectWithin(path(), Clock::now() + milliseconds(1000));
  ASSERT_TRUE(client);
  EXPECT_NE(::fcntl(client.get(), F_GETFL) & O_NONBLOCK, 0);
  const UniqueFd served(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  ASSERT_TRUE(served);
  ASSERT_TRUE(WriteAll(client.get(), "ping", 4, Clock::now() + milliseconds(1000)));
  char text[4];
  ASSERT_TRUE(ReadAll(served.get(), text, 4, Clock::now() + milliseconds(1000)));
  EXPECT_EQ(std::string(text, 4), "ping");
}

TEST_F(UnixSocketConnectTest, FullBacklogIsRetriedUntilTheDeadline) {
  const UniqueFd listener = Bind(0);
  const UniqueFd queued = ConnectWithin(path(), Clock::now() + milliseconds(1000));
  ASSERT_TRUE(queued);
  EXPECT_FALSE(ConnectWithin(path(), Clock::now() + milliseconds(50)));  // backlog full

  std::thread accepter([&] {
    std::this_thread::sleep_for(milliseconds(50));
    UniqueFd taken(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_TRUE(taken);
  });
  const UniqueFd late = ConnectWithin(path(), Clock::now() + std::chrono::seconds(10));
  accepter.join();
  EXPECT_TRUE(late);
}

}  // namespace
}  // namespace qx::unix_socket
