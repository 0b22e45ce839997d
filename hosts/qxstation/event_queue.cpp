// event_queue.cpp - the station's live messages, queued for one reader.
#include "event_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace qxstation {

EventQueue::EventQueue() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void EventQueue::Push(qx::MulticastDelivery delivery, const std::string& text) {
  {
    qx::MutexLock lock(&mutex_);
    if (events_.size() >= kMaxQueuedEvents) {
      ++dropped_;
      return;
    }
    events_.emplace_back(delivery == qx::MulticastDelivery::kUnicast, text);
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wake_.get(), &one, sizeof one);
}

std::deque<std::pair<bool, std::string>> EventQueue::Take(std::uint64_t* dropped) {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = read(wake_.get(), &count, sizeof count);
  std::deque<std::pair<bool, std::string>> taken;
  qx::MutexLock lock(&mutex_);
  taken.swap(events_);
  *dropped = std::exchange(dropped_, 0);
  return taken;
}

EventSubscription::EventSubscription(EventQueue* queue)
    : cookie_(qx::AdviseNetQXKomm([queue](qx::MulticastDelivery delivery, const std::string& text) {
        queue->Push(delivery, text);
      })) {}

EventSubscription::~EventSubscription() {
  if (cookie_ != 0) qx::UnadviseNetQXKomm(cookie_);
}

}  // namespace qxstation
