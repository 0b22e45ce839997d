// async_commands.cpp - AsyncCommands: the list of asynchronous commands and their workers.
//
// Each command is an AsyncCommand node that owns its std::thread; the worker marks the node
// finished (under the list's mutex) as the last thing it does with it, and whoever takes the node
// off the list afterwards joins the thread outside the mutex. The list lives in static storage
// and is never destroyed, so a worker that a failed stop left behind never meets a dead mutex.
//
// Process exit: static objects die in the reverse order of their construction, interleaved with
// atexit handlers in the reverse order of their registration, and the module's detach step runs
// only after all of them. So the list registers its own exit handler when the first command
// starts (after the settings that fixed its deadline were read) and once more when the first
// command has run to its end (by then every static object on a command's path exists): the
// handler then stops the commands before any object that they use dies. When the core library
// is unloaded instead, the same handler runs as part of the unload, after the module's detach
// step has already stopped everything.
#include "client/async_commands.h"

#include <algorithm>
#include <cstdlib>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "common/mutex.h"
#include "trace/trace.h"

namespace qx {
namespace {

using Clock = std::chrono::steady_clock;

const CTraceSource kSource("RemoteClient");

struct AsyncCommand {
  explicit AsyncCommand(Clock::time_point end) : deadline(end) {}
  const Clock::time_point deadline;  // by then the work has ended, cancelled or not
  std::atomic<bool> cancelled{false};
  std::atomic<bool> finished{false};  // set under the list's mutex, after the work
  std::thread thread;                 // set and taken under the list's mutex
};
using CommandList = std::list<std::unique_ptr<AsyncCommand>>;

void JoinAll(CommandList* done) {
  for (const auto& command : *done) {
    try {
      if (command->thread.joinable()) command->thread.join();
    } catch (const std::system_error&) {
      // Only a worker joining itself gets here; its thread ends on its own.
      command->thread.detach();
    }
  }
  done->clear();
}

class AsyncCommands {
 public:
  static AsyncCommands& Instance() {
    alignas(AsyncCommands) static unsigned char storage[sizeof(AsyncCommands)];
    static AsyncCommands* const instance = ::new (storage) AsyncCommands();
    return *instance;
  }

  HRESULT Run(AsyncWork work, std::chrono::milliseconds bound) EXCLUDES(mutex_) {
    CommandList done;
    HRESULT result = S_OK;
    {
      MutexLock lock(&mutex_);
      TakeFinishedLocked(&done);
      result = StartLocked(std::move(work), bound);
    }
    JoinAll(&done);
    return result;
  }

  bool Stop(AfterStop after) EXCLUDES(mutex_) {
    CommandList done;
    int left = 0;
    bool quiet = false;
    {
      MutexLock lock(&mutex_);
      quiet = refusing_;  // the process's exit already stopped everything it could
      if (after == AfterStop::kRefuseNew) refusing_ = true;
      Clock::time_point deadline = Clock::time_point::min();
      for (const auto& command : commands_) {
        command->cancelled = true;
        if (!command->finished) deadline = std::max(deadline, command->deadline);
      }
      while ((left = RunningLocked()) > 0 && Clock::now() < deadline) changed_.WaitUntil(deadline);
      TakeFinishedLocked(&done);
    }
    JoinAll(&done);
    if (left > 0 && !quiet) {
      TraceError(kSource, "%d asynchronous command(s) still run past their deadline", left);
    }
    return left == 0;
  }

  int Running() EXCLUDES(mutex_) {
    MutexLock lock(&mutex_);
    return RunningLocked();
  }

  bool WaitIdle(std::chrono::milliseconds timeout) EXCLUDES(mutex_) {
    const Clock::time_point deadline = Clock::now() + timeout;
    MutexLock lock(&mutex_);
    while (RunningLocked() > 0 && Clock::now() < deadline) changed_.WaitUntil(deadline);
    return RunningLocked() == 0;
  }

 private:
  AsyncCommands() = default;

  HRESULT StartLocked(AsyncWork work, std::chrono::milliseconds bound) REQUIRES(mutex_) {
    if (refusing_) return E_FAIL;
    try {
      commands_.push_back(std::make_unique<AsyncCommand>(Clock::now() + bound));
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    AsyncCommand* command = commands_.back().get();
    try {
      command->thread = std::thread(&AsyncCommands::Work, this, command, std::move(work));
    } catch (...) {
      commands_.pop_back();
      return E_FAIL;
    }
    return S_OK;
  }

  void Work(AsyncCommand* command, AsyncWork work) EXCLUDES(mutex_);

  // Moves the nodes of finished commands to *done (their threads still to be joined).
  void TakeFinishedLocked(CommandList* done) REQUIRES(mutex_) {
    for (auto it = commands_.begin(); it != commands_.end();) {
      const auto next = std::next(it);
      if ((*it)->finished) done->splice(done->end(), commands_, it);
      it = next;
    }
  }

  int RunningLocked() const REQUIRES(mutex_) {
    return static_cast<int>(std::count_if(commands_.begin(), commands_.end(),
                                          [](const auto& command) { return !command->finished; }));
  }

  Mutex mutex_;
  CondVar changed_{&mutex_};
  CommandList commands_ GUARDED_BY(mutex_);
  bool refusing_ GUARDED_BY(mutex_) = false;
};

void StopAtExit() { AsyncCommands::Instance().Stop(AfterStop::kRefuseNew); }

std::once_flag exitHandlerAtStart;
std::once_flag exitHandlerAfterRun;

void RegisterExitHandler(std::once_flag* once) {
  std::call_once(*once, [] {
    if (std::atexit(StopAtExit) != 0) {
      TraceError(kSource, "the exit handler of asynchronous commands could not be registered");
    }
  });
}

void AsyncCommands::Work(AsyncCommand* command, AsyncWork work) {
  try {
    work(command->cancelled);
    work = nullptr;  // the command's own copies go before it counts as finished
  } catch (...) {
    // A worker has nobody to report to; its outcome reaches only the trace.
  }
  try {
    RegisterExitHandler(&exitHandlerAfterRun);
  } catch (...) {
  }
  MutexLock lock(&mutex_);
  command->finished = true;
  changed_.SignalAll();
}

}  // namespace

HRESULT RunAsyncCommand(AsyncWork work, std::chrono::milliseconds bound) {
  try {
    RegisterExitHandler(&exitHandlerAtStart);
  } catch (...) {
    return E_FAIL;
  }
  return AsyncCommands::Instance().Run(std::move(work), bound);
}

bool StopAsyncCommands(AfterStop after) { return AsyncCommands::Instance().Stop(after); }

int RunningAsyncCommands() { return AsyncCommands::Instance().Running(); }

bool WaitForAsyncCommands(std::chrono::milliseconds timeout) {
  return AsyncCommands::Instance().WaitIdle(timeout);
}

}  // namespace qx
