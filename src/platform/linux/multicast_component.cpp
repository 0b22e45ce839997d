// multicast_component.cpp - the station's multicast component, reached over a Unix socket.
//
// The one shared component lives in qxagent, which listens on <RuntimeDir()>/netqxkomm.sock
// (SOCK_STREAM, mode 0660). "Creating an instance" connects to that socket; nothing listening
// there (no file, or a stale file nobody accepts on) is kClassNotRegistered. An instance is one
// connection and may carry any number of calls, one after the other; dropping it closes the
// connection.
//
// Wire format (all integers little-endian, texts UTF-8 without terminator):
//
//   request:  u32 magic 0x314B5851 ("QXK1")   u8 kind   u8[3] zero
//             u32 receiverLength   u32 textLength   receiver bytes   text bytes
//   answer:   u32 magic   u8 kind | 0x80   u8 hasAnswer (0 or 1)   u8[2] zero
//             i32 HRESULT   u32 answerLength   answer bytes
//
//   kind 1  group send      (receiver empty)            answer: HRESULT, no text
//   kind 2  local request   (receiver empty)            answer: HRESULT and, when hasAnswer,
//                                                               the result string
//   kind 3  unicast send    (receiver: host name or IPv4 text)   answer: HRESULT, no text
//   kinds 4..15 are kept for the event subscription of the discovery work.
//
// Each length is checked against kMaxBody (16 MiB) before anything is allocated; a frame with
// a wrong magic, an unknown kind or a length beyond it ends the connection. Every read and
// write of the client ends within the RPC call timeout (settings "CallTimeoutMs"); any
// transport failure is E_FAIL.
//
// Ownership: a client instance owns its socket; the listener owns its socket, the accept
// thread and one thread per connection, all ended and joined by Stop (or the destructor).
#include "platform/multicast_component.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "platform/environment.h"
#include "platform/linux/unix_socket.h"

namespace qx {
namespace {

using unix_socket::Clock;
using unix_socket::FillAddress;
using unix_socket::GetU32;
using unix_socket::PutU32;
using unix_socket::ReadAll;
using unix_socket::UniqueFd;
using unix_socket::WriteAll;

constexpr std::uint32_t kMagic = 0x314B5851u;
constexpr std::size_t kMaxBody = 16u << 20;
constexpr std::size_t kRequestHeader = 16;
constexpr std::size_t kAnswerHeader = 16;
constexpr std::uint8_t kKindGroupSend = 1;
constexpr std::uint8_t kKindLocalRequest = 2;
constexpr std::uint8_t kKindUnicastSend = 3;
constexpr std::uint8_t kAnswerBit = 0x80;
constexpr const char* kSocketName = "netqxkomm.sock";

std::atomic<NetQXKommFactory> factoryOverride{nullptr};

bool ReadText(int fd, std::uint32_t length, std::string* out, Clock::time_point deadline) {
  if (length > kMaxBody) return false;
  out->resize(length);
  return ReadAll(fd, out->data(), length, deadline);
}

// The client end: one connection to the agent's component.
class SocketNetQXKomm final : public INetQXKomm {
 public:
  explicit SocketNetQXKomm(UniqueFd fd) : fd_(std::move(fd)) {}

  HRESULT SendToGroup(std::string_view text) override {
    return Call(kKindGroupSend, {}, text, nullptr);
  }
  HRESULT LocalRequest(std::string_view text, AnswerText* answer) override {
    return Call(kKindLocalRequest, {}, text, answer);
  }
  HRESULT SendToHost(std::string_view receiver, std::string_view text) override {
    return Call(kKindUnicastSend, receiver, text, nullptr);
  }

