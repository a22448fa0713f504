#include "judge/JudgmentPool.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace quillbox {

TJudgmentPool::TJudgmentPool(size_t threads) : limit_(threads) {}

TJudgmentPool::~TJudgmentPool() {
  Cancel();
  for (std::thread& thread : threads_)
    thread.join();
}

void TJudgmentPool::Cancel() {
  cancelled_ = true;
  std::lock_guard<std::mutex> hold(lock_);
  for (const auto& judgment : queue_) {
    judgment->state_ = TJudgment::TState::kDone;
    judgment->error_ = std::make_exception_ptr(EJudgmentCancelled());
  }
  queue_.clear();
  work_.notify_all();
  done_.notify_all();
}

bool TJudgmentPool::Spawn() {
  if (threads_.size() >= limit_)
    return false;
  try {
    threads_.emplace_back([this] { Serve(); });
    // Idle from now on: a thread on its way to the queue takes the next judgment as well as one
    // waiting there, and no second thread is started for the same judgment.
    ++idle_;
    return true;
  } catch (const std::system_error&) {
    // Out of threads: the judgments still run, on the threads that wait for them.
    limit_ = threads_.size();
    return false;
  }
}

std::shared_ptr<TJudgment> TJudgmentPool::Done(TJudged judged) {
  auto judgment = std::make_shared<TJudgment>(nullptr);
  judgment->result_ = std::move(judged);
  judgment->state_ = TJudgment::TState::kDone;
  return judgment;
}

std::shared_ptr<TJudgment> TJudgmentPool::Start(std::function<TJudged()> work, bool urgent) {
  auto judgment = std::make_shared<TJudgment>(std::move(work));
  std::lock_guard<std::mutex> hold(lock_);
  if (cancelled_) {
    judgment->state_ = TJudgment::TState::kDone;
    judgment->error_ = std::make_exception_ptr(EJudgmentCancelled());
    return judgment;
  }
  if (urgent)
    queue_.push_front(judgment);
  else
    queue_.push_back(judgment);
  // Every queued judgment gets a thread of its own while the limit allows.
  if (idle_ < queue_.size())
    Spawn();
  work_.notify_one();
  return judgment;
}

void TJudgmentPool::Run(TJudgment& judgment) {
  TJudged result;
  std::exception_ptr error;
  try {
    result = judgment.work_();
  } catch (...) {
    error = std::current_exception();
  }
  std::lock_guard<std::mutex> hold(lock_);
  judgment.result_ = std::move(result);
  judgment.error_ = error;
  judgment.work_ = nullptr;
  judgment.state_ = TJudgment::TState::kDone;
  done_.notify_all();
}

void TJudgmentPool::Serve() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    work_.wait(hold, [&] { return cancelled_ || !queue_.empty(); });
    --idle_;
    if (cancelled_)
      return;
    std::shared_ptr<TJudgment> judgment = std::move(queue_.front());
    queue_.pop_front();
    judgment->state_ = TJudgment::TState::kRunning;
    hold.unlock();
    Run(*judgment);
    hold.lock();
    ++idle_;
  }
}

const TJudged& TJudgmentPool::Wait(TJudgment& judgment, const std::function<bool()>& between) {
  using TState = TJudgment::TState;
  bool more = static_cast<bool>(between);
  std::unique_lock<std::mutex> hold(lock_);
  while (judgment.state_ != TState::kDone) {
    if (judgment.state_ == TState::kQueued) {
      const auto at = std::find_if(queue_.begin(), queue_.end(),
                                   [&](const auto& queued) { return queued.get() == &judgment; });
      std::shared_ptr<TJudgment> mine = *at;
      queue_.erase(at);
      if (idle_ == 0 && !Spawn()) {
        judgment.state_ = TState::kRunning;
        hold.unlock();
        Run(judgment);
        hold.lock();
        continue;
      }
      queue_.push_front(std::move(mine));
      work_.notify_one();
    }
    if (more) {
      hold.unlock();
      more = between();
      hold.lock();
      continue;
    }
    done_.wait(hold);
  }
  if (judgment.error_)
    std::rethrow_exception(judgment.error_);
  return judgment.result_;
}

TJudgmentGate::TPass TJudgmentGate::Enter(const std::atomic<bool>& cancel) {
  std::unique_lock<std::mutex> hold(lock_);
  while (inside_ >= limit_) {
    if (cancel)
      throw EJudgmentCancelled();
    left_.wait_for(hold, std::chrono::milliseconds(100));
  }
  ++inside_;
  return TPass(this);
}

TJudgmentGate::TPass::~TPass() {
  if (!gate_)
    return;
  std::lock_guard<std::mutex> hold(gate_->lock_);
  --gate_->inside_;
  gate_->left_.notify_one();
}

}  // namespace quillbox
