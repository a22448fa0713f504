#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "history/HistoryWriter.h"

namespace quillbox::test {

// A history that keeps the rows handed to it, in order. Thread-safe: one mutex guards the rows.
class RecordingHistory : public HistorySink {
 public:
  void Record(THistoryRow row) override {
    std::lock_guard lock(mutex_);
    rows_.push_back(std::move(row));
    changed_.notify_all();
  }
  // The rows once there are at least count of them, or after 10 s those there are.
  std::vector<THistoryRow> Rows(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return rows_.size() >= count; });
    return rows_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<THistoryRow> rows_;
};

}  // namespace quillbox::test
