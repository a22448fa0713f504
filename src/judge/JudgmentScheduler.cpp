#include "judge/JudgmentScheduler.h"

#include <algorithm>
#include <system_error>

namespace quillbox {

std::shared_ptr<TJudgment> TJudgment::Done(TJudged judged) {
  auto judgment = std::make_shared<TJudgment>(0, TJudgmentUrgency::kWaiting, nullptr);
  judgment->Finish(std::move(judged), nullptr);
  return judgment;
}

const TJudged& TJudgment::Result() const {
  if (error_)
    std::rethrow_exception(error_);
  return result_;
}

void TJudgment::Finish(TJudged result, std::exception_ptr error) {
  result_ = std::move(result);
  error_ = std::move(error);
  done_.store(true, std::memory_order_release);
}

TJudgmentScheduler::TJudgmentScheduler(size_t threads)
    : aheadLimit_(std::max<size_t>(threads / 2, 1)) {
  threads_.reserve(threads);
  for (size_t i = 0; i < threads; ++i)
    threads_.emplace_back([this] { Serve(nullptr); });
}

TJudgmentScheduler::~TJudgmentScheduler() {
  Shutdown();
}

uint64_t TJudgmentScheduler::NewSession() {
  static std::atomic<uint64_t> last{0};
  return ++last;
}

std::shared_ptr<TJudgment> TJudgmentScheduler::Start(uint64_t session, TJudgmentUrgency urgency,
                                                     TJudgment::TWork work) {
  auto judgment = std::make_shared<TJudgment>(session, urgency, std::move(work));
  {
    TMutexLock hold(lock_);
    if (!stopping_) {
      (urgency == TJudgmentUrgency::kWaiting ? waiting_ : ahead_).push_back(judgment);
      work_.NotifyOne();
      return judgment;
    }
  }
  judgment->Finish({}, std::make_exception_ptr(EJudgmentCancelled()));
  return judgment;
}

void TJudgmentScheduler::Hurry(TJudgment& judgment) {
  TMutexLock hold(lock_);
  const auto queued = std::find_if(ahead_.begin(), ahead_.end(),
                                   [&](const auto& job) { return job.get() == &judgment; });
  if (queued == ahead_.end())
    return;
  judgment.urgency_ = TJudgmentUrgency::kWaiting;
  waiting_.push_back(std::move(*queued));
  ahead_.erase(queued);
  work_.NotifyOne();
}

bool TJudgmentScheduler::WaitFor(const TJudgment& judgment, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  TMutexLock hold(lock_);
  while (!judgment.Done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline)
      return false;
    done_.WaitFor(lock_, deadline - now);
  }
  return true;
}

void TJudgmentScheduler::Drop(uint64_t session) {
  Cancel([session](const TJudgment& job) { return job.session_ == session; }, true);
  JoinSpares(false);
}

void TJudgmentScheduler::Shutdown() {
  {
    TMutexLock hold(lock_);
    if (stopping_)
      return;
    stopping_ = true;
    work_.NotifyAll();
  }
  Cancel([](const TJudgment&) { return true; }, false);
  for (std::thread& thread : threads_)
    thread.join();
  JoinSpares(true);
}

void TJudgmentScheduler::StartSpares() {
  while (!stopping_ && sparesServing_ < abandoned_ && sparesServing_ < kSpareThreads) {
    TSpare& spare = spares_.emplace_back();
    try {
      spare.thread = std::thread([this, &spare] { Serve(&spare); });
    } catch (const std::system_error&) {
      spares_.pop_back();  // out of threads: the fixed ones go on alone
      return;
    }
    ++sparesServing_;
  }
}

void TJudgmentScheduler::JoinSpares(bool all) {
  std::list<TSpare> ended;
  {
    TMutexLock hold(lock_);
    for (auto at = spares_.begin(); at != spares_.end();) {
      const auto next = std::next(at);
      if (all || at->finished)
        ended.splice(ended.end(), spares_, at);
      at = next;
    }
  }
  for (TSpare& spare : ended)
    spare.thread.join();
}

