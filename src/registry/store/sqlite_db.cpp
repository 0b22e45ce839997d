// sqlite_db.cpp - the RAII layer over the SQLite C interface (see sqlite_db.h).
#include "registry/store/sqlite_db.h"

namespace qx::sqlite {

int SqliteDb::Open(const std::string& path, int flags) {
  Close();
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    // sqlite3_open_v2 hands out a connection object even on failure; it must be closed.
    Close();
    return rc;
  }
  sqlite3_extended_result_codes(db_, 0);
  return SQLITE_OK;
}

void SqliteDb::Close() {
  if (db_ != nullptr) {
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }
}

int SqliteDb::Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

int SqliteStatement::Prepare(const SqliteDb& db, const char* sql) {
  sqlite3_finalize(stmt_);
  stmt_ = nullptr;
  return sqlite3_prepare_v3(db.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
}

std::string SqliteStatement::ColumnText(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  if (data == nullptr || size <= 0) return {};
  return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

}  // namespace qx::sqlite
