#include "proxy/RefusalLog.h"

#include <vector>

namespace quillbox {

TRefusalLog::TRefusalLog(LogSink& log, Clock now) : log_(log), now_(std::move(now)) {}

void TRefusalLog::Refused(const std::string& newConnectionLine, const std::string& refusalLine) {
  const auto now = now_();
  std::vector<std::string> lines;
  {
    TMutexLock guard(lock_);
    if (logged_ == 0 || now - periodStart_ >= kPeriod) {
      periodStart_ = now;
      logged_ = 0;
    }
    if (logged_ == kLoggedPerPeriod) {
      if (unlogged_++ == 0) {
        lines.push_back("   P    More connections from outside: refusals go unlogged for up to " +
                        std::to_string(kPeriod.count()) + " seconds.");
      }
    } else {
      if (unlogged_ > 0) {
        lines.push_back("   P    " + std::to_string(unlogged_) +
                        " connections from outside were refused without a log line.");
        unlogged_ = 0;
      }
      ++logged_;
      lines.push_back(newConnectionLine);
      lines.push_back(refusalLine);
    }
  }
  // The log takes locks of its own and may be slow: it is written after ours is let go. Two
  // listener threads may then interleave their lines; each refusal's two stay in order.
  for (const std::string& line : lines)
    log_.AddToMemo(line);
}

}  // namespace quillbox
