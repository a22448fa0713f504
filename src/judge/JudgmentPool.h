#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "base/Exception.h"
#include "judge/VerdictCache.h"

namespace quillbox {

// A judgment that will not run: its connection is ending.
class EJudgmentCancelled : public Exception {
 public:
  EJudgmentCancelled() : Exception("The judgment was cancelled.") {}
};

// One judgment, run once: on a pool thread, or on the thread that needs it when no pool thread
// can take it yet. Made by TJudgmentPool::Start; its state belongs to the pool's lock.
class TJudgment {
 public:
  explicit TJudgment(std::function<TJudged()> work) : work_(std::move(work)) {}

 private:
  friend class TJudgmentPool;
  enum class TState { kQueued, kRunning, kDone };

  std::function<TJudged()> work_;
  TState state_ = TState::kQueued;
  TJudged result_;
  std::exception_ptr error_;
};

// The threads that judge one connection's senders while the connection goes on: at most
// `threads` of them, started as judgments come and kept until the pool ends, plus the
// connection's own thread, which runs a judgment it waits for when no pool thread is free. Each
// judgment makes at most one lookup at a time, besides one query for each DNS allow-list zone of
// the rule file (at most 8), so a connection has at most threads + 1 such lookups in flight.
// Nothing outlives the pool: its destruction cancels the queued judgments, tells the
// running ones to give up (Cancelled(), which a DNS client watches; a reverse lookup in the
// system resolver cannot be interrupted and ends within that resolver's own timeout) and joins
// every thread.
//
// Thread-safe: one mutex guards the queue, the judgments' states and results, the threads and
// the idle count. A judgment's work runs outside it and must itself be thread-safe.
class TJudgmentPool {
 public:
  static constexpr size_t kThreads = 15;

  explicit TJudgmentPool(size_t threads = kThreads);
  ~TJudgmentPool();
  TJudgmentPool(const TJudgmentPool&) = delete;
  TJudgmentPool& operator=(const TJudgmentPool&) = delete;

  // Queues work, ahead of the queued judgments when urgent (a client waits for it), and starts
  // a thread for it when none is idle and the limit allows. When no thread can be started, the
  // pool stops growing and waiters run their judgments themselves.
  std::shared_ptr<TJudgment> Start(std::function<TJudged()> work, bool urgent);
  // A judgment done already, with this result (a verdict kept from an earlier judgment).
  static std::shared_ptr<TJudgment> Done(TJudged judged);

  // The judgment's result once it is done, or its error raised. A queued judgment goes to the
  // front; when no pool thread is free to take it, the calling thread runs it. While it runs
  // elsewhere, between() is called as long as it returns true (other work of the caller's that
  // ends in bounded time), then the caller waits.
  const TJudged& Wait(TJudgment& judgment, const std::function<bool()>& between);

  // From any thread: queued judgments are dropped (waiters get EJudgmentCancelled), running
  // lookups are told to give up, and the threads end.
  void Cancel();
  const std::atomic<bool>& Cancelled() const { return cancelled_; }

 private:
  void Serve();
  bool Spawn();  // needs lock_
  // Runs a judgment taken from the queue and publishes its result.
  void Run(TJudgment& judgment);

  size_t limit_;
  std::atomic<bool> cancelled_{false};
  std::mutex lock_;
  std::condition_variable work_;  // a judgment was queued, or the pool ends
  std::condition_variable done_;  // a judgment ended
  std::deque<std::shared_ptr<TJudgment>> queue_;
  std::vector<std::thread> threads_;
  size_t idle_ = 0;
};

// A bound on the judgments in flight across all connections, so that many clients at once (or
// one with many messages while others run) cannot send the DNS servers a burst that overflows
// their receive buffers: a dropped query reads as a lookup failure, a wrong verdict. A single
// connection's pool stays below it.
//
// Thread-safe: one mutex guards the count of passes out.
class TJudgmentGate {
 public:
  static constexpr size_t kJudgments = 32;

  // A place in the gate, given back when the pass ends.
  class TPass {
   public:
    explicit TPass(TJudgmentGate* gate) : gate_(gate) {}
    TPass(TPass&& other) noexcept : gate_(std::exchange(other.gate_, nullptr)) {}
    TPass& operator=(TPass&&) = delete;
    ~TPass();

   private:
    TJudgmentGate* gate_;
  };

  explicit TJudgmentGate(size_t limit = kJudgments) : limit_(limit) {}

  // Waits for a place; EJudgmentCancelled when `cancel` is set first (seen within 100 ms).
  TPass Enter(const std::atomic<bool>& cancel);

 private:
  size_t limit_;
  std::mutex lock_;
  std::condition_variable left_;  // a pass ended
  size_t inside_ = 0;
};

}  // namespace quillbox
