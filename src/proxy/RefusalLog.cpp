#include "proxy/RefusalLog.h"

namespace quillbox {

TRefusalLog::TRefusalLog(LogSink& log, Clock now) : log_(log), now_(std::move(now)) {}

void TRefusalLog::Refused(const std::string& newConnectionLine, const std::string& refusalLine) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto now = now_();
  if (logged_ == 0 || now - periodStart_ >= kPeriod) {
    periodStart_ = now;
    logged_ = 0;
  }
  if (logged_ == kLoggedPerPeriod) {
    if (unlogged_++ == 0) {
      log_.AddToMemo("   P    More connections from outside: refusals go unlogged for up to " +
                     std::to_string(kPeriod.count()) + " seconds.");
    }
    return;
  }
  if (unlogged_ > 0) {
    log_.AddToMemo("   P    " + std::to_string(unlogged_) +
                   " connections from outside were refused without a log line.");
    unlogged_ = 0;
  }
  ++logged_;
  log_.AddToMemo(newConnectionLine);
  log_.AddToMemo(refusalLine);
}

}  // namespace quillbox
