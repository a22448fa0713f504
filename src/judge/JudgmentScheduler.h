#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "base/Exception.h"
#include "base/Mutex.h"
#include "judge/VerdictCache.h"

namespace quillbox {

// A judgment that will not run: its session ended, or the scheduler did, before it started.
class EJudgmentCancelled : public Exception {
 public:
  EJudgmentCancelled() : Exception("The judgment was cancelled.") {}
};

// How soon a verdict is needed.
enum class TJudgmentUrgency {
  kWaiting,  // a client waits for it now
  kAhead,    // judged ahead of the client, for a message it has not asked for yet
};

// One judgment, run once by TJudgmentScheduler. Done() and Result() may be asked from any thread;
// the result is written once, before Done() turns true, and never changes after. Its other
// members belong to the scheduler's lock.
class TJudgment {
 public:
  // The work gets the judgment's cancel flag, which its lookups watch: set once nobody waits.
  using TWork = std::function<TJudged(const std::atomic<bool>& cancel)>;

  TJudgment(uint64_t session, TJudgmentUrgency urgency, TWork work)
      : session_(session), urgency_(urgency), work_(std::move(work)) {}
  // A judgment done already, with this result (a verdict kept from an earlier judgment).
  static std::shared_ptr<TJudgment> Done(TJudged judged);

  bool Done() const { return done_.load(std::memory_order_acquire); }
  // Once Done(): the result, or its error raised (EJudgmentCancelled when it never ran).
  const TJudged& Result() const;

 private:
  friend class TJudgmentScheduler;
  void Finish(TJudged result, std::exception_ptr error);

  const uint64_t session_;
  TJudgmentUrgency urgency_;
  TWork work_;
  bool countedAhead_ = false;  // runs as one of its session's look-ahead jobs
  bool abandoned_ = false;     // dropped while it ran: nobody waits for it
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> done_{false};
  TJudged result_;
  std::exception_ptr error_;
};

// The threads that judge senders for every connection of the process: a fixed set, started at
// once and kept until the scheduler ends, so that no number of clients makes more of them and no
// burst of lookups overflows the DNS servers' receive buffers. A job the client waits for starts
// before every look-ahead job; within an urgency, first come first served. A session's look-ahead
// jobs take at most half of the threads while another session has a job queued, so that one
// mailbox read ahead cannot keep another session's judgments waiting behind it.
//
// Each job belongs to a session (a connection). Drop ends a session's queued jobs at once and
// sets the cancel flag of its running ones, whose DNS clients then give up within their cancel
// slice. A reverse lookup in the system resolver cannot be interrupted and keeps its thread until
// that resolver's own timeout (10 seconds by default), so for each such job a spare thread
// stands in, at most kSpareThreads at once, and ends with it: clients that hang up cannot take
// every thread from the others. Nobody waits for a dropped job's result.
//
// Thread-safe: lock_ guards the queues, the running jobs, the per-session count of look-ahead
// jobs running and the jobs' urgency, work and counting. A job's work runs outside the lock and
// must itself be thread-safe.
class TJudgmentScheduler {
 public:
  static constexpr size_t kThreads = 32;
  // Threads started for a while in place of those whose dropped jobs still run.
  static constexpr size_t kSpareThreads = 8;

  explicit TJudgmentScheduler(size_t threads = kThreads);
  // Shutdown().
  ~TJudgmentScheduler();
  TJudgmentScheduler(const TJudgmentScheduler&) = delete;
  TJudgmentScheduler& operator=(const TJudgmentScheduler&) = delete;

  // A number no other session of the process has.
  static uint64_t NewSession();

  // Queues work for session. After Shutdown the judgment is done at once, cancelled.
  std::shared_ptr<TJudgment> Start(uint64_t session, TJudgmentUrgency urgency,
                                   TJudgment::TWork work) EXCLUDES(lock_);
  // A client now waits for judgment: queued ahead, it goes to the end of the waiting jobs.
  void Hurry(TJudgment& judgment) EXCLUDES(lock_);
  // Waits until judgment is done, at most timeout; whether it is done.
  bool WaitFor(const TJudgment& judgment, std::chrono::milliseconds timeout) EXCLUDES(lock_);
  // The session's queued jobs end cancelled, its running ones are told to give up.
  void Drop(uint64_t session) EXCLUDES(lock_);
  // Every queued job ends cancelled, every running one is told to give up, and every thread is
  // joined. Once only; the destructor calls it.
  void Shutdown() EXCLUDES(lock_);

  // Jobs queued and running, for tests and benchmarks.
  size_t Queued() const EXCLUDES(lock_);
  size_t Running() const EXCLUDES(lock_);

 private:
  // A spare thread, started in place of one whose job was dropped while it ran, and its end.
  struct TSpare {
    std::thread thread;
    bool finished = false;
  };

  void Serve(TSpare* spare) EXCLUDES(lock_);
  void StartSpares() REQUIRES(lock_);
  // Joins the spare threads that have ended, or all of them (once the scheduler stops).
  void JoinSpares(bool all) EXCLUDES(lock_);
  // The next job a free thread may take, taken out of its queue; none when no job may start.
  std::shared_ptr<TJudgment> TakeNext() REQUIRES(lock_);
  bool OtherSessionQueued(uint64_t session) const REQUIRES(lock_);
  void Run(const std::shared_ptr<TJudgment>& job) EXCLUDES(lock_);
  // The queued jobs that match end cancelled, the running ones that match are told to give up.
  // Abandoned running jobs get spare threads in their place.
  void Cancel(const std::function<bool(const TJudgment&)>& matches, bool abandon) EXCLUDES(lock_);

  const size_t aheadLimit_;  // look-ahead jobs of one session while others queue
  mutable TMutex lock_;
  TCondVar work_;  // a job was queued or may start now, or the scheduler ends
  TCondVar done_;  // a job ended
  std::deque<std::shared_ptr<TJudgment>> waiting_ GUARDED_BY(lock_);
  std::deque<std::shared_ptr<TJudgment>> ahead_ GUARDED_BY(lock_);
  std::vector<std::shared_ptr<TJudgment>> running_ GUARDED_BY(lock_);
  std::map<uint64_t, size_t> runningAhead_ GUARDED_BY(lock_);
  bool stopping_ GUARDED_BY(lock_) = false;
  std::vector<std::thread> threads_;        // made by the constructor, joined by Shutdown only
  size_t abandoned_ GUARDED_BY(lock_) = 0;  // running jobs that were dropped
  std::list<TSpare> spares_ GUARDED_BY(lock_);
  size_t sparesServing_ GUARDED_BY(lock_) = 0;
};

// A session's hold on the scheduler: a number for its jobs, and their drop when it ends. Empty
// until it is given a scheduler. Used by one thread at a time.
class TJudgmentSession {
 public:
  TJudgmentSession() = default;
  explicit TJudgmentSession(TJudgmentScheduler& scheduler)
      : scheduler_(&scheduler), id_(TJudgmentScheduler::NewSession()) {}
  TJudgmentSession(TJudgmentSession&& other) noexcept
      : scheduler_(std::exchange(other.scheduler_, nullptr)), id_(other.id_) {}
  TJudgmentSession& operator=(TJudgmentSession&& other) noexcept {
    std::swap(scheduler_, other.scheduler_);
    std::swap(id_, other.id_);
    return *this;
  }
  ~TJudgmentSession() {
    if (scheduler_)
      scheduler_->Drop(id_);
  }

  uint64_t Id() const { return id_; }

 private:
  TJudgmentScheduler* scheduler_ = nullptr;
  uint64_t id_ = 0;
};

}  // namespace quillbox
