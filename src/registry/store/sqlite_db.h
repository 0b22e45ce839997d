// sqlite_db.h - a small RAII layer over the SQLite C interface for the registry store.
//
// SqliteDb owns one connection (closed on destruction); SqliteStatement owns one prepared
// statement (finalized on destruction) and is reset and unbound by StatementScope when a use
// ends, so a cached statement never keeps a read transaction open. Neither class locks: the
// owner serialises every use of a connection and of its statements.
//
//   SqliteDb db;
//   int rc = db.Open("/tmp/r.db", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
//   SqliteStatement find;
//   rc = find.Prepare(db, "SELECT id FROM keys WHERE parent = ?1");
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace qx::sqlite {

class SqliteDb {
 public:
  SqliteDb() = default;
  ~SqliteDb() { Close(); }
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  // Opens (flags as sqlite3_open_v2); returns the SQLite result code. On failure the
  // connection is closed again.
  int Open(const std::string& path, int flags);
  void Close();
  // Runs statements without results; returns the SQLite result code.
  int Exec(const char* sql);
  sqlite3* get() const { return db_; }
  bool ReadOnly() const { return db_ != nullptr && sqlite3_db_readonly(db_, "main") == 1; }

 private:
  sqlite3* db_ = nullptr;
};

class SqliteStatement {
 public:
  SqliteStatement() = default;
  ~SqliteStatement() { sqlite3_finalize(stmt_); }
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  int Prepare(const SqliteDb& db, const char* sql);
  sqlite3_stmt* get() const { return stmt_; }

  int BindInt(int index, std::int64_t value) { return sqlite3_bind_int64(stmt_, index, value); }
  int BindText(int index, std::string_view text) {
    return sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                               SQLITE_UTF8);
  }
  int BindBlob(int index, std::string_view bytes) {
    return sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
  }
  int BindNull(int index) { return sqlite3_bind_null(stmt_, index); }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return sqlite3_step(stmt_); }
  std::int64_t ColumnInt(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string ColumnText(int column) const;  // text or blob bytes as they are stored
  int ColumnType(int column) const { return sqlite3_column_type(stmt_, column); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Resets and unbinds a statement when the scope of one use ends.
class StatementScope {
 public:
  explicit StatementScope(SqliteStatement& statement) : statement_(statement) {}
  ~StatementScope() {
    sqlite3_reset(statement_.get());
    sqlite3_clear_bindings(statement_.get());
  }
  StatementScope(const StatementScope&) = delete;
  StatementScope& operator=(const StatementScope&) = delete;

 private:
  SqliteStatement& statement_;
};

}  // namespace qx::sqlite
