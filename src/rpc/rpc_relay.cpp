// rpc_relay.cpp - both ends of the agent's relay for processes that may not read the key ring:
// the header and status codec, the client's way in (RpcClientConnection::OpenThroughRelay) and
// the agent's byte pump (RpcClientConnection::Relay). The agent's listener, its checks and its
// limits live in qxagent (rpc_relay_host).
//
// An operator of the group qxadmin may use the station but must not hold the cluster key, which
// would let them act as any station of the plant. Their process connects to rpcrelay.sock in
// the runtime directory (mode 0660, group qxadmin), names the station's address and port, and
// after the agent's kConnected speaks the ordinary frame protocol (HELLO first) over the local
// socket; the agent carries the bytes over its own TLS connection. Frames, pipelining and
// copies are the same as on a direct connection.
// The functions keep no state; a connection belongs to one thread at a time (its owner).
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <asio/ip/tcp.hpp>
#include <cerrno>
#include <cstring>

#include "common/little_endian.h"
#include "platform/environment.h"
#include "platform/unix_socket.h"
#include "rpc/rpc_internal.h"
#include "rpc/rpc_tls.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kRelaySource("RemoteClient");

constexpr std::uint8_t kRelayMagic[4] = {'Q', 'X', 'R', 'L'};

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

}  // namespace

std::string RelaySocketPath() { return RuntimeDir() + "/" + kRelaySocketName; }

void EncodeRelayHeader(const RelayTarget& target, std::uint8_t* out) {
  std::memcpy(out, kRelayMagic, sizeof kRelayMagic);
  out[4] = kRelayVersion;
  out[5] = 0;
  PutLe16(out + 6, target.port);
  PutLe32(out + 8, target.address);
}

bool DecodeRelayHeader(const std::uint8_t* in, RelayTarget* target) {
  if (std::memcmp(in, kRelayMagic, sizeof kRelayMagic) != 0 || in[4] != kRelayVersion ||
      in[5] != 0) {
    return false;
  }
  target->port = GetLe16(in + 6);
  target->address = GetLe32(in + 8);
  return true;
}

RpcOpenFailure RelayFailure(RelayStatus status) {
  switch (status) {
    case RelayStatus::kConnected:
      return RpcOpenFailure::kNone;
    case RelayStatus::kKeyRefused:
      return RpcOpenFailure::kAuthentication;
    default:
      return RpcOpenFailure::kUnreachable;
  }
}

std::unique_ptr<RpcClientConnection> RpcClientConnection::OpenThroughRelay(
    const RpcConnectionKey& key, RpcClock::time_point deadline, RpcOpenFailure* failure) {
  *failure = RpcOpenFailure::kUnreachable;
  const std::string peer =
      asio::ip::address_v4(key.address).to_string() + ":" + std::to_string(key.port);
  const std::string path = RelaySocketPath();
  int error = 0;
  unix_socket::UniqueFd fd = unix_socket::ConnectWithin(path, deadline, &error);
  if (!fd) {
    TraceWarning(kRelaySource,
                 "RPC: this process may not read the key ring, and the agent's relay %s does not "
                 "take it (%s); %s cannot be called",
                 path.c_str(), unix_socket::ErrorText(error).c_str(), peer.c_str());
    return nullptr;
  }
  std::uint8_t header[kRelayHeaderSize];
  EncodeRelayHeader({key.address, key.port}, header);
  std::uint8_t status = 0;
  if (!unix_socket::WriteAll(fd.get(), header, sizeof header, deadline) ||
      !unix_socket::ReadAll(fd.get(), &status, 1, deadline)) {
    return nullptr;
  }
  const auto relayStatus = static_cast<RelayStatus>(status);
  if (relayStatus != RelayStatus::kConnected) {
    *failure = RelayFailure(relayStatus);
    if (*failure == RpcOpenFailure::kNone) *failure = RpcOpenFailure::kUnreachable;
    TraceWarning(kRelaySource, "RPC: the agent's relay could not connect to %s (status %u)",
                 peer.c_str(), static_cast<unsigned>(status));
    return nullptr;
  }
  asio::ip::tcp::socket socket(RpcClientIoContext());
  std::error_code assigned;
  // The socket is a local stream: asio only moves its bytes.
  socket.assign(asio::ip::tcp::v4(), fd.get(), assigned);
  if (assigned) return nullptr;
  fd.Release();
  *failure = RpcOpenFailure::kNone;
  return std::make_unique<RpcClientConnection>(key, std::move(socket));
}

