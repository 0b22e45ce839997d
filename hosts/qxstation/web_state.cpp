// web_state.cpp - the web view's shared tree snapshot and event ring.
#include "web_state.h"

#include <utility>

#include "web_content.h"

namespace qxstation {

void WebState::SetView(NetworkView view, bool agentRuns) {
  auto next = std::make_shared<WebSnapshot>();
  next->treeJson = WebJsonText(WebTreeJson(view));
  next->metrics = TreeMetricsText(view);
  next->view = std::move(view);
  next->agentRuns = agentRuns;
  qx::MutexLock lock(&mutex_);
  next->version = snapshot_->version + 1;
  snapshot_ = std::move(next);
}

std::shared_ptr<const WebSnapshot> WebState::Snapshot() const {
  qx::MutexLock lock(&mutex_);
  return snapshot_;
}

void WebState::Publish(std::string json) {
  qx::MutexLock lock(&mutex_);
  events_.push_back({++lastId_, std::move(json)});
  while (events_.size() > kKeptEvents) events_.pop_front();
  changed_.SignalAll();
}

std::vector<WebEvent> WebState::WaitEvents(std::uint64_t after,
                                           std::chrono::steady_clock::time_point deadline,
                                           bool* missed) {
  qx::MutexLock lock(&mutex_);
  while (!stopped_ && lastId_ <= after) {
    if (!changed_.WaitUntil(deadline)) break;
  }
  *missed = !events_.empty() && events_.front().id > after + 1;
  std::vector<WebEvent> out;
  for (const WebEvent& event : events_) {
    if (event.id > after) out.push_back(event);
  }
  return out;
}

std::uint64_t WebState::LastEventId() const {
  qx::MutexLock lock(&mutex_);
  return lastId_;
}

bool WebState::AcquireStream() {
  qx::MutexLock lock(&mutex_);
  if (stopped_ || streams_ >= kMaxStreams) return false;
  ++streams_;
  return true;
}

void WebState::ReleaseStream() {
  qx::MutexLock lock(&mutex_);
  if (streams_ > 0) --streams_;
}

void WebState::Stop() {
  qx::MutexLock lock(&mutex_);
  stopped_ = true;
  changed_.SignalAll();
}

bool WebState::stopped() const {
  qx::MutexLock lock(&mutex_);
  return stopped_;
}

}  // namespace qxstation
