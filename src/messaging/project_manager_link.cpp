// project_manager_link.cpp - the project manager's request object over a Unix stream socket.
//
// One connection carries one exchange. The request is a 32-bit length and that many bytes of
// UTF-8 (the top bit of the length marks a request forwarded on behalf of another station,
// which is served as one without a local caller); the answer is a 32-bit HRESULT, one byte that
// says whether an answer text was written, a 32-bit length and that many bytes of UTF-8. Every
// number is little-endian. Both sides check a length against kMaxProjectManagerMessage before they
// allocate for it, and every wait is bounded, so neither side hangs on a peer that stops talking.
//
// The serving side is a LocalListener: at most kMaxConnections connections are served at
// once, each on its own thread, which reads the request (the whole of it within
// LocalCallTimeout()), runs the handler and writes the answer; further clients wait in the
// backlog. Stop wakes every waiting read, waits for the handlers that run, and removes the socket
// file (only while it is still this listener's). The client side keeps no state; any thread may
// call it.
#include "messaging/project_manager_link.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <utility>

#include "common/little_endian.h"
#include "common/text.h"
#include "platform/environment.h"
#include "platform/local_listener.h"
#include "platform/unix_socket.h"

namespace qx {
namespace {

using unix_socket::Clock;
using unix_socket::ConnectWithin;
using unix_socket::LocalListener;
using unix_socket::ReadAll;
using unix_socket::UniqueFd;
using unix_socket::WriteAll;

constexpr const char* kSocketName = "projectmgr.sock";
constexpr auto kProbeTimeout = std::chrono::milliseconds(500);  // "does it accept?"
constexpr std::size_t kMaxConnections = 16;
constexpr std::size_t kAnswerHeaderSize = 9;           // HRESULT, has-answer byte, length
constexpr std::uint32_t kForwardedFlag = 0x80000000u;  // in a request's length word

thread_local std::optional<std::uint32_t> t_peerUid;

// Reads one request, hands it to the handler and writes the answer.
void ServeRequest(const ProjectManagerHandler& handler, int fd, int wakeFd) {
  const Clock::time_point deadline = Clock::now() + LocalCallTimeout();
  char lengthBytes[4];
  if (!ReadAll(fd, lengthBytes, sizeof lengthBytes, deadline, wakeFd)) return;
  const std::uint32_t word = GetLe32(lengthBytes);
  // Any client may mark its request as forwarded: that only takes its own credentials away.
  const bool forwarded = (word & kForwardedFlag) != 0;
  const std::uint32_t length = word & ~kForwardedFlag;
  if (length > kMaxProjectManagerMessage) return;
  std::string request(length, '\0');
  if (!ReadAll(fd, request.data(), length, deadline, wakeFd)) return;

  ucred peer{};
  socklen_t size = sizeof peer;
  if (!forwarded && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) {
    t_peerUid = static_cast<std::uint32_t>(peer.uid);
  }
  AnswerText answer;
  HRESULT hr = E_FAIL;
  try {
    hr = handler(request, &answer);
  } catch (...) {
    hr = E_FAIL;  // a handler's failure never takes the listener down
  }
  t_peerUid.reset();
  if (answer && answer->size() > kMaxProjectManagerMessage) {
    answer.reset();  // the client would refuse it: say plainly that the request failed
    hr = E_FAIL;
  }

  std::string frame;
  frame.reserve(kAnswerHeaderSize + (answer ? answer->size() : 0));
  AppendLe32(&frame, static_cast<std::uint32_t>(hr));
  frame.push_back(answer ? 1 : 0);
  AppendLe32(&frame, answer ? static_cast<std::uint32_t>(answer->size()) : 0);
  if (answer) frame += *answer;
  // The answer goes out even while Stop waits: the handler has done its work.
  WriteAll(fd, frame.data(), frame.size(), Clock::now() + LocalCallTimeout());
}

class UnixProjectManagerListener final : public ProjectManagerListener {
 public:
  explicit UnixProjectManagerListener(std::unique_ptr<LocalListener> listener)
      : listener_(std::move(listener)) {}
  void Stop() override { listener_->Stop(); }

 private:
  std::unique_ptr<LocalListener> listener_;
};

}  // namespace

std::string ProjectManagerSocketPath() { return RuntimeDir() + "/" + kSocketName; }

bool ProjectManagerSocketAccepts() {
  return static_cast<bool>(ConnectWithin(ProjectManagerSocketPath(), Clock::now() + kProbeTimeout));
}

HRESULT ProjectManagerHandleRequest(std::string_view request, AnswerText* answer) {
  return ProjectManagerHandleRequest(request, answer,
                                     static_cast<std::uint32_t>(LocalCallTimeout().count()));
}

namespace {

HRESULT Exchange(std::string_view request, AnswerText* answer, std::uint32_t callTimeoutMs,
                 bool forwarded) {
  if (request.size() > kMaxProjectManagerMessage) return E_FAIL;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(callTimeoutMs);
  UniqueFd fd = ConnectWithin(ProjectManagerSocketPath(), deadline);
  if (!fd) return E_FAIL;

  std::string frame;
  frame.reserve(4 + request.size());
  AppendLe32(&frame,
             static_cast<std::uint32_t>(request.size()) | (forwarded ? kForwardedFlag : 0u));
  frame.append(request);
  if (!WriteAll(fd.get(), frame.data(), frame.size(), deadline)) return E_FAIL;

  char header[kAnswerHeaderSize];
  if (!ReadAll(fd.get(), header, sizeof header, deadline)) return E_FAIL;
  const auto hr = static_cast<HRESULT>(GetLe32(header));
  const auto hasAnswer = static_cast<unsigned char>(header[4]);
  const std::uint32_t length = GetLe32(header + 5);
  if (hasAnswer > 1 || length > kMaxProjectManagerMessage) return E_FAIL;
  std::string text(length, '\0');
  if (!ReadAll(fd.get(), text.data(), length, deadline)) return E_FAIL;
  if (hasAnswer != 0 && answer != nullptr) *answer = std::move(text);
  return hr;
}

}  // namespace

HRESULT ProjectManagerHandleRequest(std::string_view request, AnswerText* answer,
                                    std::uint32_t callTimeoutMs) {
  return Exchange(request, answer, callTimeoutMs, false);
}

HRESULT ProjectManagerForwardRequest(std::string_view request, AnswerText* answer) {
  return Exchange(request, answer, static_cast<std::uint32_t>(LocalCallTimeout().count()), true);
}

std::unique_ptr<ProjectManagerListener> StartProjectManagerListener(ProjectManagerHandler handler,
                                                                    std::string* error) {
  auto fail = [error](std::string text) -> std::unique_ptr<ProjectManagerListener> {
    if (error != nullptr) *error = std::move(text);
    return nullptr;
  };
  if (!handler) return fail("no request handler");
  if (!EnsureRuntimeDir()) {
    return fail(Format("cannot create the runtime directory %s: %s", RuntimeDir().c_str(),
                       unix_socket::ErrorText(errno).c_str()));
  }
  auto listener = LocalListener::Start(
      ProjectManagerSocketPath(), "project manager", kMaxConnections,
      [handler = std::move(handler)](int fd, int wakeFd) { ServeRequest(handler, fd, wakeFd); },
      error);
  if (!listener) return nullptr;
  return std::make_unique<UnixProjectManagerListener>(std::move(listener));
}

std::optional<std::uint32_t> ProjectManagerPeerUid() { return t_peerUid; }

}  // namespace qx
