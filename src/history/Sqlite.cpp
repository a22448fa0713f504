#include "history/Sqlite.h"

namespace quillbox {

void CheckSqlite(sqlite3* db, int result, const char* doing) {
  if (result == SQLITE_OK || result == SQLITE_ROW || result == SQLITE_DONE)
    return;
  const char* message = db ? sqlite3_errmsg(db) : sqlite3_errstr(result);
  throw ESqliteError(std::string(doing) + ": " + message, result);
}

TStatement::TStatement(sqlite3* db, std::string_view sql)
    : db_(db), statement_(nullptr, sqlite3_finalize) {
  sqlite3_stmt* statement = nullptr;
  CheckSqlite(db,
              sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement, nullptr),
              "prepare");
  statement_.reset(statement);
}

TStatement& TStatement::Bind(int index, int64_t value) {
  CheckSqlite(db_, sqlite3_bind_int64(statement_.get(), index, value), "bind");
  return *this;
}

TStatement& TStatement::Bind(int index, const std::string& value) {
  CheckSqlite(db_,
              sqlite3_bind_text(statement_.get(), index, value.data(),
                                static_cast<int>(value.size()), SQLITE_TRANSIENT),
              "bind");
  return *this;
}

bool TStatement::Step() {
  const int result = sqlite3_step(statement_.get());
  if (result == SQLITE_ROW)
    return true;
  if (result != SQLITE_DONE) {
    sqlite3_reset(statement_.get());
    CheckSqlite(db_, result, "step");
  }
  return false;
}

void TStatement::Run() {
  while (Step()) {
  }
  Reset();
}

void TStatement::Reset() {
  sqlite3_reset(statement_.get());
  sqlite3_clear_bindings(statement_.get());
}

std::string TStatement::Text(int column) const {
  const auto* text = sqlite3_column_text(statement_.get(), column);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<size_t>(sqlite3_column_bytes(statement_.get(), column)))
              : std::string();
}

TSqlite::TSqlite(const std::string& fileName, int flags) : db_(nullptr, sqlite3_close_v2) {
  sqlite3* db = nullptr;
  const int result = sqlite3_open_v2(fileName.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  db_.reset(db);
  CheckSqlite(db, result, ("open " + fileName).c_str());
  sqlite3_extended_result_codes(db, 1);
}

void TSqlite::Exec(const std::string& sql) {
  CheckSqlite(db_.get(), sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr),
              "execute");
}

}  // namespace quillbox
