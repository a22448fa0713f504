#pragma once

#include <string>
#include <vector>

namespace quillbox {

// Where the proxy's log lines go. AddToMemo may be called from any thread, must return without
// waiting for the reader of the log, and keeps the order of the calls.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void AddToMemo(const std::string& line) = 0;
};

// Keeps the lines instead of showing them, for work done away from the log's order (a judgment
// on another thread) whose lines go to the log later, together. Used by one thread at a time.
class LogLines : public LogSink {
 public:
  void AddToMemo(const std::string& line) override { Lines.push_back(line); }
  std::vector<std::string> Lines;
};

}  // namespace quillbox
