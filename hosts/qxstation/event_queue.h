// event_queue.h - EventQueue and EventSubscription: the station's live messages, queued.
//
// The agent's multicast component pushes every message that reaches the station (from the
// group or sent to it alone) to each advised sink. An EventSubscription advises one that feeds
// an EventQueue and unadvises it when it goes. The sink runs on the subscription's reader
// thread and only queues, at most kMaxQueuedEvents; more are counted as dropped. The queue's
// descriptor is readable while messages wait, so that its reader can poll it beside others.
// Push: the reader thread; Take and fd: the one thread that reads the queue.
//
//   EventQueue queue;
//   EventSubscription subscription(&queue);
//   poll(...queue.fd()...); for (auto& [unicast, text] : queue.Take(&dropped)) ...
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "common/mutex.h"
#include "messaging/netqxkomm.h"
#include "platform/unix_socket.h"

namespace qxstation {

inline constexpr std::size_t kMaxQueuedEvents = 10000;

class EventQueue {
 public:
  EventQueue();
  bool ok() const { return static_cast<bool>(wake_); }
  int fd() const { return wake_.get(); }

  void Push(qx::MulticastDelivery delivery, const std::string& text) EXCLUDES(mutex_);
  // The waiting messages (true: sent to this station alone) and how many were dropped since.
  std::deque<std::pair<bool, std::string>> Take(std::uint64_t* dropped) EXCLUDES(mutex_);

 private:
  qx::unix_socket::UniqueFd wake_;
  qx::Mutex mutex_;
  std::deque<std::pair<bool, std::string>> events_ GUARDED_BY(mutex_);
  std::uint64_t dropped_ GUARDED_BY(mutex_) = 0;
};

class EventSubscription {
 public:
  explicit EventSubscription(EventQueue* queue);
  ~EventSubscription();
  EventSubscription(const EventSubscription&) = delete;
  EventSubscription& operator=(const EventSubscription&) = delete;
  bool ok() const { return cookie_ != 0; }

 private:
  std::uint32_t cookie_;
};

}  // namespace qxstation
