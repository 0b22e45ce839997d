// netqxkomm_events.cpp - the component's connection point (see netqxkomm_events.h).
#include "messaging/netqxkomm_events.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>
#include <new>
#include <string>
#include <utility>

#include "common/little_endian.h"
#include "messaging/netqxkomm_wire.h"
#include "platform/environment.h"
#include "platform/unix_socket.h"

namespace qx::netqxkomm_wire {

namespace {
constexpr std::size_t kQueueBytes = 16u << 20;
// Each subscriber holds one of the listener's 32 connection threads; the rest stay for calls.
constexpr std::size_t kMostSubscribers = 24;
}  // namespace

struct QueuedEvent {
  MulticastDelivery delivery;
  std::shared_ptr<const std::string> text;  // shared by every subscriber's queue
};

class Subscriber {
 public:
  Subscriber(std::uint32_t cookie, unix_socket::UniqueFd wake)
      : cookie_(cookie), wake_(std::move(wake)) {}

  std::uint32_t cookie() const { return cookie_; }
  int wakeFd() const { return wake_.get(); }

  // False when the queue is full (the event is dropped for this subscriber).
  bool Push(const QueuedEvent& event, std::size_t limit) EXCLUDES(mutex_) {
    {
      MutexLock lock(&mutex_);
      if (closed_) return true;
      if (queue_.size() >= limit || queueBytes_ + event.text->size() > kQueueBytes) return false;
      queueBytes_ += event.text->size();
      queue_.push_back(event);
    }
    Wake();
    return true;
  }
  void Close() EXCLUDES(mutex_) {
    {
      MutexLock lock(&mutex_);
      closed_ = true;
    }
    Wake();
  }
  // The queued events, and whether the subscription was closed.
  bool Take(std::deque<QueuedEvent>* events) EXCLUDES(mutex_) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(wake_.get(), &count, sizeof count);
    MutexLock lock(&mutex_);
    events->swap(queue_);
    queueBytes_ = 0;
    return closed_;
  }

 private:
  void Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
  }

  const std::uint32_t cookie_;
  const unix_socket::UniqueFd wake_;  // eventfd: readable while events or a close wait
  Mutex mutex_;
  std::deque<QueuedEvent> queue_ GUARDED_BY(mutex_);
  std::size_t queueBytes_ GUARDED_BY(mutex_) = 0;
  bool closed_ GUARDED_BY(mutex_) = false;
};

namespace {

bool WriteEvent(int fd, int wakeFd, std::uint32_t cookie, const QueuedEvent& event) {
  std::array<std::uint8_t, kHeaderBytes> header{};
  PutLe32(header.data(), kMagic);
  header[4] = kKindEvent;
  header[5] = static_cast<std::uint8_t>(event.delivery);
  PutLe32(header.data() + 8, cookie);
  PutLe32(header.data() + 12, static_cast<std::uint32_t>(event.text->size()));
  const auto deadline = unix_socket::Clock::now() + LocalCallTimeout();
  return unix_socket::WriteAll(fd, header.data(), header.size(), deadline, wakeFd) &&
         unix_socket::WriteAll(fd, event.text->data(), event.text->size(), deadline, wakeFd);
}

}  // namespace

SubscriberHub::SubscriberHub(std::size_t maxSubscribers, std::size_t queueLimit)
    : maxSubscribers_(maxSubscribers), queueLimit_(queueLimit) {}

SubscriberHub::~SubscriberHub() = default;

void SubscriberHub::Raise(MulticastDelivery delivery, std::string_view text) {
  if (text.size() > kMaxBody) return;
  const QueuedEvent event{delivery, std::make_shared<const std::string>(text)};
  MutexLock lock(&mutex_);
  ++counters_.raised;
  for (auto& [cookie, subscriber] : subscribers_) {
    if (!subscriber->Push(event, queueLimit_)) ++counters_.dropped;
  }
}

HRESULT SubscriberHub::Unadvise(std::uint32_t cookie) {
  std::shared_ptr<Subscriber> subscriber;
  {
    MutexLock lock(&mutex_);
    const auto found = subscribers_.find(cookie);
    if (found == subscribers_.end()) return kConnectNoConnection;
    subscriber = std::move(found->second);
    subscribers_.erase(found);
  }
  subscriber->Close();
  return S_OK;
}

NetQXKommEventCounters SubscriberHub::Counters() const {
  MutexLock lock(&mutex_);
  NetQXKommEventCounters counters = counters_;
  counters.subscribers = subscribers_.size();
  return counters;
}

HRESULT SubscriberHub::Advise(std::shared_ptr<Subscriber>* subscriber, std::uint32_t* cookie) {
  unix_socket::UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) return errno == ENOMEM ? E_OUTOFMEMORY : E_FAIL;
  MutexLock lock(&mutex_);
  if (subscribers_.size() >= maxSubscribers_) return kConnectAdviseLimit;
  std::uint32_t next = nextCookie_;
  while (next == 0 || subscribers_.count(next) != 0) ++next;
  nextCookie_ = next + 1;
  auto fresh = std::make_shared<Subscriber>(next, std::move(wake));
  subscribers_.emplace(next, fresh);
  *subscriber = std::move(fresh);
  *cookie = next;
  return S_OK;
}

void SubscriberHub::Serve(const std::shared_ptr<Subscriber>& subscriber, int fd, int wakeFd) {
  bool lost = false;
  std::deque<QueuedEvent> events;
  for (;;) {
    std::array<pollfd, 3> watched{
        {{fd, POLLIN, 0}, {subscriber->wakeFd(), POLLIN, 0}, {wakeFd, POLLIN, 0}}};
    if (::poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) continue;
      lost = true;
      break;
    }
    if (watched[2].revents != 0) break;  // the listener stops
    if (watched[0].revents != 0) {       // a byte, the end of the stream or an error
      lost = true;
      break;
    }
    if (watched[1].revents == 0) continue;
    const bool closed = subscriber->Take(&events);
    bool written = true;
    for (const QueuedEvent& event : events) {
      if (!(written = WriteEvent(fd, wakeFd, subscriber->cookie(), event))) break;
    }
    events.clear();
    if (!written) {
      lost = true;
      break;
    }
    if (closed) break;
  }
  Remove(subscriber->cookie(), lost);
}

void SubscriberHub::Remove(std::uint32_t cookie, bool lost) {
  MutexLock lock(&mutex_);
  const auto found = subscribers_.find(cookie);
  if (found == subscribers_.end()) return;  // unadvised already
  subscribers_.erase(found);
  if (lost) ++counters_.subscribersLost;
}

}  // namespace qx::netqxkomm_wire

namespace qx {

std::shared_ptr<NetQXKommEvents> NetQXKommEvents::Create(std::size_t maxSubscribers,
                                                         std::size_t queueLimit) {
  return std::make_shared<netqxkomm_wire::SubscriberHub>(
      std::min(maxSubscribers, netqxkomm_wire::kMostSubscribers), queueLimit);
}

}  // namespace qx
