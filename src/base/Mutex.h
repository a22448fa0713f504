#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/ThreadAnnotations.h"

// Lock order. A thread that holds a lock of a line takes only locks of the lines below it, and
// never calls code it does not own (a callback, a log, another object's Abort) under any lock:
//   TIdCustomTCPServer::contextsLock_  (its connections; nothing is called under it)
//   TConnectionSlots::lock_            (a listener's places; a record's end gives its place back)
//   TJudgeFiles::looking_              (looks at the rule files, then takes lock_)
//   TJudgeFiles::lock_
//   TJudgmentScheduler::lock_          (queues; a job's work runs outside it)
//   TExpiringCache::lock_              (the verdict and zone-answer caches)
//   TRefusalLog::lock_                 (its lines are written after it is let go)
//   TMemoQueue::mutex_                 (the log; AddToMemo may come from under none of the above)
//   TIdTCPConnection::ioHandlerLock_   (replacing or closing an I/O handler)
//   TIdIOHandlerStack::socketLock_     (replacing or closing a socket)
//   TIdPosixSocket::lock_              (a socket's descriptor and peer)
// Locks of one line are never held two at a time, except the last three, taken in that order
// when a connection is closed from another thread.

namespace quillbox {

// A std::mutex that the compiler's thread-safety analysis knows. Thread-safe.
class CAPABILITY("mutex") TMutex {
 public:
  TMutex() = default;
  TMutex(const TMutex&) = delete;
  TMutex& operator=(const TMutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  // Tells the analysis what a caller knows: the mutex is held here.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class TCondVar;
  std::mutex mutex_;
};

// Holds a TMutex for its scope.
class SCOPED_CAPABILITY TMutexLock {
 public:
  explicit TMutexLock(TMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~TMutexLock() RELEASE() { mutex_.Unlock(); }
  TMutexLock(const TMutexLock&) = delete;
  TMutexLock& operator=(const TMutexLock&) = delete;

 private:
  TMutex& mutex_;
};

// A condition variable for a TMutex. A wait lets the mutex go and has it again when it returns,
// also after a spurious wake-up: the caller tests its condition in a loop. Thread-safe.
class TCondVar {
 public:
  void Wait(TMutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> held(mutex.mutex_, std::adopt_lock);
    condition_.wait(held);
    held.release();
  }
  // False when the time passed without a wake-up.
  bool WaitFor(TMutex& mutex, std::chrono::steady_clock::duration timeout) REQUIRES(mutex) {
    std::unique_lock<std::mutex> held(mutex.mutex_, std::adopt_lock);
    const bool woken = condition_.wait_for(held, timeout) == std::cv_status::no_timeout;
    held.release();
    return woken;
  }
  void NotifyOne() { condition_.notify_one(); }
  void NotifyAll() { condition_.notify_all(); }

 private:
  std::condition_variable condition_;
};

}  // namespace quillbox
