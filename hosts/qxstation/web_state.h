// web_state.h - WebState, what the web view knows and tells: the tree and the latest events.
//
// The feed thread (web_server.cpp) puts a new snapshot of the network tree here after every
// change, with its JSON and metrics made once, and publishes each station event; the request
// threads read the snapshot (a shared, immutable value: no request waits for a reload) and the
// event streams wait here for events after the last one they sent. Events are kept in a ring of
// kKeptEvents; a stream that fell further behind learns that it missed some. At most
// kMaxStreams event streams run at once, so that they cannot take every request thread.
// Any thread; Stop wakes every waiting stream for the end.
//
//   state.SetView(std::move(view));                  // feed thread
//   auto snapshot = state.Snapshot();                // request thread
//   auto events = state.WaitEvents(after, deadline, &missed);
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/mutex.h"
#include "network_view.h"

namespace qxstation {

inline constexpr std::size_t kKeptEvents = 256;
inline constexpr std::size_t kMaxStreams = 8;

struct WebSnapshot {
  NetworkView view;
  std::string treeJson;  // WebTreeJson of view, as text
  std::string metrics;   // TreeMetricsText of view
  std::uint64_t version = 0;
  bool agentRuns = false;
};

struct WebEvent {
  std::uint64_t id = 0;
  std::string json;
};

class WebState {
 public:
  void SetView(NetworkView view, bool agentRuns) EXCLUDES(mutex_);
  std::shared_ptr<const WebSnapshot> Snapshot() const EXCLUDES(mutex_);

  void Publish(std::string json) EXCLUDES(mutex_);
  // The events after id `after`, waiting until one comes, the deadline passes or Stop; *missed
  // when events after `after` were already dropped from the ring.
  std::vector<WebEvent> WaitEvents(std::uint64_t after,
                                   std::chrono::steady_clock::time_point deadline, bool* missed)
      EXCLUDES(mutex_);
  // The id of the newest event (0: none yet).
  std::uint64_t LastEventId() const EXCLUDES(mutex_);

  bool AcquireStream() EXCLUDES(mutex_);
  void ReleaseStream() EXCLUDES(mutex_);

  void Stop() EXCLUDES(mutex_);
  bool stopped() const EXCLUDES(mutex_);

 private:
  mutable qx::Mutex mutex_;
  qx::CondVar changed_{&mutex_};
  std::shared_ptr<const WebSnapshot> snapshot_ GUARDED_BY(mutex_) =
      std::make_shared<const WebSnapshot>();
  std::deque<WebEvent> events_ GUARDED_BY(mutex_);
  std::uint64_t lastId_ GUARDED_BY(mutex_) = 0;
  std::size_t streams_ GUARDED_BY(mutex_) = 0;
  bool stopped_ GUARDED_BY(mutex_) = false;
};

}  // namespace qxstation
