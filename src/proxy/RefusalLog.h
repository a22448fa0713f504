#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "base/LogSink.h"
#include "base/Mutex.h"

namespace quillbox {

// The log of refused outside clients. Any host on the network can connect in a loop; logging
// every refusal would flood the log (and the desktop's log view) and bury what else happens. So
// at most kLoggedPerPeriod refusals are logged in each period of kPeriod that starts with a
// logged refusal; one line says when the rest of a period goes unlogged, and the next logged
// refusal first says how many went unlogged.
//
// Thread-safe: the listener threads of all bindings refuse; lock_ guards the period's state. The
// log is written after it is let go, and the clock called before it is taken.
class TRefusalLog {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr int kLoggedPerPeriod = 10;
  static constexpr std::chrono::seconds kPeriod{60};

  explicit TRefusalLog(LogSink& log, Clock now = std::chrono::steady_clock::now);

  // One refusal: its lines are logged, in order, unless the period's share is used up.
  void Refused(const std::string& newConnectionLine, const std::string& refusalLine)
      EXCLUDES(lock_);

 private:
  LogSink& log_;
  Clock now_;
  TMutex lock_;
  std::chrono::steady_clock::time_point periodStart_ GUARDED_BY(lock_);
  int logged_ GUARDED_BY(lock_) = 0;    // refusals logged in this period
  int unlogged_ GUARDED_BY(lock_) = 0;  // refusals since the last logged one
};

}  // namespace quillbox
