#pragma once

#include <string>

namespace quillbox {

// Where the proxy's log lines go. AddToMemo may be called from any thread, must return without
// waiting for the reader of the log, and keeps the order of the calls.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void AddToMemo(const std::string& line) = 0;
};

}  // namespace quillbox
