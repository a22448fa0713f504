#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/LogSink.h"
#include "history/HistoryRow.h"

namespace quillbox {

class THistoryStore;

// Where the proxy hands the rows of the history. Record must return at once, whatever the disk
// does: it runs on a connection thread between a verdict and the message's delivery.
class HistorySink {
 public:
  virtual ~HistorySink() = default;
  // MessageId, Date, From and Subject as the header has them (encoded words still encoded);
  // Domain is filled in by the sink.
  virtual void Record(THistoryRow row) = 0;
};

// Seconds since the epoch; tests fix it.
using THistoryClock = std::function<int64_t()>;
int64_t SystemSeconds();

struct THistorySettings {
  std::string FileName;
  int Days = 90;                          // rows older than that go at the start and once a day
  size_t QueueRows = 10000;               // rows waiting for the writer; more are dropped
  size_t BatchRows = 1000;                // rows committed in one transaction at most
  std::chrono::milliseconds Gather{100};  // how long the writer waits for more rows to commit
  int BusyMs = 50;                        // how long one attempt waits for another process's lock
  int BusyTries = 10;                     // attempts a batch gets before its rows are dropped
  THistoryClock Now = SystemSeconds;
};

// The history's writer: one thread that takes the rows from a bounded queue, decodes their
// header fields and commits them in batches, so that the connection threads never wait for the
// disk. A full queue (a stuck disk) drops rows; a file another process holds locked is tried
// BusyTries times, then the batch is dropped; a broken file is renamed aside and a new one begun
// (THistoryStore); any other failure (an unwritable folder, a full disk) drops the batch. Each
// of these says so in the log once a minute at most, and the first success after a failure says
// that the history is written again. The file is made by the first row. Days <= 0 is refused:
// then no writer is made at all.
//
// Thread-safe: Record, Flush and Counts from any thread. mutex_ guards queue_, stop_, flushed_,
// the counts and the times of the last log lines; committed_ is called on the writer thread.
class THistoryWriter : public HistorySink {
 public:
  // committed, when given, is called on the writer thread after each commit with the rows it
  // held, their Ids given.
  THistoryWriter(THistorySettings settings, LogSink& log,
                 std::function<void(const std::vector<THistoryRow>&)> committed = nullptr);
  // Commits what is queued (a batch gets its tries), then ends the thread.
  ~THistoryWriter() override;
  THistoryWriter(const THistoryWriter&) = delete;
  THistoryWriter& operator=(const THistoryWriter&) = delete;

  void Record(THistoryRow row) override;
  // Waits until every row recorded before the call is committed or dropped.
  void Flush();

  struct TCounts {
    uint64_t Written = 0, Dropped = 0;
  };
  TCounts Counts() const;

 private:
  void Run();
  void Write(std::vector<THistoryRow>& rows, std::unique_ptr<THistoryStore>& store);
  void RemoveOld(std::unique_ptr<THistoryStore>& store);
  // A failure's log line, once a minute at most for each kind.
  void Failed(const std::string& kind, const std::string& line);

  THistorySettings settings_;
  LogSink& log_;
  std::function<void(const std::vector<THistoryRow>&)> committed_;
  mutable std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::deque<THistoryRow> queue_;
  bool stop_ = false;
  uint64_t taken_ = 0, finished_ = 0, recorded_ = 0;  // rows taken by the writer, done with, given
  TCounts counts_;
  uint64_t droppedUnlogged_ = 0;
  std::chrono::steady_clock::time_point fullLogged_{};
  std::string lastFailure_;
  std::chrono::steady_clock::time_point failureLogged_{};
  std::thread thread_;  // last: started when everything above is made
};

}  // namespace quillbox
