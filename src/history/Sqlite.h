#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/Exception.h"

namespace quillbox {

// An SQLite call that failed: the message names what was being done; Code() is SQLite's primary
// result code (SQLITE_BUSY, SQLITE_CORRUPT, SQLITE_NOTADB, SQLITE_FULL ...).
class ESqliteError : public Exception {
 public:
  ESqliteError(const std::string& message, int code) : Exception(message), code_(code) {}
  int Code() const { return code_ & 0xFF; }

 private:
  int code_;
};

// One prepared statement; reset after every run. Not thread-safe: used by its connection's
// thread only.
class TStatement {
 public:
  TStatement(sqlite3* db, std::string_view sql);

  TStatement& Bind(int index, int64_t value);
  TStatement& Bind(int index, const std::string& value);
  // Steps once: true while it gives a row.
  bool Step();
  // Runs to the end and resets, bindings cleared.
  void Run();
  void Reset();

  int64_t Int(int column) const { return sqlite3_column_int64(statement_.get(), column); }
  std::string Text(int column) const;

 private:
  sqlite3* db_;
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement_;
};

// One connection to a database file. Not thread-safe: one thread uses it at a time.
class TSqlite {
 public:
  // flags: SQLITE_OPEN_READONLY, or SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE.
  TSqlite(const std::string& fileName, int flags);

  void Exec(const std::string& sql);
  TStatement Prepare(std::string_view sql) { return TStatement(db_.get(), sql); }
  sqlite3* Handle() const { return db_.get(); }

 private:
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db_;
};

// Raises ESqliteError for a result that is not OK, with what was done and SQLite's message.
void CheckSqlite(sqlite3* db, int result, const char* doing);

}  // namespace quillbox
