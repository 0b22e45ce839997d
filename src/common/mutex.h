// mutex.h - the annotated mutex, scoped lock and condition variable that every lock uses.
//
// std::mutex carries no thread-safety attributes in libstdc++, so clang could not check who
// holds what. Mutex, MutexLock and CondVar are thin wrappers that it can check:
//
//   Mutex mutex_;
//   int count_ GUARDED_BY(mutex_) = 0;
//   CondVar changed_{&mutex_};
//
//   void Add() EXCLUDES(mutex_) {
//     MutexLock lock(&mutex_);
//     ++count_;
//     changed_.SignalAll();
//   }
//
// Wait in a loop on the condition (while (!done_) changed_.Wait();) rather than with a
// predicate lambda: the analysis sees the loop under the lock, not the lambda.
// Any thread may use them; none of them is copyable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/thread_annotations.h"

namespace qx {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // Tells the analysis that the caller holds the lock (where it cannot see it).
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mutex_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_->Lock(); }
  ~MutexLock() RELEASE() { mutex_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex_;
};

// A condition variable bound to one Mutex; every wait requires that mutex held (the analysis
// cannot tie the bound mutex to the caller's lock, so the waits carry no annotation, as in
// LevelDB's port::CondVar).
class CondVar {
 public:
  explicit CondVar(Mutex* mutex) : mutex_(mutex) {}
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_->mutex_, std::adopt_lock);
    changed_.wait(lock);
    lock.release();
  }
  // False when the deadline passed (the condition may still have changed: test it).
  template <typename Clock, typename Duration>
  bool WaitUntil(const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock<std::mutex> lock(mutex_->mutex_, std::adopt_lock);
    const bool signalled = changed_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  template <typename Rep, typename Period>
  bool WaitFor(const std::chrono::duration<Rep, Period>& timeout) {
    return WaitUntil(std::chrono::steady_clock::now() + timeout);
  }
  void Signal() { changed_.notify_one(); }
  void SignalAll() { changed_.notify_all(); }

 private:
  Mutex* const mutex_;
  std::condition_variable changed_;
};

}  // namespace qx
