#include "history/HistoryStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace quillbox {

const char* const kHistoryColumns =
    "time, account, command, number, uidl, message_id, date, sender, subject, address, host_name,"
    " looked_up_address, domain, status, rule, confirmed, allow_list, allow_line, allow_entry,"
    " replaced_status, cached, size";

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS verdicts(id INTEGER PRIMARY KEY, time INTEGER NOT NULL,"
    " account TEXT NOT NULL, command TEXT NOT NULL, number INTEGER NOT NULL, uidl TEXT NOT NULL,"
    " message_id TEXT NOT NULL, date TEXT NOT NULL, sender TEXT NOT NULL, subject TEXT NOT NULL,"
    " address TEXT NOT NULL, host_name TEXT NOT NULL, looked_up_address TEXT NOT NULL,"
    " domain TEXT NOT NULL, status TEXT NOT NULL, rule INTEGER NOT NULL,"
    " confirmed INTEGER NOT NULL, allow_list TEXT NOT NULL, allow_line INTEGER NOT NULL,"
    " allow_entry TEXT NOT NULL, replaced_status TEXT NOT NULL, cached INTEGER NOT NULL,"
    " size INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS verdicts_time ON verdicts(time);"
    "CREATE INDEX IF NOT EXISTS verdicts_status ON verdicts(status, time);";

// The file made with the owner's bits only before SQLite opens it: SQLite would make it 0644.
// Its -wal and -shm files take the database's mode.
void CreatePrivate(const std::string& fileName) {
  const int fd =
      ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0)
    ::close(fd);
}

}  // namespace

std::string HistoryFileName(const std::string& iniFileName) {
  const size_t slash = iniFileName.rfind('/');
  if (slash == std::string::npos)
    return kHistoryFileName;
  return iniFileName.substr(0, slash + 1) + kHistoryFileName;
}

bool BrokenDatabase(const ESqliteError& error) {
  return error.Code() == SQLITE_NOTADB || error.Code() == SQLITE_CORRUPT;
}

THistoryStore::THistoryStore(const std::string& fileName, LogSink& log, int busyMs, int64_t now)
    : fileName_(fileName), log_(log), busyMs_(busyMs) {
  try {
    Open();
  } catch (const ESqliteError& e) {
    if (!BrokenDatabase(e))
      throw;
    StartAnew(now);
  }
}

void THistoryStore::Open() {
  insert_.reset();
  db_.reset();
  CreatePrivate(fileName_);
  db_.emplace(fileName_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  sqlite3_busy_timeout(db_->Handle(), busyMs_);
  // Reading the schema is the first read of the file: what is no database fails here.
  db_->Exec("PRAGMA journal_mode=WAL");
  db_->Exec("PRAGMA synchronous=NORMAL");
  db_->Exec(kSchema);
  std::string sql = std::string("INSERT INTO verdicts(") + kHistoryColumns + ") VALUES(?";
  for (int i = 1; i < 22; ++i)
    sql += ",?";
  insert_.emplace(db_->Prepare(sql + ")"));
}

void THistoryStore::StartAnew(int64_t now) {
  insert_.reset();
  db_.reset();
  const std::string aside = fileName_ + ".broken-" + LocalTimeText(now, "%Y%m%d-%H%M%S");
  if (std::rename(fileName_.c_str(), aside.c_str()) != 0)
    throw ESqliteError(
        "The history " + fileName_ + " is broken and could not be renamed to " + aside,
        SQLITE_CANTOPEN);
  // What SQLite kept beside the broken file belongs to it.
  std::remove((fileName_ + "-wal").c_str());
  std::remove((fileName_ + "-shm").c_str());
  log_.AddToMemo("The history " + fileName_ + " was no usable database: renamed to " + aside +
                 ", a new one begun");
  Open();
}

void THistoryStore::Insert(std::vector<THistoryRow>& rows) {
  db_->Exec("BEGIN IMMEDIATE");
  try {
    for (THistoryRow& r : rows) {
      TStatement& s = *insert_;
      s.Bind(1, r.Time).Bind(2, r.Account).Bind(3, r.Command).Bind(4, r.Number).Bind(5, r.Uidl);
      s.Bind(6, r.MessageId).Bind(7, r.Date).Bind(8, r.From).Bind(9, r.Subject);
      s.Bind(10, r.Address).Bind(11, r.HostName).Bind(12, r.LookedUpAddress).Bind(13, r.Domain);
      s.Bind(14, r.Status).Bind(15, r.Rule).Bind(16, int64_t{r.Confirmed});
      s.Bind(17, r.AllowList).Bind(18, r.AllowLine).Bind(19, r.AllowEntry);
      s.Bind(20, r.ReplacedStatus).Bind(21, int64_t{r.Cached}).Bind(22, r.Size);
      s.Run();
      r.Id = sqlite3_last_insert_rowid(db_->Handle());
    }
    db_->Exec("COMMIT");
  } catch (const ESqliteError&) {
    insert_->Reset();
    sqlite3_exec(db_->Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

int64_t THistoryStore::RemoveBefore(int64_t before) {
  TStatement remove = db_->Prepare("DELETE FROM verdicts WHERE time < ?");
  remove.Bind(1, before).Run();
  return sqlite3_changes(db_->Handle());
}

THistoryRow RowFromStatement(const TStatement& s) {
  THistoryRow r;
  r.Id = s.Int(0);
  r.Time = s.Int(1);
  r.Account = s.Text(2);
  r.Command = s.Text(3);
  r.Number = s.Int(4);
  r.Uidl = s.Text(5);
  r.MessageId = s.Text(6);
  r.Date = s.Text(7);
  r.From = s.Text(8);
  r.Subject = s.Text(9);
  r.Address = s.Text(10);
  r.HostName = s.Text(11);
  r.LookedUpAddress = s.Text(12);
  r.Domain = s.Text(13);
  r.Status = s.Text(14);
  r.Rule = s.Int(15);
  r.Confirmed = s.Int(16) != 0;
  r.AllowList = s.Text(17);
  r.AllowLine = s.Int(18);
  r.AllowEntry = s.Text(19);
  r.ReplacedStatus = s.Text(20);
  r.Cached = s.Int(21) != 0;
  r.Size = s.Int(22);
  return r;
}

}  // namespace quillbox