 private:
  HRESULT Call(std::uint8_t kind, std::string_view receiver, std::string_view text,
               AnswerText* answer) {
    if (fd_.get() < 0) return E_FAIL;
    if (receiver.size() > kMaxBody || text.size() > kMaxBody) return E_INVALIDARG;
    const auto deadline = Clock::now() + LocalCallTimeout();

    std::array<std::uint8_t, kRequestHeader> header{};
    PutU32(header.data(), kMagic);
    header[4] = kind;
    PutU32(header.data() + 8, static_cast<std::uint32_t>(receiver.size()));
    PutU32(header.data() + 12, static_cast<std::uint32_t>(text.size()));
    if (!WriteAll(fd_.get(), header.data(), header.size(), deadline) ||
        !WriteAll(fd_.get(), receiver.data(), receiver.size(), deadline) ||
        !WriteAll(fd_.get(), text.data(), text.size(), deadline)) {
      return Broken();
    }

    std::array<std::uint8_t, kAnswerHeader> reply{};
    if (!ReadAll(fd_.get(), reply.data(), reply.size(), deadline)) return Broken();
    if (GetU32(reply.data()) != kMagic || reply[4] != (kind | kAnswerBit) || reply[5] > 1) {
      return Broken();
    }
    const auto result = static_cast<HRESULT>(GetU32(reply.data() + 8));
    const std::uint32_t length = GetU32(reply.data() + 12);
    std::string body;
    if (!ReadText(fd_.get(), length, &body, deadline)) return Broken();
    if (reply[5] == 1 && answer != nullptr) *answer = std::move(body);
    return result;
  }

  // A connection out of step with the agent is never used again.
  HRESULT Broken() {
    fd_.Reset();
    return E_FAIL;
  }

  UniqueFd fd_;
};

HRESULT CreateSocketComponent(std::unique_ptr<INetQXKomm>* component) {
  sockaddr_un address{};
  if (!FillAddress(NetQXKommSocketPath(), &address)) return kClassNotRegistered;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return E_FAIL;
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return (errno == ENOMEM || errno == ENOBUFS) ? E_OUTOFMEMORY : kClassNotRegistered;
  }
  *component = std::make_unique<SocketNetQXKomm>(std::move(fd));
  return S_OK;
}

// ---- serving side ----

class SocketListener final : public NetQXKommListener {
 public:
  SocketListener(UniqueFd listenFd, std::string path, std::shared_ptr<INetQXKomm> target)
      : listenFd_(std::move(listenFd)), path_(std::move(path)), target_(std::move(target)) {
    acceptThread_ = std::thread([this] { AcceptLoop(); });
  }
  ~SocketListener() override { Stop(); }

