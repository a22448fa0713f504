#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "base/LogSink.h"
#include "base/Mutex.h"

namespace quillbox {

// Carries log lines from the connection threads to the one reader of the log (quillboxd's
// standard output, the desktop's text area) in the order of the AddToMemo calls.
//
// AddToMemo never waits for the reader: it only takes a short internal lock. So that a reader
// that stalls (a blocked terminal, a hung desktop) cannot make the proxy run out of memory, the
// queue holds at most `capacity` lines; beyond that the oldest are dropped and the reader is told
// how many. After Close() every line, pending or new, is dropped: lines handed over while the
// program is ending are never shown. Thread-safe.
class TMemoQueue : public LogSink {
 public:
  static constexpr size_t kDefaultCapacity = 100000;

  explicit TMemoQueue(size_t capacity = kDefaultCapacity);

  void AddToMemo(const std::string& line) override EXCLUDES(mutex_);

  // Called after a line arrives in an empty queue, on the thread that handed it over, without the
  // lock held, so the reader can schedule a drain (the desktop posts to its UI thread). Must not
  // block. Set it before the first line can arrive.
  void SetOnLinesAvailable(std::function<void()> callback) EXCLUDES(mutex_);

  // Takes every pending line at once, without waiting. If lines were dropped, a note saying how
  // many comes first.
  std::vector<std::string> TakeAll() EXCLUDES(mutex_);
  // Waits until a line arrives, the queue is closed or the timeout passes, then takes every
  // pending line. Returns false once the queue is closed.
  bool WaitAndTakeAll(std::vector<std::string>& lines, std::chrono::milliseconds timeout)
      EXCLUDES(mutex_);

  // Drops what is pending and every later line, and wakes a waiting reader.
  void Close() EXCLUDES(mutex_);
  bool Closed() const EXCLUDES(mutex_);

 private:
  std::vector<std::string> TakeAllLocked() REQUIRES(mutex_);

  const size_t capacity_;
  mutable TMutex mutex_;  // guards the lines, the count dropped, the end and the callback
  TCondVar available_;
  std::deque<std::string> lines_ GUARDED_BY(mutex_);
  size_t dropped_ GUARDED_BY(mutex_) = 0;
  bool closed_ GUARDED_BY(mutex_) = false;
  std::function<void()> onLinesAvailable_ GUARDED_BY(mutex_);
};

}  // namespace quillbox
