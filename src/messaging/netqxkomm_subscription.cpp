// netqxkomm_subscription.cpp - the client side of advise and unadvise (netqxkomm.h).
//
// A subscription is one connection to the component that has advised, and a reader thread that
// hands every pushed event to the sink. When the connection breaks (the agent stopped or was
// killed), the thread connects again with a growing pause (50 ms doubling up to 2 s) and
// advises anew, until it succeeds or the subscription is unadvised. The cookie handed to the
// caller is this process's own and stays the same across such reconnects; the agent's cookie
// of the moment stays inside the subscription.
//
// Ownership: a process-wide table owns the subscriptions by cookie; each owns its connection,
// its wake eventfd and its thread, and UnadviseNetQXKomm (or the end of the process) wakes and
// joins the thread. Waits: the handshake and the rest of an event after its header are bounded
// by LocalCallTimeout(); the wait for the next event is not (the wake descriptor ends it).
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#include "common/little_endian.h"
#include "common/mutex.h"
#include "messaging/netqxkomm.h"
#include "messaging/netqxkomm_wire.h"
#include "platform/environment.h"
#include "platform/unix_socket.h"

namespace qx {
namespace {

using namespace netqxkomm_wire;
using unix_socket::Clock;
using unix_socket::UniqueFd;

constexpr auto kFirstPause = std::chrono::milliseconds(50);
constexpr auto kLongestPause = std::chrono::milliseconds(2000);

// Connects and advises: the subscribed connection, or an empty one.
UniqueFd ConnectAndAdvise(int wakeFd) {
  const auto deadline = Clock::now() + LocalCallTimeout();
  UniqueFd fd = unix_socket::ConnectWithin(NetQXKommSocketPath(), deadline);
  if (!fd) return fd;
  std::array<std::uint8_t, kHeaderBytes> request{};
  PutLe32(request.data(), kMagic);
  request[4] = kKindAdvise;
  if (!unix_socket::WriteAll(fd.get(), request.data(), request.size(), deadline, wakeFd)) {
    return UniqueFd();
  }
  std::array<std::uint8_t, kHeaderBytes + 4> answer{};
  if (!unix_socket::ReadAll(fd.get(), answer.data(), kHeaderBytes, deadline, wakeFd) ||
      GetLe32(answer.data()) != kMagic || answer[4] != (kKindAdvise | kAnswerBit)) {
    return UniqueFd();
  }
  const auto result = static_cast<HRESULT>(GetLe32(answer.data() + 8));
  if (result != S_OK || answer[5] != 1 || GetLe32(answer.data() + 12) != 4 ||
      !unix_socket::ReadAll(fd.get(), answer.data() + kHeaderBytes, 4, deadline, wakeFd)) {
    return UniqueFd();
  }
  return fd;
}

class Subscription {
 public:
  Subscription(NetQXKommSink sink, UniqueFd wake, UniqueFd connection)
      : sink_(std::move(sink)), wake_(std::move(wake)), connection_(std::move(connection)) {}
  ~Subscription() { Stop(); }

  void Start() {
    reader_ = std::thread([this] { ReadLoop(); });
  }
  void Stop() {
    stopping_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
    if (reader_.joinable()) reader_.join();
  }
  bool IsReaderThread() const { return std::this_thread::get_id() == reader_.get_id(); }

 private:
  // Hands events to the sink until the connection breaks or the wake descriptor fires.
  void ReadEvents() {
    std::array<std::uint8_t, kHeaderBytes> header{};
    std::string text;
    for (;;) {
      if (!unix_socket::ReadAll(connection_.get(), header.data(), header.size(),
                                unix_socket::kForever, wake_.get())) {
        return;
      }
      const std::uint32_t length = GetLe32(header.data() + 12);
      const std::uint8_t delivery = header[5];
      if (GetLe32(header.data()) != kMagic || header[4] != kKindEvent || length > kMaxBody ||
          (delivery != static_cast<std::uint8_t>(MulticastDelivery::kGroup) &&
           delivery != static_cast<std::uint8_t>(MulticastDelivery::kUnicast))) {
        return;
      }
      text.resize(length);
      if (!unix_socket::ReadAll(connection_.get(), text.data(), length,
                                Clock::now() + LocalCallTimeout(), wake_.get())) {
        return;
      }
      try {
        sink_(static_cast<MulticastDelivery>(delivery), text);
      } catch (...) {
        // The sink's failure is its own; the next event still comes.
      }
    }
  }

  void ReadLoop() {
    auto pause = kFirstPause;
    while (!stopping_) {
      if (connection_) {
        ReadEvents();
        connection_.Reset();
        pause = kFirstPause;
        continue;
      }
      // The agent is away: wait, then try again (the wake descriptor cuts the pause short).
      unix_socket::WaitFor(wake_.get(), POLLIN, Clock::now() + pause);
      if (stopping_) break;
      connection_ = ConnectAndAdvise(wake_.get());
      pause = std::min<std::chrono::milliseconds>(pause * 2, kLongestPause);
    }
  }

  const NetQXKommSink sink_;
  const UniqueFd wake_;  // eventfd, written once at Stop
  UniqueFd connection_;  // used by the reader thread only (after Start)
  std::atomic<bool> stopping_{false};
  std::thread reader_;
};

class Subscriptions {
 public:
  ~Subscriptions() {
    std::map<std::uint32_t, std::unique_ptr<Subscription>> all;
    {
      MutexLock lock(&mutex_);
      all.swap(subscriptions_);
    }
    all.clear();  // each stops and joins its thread
  }

  std::uint32_t Add(std::unique_ptr<Subscription> subscription) EXCLUDES(mutex_) {
    Subscription* raw = subscription.get();
    std::uint32_t cookie = 0;
    {
      MutexLock lock(&mutex_);
      cookie = next_;
      while (cookie == 0 || subscriptions_.count(cookie) != 0) ++cookie;
      next_ = cookie + 1;
      subscriptions_.emplace(cookie, std::move(subscription));
      raw->Start();
    }
    return cookie;
  }

  HRESULT Remove(std::uint32_t cookie) EXCLUDES(mutex_) {
    std::unique_ptr<Subscription> gone;
    {
      MutexLock lock(&mutex_);
      const auto found = subscriptions_.find(cookie);
      if (found == subscriptions_.end()) return kConnectNoConnection;
      if (found->second->IsReaderThread()) return E_UNEXPECTED;
      gone = std::move(found->second);
      subscriptions_.erase(found);
    }
    gone.reset();  // stops and joins outside the table's lock
    return S_OK;
  }

 private:
  Mutex mutex_;
  std::map<std::uint32_t, std::unique_ptr<Subscription>> subscriptions_ GUARDED_BY(mutex_);
  std::uint32_t next_ GUARDED_BY(mutex_) = 1;
};

Subscriptions& AllSubscriptions() {
  static Subscriptions subscriptions;
  return subscriptions;
}

}  // namespace

std::uint32_t AdviseNetQXKomm(NetQXKommSink sink) {
  if (!sink) return 0;
  try {
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) return 0;
    UniqueFd connection = ConnectAndAdvise(wake.get());
    if (!connection) return 0;
    return AllSubscriptions().Add(
        std::make_unique<Subscription>(std::move(sink), std::move(wake), std::move(connection)));
  } catch (...) {
    return 0;  // no memory or no thread: no subscription
  }
}

HRESULT UnadviseNetQXKomm(std::uint32_t cookie) {
  if (cookie == 0) return kConnectNoConnection;
  return AllSubscriptions().Remove(cookie);
}

}  // namespace qx