  void Stop() override {
    std::list<Connection> connections;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopped_) return;
      stopped_ = true;
      ::shutdown(listenFd_.get(), SHUT_RDWR);
      for (auto& c : connections_) ::shutdown(c.fd.get(), SHUT_RDWR);
    }
    if (acceptThread_.joinable()) acceptThread_.join();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connections.swap(connections_);
    }
    for (auto& c : connections) {
      if (c.thread.joinable()) c.thread.join();
    }
    listenFd_.Reset();
    ::unlink(path_.c_str());
  }

 private:
  struct Connection {
    UniqueFd fd;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void AcceptLoop() {
    for (;;) {
      int fd = ::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
          std::lock_guard<std::mutex> lock(mutex_);
          if (!stopped_) continue;
        }
        return;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopped_) {
        ::close(fd);
        return;
      }
      ReapFinished();
      auto& c = connections_.emplace_back();
      c.fd = UniqueFd(fd);
      // The descriptor is closed only after the thread is joined, so that Stop never shuts
      // down a number that was already given to another file.
      c.thread = std::thread([this, &c] {
        Serve(c.fd.get());
        ::shutdown(c.fd.get(), SHUT_RDWR);  // the peer sees the end at once
        c.done = true;
      });
    }
  }

  // REQUIRES: mutex_ held.
  void ReapFinished() {
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (it->done) {
        it->thread.join();
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }

  void Serve(int fd) {
    const auto forever = unix_socket::kForever;
    for (;;) {
      std::array<std::uint8_t, kRequestHeader> header{};
      if (!ReadAll(fd, header.data(), header.size(), forever)) return;
      const std::uint8_t kind = header[4];
      if (GetU32(header.data()) != kMagic || kind < kKindGroupSend || kind > kKindUnicastSend) {
        return;
      }
      std::string receiver, text;
      if (!ReadText(fd, GetU32(header.data() + 8), &receiver, forever) ||
          !ReadText(fd, GetU32(header.data() + 12), &text, forever)) {
        return;
      }
      AnswerText answer;
      HRESULT result = E_FAIL;
      try {
        if (kind == kKindGroupSend) {
          result = target_->SendToGroup(text);
        } else if (kind == kKindLocalRequest) {
          result = target_->LocalRequest(text, &answer);
        } else {
          result = target_->SendToHost(receiver, text);
        }
      } catch (const std::bad_alloc&) {
        result = E_OUTOFMEMORY;
        answer.reset();
      } catch (...) {
        result = E_FAIL;
        answer.reset();
      }
      if (answer && answer->size() > kMaxBody) {
        answer.reset();
        result = E_OUTOFMEMORY;
      }
      std::array<std::uint8_t, kAnswerHeader> reply{};
      PutU32(reply.data(), kMagic);
      reply[4] = kind | kAnswerBit;
      reply[5] = answer ? 1 : 0;
      PutU32(reply.data() + 8, static_cast<std::uint32_t>(result));
      PutU32(reply.data() + 12, answer ? static_cast<std::uint32_t>(answer->size()) : 0);
      const auto deadline = Clock::now() + LocalCallTimeout();
      if (!WriteAll(fd, reply.data(), reply.size(), deadline)) return;
      if (answer && !WriteAll(fd, answer->data(), answer->size(), deadline)) {
        return;
      }
    }
  }

  UniqueFd listenFd_;
  std::string path_;
  std::shared_ptr<INetQXKomm> target_;
  std::thread acceptThread_;
  std::mutex mutex_;
  bool stopped_ = false;               // guarded by mutex_
  std::list<Connection> connections_;  // guarded by mutex_
};

}  // namespace

std::string NetQXKommSocketPath() { return RuntimeDir() + "/" + kSocketName; }

HRESULT CreateNetQXKomm(std::unique_ptr<INetQXKomm>* component) {
  if (component == nullptr) return E_POINTER;
  component->reset();
  try {
    if (NetQXKommFactory factory = factoryOverride.load()) return factory(component);
    return CreateSocketComponent(component);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

void SetNetQXKommFactoryForTesting(NetQXKommFactory factory) { factoryOverride.store(factory); }

std::unique_ptr<NetQXKommListener> StartNetQXKommListener(std::shared_ptr<INetQXKomm> target,
                                                          std::string* error) {
  auto fail = [error](std::string text) -> std::unique_ptr<NetQXKommListener> {
    if (error != nullptr) *error = std::move(text);
    return nullptr;
  };
  if (!target) return fail("no component to serve");
  if (!EnsureRuntimeDir()) return fail("cannot create the runtime directory " + RuntimeDir());
  const std::string path = NetQXKommSocketPath();
  sockaddr_un address{};
  if (!FillAddress(path, &address)) return fail("socket path too long: " + path);

  // A socket file that nobody accepts on was left by a process that died: replace it.
  {
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe.get() >= 0 &&
        ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
      return fail("another component already listens on " + path);
    }
    if (errno == ECONNREFUSED) ::unlink(path.c_str());
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return fail(std::string("socket: ") + std::strerror(errno));
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return fail("bind(" + path + "): " + std::strerror(errno));
  }
  ::chmod(path.c_str(), 0660);
  if (::listen(fd.get(), SOMAXCONN) != 0) {
    ::unlink(path.c_str());
    return fail(std::string("listen: ") + std::strerror(errno));
  }
  return std::make_unique<SocketListener>(std::move(fd), path, std::move(target));
}

}  // namespace qx
