#include "shell/MemoQueue.h"

#include <utility>

namespace quillbox {

TMemoQueue::TMemoQueue(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

void TMemoQueue::SetOnLinesAvailable(std::function<void()> callback) {
  TMutexLock lock(mutex_);
  onLinesAvailable_ = std::move(callback);
}

void TMemoQueue::AddToMemo(const std::string& line) {
  std::function<void()> notify;
  {
    TMutexLock lock(mutex_);
    if (closed_)
      return;
    if (lines_.size() == capacity_) {
      lines_.pop_front();
      ++dropped_;
    }
    lines_.push_back(line);
    if (lines_.size() == 1)
      notify = onLinesAvailable_;
  }
  available_.NotifyOne();
  if (notify)
    notify();
}

std::vector<std::string> TMemoQueue::TakeAllLocked() {
  std::vector<std::string> taken;
  taken.reserve(lines_.size() + 1);
  if (dropped_ > 0) {
    taken.push_back("   P    " + std::to_string(dropped_) +
                    " log lines were dropped because the log display fell behind.");
    dropped_ = 0;
  }
  for (std::string& line : lines_)
    taken.push_back(std::move(line));
  lines_.clear();
  return taken;
}

std::vector<std::string> TMemoQueue::TakeAll() {
  TMutexLock lock(mutex_);
  return TakeAllLocked();
}

bool TMemoQueue::WaitAndTakeAll(std::vector<std::string>& lines,
                                std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  TMutexLock lock(mutex_);
  for (auto now = std::chrono::steady_clock::now(); !closed_ && lines_.empty() && now < deadline;
       now = std::chrono::steady_clock::now())
    available_.WaitFor(mutex_, deadline - now);
  if (closed_)
    return false;
  lines = TakeAllLocked();
  return true;
}

void TMemoQueue::Close() {
  {
    TMutexLock lock(mutex_);
    closed_ = true;
    lines_.clear();
    dropped_ = 0;
  }
  available_.NotifyAll();
}

bool TMemoQueue::Closed() const {
  TMutexLock lock(mutex_);
  return closed_;
}

}  // namespace quillbox
