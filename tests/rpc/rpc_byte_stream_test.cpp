#include "rpc/rpc_byte_stream.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace qx {
namespace {

using Step = RpcByteStream::Step;

// A plain stream over one end of a local socket pair (no network); the test holds the other.
struct StreamPair {
  asio::io_context io;
  int peer = -1;
  std::unique_ptr<RpcByteStream> stream;

  StreamPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    peer = fds[1];
    asio::ip::tcp::socket socket(io);
    std::error_code error;
    socket.assign(asio::ip::tcp::v4(), fds[0], error);
    EXPECT_FALSE(error);
    socket.non_blocking(true, error);
    EXPECT_FALSE(error);
    stream = std::make_unique<RpcByteStream>(std::move(socket));
  }
  ~StreamPair() {
    if (peer >= 0) ::close(peer);
  }
};

// Every step of a plain stream says what the socket allows, and the wait it asks for is the one
// that lets the call go on.
TEST(RpcByteStreamTest, PlainStepsFollowTheSocketAndAskForTheRightWait) {
  struct Case {
    const char* name;
    std::function<void(StreamPair&)> arrange;  // what the peer did
    bool write;                                // the stream writes (else reads)
    Step expected;
    short pollEvents;
  };
  const Case cases[] = {
      {"nothing sent yet", [](StreamPair&) {}, false, Step::kWantRead, POLLIN},
      {"bytes have come", [](StreamPair& p) { ASSERT_EQ(::write(p.peer, "abc", 3), 3); }, false,
       Step::kDone, 0},
      {"the peer shut its side", [](StreamPair& p) { ::shutdown(p.peer, SHUT_WR); }, false,
       Step::kClosed, 0},
      {"the socket takes bytes", [](StreamPair&) {}, true, Step::kDone, 0},
      {"the socket is full",
       [](StreamPair& p) {
         std::vector<std::uint8_t> fill(64 * 1024, 1);
         for (int i = 0; i < 1000; ++i) {  // bounded: the pair's buffer is far smaller
           std::size_t done = 0;
           if (p.stream->Write(fill.data(), fill.size(), &done) != Step::kDone) return;
         }
       },
       true, Step::kWantWrite, POLLOUT},
      {"the peer is gone",
       [](StreamPair& p) {
         ::close(p.peer);
         p.peer = -1;
       },
       true, Step::kFailed, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StreamPair pair;
    EXPECT_FALSE(pair.stream->secured());
    EXPECT_EQ(pair.stream->Handshake(), Step::kDone) << "a plain stream has no handshake";
    c.arrange(pair);
    std::uint8_t buffer[16] = {'x', 'y'};
    std::size_t moved = 99;
    const Step step = c.write ? pair.stream->Write(buffer, 2, &moved)
                              : pair.stream->Read(buffer, sizeof buffer, &moved);
    EXPECT_EQ(step, c.expected);
    EXPECT_EQ(RpcByteStream::PollEvents(step), c.pollEvents);
    if (step == Step::kDone) {
      EXPECT_EQ(moved, c.write ? 2u : 3u);
    } else if (c.write) {
      EXPECT_EQ(moved, 0u) << "nothing was taken";
    }
    EXPECT_EQ(pair.stream->Flush(), Step::kDone);
    EXPECT_FALSE(pair.stream->HasUnsent());
    EXPECT_FALSE(pair.stream->HasPending());
  }
}

TEST(RpcByteStreamTest, AsyncWaitResumesOnceTheSocketIsReadyAndOnlyForAWait) {
  StreamPair pair;
  int called = 0;
  std::error_code seen = asio::error::operation_aborted;
  auto handler = [&](std::error_code error) {
    ++called;
    seen = error;
  };
  EXPECT_FALSE(pair.stream->AsyncWait(Step::kDone, handler));
  EXPECT_FALSE(pair.stream->AsyncWait(Step::kClosed, handler));
  EXPECT_FALSE(pair.stream->AsyncWait(Step::kFailed, handler));

  std::uint8_t buffer[8];
  std::size_t got = 0;
  const Step step = pair.stream->Read(buffer, sizeof buffer, &got);
  ASSERT_EQ(step, Step::kWantRead);
  ASSERT_TRUE(pair.stream->AsyncWait(step, handler));
  pair.io.poll();
  EXPECT_EQ(called, 0) << "nothing to read yet";
  ASSERT_EQ(::write(pair.peer, "q", 1), 1);
  pair.io.run_for(std::chrono::seconds(5));
  EXPECT_EQ(called, 1);
  EXPECT_FALSE(seen);
  EXPECT_EQ(pair.stream->Read(buffer, sizeof buffer, &got), Step::kDone);
  EXPECT_EQ(got, 1u);
}

}  // namespace
}  // namespace qx
