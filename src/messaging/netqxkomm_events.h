// netqxkomm_events.h - SubscriberHub, the component's connection point on the agent's side.
//
// Each advised subscriber is a connection of the component's listener with a queue of its own.
// Raise queues a message for every subscriber and wakes its connection thread through an
// eventfd; that thread (in Serve) writes the queued events out, each within LocalCallTimeout(),
// and watches the connection: a byte or the end of the stream from the subscriber, an unadvise
// of its cookie from any connection, a write that misses its deadline or the listener's Stop end
// the subscription. A full queue drops the new event for that subscriber only.
//
// Ownership: the hub owns the subscriber records (shared with the thread that serves each);
// the listener owns the connections. Any thread may call Raise, Unadvise and Counters; Advise
// and Serve are called by a connection thread of the listener for its own connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string_view>

#include "common/mutex.h"
#include "messaging/netqxkomm.h"

namespace qx::netqxkomm_wire {

class Subscriber;

class SubscriberHub final : public NetQXKommEvents {
 public:
  SubscriberHub(std::size_t maxSubscribers, std::size_t queueLimit);
  ~SubscriberHub() override;

  void Raise(MulticastDelivery delivery, std::string_view text) override EXCLUDES(mutex_);
  HRESULT Unadvise(std::uint32_t cookie) override EXCLUDES(mutex_);
  NetQXKommEventCounters Counters() const override EXCLUDES(mutex_);

  // A new subscriber with its cookie, or kConnectAdviseLimit / E_OUTOFMEMORY / E_FAIL.
  HRESULT Advise(std::shared_ptr<Subscriber>* subscriber, std::uint32_t* cookie) EXCLUDES(mutex_);
  // Pushes the subscriber's events to fd until the subscription ends (see above); the
  // subscriber is gone from the hub when it returns.
  void Serve(const std::shared_ptr<Subscriber>& subscriber, int fd, int wakeFd) EXCLUDES(mutex_);

 private:
  void Remove(std::uint32_t cookie, bool lost) EXCLUDES(mutex_);

  const std::size_t maxSubscribers_;
  const std::size_t queueLimit_;
  mutable Mutex mutex_;
  std::map<std::uint32_t, std::shared_ptr<Subscriber>> subscribers_ GUARDED_BY(mutex_);
  std::uint32_t nextCookie_ GUARDED_BY(mutex_) = 1;
  NetQXKommEventCounters counters_ GUARDED_BY(mutex_);
};

}  // namespace qx::netqxkomm_wire
