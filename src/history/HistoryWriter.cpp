#include "history/HistoryWriter.h"

#include <ctime>
#include <filesystem>
#include <memory>

#include "history/EncodedWords.h"
#include "history/HistoryStore.h"

namespace quillbox {
namespace {

constexpr int64_t kDaySeconds = 24 * 60 * 60;
constexpr auto kFullLogEvery = std::chrono::minutes(1);
// How often the writer looks at the clock for the daily removal while no rows come.
constexpr auto kIdleWake = std::chrono::seconds(60);

void Decode(THistoryRow& row) {
  for (std::string* field : {&row.MessageId, &row.Date, &row.From, &row.Subject})
    *field = DecodeEncodedWords(*field);
  row.Domain = SenderDomain(row.HostName);
}

}  // namespace

int64_t SystemSeconds() {
  return static_cast<int64_t>(std::time(nullptr));
}

THistoryWriter::THistoryWriter(THistorySettings settings, LogSink& log,
                               std::function<void(const std::vector<THistoryRow>&)> committed)
    : settings_(std::move(settings)), log_(log), committed_(std::move(committed)) {
  if (settings_.Days <= 0)
    throw Exception("A history of no days is not written");
  thread_ = std::thread([this] { Run(); });
}

THistoryWriter::~THistoryWriter() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void THistoryWriter::Record(THistoryRow row) {
  if (row.Time == 0)
    row.Time = settings_.Now();
  std::string line;
  {
    std::lock_guard lock(mutex_);
    ++recorded_;
    if (!stop_ && queue_.size() < settings_.QueueRows) {
      queue_.push_back(std::move(row));
      wake_.notify_one();
      return;
    }
    ++finished_;
    ++counts_.Dropped;
    ++droppedUnlogged_;
    const auto now = std::chrono::steady_clock::now();
    if (fullLogged_ != std::chrono::steady_clock::time_point{} && now - fullLogged_ < kFullLogEvery)
      return;
    fullLogged_ = now;
    line = "The history is behind (is its disk stuck?): " + std::to_string(droppedUnlogged_) +
           " row(s) not written; the mail goes on";
    droppedUnlogged_ = 0;
  }
  log_.AddToMemo(line);
}

void THistoryWriter::Flush() {
  std::unique_lock lock(mutex_);
  const uint64_t until = recorded_;
  done_.wait(lock, [&] { return finished_ >= until; });
}

THistoryWriter::TCounts THistoryWriter::Counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

void THistoryWriter::Run() {
  std::unique_ptr<THistoryStore> store;
  // The next removal counts from the clock read before this one.
  int64_t nextRemoval = settings_.Now() + kDaySeconds;
  RemoveOld(store);
  for (;;) {
    std::vector<THistoryRow> batch;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, kIdleWake, [&] { return stop_ || !queue_.empty(); });
      if (stop_ && queue_.empty())
        return;
      // A few more rows make one commit instead of many.
      wake_.wait_for(lock, settings_.Gather,
                     [&] { return stop_ || queue_.size() >= settings_.BatchRows; });
      while (!queue_.empty() && batch.size() < settings_.BatchRows) {
        batch.push_back(std::move(queue_.front()));
        queue_.pop_front();
      }
    }
    if (const int64_t now = settings_.Now(); now >= nextRemoval) {
      nextRemoval = now + kDaySeconds;
      RemoveOld(store);
    }
    if (!batch.empty())
      Write(batch, store);
    std::lock_guard lock(mutex_);
    finished_ += batch.size();
    done_.notify_all();
  }
}

void THistoryWriter::Write(std::vector<THistoryRow>& rows, std::unique_ptr<THistoryStore>& store) {
  for (THistoryRow& row : rows)
    Decode(row);
  bool startedAnew = false;
  for (int attempt = 1;; ++attempt) {
    try {
      if (!store)
        store = std::make_unique<THistoryStore>(settings_.FileName, log_, settings_.BusyMs,
                                                settings_.Now());
      store->Insert(rows);
      break;
    } catch (const ESqliteError& e) {
      const bool busy = e.Code() == SQLITE_BUSY || e.Code() == SQLITE_LOCKED;
      if (busy && attempt < settings_.BusyTries)
        continue;
      if (BrokenDatabase(e) && store && !startedAnew) {
        startedAnew = true;
        try {
          store->StartAnew(settings_.Now());
          continue;
        } catch (const ESqliteError&) {
        }
      }
      if (!busy)
        store.reset();
      Failed(busy ? "busy" : e.Message(),
             busy ? "The history " + settings_.FileName +
                        " is held locked by another program: rows not written"
                  : "The history cannot be written: " + e.Message() + "; the mail goes on");
      std::lock_guard lock(mutex_);
      counts_.Dropped += rows.size();
      return;
    }
  }
  bool recovered = false;
  {
    std::lock_guard lock(mutex_);
    counts_.Written += rows.size();
    recovered = !lastFailure_.empty();
    lastFailure_.clear();
  }
  if (recovered)
    log_.AddToMemo("The history " + settings_.FileName + " is written again");
  if (committed_)
    committed_(rows);
}

void THistoryWriter::RemoveOld(std::unique_ptr<THistoryStore>& store) {
  // The file is made by the first row, so that a start that fails leaves nothing behind.
  std::error_code ignored;
  if (!store && !std::filesystem::exists(settings_.FileName, ignored))
    return;
  try {
    if (!store)
      store = std::make_unique<THistoryStore>(settings_.FileName, log_, settings_.BusyMs,
                                              settings_.Now());
    const int64_t removed = store->RemoveBefore(settings_.Now() - settings_.Days * kDaySeconds);
    if (removed > 0)
      log_.AddToMemo("The history: " + std::to_string(removed) + " row(s) older than " +
                     std::to_string(settings_.Days) + " days removed");
  } catch (const ESqliteError& e) {
    store.reset();
    Failed(e.Message(), "The history cannot be written: " + e.Message() + "; the mail goes on");
  }
}

void THistoryWriter::Failed(const std::string& kind, const std::string& line) {
  {
    std::lock_guard lock(mutex_);
    if (kind == lastFailure_)
      return;
    lastFailure_ = kind;
  }
  log_.AddToMemo(line);
}

}  // namespace quillbox
