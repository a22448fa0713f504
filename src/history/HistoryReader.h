#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "history/HistoryRow.h"
#include "history/Sqlite.h"

namespace quillbox {

// The history read, by the views and by quillboxd --history and --stats, beside a writer in
// this or another process: opened read-only, so a reader can never damage the file, and WAL lets
// it read while the writer commits. The rows a reader counts and pages through can be pinned to
// those up to an Id, so that rows committed meanwhile do not shift the pages.
//
// Not thread-safe: one thread uses a reader (each thread opens its own).
class THistoryReader {
 public:
  // Raises ESqliteError when the file does not exist or is no database.
  explicit THistoryReader(const std::string& fileName);

  // Rows of filter whose Id is above afterId and at most upToId (0: no bound).
  int64_t Count(const THistoryFilter& filter, int64_t afterId = 0, int64_t upToId = 0);
  // Rows of filter, newest first: limit of them from offset on, among those below beforeId when
  // it is given (then offset counts from there) and at most upToId.
  std::vector<THistoryRow> Page(const THistoryFilter& filter, int64_t offset, int64_t limit,
                                int64_t upToId = 0, int64_t beforeId = 0);
  // Every row of filter, the oldest first, one at a time.
  void ForEach(const THistoryFilter& filter, const std::function<void(const THistoryRow&)>& each);
  std::optional<THistoryRow> Row(int64_t id);
  // The newest row's Id; 0 for none.
  int64_t LastId();

  struct TCount {
    std::string Name;
    int64_t Count = 0;
  };
  struct TDayCount {
    std::string Day;   // yyyy-mm-dd, local time
    std::string Kind;  // StatusKind of the status
    int64_t Count = 0;
  };
  // Rows from since on, by day and status kind, the oldest day first.
  std::vector<TDayCount> PerDay(int64_t since);
  // Rows from since on by status text ("S25R Rule 3" apart from "S25R Rule 4"), most first.
  std::vector<TCount> PerStatus(int64_t since);
  // The sender domains of the rows from since on that are not Normal, most first, at most limit.
  std::vector<TCount> TopFlaggedDomains(int64_t since, int limit = 10);

 private:
  TSqlite db_;
};

// The first second of the local day of time.
int64_t LocalDayStart(int64_t time);

}  // namespace quillbox
