// sqlite_registry.cpp - the registry store on one SQLite database per station.
//
// Schema: keys(id, parent, name, name_folded) with UNIQUE(parent, name_folded), and
// "values"(key, name, name_folded, type, data) whose rows go with their key (foreign key with
// cascading delete). name_folded is the upper-case form of the name (ToUpper), so lookups,
// uniqueness and name order ignore case. The seven roots are the fixed keys 1 to 7; ids come
// from AUTOINCREMENT and are never reused, so a stale KeyId never names another key.
//
// The database is in WAL mode (readers never wait for a writer) with a busy timeout; every
// write runs in BEGIN IMMEDIATE, so two processes that write at once wait for each other
// instead of losing a write. One connection per store, used under the store's mutex, with its
// statements prepared once. The file's application_id tells a registry database from any
// other SQLite file.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/text.h"
#include "registry/store/registry_store.h"
#include "registry/store/sqlite_db.h"

namespace qx {
namespace {

using sqlite::SqliteDb;
using sqlite::SqliteStatement;
using sqlite::StatementScope;

constexpr std::int64_t kRegistryApplicationId = 0x51585247;  // "QXRG"
constexpr KeyId kFirstRoot = static_cast<KeyId>(RegRoot::kClassesRoot);
constexpr KeyId kLastRoot = static_cast<KeyId>(RegRoot::kDynData);
constexpr std::size_t kMaxKeyNameUnits = 255;
constexpr std::size_t kMaxValueNameUnits = 16383;
// The oldest snapshot a read batch may read from.
constexpr std::chrono::milliseconds kMaxSnapshotAge{100};

constexpr const char* kRootNames[] = {
    "HKEY_CLASSES_ROOT",   "HKEY_CURRENT_USER",     "HKEY_LOCAL_MACHINE", "HKEY_USERS",
    "HKEY_CURRENT_CONFIG", "HKEY_PERFORMANCE_DATA", "HKEY_DYN_DATA",
};

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER REFERENCES keys(id),
  name TEXT NOT NULL,
  name_folded TEXT NOT NULL,
  UNIQUE(parent, name_folded));
CREATE TABLE IF NOT EXISTS "values"(
  key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  name_folded TEXT NOT NULL,
  type INTEGER NOT NULL,
  data,
  PRIMARY KEY(key, name_folded)) WITHOUT ROWID;
)sql";

// Every SQLite failure becomes a registry status here and nowhere else.
RegStatus MapSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return RegStatus::kOk;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return RegStatus::kBusy;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_FORMAT:
    case SQLITE_ERROR:  // e.g. a table missing from a damaged registry file
      return RegStatus::kCorrupt;
    case SQLITE_CONSTRAINT:  // a value written to a key that another process deleted
      return RegStatus::kNotFound;
    case SQLITE_TOOBIG:
    case SQLITE_RANGE:
    case SQLITE_MISMATCH:
      return RegStatus::kInvalid;
    default:  // READONLY, CANTOPEN, PERM, AUTH, IOERR, FULL ...
      return RegStatus::kAccessDenied;
  }
}

