// netqxkomm.cpp - the station's multicast component, reached over a Unix socket.
//
// The one shared component lives in qxagent, which listens on <RuntimeDir()>/netqxkomm.sock
// (SOCK_STREAM, mode 0660). "Creating an instance" connects to that socket; nothing listening
// there (no file, or a stale file nobody accepts on) is kClassNotRegistered. An instance is one
// connection and may carry any number of calls, one after the other; dropping it closes the
// connection.
//
// Wire format: see netqxkomm_wire.h (request, answer and event frames).
//
// Each length is checked before anything is allocated (a receiver of at most kMaxReceiver
// bytes, a text or answer of at most kMaxBody, 16 MiB); a frame with a wrong magic, an unknown
// kind or a length beyond them ends the connection. The client's connect and every call end
// within LocalCallTimeout(); any transport failure is E_FAIL.
//
// The serving side reads each whole request (from the end of the previous answer, or from the
// accept, to its last byte) within LocalCallTimeout(): a client that stays silent or trickles is
// dropped at that deadline. The station's metrics (kStationMetricsRequest) are answered only to
// root, the agent's own user and the group qxadmin (SO_PEERCRED, SO_PEERGROUPS). At most
// kMaxConnections connections are served at once; further clients wait in the socket's backlog
// until one ends (see LocalListener). A connection that advised becomes a subscriber: from then on
// it only carries events (see netqxkomm_events.h).
//
// Ownership: a client instance owns its socket; the listener owns its LocalListener, which owns
// the socket file, the accept thread and the connection threads, all ended by Stop (or the
// destructor).
#include "messaging/netqxkomm.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "common/little_endian.h"
#include "common/mutex.h"
#include "messaging/netqxkomm_events.h"
#include "messaging/netqxkomm_station.h"
#include "messaging/netqxkomm_wire.h"
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

using namespace netqxkomm_wire;

// Subscribers hold a connection thread each; NetQXKommEvents keeps them to a number below this
// cap, so that calls always find a thread.
constexpr std::size_t kMaxConnections = 32;
constexpr std::size_t kRequestHeader = kHeaderBytes;
constexpr std::size_t kAnswerHeader = kHeaderBytes;

// The component of this process, when the process is the agent that runs it.
struct ProcessComponent {
  Mutex mutex;
  std::weak_ptr<INetQXKomm> component GUARDED_BY(mutex);
};

ProcessComponent& TheProcessComponent() {
  static ProcessComponent process;
  return process;
}

// An instance that calls the process's own component, which it keeps alive for its use.
class BorrowedNetQXKomm final : public INetQXKomm {
 public:
  explicit BorrowedNetQXKomm(std::shared_ptr<INetQXKomm> target) : target_(std::move(target)) {}
  HRESULT SendToGroup(std::string_view text) override { return target_->SendToGroup(text); }
  HRESULT LocalRequest(std::string_view text, AnswerText* answer) override {
    return target_->LocalRequest(text, answer);
  }
  HRESULT SendToHost(std::string_view receiver, std::string_view text) override {
    return target_->SendToHost(receiver, text);
  }

 private:
  const std::shared_ptr<INetQXKomm> target_;
};