void TJudgmentScheduler::Cancel(const std::function<bool(const TJudgment&)>& matches,
                                bool abandon) {
  std::vector<std::shared_ptr<TJudgment>> dropped;
  {
    TMutexLock hold(lock_);
    for (auto* queue : {&waiting_, &ahead_}) {
      const auto taken = std::stable_partition(queue->begin(), queue->end(),
                                               [&](const auto& job) { return !matches(*job); });
      std::move(taken, queue->end(), std::back_inserter(dropped));
      queue->erase(taken, queue->end());
    }
    for (const auto& job : running_) {
      if (!matches(*job) || job->cancelled_.exchange(true) || !abandon)
        continue;
      job->abandoned_ = true;
      ++abandoned_;
    }
    StartSpares();
    // A session held back by another's queued jobs may go on.
    work_.NotifyAll();
  }
  for (const auto& job : dropped)
    job->Finish({}, std::make_exception_ptr(EJudgmentCancelled()));
  TMutexLock hold(lock_);
  done_.NotifyAll();
}

size_t TJudgmentScheduler::Queued() const {
  TMutexLock hold(lock_);
  return waiting_.size() + ahead_.size();
}

size_t TJudgmentScheduler::Running() const {
  TMutexLock hold(lock_);
  return running_.size();
}

bool TJudgmentScheduler::OtherSessionQueued(uint64_t session) const {
  // Waiting jobs are taken before any look-ahead job, so only the look-ahead queue is asked.
  return std::any_of(ahead_.begin(), ahead_.end(),
                     [&](const auto& job) { return job->session_ != session; });
}

std::shared_ptr<TJudgment> TJudgmentScheduler::TakeNext() {
  std::shared_ptr<TJudgment> job;
  if (!waiting_.empty()) {
    job = std::move(waiting_.front());
    waiting_.pop_front();
    return job;
  }
  for (auto at = ahead_.begin(); at != ahead_.end(); ++at) {
    const uint64_t session = (*at)->session_;
    const auto counted = runningAhead_.find(session);
    if (counted != runningAhead_.end() && counted->second >= aheadLimit_ &&
        OtherSessionQueued(session))
      continue;
    job = std::move(*at);
    ahead_.erase(at);
    job->countedAhead_ = true;
    ++runningAhead_[session];
    return job;
  }
  return job;
}

void TJudgmentScheduler::Serve(TSpare* spare) {
  for (;;) {
    std::shared_ptr<TJudgment> job;
    {
      TMutexLock hold(lock_);
      while (!stopping_ && !(spare && sparesServing_ > abandoned_) && !(job = TakeNext()))
        work_.Wait(lock_);
      if (!job) {
        if (spare) {
          --sparesServing_;
          spare->finished = true;
        }
        return;
      }
      running_.push_back(job);
      // Another free thread may take what is left.
      if (!waiting_.empty() || !ahead_.empty())
        work_.NotifyOne();
    }
    Run(job);
  }
}

void TJudgmentScheduler::Run(const std::shared_ptr<TJudgment>& job) {
  TJudged result;
  std::exception_ptr error;
  try {
    result = job->work_(job->cancelled_);
  } catch (...) {
    error = std::current_exception();
  }
  job->Finish(std::move(result), std::move(error));
  TMutexLock hold(lock_);
  job->work_ = nullptr;
  running_.erase(std::find(running_.begin(), running_.end(), job));
  if (job->abandoned_) {
    --abandoned_;
    // A spare thread that stood in for this one may end.
    work_.NotifyAll();
  }
  if (job->countedAhead_) {
    const auto counted = runningAhead_.find(job->session_);
    if (--counted->second == 0)
      runningAhead_.erase(counted);
    // A thread held back by this session's share may start one of its jobs now.
    work_.NotifyAll();
  }
  done_.NotifyAll();
}

}  // namespace quillbox
