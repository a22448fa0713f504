#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/LogSink.h"
#include "history/HistoryRow.h"
#include "history/Sqlite.h"

namespace quillbox {

inline constexpr const char* kHistoryFileName = "history.sqlite3";

// The history file beside the INI file in use: "<folder of iniFileName>/history.sqlite3".
std::string HistoryFileName(const std::string& iniFileName);

// The history database opened for writing: made when missing (mode 0600, WAL journal, so that
// readers in another process never wait for a commit), the schema added when it lacks it. A
// file that is not SQLite or whose schema cannot be read is renamed aside to
// "<name>.broken-<time>" (time as yyyymmdd-hhmmss) and a new one made, which log says.
// Raises ESqliteError when the file cannot be opened or made (an unwritable folder, a full disk).
//
// Not thread-safe: its writer thread uses it alone. Another process may write the same file:
// SQLite's locks order the two, and a lock held too long is SQLITE_BUSY, raised.
class THistoryStore {
 public:
  // busyMs: how long a statement waits for another process's lock before SQLITE_BUSY.
  THistoryStore(const std::string& fileName, LogSink& log, int busyMs, int64_t now);

  // The rows in one transaction, each given its Id.
  void Insert(std::vector<THistoryRow>& rows);
  // Removes the rows older than before; how many went.
  int64_t RemoveBefore(int64_t before);

  // A broken file found while the store was in use: renamed aside as at opening, a new one
  // made. log says so.
  void StartAnew(int64_t now);

  const std::string& FileName() const { return fileName_; }

 private:
  void Open();

  std::string fileName_;
  LogSink& log_;
  int busyMs_;
  std::optional<TSqlite> db_;
  std::optional<TStatement> insert_;
};

// The columns a row is read back from, in THistoryRow's order after Id: for readers' SELECTs.
extern const char* const kHistoryColumns;
// The row from a statement that selected "id, " + kHistoryColumns.
THistoryRow RowFromStatement(const TStatement& statement);

// Whether an error means the file is not a usable database (not SQLite, corrupt).
bool BrokenDatabase(const ESqliteError& error);

}  // namespace quillbox