bool ReadText(int fd, std::uint32_t length, std::size_t limit, std::string* out,
              Clock::time_point deadline, int wakeFd = -1) {
  if (length > limit) return false;
  out->resize(length);
  return ReadAll(fd, out->data(), length, deadline, wakeFd);
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
    if (receiver.size() > kMaxReceiver || text.size() > kMaxBody) return E_INVALIDARG;
    const auto deadline = Clock::now() + LocalCallTimeout();

    std::array<std::uint8_t, kRequestHeader> header{};
    PutLe32(header.data(), kMagic);
    header[4] = kind;
    PutLe32(header.data() + 8, static_cast<std::uint32_t>(receiver.size()));
    PutLe32(header.data() + 12, static_cast<std::uint32_t>(text.size()));
    if (!WriteAll(fd_.get(), header.data(), header.size(), deadline) ||
        !WriteAll(fd_.get(), receiver.data(), receiver.size(), deadline) ||
        !WriteAll(fd_.get(), text.data(), text.size(), deadline)) {
      return Broken();
    }

    std::array<std::uint8_t, kAnswerHeader> reply{};
    if (!ReadAll(fd_.get(), reply.data(), reply.size(), deadline)) return Broken();
    if (GetLe32(reply.data()) != kMagic || reply[4] != (kind | kAnswerBit) || reply[5] > 1) {
      return Broken();
    }
    const auto result = static_cast<HRESULT>(GetLe32(reply.data() + 8));
    const std::uint32_t length = GetLe32(reply.data() + 12);
    std::string body;
    if (!ReadText(fd_.get(), length, kMaxBody, &body, deadline)) return Broken();
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
  int reason = 0;
  UniqueFd fd = ConnectWithin(NetQXKommSocketPath(), Clock::now() + LocalCallTimeout(), &reason);
  if (!fd) {
    if (reason == ENOMEM || reason == ENOBUFS) return E_OUTOFMEMORY;
    // A component that does not accept within the call timeout is there but unusable.
    return reason == ETIMEDOUT ? E_FAIL : kClassNotRegistered;
  }
  *component = std::make_unique<SocketNetQXKomm>(std::move(fd));
  return S_OK;
}

// ---- serving side ----

bool WriteAnswer(int fd, std::uint8_t kind, HRESULT result, const AnswerText& answer) {
  std::array<std::uint8_t, kAnswerHeader> reply{};
  PutLe32(reply.data(), kMagic);
  reply[4] = kind | kAnswerBit;
  reply[5] = answer ? 1 : 0;
  PutLe32(reply.data() + 8, static_cast<std::uint32_t>(result));
  PutLe32(reply.data() + 12, answer ? static_cast<std::uint32_t>(answer->size()) : 0);
  // The answer goes out even while Stop waits: the component has done its work.
  const auto answerDeadline = Clock::now() + LocalCallTimeout();
  return WriteAll(fd, reply.data(), reply.size(), answerDeadline) &&
         (!answer || WriteAll(fd, answer->data(), answer->size(), answerDeadline));
}

HRESULT Call(INetQXKomm& target, std::uint8_t kind, const std::string& receiver,
             const std::string& text, AnswerText* answer) {
  try {
    if (kind == kKindGroupSend) return target.SendToGroup(text);
    if (kind == kKindLocalRequest) return target.LocalRequest(text, answer);
    return target.SendToHost(receiver, text);
  } catch (const std::bad_alloc&) {
    answer->reset();
    return E_OUTOFMEMORY;
  } catch (...) {
    answer->reset();
    return E_FAIL;
  }
}

