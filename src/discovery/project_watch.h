// project_watch.h - the project-manager watch: its timer, its tick and the two broadcasts.
//
// The discovery role runs a WatchTimer that calls WatchTick once per period. A tick joins the
// group on the first tick of the module's life, clears the local project's state on every
// station when the local project manager has gone, and runs the registry clean pass while
// cleanRegistryEnabled is set. The clean pass announces each project it removes with
// SendRemoveFromProjectList (a ProjectRemovalSender, which the module's root makes the
// registry's removal listener). The broadcasts name the station's host and go out through its
// multicast component.
//
// The tick counter and cleanRegistryEnabled live as long as the module. A WatchTimer is owned
// by its server object; Start and Stop come from the server's host threads, the tick runs on
// the timer's own thread.
//
//   WatchTimer timer;
//   timer.Start(10000, [&station] { WatchTick(station, [] { /* join the group */ }); });
//   timer.Stop();   // wakes the thread at once and joins it
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>
#include <thread>

#include "common/hresult.h"
#include "common/mutex.h"
#include "registry/registry_projects.h"
#include "station/station.h"

namespace qx {

// The switch of the registry clean pass ("CleanRegistry"); true when the module is loaded.
extern std::atomic<bool> cleanRegistryEnabled;

// Broadcasts that the project dsn has no state any more (PM_MULTICAST, empty STATE).
HRESULT SendMsgClearState(const Station& station, std::string_view dsn);
// Broadcasts that the project dsn has left this station's project list.
HRESULT SendRemoveFromProjectList(const Station& station, std::string_view dsn);

// The registry's removal listener that broadcasts each removal of one station
// (SendRemoveFromProjectList). Borrows the station, which must outlive it.
class ProjectRemovalSender final : public ProjectRemovalListener {
 public:
  explicit ProjectRemovalSender(const Station& station) : station_(station) {}
  void SendRemoveFromProjectList(std::string_view dsn) override;

 private:
  const Station& station_;
};

// One tick of the station's watch; joinGroup is called on the first tick after the module was
// loaded.
void WatchTick(const Station& station, const std::function<void()>& joinGroup);
// Ticks since the module was loaded.
int WatchTickCount();

class WatchTimer {
 public:
  using Tick = std::function<void()>;
  WatchTimer() = default;
  WatchTimer(const WatchTimer&) = delete;
  WatchTimer& operator=(const WatchTimer&) = delete;
  ~WatchTimer() { Stop(); }

  // Starts the thread that calls tick every periodMs (first after one period); a period of 0
  // or a running timer starts nothing. False when the thread cannot be started.
  bool Start(std::uint32_t periodMs, Tick tick) EXCLUDES(mutex_);
  // Wakes the thread at once and joins it, after a tick that is running has ended. Must not be
  // called from the tick itself.
  void Stop() EXCLUDES(mutex_);
  // The period of the running timer; 0 when none runs.
  std::uint32_t periodMs() const { return period_.load(); }

 private:
  void Run(std::uint32_t periodMs) EXCLUDES(mutex_);

  Mutex mutex_;
  CondVar wake_{&mutex_};
  bool stopping_ GUARDED_BY(mutex_) = false;
  Tick tick_;           // set before the thread starts, read only by it
  std::thread thread_;  // started and joined by Start and Stop
  std::atomic<std::uint32_t> period_{0};
};

}  // namespace qx
