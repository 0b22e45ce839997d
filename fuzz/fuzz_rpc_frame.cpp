// fuzz_rpc_frame.cpp - libFuzzer target for the RPC frame reader: the header codec, the HELLO
// body and RpcClientConnection::ReadFrame on bytes as a peer sends them.
//
// The first input byte picks the reader's body maximum; the rest is the byte stream of the
// peer. It is written into one end of a local socket pair (no network), whose other end becomes
// a client connection, and frames are read until the stream ends or a frame is refused.
//
// Checks, beyond the sanitizers: a body read is exactly the announced length and never above the
// maximum (nor above kMaxHelloBytes for a HELLO), so nothing was allocated beyond the bound; a
// frame read is rebuilt byte for byte by BuildFrame from its header and body; a refused header
// is refused by DecodeHeader for the same bytes; a HELLO body that parses splits its bytes
// exactly into service and client name.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/little_endian.h"
#include "rpc/rpc_frame.h"
#include "rpc/rpc_internal.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

std::uint32_t PickMaximum(const std::uint8_t* data, std::size_t size) {
  static constexpr std::uint32_t kMaxima[] = {0, 16, 8192, 65536, 1u << 20};
  if (size == 0) return 0;
  return kMaxima[data[0] % (sizeof kMaxima / sizeof kMaxima[0])];
}

void CheckHello(const std::vector<std::uint8_t>& body) {
  std::string service;
  std::string clientName;
  if (!qx::rpc::ParseHello(body.data(), body.size(), &service, &clientName)) {
    Check(body.size() < 2 || qx::GetLe16(body.data()) > body.size() - 2);
    return;
  }
  Check(2 + service.size() + clientName.size() == body.size());
  Check(std::memcmp(body.data() + 2, service.data(), service.size()) == 0);
  // What BuildHello makes of the parts parses back to them.
  const std::vector<std::uint8_t> again = qx::rpc::BuildHello(service, clientName);
  std::string service2;
  std::string clientName2;
  Check(qx::rpc::ParseHello(again.data() + qx::rpc::kFrameHeaderSize,
                            again.size() - qx::rpc::kFrameHeaderSize, &service2, &clientName2));
  Check(service2 == service && clientName2 == clientName);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint32_t maxBody = PickMaximum(data, size);
  const std::uint8_t* stream = size > 0 ? data + 1 : data;
  const std::size_t streamSize = size > 0 ? size - 1 : 0;

  int fds[2];
  Check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
  int bufferSize = 1 << 20;
  ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
  ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  // What the socket does not take at once is not sent: the reader then sees the stream end.
  std::size_t sent = 0;
  while (sent < streamSize) {
    const ssize_t n = ::send(fds[1], stream + sent, streamSize - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  ::shutdown(fds[1], SHUT_WR);

  asio::ip::tcp::socket socket(qx::RpcClientIoContext());
  std::error_code error;
  socket.assign(asio::ip::tcp::v4(), fds[0], error);
  Check(!error);
  socket.non_blocking(true, error);
  qx::RpcClientConnection connection(qx::RpcConnectionKey{}, std::move(socket));

  const auto deadline = qx::RpcClock::now() + std::chrono::seconds(5);
  std::size_t position = 0;
  for (int frames = 0; frames < 1024; ++frames) {
    qx::rpc::FrameHeader header;
    std::vector<std::uint8_t> body;
    const qx::RpcIo read = connection.ReadFrame(&header, &body, maxBody, deadline);
    if (read == qx::RpcIo::kBadFrame) {
      Check(sent - position >= qx::rpc::kFrameHeaderSize);
      qx::rpc::FrameHeader ignored;
      Check(qx::rpc::DecodeHeader(stream + position, maxBody, &ignored) !=
            qx::rpc::FrameCheck::kOk);
      break;
    }
    if (read != qx::RpcIo::kOk) {
      // Only the end of the stream stops a read: every byte was there from the start.
      Check(read == qx::RpcIo::kEof);
      Check(sent - position < qx::rpc::kFrameHeaderSize + std::size_t{header.length});
      break;
    }
    Check(body.size() == header.length && header.length <= maxBody);
    Check(body.capacity() <= std::max<std::size_t>(maxBody, 1));
    if (header.kind == qx::rpc::FrameKind::kHello) {
      Check(header.length <= qx::rpc::kMaxHelloBytes);
      CheckHello(body);
    }
    const std::vector<std::uint8_t> rebuilt = qx::rpc::BuildFrame(header, body.data(), body.size());
    Check(rebuilt.size() <= sent - position);
    Check(std::memcmp(rebuilt.data(), stream + position, rebuilt.size()) == 0);
    position += rebuilt.size();
  }
  ::close(fds[1]);
  return 0;
}