// mkdir -p of the directory that will hold the database; new directories get mode 0750.
bool MakeParentDirectories(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  const std::string dir = path.substr(0, slash);
  for (std::size_t pos = 1; pos != std::string::npos;) {
    pos = dir.find('/', pos + 1);
    const std::string partial = dir.substr(0, pos);
    if (::mkdir(partial.c_str(), 0750) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool ValidKeyName(std::string_view name) {
  return !name.empty() && name.find('\\') == std::string_view::npos &&
         Utf16Units(name) <= kMaxKeyNameUnits;
}

// Splits a relative key path into names; false when the path is malformed.
bool SplitPath(std::string_view path, std::vector<std::string_view>* names) {
  names->clear();
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (path.empty()) return true;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find('\\', start);
    const std::string_view name = path.substr(start, end - start);
    if (!ValidKeyName(name)) return false;
    names->push_back(name);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

std::string EncodeMulti(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& text : texts) {
    out.append(text.data(), ::strnlen(text.data(), text.size()));
    out.push_back('\0');
  }
  return out;
}

std::vector<std::string> DecodeMulti(std::string_view bytes) {
  std::vector<std::string> out;
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\0');
    out.emplace_back(bytes.substr(0, end));
    if (end == std::string_view::npos) break;
    bytes.remove_prefix(end + 1);
  }
  return out;
}

// The store of a database that could not be opened: every call answers the same failure.
class FailedRegistry final : public RegistryStore {
 public:
  explicit FailedRegistry(RegStatus status) : status_(status) {}
  RegStatus RootKey(RegRoot, KeyId*) override { return status_; }
  RegStatus OpenKey(KeyId, std::string_view, KeyId*) override { return status_; }
  RegStatus CreateKey(KeyId, std::string_view, KeyId*) override { return status_; }
  RegStatus DeleteKey(KeyId) override { return status_; }
  RegStatus SubkeyCount(KeyId, std::uint32_t*) override { return status_; }
  RegStatus EnumSubkey(KeyId, std::uint32_t, std::string*) override { return status_; }
  RegStatus GetValue(KeyId, std::string_view, RegValue*) override { return status_; }
  RegStatus SetValue(KeyId, std::string_view, const RegValue&) override { return status_; }
  RegStatus DeleteValue(KeyId, std::string_view) override { return status_; }
  RegStatus ListValues(KeyId, std::vector<std::string>*) override { return status_; }

 private:
  const RegStatus status_;
};

class SqliteRegistry final : public RegistryStore {
 public:
  // Opens the database at path; kOk or the reason it cannot be used.
  RegStatus Open(const std::string& path, int busyTimeoutMs);

  RegStatus RootKey(RegRoot root, KeyId* key) override;
  RegStatus OpenKey(KeyId parent, std::string_view path, KeyId* key) override;
  RegStatus CreateKey(KeyId parent, std::string_view path, KeyId* key) override;
  RegStatus DeleteKey(KeyId key) override;
  RegStatus SubkeyCount(KeyId key, std::uint32_t* count) override;
  RegStatus EnumSubkey(KeyId key, std::uint32_t index, std::string* name) override;
  RegStatus GetValue(KeyId key, std::string_view name, RegValue* value) override;
  RegStatus SetValue(KeyId key, std::string_view name, const RegValue& value) override;
  RegStatus DeleteValue(KeyId key, std::string_view name) override;
  RegStatus ListValues(KeyId key, std::vector<std::string>* names) override;
  void BeginReadBatch() override;
  void EndReadBatch() override;
  std::optional<std::uint64_t> ContentVersion() override;

 private:
  // The last name EnumSubkey gave.
  struct EnumCursor {
    bool valid = false;
    KeyId key = 0;
    std::uint32_t index = 0;
    std::string folded;
  };
  // A write transaction (BEGIN IMMEDIATE) that rolls back unless committed.
  class WriteTransaction {
   public:
    explicit WriteTransaction(SqliteRegistry& store) : store_(store) {}
    ~WriteTransaction() {
      if (open_) Run(store_.rollback_);
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;
    int Begin() {
      const int rc = Run(store_.begin_);
      open_ = rc == SQLITE_DONE;
      return rc;
    }
    int Commit() {
      const int rc = Run(store_.commit_);
      if (rc == SQLITE_DONE) open_ = false;
      return rc;
    }

   private:
    static int Run(SqliteStatement& statement) {
      StatementScope scope(statement);
      return statement.Step();
    }
    SqliteRegistry& store_;
    bool open_ = false;
  };

  RegStatus InitialiseSchema();
  RegStatus PrepareStatements();
  // Looks up one name below parent: SQLITE_ROW with *child, SQLITE_DONE when missing.
  int FindChild(KeyId parent, std::string_view name, KeyId* child);
  int KeyExists(KeyId key, bool* exists);
  // REQUIRES mutex_. Before a read: inside a batch, opens (or renews) the read snapshot.
  void BeginSnapshotRead();
  // REQUIRES mutex_. Before a write: ends the read snapshot and forgets the enumeration cursor.
  void EndSnapshot();

  std::mutex mutex_;
  SqliteDb db_;
  SqliteStatement begin_, commit_, rollback_;
  SqliteStatement findChild_, keyExists_, insertKey_, countChildren_, keyInfo_, enumChild_;
  SqliteStatement enumNext_, deleteKey_;
  SqliteStatement getValue_, setValue_, deleteValue_, listValues_;
  SqliteStatement beginRead_;
  SqliteStatement dataVersion_;
  EnumCursor cursor_;                                    // guarded by mutex_
  int batchDepth_ = 0;                                   // guarded by mutex_
  bool snapshotOpen_ = false;                            // guarded by mutex_
  std::chrono::steady_clock::time_point snapshotStart_;  // guarded by mutex_
};

RegStatus SqliteRegistry::Open(const std::string& path, int busyTimeoutMs) {
  if (path.empty()) return RegStatus::kInvalid;
  if (!MakeParentDirectories(path)) return RegStatus::kAccessDenied;
  int rc = db_.Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX);
  if (rc != SQLITE_OK) return MapSqlite(rc);
  sqlite3_busy_timeout(db_.get(), busyTimeoutMs);
  // Reading the header tells a database from any other file, and a registry from another
  // application's database.
  RegStatus status = InitialiseSchema();
  if (status != RegStatus::kOk) return status;
  rc = db_.Exec("PRAGMA foreign_keys = ON; PRAGMA synchronous = NORMAL;");
  if (rc != SQLITE_OK) return MapSqlite(rc);
  return PrepareStatements();
}

RegStatus SqliteRegistry::InitialiseSchema() {
  auto readState = [this](std::int64_t* applicationId, std::int64_t* objects) {
    SqliteStatement query;
    int rc = query.Prepare(db_, "PRAGMA application_id");
    if (rc != SQLITE_OK) return rc;
    if ((rc = query.Step()) != SQLITE_ROW) return rc;
    *applicationId = query.ColumnInt(0);
    rc = query.Prepare(db_, "SELECT count(*) FROM sqlite_master");
    if (rc != SQLITE_OK) return rc;
    if ((rc = query.Step()) != SQLITE_ROW) return rc;
    *objects = query.ColumnInt(0);
    return SQLITE_OK;
  };
  std::int64_t applicationId = 0;
  std::int64_t objects = 0;
  int rc = readState(&applicationId, &objects);
  if (rc != SQLITE_OK) return MapSqlite(rc);
  if (applicationId == kRegistryApplicationId) return RegStatus::kOk;
  if (applicationId != 0 || objects != 0) return RegStatus::kCorrupt;
  if (db_.ReadOnly()) return RegStatus::kAccessDenied;

  // A new database. WAL is a property of the file and must be set outside a transaction.
  rc = db_.Exec("PRAGMA journal_mode = WAL");
  if (rc != SQLITE_OK) return MapSqlite(rc);
  rc = db_.Exec("BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return MapSqlite(rc);
  // Another process may have created the schema while this one waited for the lock.
  rc = readState(&applicationId, &objects);
  if (rc == SQLITE_OK && applicationId == 0 && objects == 0) {
    rc = db_.Exec(kSchema);
    for (KeyId root = kFirstRoot; rc == SQLITE_OK && root <= kLastRoot; ++root) {
      SqliteStatement insert;
      rc = insert.Prepare(
          db_, "INSERT INTO keys(id, parent, name, name_folded) VALUES(?1, NULL, ?2, ?2)");
      if (rc != SQLITE_OK) break;
      insert.BindInt(1, root);
      insert.BindText(2, kRootNames[root - kFirstRoot]);
      rc = insert.Step() == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_.get());
    }
    if (rc == SQLITE_OK) {
      rc = db_.Exec(
          Format("PRAGMA application_id = %lld", static_cast<long long>(kRegistryApplicationId))
              .c_str());
    }
  } else if (rc == SQLITE_OK && applicationId != kRegistryApplicationId) {
    db_.Exec("ROLLBACK");
    return RegStatus::kCorrupt;
  }
  if (rc == SQLITE_OK) rc = db_.Exec("COMMIT");
  if (rc != SQLITE_OK) {
    db_.Exec("ROLLBACK");
    return MapSqlite(rc);
  }
  return RegStatus::kOk;
}

RegStatus SqliteRegistry::PrepareStatements() {
  const std::pair<SqliteStatement*, const char*> statements[] = {
      {&begin_, "BEGIN IMMEDIATE"},
      {&commit_, "COMMIT"},
      {&rollback_, "ROLLBACK"},
      {&beginRead_, "BEGIN DEFERRED"},
      {&dataVersion_, "PRAGMA data_version"},
      {&findChild_, "SELECT id FROM keys WHERE parent = ?1 AND name_folded = ?2"},
      {&keyExists_, "SELECT 1 FROM keys WHERE id = ?1"},
      {&insertKey_, "INSERT INTO keys(parent, name, name_folded) VALUES(?1, ?2, ?3)"},
      {&countChildren_, "SELECT count(*) FROM keys WHERE parent = ?1"},
      {&keyInfo_, "SELECT (SELECT count(*) FROM keys WHERE parent = ?1) FROM keys WHERE id = ?1"},
      {&enumChild_,
       "SELECT name, name_folded FROM keys WHERE parent = ?1 ORDER BY name_folded LIMIT 1 "
       "OFFSET ?2"},
      {&enumNext_,
       "SELECT name, name_folded FROM keys WHERE parent = ?1 AND name_folded > ?2 "
       "ORDER BY name_folded LIMIT 1"},
      {&deleteKey_, "DELETE FROM keys WHERE id = ?1"},
      {&getValue_, "SELECT type, data FROM \"values\" WHERE key = ?1 AND name_folded = ?2"},
      {&setValue_,
       "INSERT INTO \"values\"(key, name, name_folded, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
       "ON CONFLICT(key, name_folded) DO UPDATE SET type = excluded.type, data = excluded.data"},
      {&deleteValue_, "DELETE FROM \"values\" WHERE key = ?1 AND name_folded = ?2"},
      {&listValues_, "SELECT name FROM \"values\" WHERE key = ?1 ORDER BY name_folded"},
  };
  for (const auto& [statement, sql] : statements) {
    const int rc = statement->Prepare(db_, sql);
    if (rc != SQLITE_OK) return MapSqlite(rc);
  }
  return RegStatus::kOk;
}

int SqliteRegistry::FindChild(KeyId parent, std::string_view name, KeyId* child) {
  StatementScope scope(findChild_);
  findChild_.BindInt(1, parent);
  findChild_.BindText(2, ToUpper(name));
  const int rc = findChild_.Step();
  if (rc == SQLITE_ROW) *child = findChild_.ColumnInt(0);
  return rc;
}

int SqliteRegistry::KeyExists(KeyId key, bool* exists) {
  StatementScope scope(keyExists_);
  keyExists_.BindInt(1, key);
  const int rc = keyExists_.Step();
  *exists = rc == SQLITE_ROW;
  return rc == SQLITE_ROW ? SQLITE_DONE : rc;
}

void SqliteRegistry::BeginSnapshotRead() {
  if (snapshotOpen_ && std::chrono::steady_clock::now() - snapshotStart_ > kMaxSnapshotAge) {
    EndSnapshot();
  }
  if (batchDepth_ == 0 || snapshotOpen_) return;
  StatementScope scope(beginRead_);
  if (beginRead_.Step() == SQLITE_DONE) {
    snapshotOpen_ = true;
    snapshotStart_ = std::chrono::steady_clock::now();
  }
}

void SqliteRegistry::EndSnapshot() {
  cursor_.valid = false;
  if (!snapshotOpen_) return;
  snapshotOpen_ = false;
  StatementScope scope(commit_);
  if (commit_.Step() != SQLITE_DONE) {
    StatementScope undo(rollback_);
    rollback_.Step();
  }
}

std::optional<std::uint64_t> SqliteRegistry::ContentVersion() {
  std::lock_guard lock(mutex_);
  // data_version moves with the commits of other connections, total_changes with this one's.
  StatementScope scope(dataVersion_);
  if (dataVersion_.Step() != SQLITE_ROW) return std::nullopt;
  const auto foreign = static_cast<std::uint64_t>(sqlite3_column_int64(dataVersion_.get(), 0));
  const auto own = static_cast<std::uint64_t>(sqlite3_total_changes64(db_.get()));
  return (foreign << 32) ^ own;
}

void SqliteRegistry::BeginReadBatch() {
  std::lock_guard lock(mutex_);
  ++batchDepth_;
}

void SqliteRegistry::EndReadBatch() {
  std::lock_guard lock(mutex_);
  if (batchDepth_ > 0 && --batchDepth_ == 0) EndSnapshot();
}

RegStatus SqliteRegistry::RootKey(RegRoot root, KeyId* key) {
  const KeyId id = static_cast<KeyId>(root);
  if (key == nullptr || id < kFirstRoot || id > kLastRoot) return RegStatus::kInvalid;
  *key = id;
  return RegStatus::kOk;
}

RegStatus SqliteRegistry::OpenKey(KeyId parent, std::string_view path, KeyId* key) {
  std::vector<std::string_view> names;
  if (key == nullptr || !SplitPath(path, &names)) return RegStatus::kInvalid;
  std::lock_guard lock(mutex_);
  BeginSnapshotRead();
  if (names.empty()) {
    bool exists = false;
    const int rc = KeyExists(parent, &exists);
    if (rc != SQLITE_DONE) return MapSqlite(rc);
    if (!exists) return RegStatus::kNotFound;
    *key = parent;
    return RegStatus::kOk;
  }
  KeyId current = parent;
  for (std::string_view name : names) {
    const int rc = FindChild(current, name, &current);
    if (rc == SQLITE_DONE) return RegStatus::kNotFound;
    if (rc != SQLITE_ROW) return MapSqlite(rc);
  }
  *key = current;
  return RegStatus::kOk;
}

RegStatus SqliteRegistry::CreateKey(KeyId parent, std::string_view path, KeyId* key) {
  std::vector<std::string_view> names;
  if (key == nullptr || !SplitPath(path, &names)) return RegStatus::kInvalid;
  std::lock_guard lock(mutex_);
  EndSnapshot();
  WriteTransaction transaction(*this);
  int rc = transaction.Begin();
  if (rc != SQLITE_DONE) return MapSqlite(rc);
  bool exists = false;
  rc = KeyExists(parent, &exists);
  if (rc != SQLITE_DONE) return MapSqlite(rc);
  if (!exists) return RegStatus::kNotFound;
  KeyId current = parent;
  for (std::string_view name : names) {
    rc = FindChild(current, name, &current);
    if (rc == SQLITE_ROW) continue;
    if (rc != SQLITE_DONE) return MapSqlite(rc);
    StatementScope scope(insertKey_);
    insertKey_.BindInt(1, current);
    insertKey_.BindText(2, name);
    insertKey_.BindText(3, ToUpper(name));
    rc = insertKey_.Step();
    if (rc != SQLITE_DONE) return MapSqlite(rc);
    current = sqlite3_last_insert_rowid(db_.get());
  }
  rc = transaction.Commit();
  if (rc != SQLITE_DONE) return MapSqlite(rc);
  *key = current;
  return RegStatus::kOk;
}

RegStatus SqliteRegistry::DeleteKey(KeyId key) {
  if (key >= kFirstRoot && key <= kLastRoot) return RegStatus::kAccessDenied;
  std::lock_guard lock(mutex_);
  EndSnapshot();
  WriteTransaction transaction(*this);
  int rc = transaction.Begin();
  if (rc != SQLITE_DONE) return MapSqlite(rc);
  {
    StatementScope scope(countChildren_);
    countChildren_.BindInt(1, key);
    rc = countChildren_.Step();
    if (rc != SQLITE_ROW) return MapSqlite(rc);
    if (countChildren_.ColumnInt(0) > 0) return RegStatus::kHasSubkeys;
  }
  {
    StatementScope scope(deleteKey_);
    deleteKey_.BindInt(1, key);
    rc = deleteKey_.Step();
    if (rc != SQLITE_DONE) return MapSqlite(rc);
    if (sqlite3_changes(db_.get()) == 0) return RegStatus::kNotFound;
  }
  rc = transaction.Commit();
  return rc == SQLITE_DONE ? RegStatus::kOk : MapSqlite(rc);
}

RegStatus SqliteRegistry::SubkeyCount(KeyId key, std::uint32_t* count) {
  if (count == nullptr) return RegStatus::kInvalid;
  std::lock_guard lock(mutex_);
  BeginSnapshotRead();
  StatementScope scope(keyInfo_);
  keyInfo_.BindInt(1, key);
  const int rc = keyInfo_.Step();
  if (rc == SQLITE_DONE) return RegStatus::kNotFound;
  if (rc != SQLITE_ROW) return MapSqlite(rc);
  *count = static_cast<std::uint32_t>(keyInfo_.ColumnInt(0));
  return RegStatus::kOk;
}

RegStatus SqliteRegistry::EnumSubkey(KeyId key, std::uint32_t index, std::string* name) {
  if (name == nullptr) return RegStatus::kInvalid;
  std::lock_guard lock(mutex_);
  BeginSnapshotRead();
  // Enumerations go index after index: the next name is the first one after the last name
  // given, found through the index instead of by counting from the start.
  const bool next = cursor_.valid && cursor_.key == key && index > 0 && cursor_.index == index - 1;
  SqliteStatement& statement = next ? enumNext_ : enumChild_;
  StatementScope scope(statement);
  statement.BindInt(1, key);
  if (next) {
    statement.BindText(2, cursor_.folded);
  } else {
    statement.BindInt(2, index);
  }
  const int rc = statement.Step();
  if (rc != SQLITE_ROW) {
    cursor_.valid = false;
    return rc == SQLITE_DONE ? RegStatus::kNotFound : MapSqlite(rc);
  }
  *name = statement.ColumnText(0);
  cursor_ = {true, key, index, statement.ColumnText(1)};
  return RegStatus::kOk;
}

RegStatus SqliteRegistry::GetValue(KeyId key, std::string_view name, RegValue* value) {
  if (value == nullptr || Utf16Units(name) > kMaxValueNameUnits) return RegStatus::kInvalid;
  std::lock_guard lock(mutex_);
  BeginSnapshotRead();
  StatementScope scope(getValue_);
  getValue_.BindInt(1, key);
  getValue_.BindText(2, ToUpper(name));
  const int rc = getValue_.Step();
  if (rc == SQLITE_DONE) return RegStatus::kNotFound;
  if (rc != SQLITE_ROW) return MapSqlite(rc);
  RegValue out;
  out.type = static_cast<RegType>(getValue_.ColumnInt(0));
  switch (out.type) {
    case RegType::kSz:
    case RegType::kExpandSz:
      out.text = getValue_.ColumnText(1);
      break;
    case RegType::kMultiSz:
      out.texts = DecodeMulti(getValue_.ColumnText(1));
      break;
    case RegType::kDword:
      out.dword = static_cast<std::uint32_t>(getValue_.ColumnInt(1));
      break;
    default:
      break;
  }
  *value = std::move(out);
  return RegStatus::kOk;
}

RegStatus SqliteRegistry::SetValue(KeyId key, std::string_view name, const RegValue& value) {
  if (Utf16Units(name) > kMaxValueNameUnits) return RegStatus::kInvalid;
  std::lock_guard lock(mutex_);
  EndSnapshot();
  WriteTransaction transaction(*this);
  int rc = transaction.Begin();
  if (rc != SQLITE_DONE) return MapSqlite(rc);
  {
    StatementScope scope(setValue_);
    setValue_.BindInt(1, key);
    setValue_.BindText(2, name);
    setValue_.BindText(3, ToUpper(name));
    setValue_.BindInt(4, static_cast<std::int64_t>(value.type));
    switch (value.type) {
      case RegType::kSz:
      case RegType::kExpandSz:
        setValue_.BindText(5, value.text);
        break;
      case RegType::kMultiSz:
        setValue_.BindBlob(5, EncodeMulti(value.texts));
        break;
      case RegType::kDword:
        setValue_.BindInt(5, value.dword);
        break;
      default:
        setValue_.BindNull(5);
        break;
    }
    rc = setValue_.Step();
    if (rc != SQLITE_DONE) return MapSqlite(rc);
  }
  rc = transaction.Commit();
  return rc == SQLITE_DONE ? RegStatus::kOk : MapSqlite(rc);
}

RegStatus SqliteRegistry::DeleteValue(KeyId key, std::string_view name) {
  std::lock_guard lock(mutex_);
  EndSnapshot();
  WriteTransaction transaction(*this);
  int rc = transaction.Begin();
  if (rc != SQLITE_DONE) return MapSqlite(rc);
  {
    StatementScope scope(deleteValue_);
    deleteValue_.BindInt(1, key);
    deleteValue_.BindText(2, ToUpper(name));
    rc = deleteValue_.Step();
    if (rc != SQLITE_DONE) return MapSqlite(rc);
    if (sqlite3_changes(db_.get()) == 0) return RegStatus::kNotFound;
  }
  rc = transaction.Commit();
  return rc == SQLITE_DONE ? RegStatus::kOk : MapSqlite(rc);
}

RegStatus SqliteRegistry::ListValues(KeyId key, std::vector<std::string>* names) {
  if (names == nullptr) return RegStatus::kInvalid;
  std::lock_guard lock(mutex_);
  BeginSnapshotRead();
  bool exists = false;
  int rc = KeyExists(key, &exists);
  if (rc != SQLITE_DONE) return MapSqlite(rc);
  if (!exists) return RegStatus::kNotFound;
  std::vector<std::string> out;
  StatementScope scope(listValues_);
  listValues_.BindInt(1, key);
  while ((rc = listValues_.Step()) == SQLITE_ROW) out.push_back(listValues_.ColumnText(0));
  if (rc != SQLITE_DONE) return MapSqlite(rc);
  *names = std::move(out);
  return RegStatus::kOk;
}

}  // namespace

std::unique_ptr<RegistryStore> OpenSqliteRegistry(const std::string& path, int busyTimeoutMs,
                                                  RegStatus* status) {
  auto store = std::make_unique<SqliteRegistry>();
  const RegStatus result = store->Open(path, busyTimeoutMs);
  if (status != nullptr) *status = result;
  if (result == RegStatus::kOk) return store;
  return std::make_unique<FailedRegistry>(result);
}

}  // namespace qx