RpcIo RpcClientConnection::Relay(int fd, std::chrono::milliseconds idle, int wakeFd) {
  using Step = RpcByteStream::Step;
  if (!stream_.secured()) return RpcIo::kError;
  std::vector<std::uint8_t> up(kRelayBufferBytes);    // from the local socket to the station
  std::vector<std::uint8_t> down(kRelayBufferBytes);  // from the station to the local socket
  std::size_t upEnd = 0;
  std::size_t downBegin = 0;
  std::size_t downEnd = 0;
  bool stationEnded = false;
  RpcClock::time_point lastMoved = RpcClock::now();
  for (;;) {
    bool moved = false;
    short stationEvents = 0;
    if (upEnd < up.size()) {
      const ssize_t n = ::recv(fd, up.data() + upEnd, up.size() - upEnd, MSG_DONTWAIT);
      if (n == 0) return RpcIo::kEof;  // the caller is gone: nobody takes an answer any more
      if (n < 0 && !WouldBlock(errno)) return RpcIo::kError;
      if (n > 0) {
        upEnd += static_cast<std::size_t>(n);
        moved = true;
      }
    }
    if (upEnd > 0 || stream_.HasUnsent()) {
      std::size_t sent = 0;
      const Step step = upEnd > 0 ? stream_.Write(up.data(), upEnd, &sent) : stream_.Flush();
      if (step == Step::kClosed || step == Step::kFailed) return RpcIo::kError;
      if (sent > 0) {
        std::memmove(up.data(), up.data() + sent, upEnd - sent);
        upEnd -= sent;
        moved = true;
      }
      stationEvents |= RpcByteStream::PollEvents(step);
      if (step == Step::kDone && stream_.HasUnsent()) stationEvents |= POLLOUT;
    }
    if (downBegin > 0) {
      std::memmove(down.data(), down.data() + downBegin, downEnd - downBegin);
      downEnd -= downBegin;
      downBegin = 0;
    }
    if (!stationEnded && downEnd < down.size()) {
      std::size_t got = 0;
      const Step step = stream_.Read(down.data() + downEnd, down.size() - downEnd, &got);
      if (step == Step::kFailed) return RpcIo::kError;
      if (step == Step::kClosed) stationEnded = true;
      if (step == Step::kDone && got > 0) {
        downEnd += got;
        moved = true;
      }
      stationEvents |= RpcByteStream::PollEvents(step);
    }
    if (downEnd > downBegin) {
      const ssize_t n =
          ::send(fd, down.data() + downBegin, downEnd - downBegin, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && !WouldBlock(errno)) return RpcIo::kError;
      if (n > 0) {
        downBegin += static_cast<std::size_t>(n);
        moved = true;
      }
    }
    if (stationEnded && downBegin == downEnd) return RpcIo::kEof;
    const RpcClock::time_point now = RpcClock::now();
    if (moved) {
      lastMoved = now;
      continue;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(lastMoved + idle - now).count();
    if (left <= 0) return RpcIo::kTimeout;
    pollfd entries[3] = {
        {fd,
         static_cast<short>((upEnd < up.size() ? POLLIN : 0) | (downEnd > downBegin ? POLLOUT : 0)),
         0},
        // A socket nobody waits on is left out, so that its hang-up cannot spin the loop.
        {stationEvents != 0 ? stream_.socket().native_handle() : -1, stationEvents, 0},
        {wakeFd, POLLIN, 0},
    };
    const int ready = ::poll(entries, wakeFd >= 0 ? 3 : 2,
                             static_cast<int>(std::min<long long>(left, 0x7FFFFFFF)));
    if (ready < 0 && errno != EINTR) return RpcIo::kError;
    // A caller that hung up while its bytes still wait for the station: nobody reads on.
    if ((entries[0].events & POLLIN) == 0 && (entries[0].revents & (POLLHUP | POLLERR)) != 0) {
      return RpcIo::kEof;
    }
    if (wakeFd >= 0 && (entries[2].revents & POLLIN) != 0) return RpcIo::kTimeout;
  }
}

}  // namespace qx