// Serves the requests of one connection, one after the other, until the client ends it, breaks
// the protocol, misses a deadline or Stop wakes the connection. After a successful advise the
// connection carries the subscriber's events until the subscription ends.
void ServeConnection(INetQXKomm& target, SubscriberHub* events, int fd, int wakeFd) {
  // The socket file's mode lets only the station's users in; the station's figures are checked
  // again against the caller's credentials, in case the file's mode or group was changed.
  const bool stationUser = unix_socket::PeerIsStationUser(fd);
  for (;;) {
    const auto deadline = Clock::now() + LocalCallTimeout();
    std::array<std::uint8_t, kRequestHeader> header{};
    if (!ReadAll(fd, header.data(), header.size(), deadline, wakeFd)) return;
    const std::uint8_t kind = header[4];
    if (GetLe32(header.data()) != kMagic || kind < kKindGroupSend || kind > kKindUnadvise) {
      return;
    }
    std::string receiver, text;
    if (!ReadText(fd, GetLe32(header.data() + 8), kMaxReceiver, &receiver, deadline, wakeFd) ||
        !ReadText(fd, GetLe32(header.data() + 12), kMaxBody, &text, deadline, wakeFd)) {
      return;
    }
    AnswerText answer;
    HRESULT result = E_FAIL;
    if (kind == kKindAdvise) {
      std::shared_ptr<Subscriber> subscriber;
      std::uint32_t cookie = 0;
      result = events != nullptr ? events->Advise(&subscriber, &cookie) : E_NOTIMPL;
      if (result != S_OK) {
        if (!WriteAnswer(fd, kind, result, std::nullopt)) return;
        continue;
      }
      std::string cookieBytes(4, '\0');
      PutLe32(cookieBytes.data(), cookie);
      if (!WriteAnswer(fd, kind, S_OK, cookieBytes)) {
        events->Unadvise(cookie);
        return;
      }
      events->Serve(subscriber, fd, wakeFd);
      return;
    }
    if (kind == kKindUnadvise) {
      if (text.size() != 4) return;
      result = events != nullptr ? events->Unadvise(GetLe32(text.data())) : kConnectNoConnection;
    } else if (kind == kKindLocalRequest && text == kStationMetricsRequest && !stationUser) {
      result = E_ACCESSDENIED;
    } else {
      result = Call(target, kind, receiver, text, &answer);
    }
    if (answer && answer->size() > kMaxBody) {
      answer.reset();
      result = E_OUTOFMEMORY;
    }
    if (!WriteAnswer(fd, kind, result, answer)) return;
  }
}

class SocketListener final : public NetQXKommListener {
 public:
  explicit SocketListener(std::unique_ptr<LocalListener> listener)
      : listener_(std::move(listener)) {}
  void Stop() override { listener_->Stop(); }

 private:
  std::unique_ptr<LocalListener> listener_;
};

}  // namespace

std::string NetQXKommSocketPath() { return RuntimeDir() + "/" + kSocketName; }

HRESULT CreateNetQXKomm(std::unique_ptr<INetQXKomm>* component) {
  if (component == nullptr) return E_POINTER;
  component->reset();
  try {
    std::shared_ptr<INetQXKomm> own;
    {
      ProcessComponent& process = TheProcessComponent();
      MutexLock lock(&process.mutex);
      own = process.component.lock();
    }
    if (own) {
      *component = std::make_unique<BorrowedNetQXKomm>(std::move(own));
      return S_OK;
    }
    return CreateSocketComponent(component);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

void SetProcessNetQXKomm(const std::shared_ptr<INetQXKomm>& component) {
  ProcessComponent& process = TheProcessComponent();
  MutexLock lock(&process.mutex);
  process.component = component;
}

std::unique_ptr<NetQXKommListener> StartNetQXKommListener(std::shared_ptr<INetQXKomm> target,
                                                          std::string* error) {
  return StartNetQXKommListener(std::move(target), nullptr, error);
}

std::unique_ptr<NetQXKommListener> StartNetQXKommListener(std::shared_ptr<INetQXKomm> target,
                                                          std::shared_ptr<NetQXKommEvents> events,
                                                          std::string* error) {
  auto fail = [error](std::string text) -> std::unique_ptr<NetQXKommListener> {
    if (error != nullptr) *error = std::move(text);
    return nullptr;
  };
  if (!target) return fail("no component to serve");
  if (!EnsureRuntimeDir()) return fail("cannot create the runtime directory " + RuntimeDir());
  // NetQXKommEvents::Create makes only hubs.
  auto hub = std::static_pointer_cast<SubscriberHub>(std::move(events));
  auto listener = LocalListener::Start(
      NetQXKommSocketPath(), "component", kMaxConnections,
      [target = std::move(target), hub = std::move(hub)](int fd, int wakeFd) {
        ServeConnection(*target, hub.get(), fd, wakeFd);
      },
      error);
  if (!listener) return nullptr;
  return std::make_unique<SocketListener>(std::move(listener));
}

}  // namespace qx
