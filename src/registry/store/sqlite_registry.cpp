// sqlite_registry.cpp - the registry store on one SQLite database per station.
//
// Schema: keys(id, parent, name, name_folded) with UNIQUE(parent, name_folded), and
// "values"(key, name, name_folded, type, data) whose rows go with their key (foreign key with
// cascading delete). name_folded is FoldedKey(name), whose plain byte order is the order of
// ICompare, so lookups, uniqueness and name order ignore case exactly as the rest of the
// module does, and any SQLite tool can still read the file (no custom collation). The seven
// roots are the fixed keys 1 to 7; ids come from AUTOINCREMENT and are never reused, so a
// stale KeyId never names another key.
//
// PRAGMA user_version is the schema version. Version 0 files kept the upper-case form
// (ToUpper) in name_folded, which orders "A_" after "AB"; they are rewritten to version 1 the
// first time a connection that may write opens them. A connection that may only read such a
// file looks names up in the old form (equality is the same; the order is the old one).
//
// The database is in WAL mode (readers never wait for a writer) with a busy deadline: each
// operation (an open, a call, a whole transaction) waits at most the busy timeout in all for
// other processes, however many statements it runs. Every
// write runs in BEGIN IMMEDIATE, so two processes that write at once wait for each other
// instead of losing a write. Transact runs several calls in one such transaction under the
// store's mutex. One connection per store, used under the store's mutex, with its statements
// prepared once. The file's application_id tells a registry database from any other SQLite
// file.
//
// Only an open in RegistryOpen::kCreate mode makes a file: it creates a missing file (0644 less the
// umask) with its schema. The ordinary open never does, and takes a file without the schema (0
// bytes, or cut short before the first write) for a damaged registry, so that a reader never turns
// a registry that lost its content into an empty one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/mutex.h"
#include "common/text.h"
#include "platform/environment.h"
#include "platform/unix_socket.h"
#include "platform/write_trust.h"
#include "registry/store/registry_store.h"
#include "registry/store/sqlite_db.h"

namespace qx {
namespace {

using sqlite::SqliteDb;
using sqlite::SqliteStatement;
using sqlite::StatementScope;

constexpr std::int64_t kRegistryApplicationId = 0x51585247;  // "QXRG"
// PRAGMA user_version: 0 = name_folded holds ToUpper(name), 1 = FoldedKey(name).
constexpr std::int64_t kUpperCaseSchema = 0;
constexpr std::int64_t kSchemaVersion = 1;
constexpr std::uint32_t kDirectoryMode = 0750;
// As SQLite makes a database: the umask narrows it.
constexpr mode_t kNewFileMode = 0644;
// The longest single sleep of a store that waits for another process's lock.
constexpr std::chrono::milliseconds kMaxBusySleep{20};
// Longest integrity-check line that a detail text repeats.
constexpr std::size_t kMaxDetailChars = 200;
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

std::string ErrorText(int error) {
  char buffer[256];
  return ::strerror_r(error, buffer, sizeof buffer);
}

// mkdir -p of the directory that will hold the database.
bool MakeParentDirectories(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  return MakeDirectories(path.substr(0, slash), kDirectoryMode);
}

// qx_fold(name): FoldedKey of a text, for rewriting the names of an older file.
void FoldFunction(sqlite3_context* context, int count, sqlite3_value** values) {
  if (count != 1 || sqlite3_value_type(values[0]) == SQLITE_NULL) {
    sqlite3_result_null(context);
    return;
  }
  const auto* data = static_cast<const char*>(sqlite3_value_blob(values[0]));
  const int size = sqlite3_value_bytes(values[0]);
  const std::string folded =
      FoldedKey(std::string_view(data != nullptr ? data : "", size > 0 ? size : 0));
  sqlite3_result_text64(context, folded.data(), folded.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
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
  RegStatus Transact(const TransactionBody&) override { return status_; }

 private:
  const RegStatus status_;
};

class SqliteRegistry final : public RegistryStore {
 public:
  // Opens the database at path; kOk or the reason it cannot be used.
  RegStatus Open(const std::string& path, int busyTimeoutMs, RegistryOpen mode) EXCLUDES(mutex_);
  // SQLite's quick integrity check: kOk, or the failure with the check's first line in *detail.
  RegStatus QuickCheck(std::string* detail) EXCLUDES(mutex_);

  RegStatus RootKey(RegRoot root, KeyId* key) override;
  RegStatus OpenKey(KeyId parent, std::string_view path, KeyId* key) override EXCLUDES(mutex_);
  RegStatus CreateKey(KeyId parent, std::string_view path, KeyId* key) override EXCLUDES(mutex_);
  RegStatus DeleteKey(KeyId key) override EXCLUDES(mutex_);
  RegStatus SubkeyCount(KeyId key, std::uint32_t* count) override EXCLUDES(mutex_);
  RegStatus EnumSubkey(KeyId key, std::uint32_t index, std::string* name) override EXCLUDES(mutex_);
  RegStatus GetValue(KeyId key, std::string_view name, RegValue* value) override EXCLUDES(mutex_);
  RegStatus SetValue(KeyId key, std::string_view name, const RegValue& value) override
      EXCLUDES(mutex_);
  RegStatus DeleteValue(KeyId key, std::string_view name) override EXCLUDES(mutex_);
  RegStatus ListValues(KeyId key, std::vector<std::string>* names) override EXCLUDES(mutex_);
  RegStatus Transact(const TransactionBody& body) override EXCLUDES(mutex_);
  void BeginReadBatch() override EXCLUDES(mutex_);
  void EndReadBatch() override EXCLUDES(mutex_);
  std::optional<std::uint64_t> ContentVersion() override EXCLUDES(mutex_);
  bool OnlyOwnerMayWrite(std::string* why) override;

 private:
  class TransactionView;

  // The last name EnumSubkey gave.
  struct EnumCursor {
    bool valid = false;
    KeyId key = 0;
    std::uint32_t index = 0;
    std::string folded;
  };

  static int Run(SqliteStatement& statement) {
    StatementScope scope(statement);
    return statement.Step();
  }

  RegStatus InitialiseSchemaLocked(bool create) REQUIRES(mutex_);
  // Starts the busy deadline of one operation (see the top of the file).
  void StartOperationLocked() REQUIRES(mutex_) {
    busyDeadline_.store(
        (std::chrono::steady_clock::now() + busyTimeout_).time_since_epoch().count(),
        std::memory_order_relaxed);
  }
  // SQLite's busy handler: sleeps a little while the operation's deadline has not passed.
  static int WaitWhileBusy(void* self, int attempts);
  // Rewrites the names of an older file to the current form (see the top of the file).
  RegStatus UpgradeSchemaLocked() REQUIRES(mutex_);
  RegStatus PrepareStatementsLocked() REQUIRES(mutex_);
  int ReadPragmaLocked(const char* sql, std::int64_t* value) REQUIRES(mutex_);
  std::string FoldLocked(std::string_view name) REQUIRES(mutex_) {
    return upperCaseNames_ ? ToUpper(name) : FoldedKey(name);
  }
  // Looks up one name below parent: SQLITE_ROW with *child, SQLITE_DONE when missing.
  int FindChildLocked(KeyId parent, std::string_view name, KeyId* child) REQUIRES(mutex_);
  int KeyExistsLocked(KeyId key, bool* exists) REQUIRES(mutex_);
  // Before a read: inside a batch, opens (or renews) the read snapshot.
  void BeginSnapshotReadLocked() REQUIRES(mutex_);
  // Before a write: ends the read snapshot and forgets the enumeration cursor.
  void EndSnapshotLocked() REQUIRES(mutex_);
  // BEGIN IMMEDIATE after the snapshot has ended; kOk or why the write cannot begin.
  RegStatus BeginWriteLocked() REQUIRES(mutex_);
  // Commits when status is kOk, else rolls back; the status of the whole write.
  RegStatus EndWriteLocked(RegStatus status) REQUIRES(mutex_);

  // The operations themselves, inside whatever transaction or snapshot the caller holds.
  RegStatus OpenKeyLocked(KeyId parent, std::string_view path, KeyId* key) REQUIRES(mutex_);
  RegStatus CreateKeyLocked(KeyId parent, std::string_view path, KeyId* key) REQUIRES(mutex_);
  RegStatus DeleteKeyLocked(KeyId key) REQUIRES(mutex_);
  RegStatus SubkeyCountLocked(KeyId key, std::uint32_t* count) REQUIRES(mutex_);
  RegStatus EnumSubkeyLocked(KeyId key, std::uint32_t index, std::string* name) REQUIRES(mutex_);
  RegStatus GetValueLocked(KeyId key, std::string_view name, RegValue* value) REQUIRES(mutex_);
  RegStatus SetValueLocked(KeyId key, std::string_view name, const RegValue& value)
      REQUIRES(mutex_);
  RegStatus DeleteValueLocked(KeyId key, std::string_view name) REQUIRES(mutex_);
  RegStatus ListValuesLocked(KeyId key, std::vector<std::string>* names) REQUIRES(mutex_);

  Mutex mutex_;
  SqliteDb db_ GUARDED_BY(mutex_);
  SqliteStatement begin_ GUARDED_BY(mutex_);
  SqliteStatement commit_ GUARDED_BY(mutex_);
  SqliteStatement rollback_ GUARDED_BY(mutex_);
  SqliteStatement findChild_ GUARDED_BY(mutex_);
  SqliteStatement keyExists_ GUARDED_BY(mutex_);
  SqliteStatement insertKey_ GUARDED_BY(mutex_);
  SqliteStatement countChildren_ GUARDED_BY(mutex_);
  SqliteStatement keyInfo_ GUARDED_BY(mutex_);
  SqliteStatement enumChild_ GUARDED_BY(mutex_);
  SqliteStatement enumNext_ GUARDED_BY(mutex_);
  SqliteStatement deleteKey_ GUARDED_BY(mutex_);
  SqliteStatement getValue_ GUARDED_BY(mutex_);
  SqliteStatement setValue_ GUARDED_BY(mutex_);
  SqliteStatement deleteValue_ GUARDED_BY(mutex_);
  SqliteStatement listValues_ GUARDED_BY(mutex_);
  SqliteStatement beginRead_ GUARDED_BY(mutex_);
  SqliteStatement dataVersion_ GUARDED_BY(mutex_);
  bool upperCaseNames_ GUARDED_BY(mutex_) = false;  // a version-0 file this connection only reads
  EnumCursor cursor_ GUARDED_BY(mutex_);
  int batchDepth_ GUARDED_BY(mutex_) = 0;
  bool snapshotOpen_ GUARDED_BY(mutex_) = false;
  std::chrono::steady_clock::time_point snapshotStart_ GUARDED_BY(mutex_);
  std::chrono::milliseconds busyTimeout_ GUARDED_BY(mutex_){kRegistryBusyTimeoutMs};
  // steady_clock ticks; read by the busy handler, which runs inside an operation.
  std::atomic<std::chrono::steady_clock::rep> busyDeadline_{0};
  // The file as it was opened; set by Open, then never changed.
  std::string path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

// The store that a transaction's body is given: the operations run inside the transaction
// (the store's mutex is held by Transact for the whole body), and the first failure is kept.
class SqliteRegistry::TransactionView final : public RegistryStore {
 public:
  explicit TransactionView(SqliteRegistry& store) : store_(store) {}

  RegStatus RootKey(RegRoot root, KeyId* key) override { return Note(store_.RootKey(root, key)); }
  RegStatus OpenKey(KeyId parent, std::string_view path, KeyId* key) override {
    store_.mutex_.AssertHeld();
    return Note(store_.OpenKeyLocked(parent, path, key));
  }
  RegStatus CreateKey(KeyId parent, std::string_view path, KeyId* key) override {
    store_.mutex_.AssertHeld();
    return Note(store_.CreateKeyLocked(parent, path, key));
  }
  RegStatus DeleteKey(KeyId key) override {
    store_.mutex_.AssertHeld();
    return Note(store_.DeleteKeyLocked(key));
  }
  RegStatus SubkeyCount(KeyId key, std::uint32_t* count) override {
    store_.mutex_.AssertHeld();
    return Note(store_.SubkeyCountLocked(key, count));
  }
  RegStatus EnumSubkey(KeyId key, std::uint32_t index, std::string* name) override {
    store_.mutex_.AssertHeld();
    return Note(store_.EnumSubkeyLocked(key, index, name));
  }
  RegStatus GetValue(KeyId key, std::string_view name, RegValue* value) override {
    store_.mutex_.AssertHeld();
    return Note(store_.GetValueLocked(key, name, value));
  }
  RegStatus SetValue(KeyId key, std::string_view name, const RegValue& value) override {
    store_.mutex_.AssertHeld();
    return Note(store_.SetValueLocked(key, name, value));
  }
  RegStatus DeleteValue(KeyId key, std::string_view name) override {
    store_.mutex_.AssertHeld();
    return Note(store_.DeleteValueLocked(key, name));
  }
  RegStatus ListValues(KeyId key, std::vector<std::string>* names) override {
    store_.mutex_.AssertHeld();
    return Note(store_.ListValuesLocked(key, names));
  }
  // A transaction inside a transaction joins it.
  RegStatus Transact(const TransactionBody& body) override { return body(*this); }
  bool OnlyOwnerMayWrite(std::string* why) override { return store_.OnlyOwnerMayWrite(why); }

  RegStatus firstFailure() const { return firstFailure_; }

 private:
  RegStatus Note(RegStatus status) {
    if (firstFailure_ == RegStatus::kOk && status != RegStatus::kOk &&
        status != RegStatus::kNotFound) {
      firstFailure_ = status;
    }
    return status;
  }

  SqliteRegistry& store_;
  RegStatus firstFailure_ = RegStatus::kOk;
};

RegStatus SqliteRegistry::Open(const std::string& path, int busyTimeoutMs, RegistryOpen mode) {
  if (path.empty()) return RegStatus::kInvalid;
  bool created = false;
  if (mode == RegistryOpen::kCreate) {
    if (!MakeParentDirectories(path)) return RegStatus::kAccessDenied;
    // Closing this descriptor drops no lock of SQLite's: only a file made here and now is
    // opened, and no connection holds one on it yet (see OnlyOwnerMayWrite).
    const unix_socket::UniqueFd fd(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kNewFileMode));
    if (fd.get() >= 0) {
      created = true;
    } else if (errno != EEXIST) {
      return RegStatus::kAccessDenied;
    }
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return errno == ENOENT ? RegStatus::kNotFound : RegStatus::kAccessDenied;
  }
  // SQLite would wait for a FIFO's writer and read a device: only a regular file is a registry.
  if (!S_ISREG(info.st_mode)) return RegStatus::kCorrupt;
  path_ = path;
  device_ = info.st_dev;
  inode_ = info.st_ino;
  MutexLock lock(&mutex_);
  busyTimeout_ = std::chrono::milliseconds(busyTimeoutMs);
  StartOperationLocked();
  int rc = db_.Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX);
  if (rc != SQLITE_OK) return rc == SQLITE_CANTOPEN ? RegStatus::kAccessDenied : MapSqlite(rc);
  sqlite3_busy_handler(db_.get(), &SqliteRegistry::WaitWhileBusy, this);
  rc = sqlite3_create_function_v2(db_.get(), "qx_fold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                  nullptr, &FoldFunction, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return MapSqlite(rc);
  // Reading the header tells a database from any other file, and a registry from another
  // application's database.
  RegStatus status = InitialiseSchemaLocked(created);
  if (status != RegStatus::kOk) return status;
  rc = db_.Exec("PRAGMA foreign_keys = ON; PRAGMA synchronous = NORMAL;");
  if (rc != SQLITE_OK) return MapSqlite(rc);
  status = UpgradeSchemaLocked();
  if (status != RegStatus::kOk) return status;
  return PrepareStatementsLocked();
}

int SqliteRegistry::ReadPragmaLocked(const char* sql, std::int64_t* value) {
  SqliteStatement query;
  int rc = query.Prepare(db_, sql);
  if (rc != SQLITE_OK) return rc;
  if ((rc = query.Step()) != SQLITE_ROW) return rc;
  *value = query.ColumnInt(0);
  return SQLITE_OK;
}

int SqliteRegistry::WaitWhileBusy(void* self, int attempts) {
  auto* store = static_cast<SqliteRegistry*>(self);
  const auto deadline = std::chrono::steady_clock::time_point(
      std::chrono::steady_clock::duration(store->busyDeadline_.load(std::memory_order_relaxed)));
  const auto now = std::chrono::steady_clock::now();
  if (now >= deadline) return 0;
  // 1, 2, 4 ... ms, at most kMaxBusySleep, and never past the deadline.
  const auto step = std::chrono::milliseconds(1 << std::min(attempts, 5));
  const auto sleep =
      std::min<std::chrono::steady_clock::duration>({step, kMaxBusySleep, deadline - now});
  ::usleep(static_cast<useconds_t>(std::max<std::int64_t>(
      1, std::chrono::duration_cast<std::chrono::microseconds>(sleep).count())));
  return 1;
}

bool SqliteRegistry::OnlyOwnerMayWrite(std::string* why) {
  // lstat, never a descriptor of our own: closing any descriptor of the database file drops
  // every fcntl lock this process holds on it, SQLite's among them. The next connection of
  // another process to close would then take itself for the last one, checkpoint and delete
  // the -wal and -shm under this connection, which would never see a commit again. The device
  // and inode, the same as at the open, make the owner and mode those of the file SQLite
  // reads (a link in its place has an inode of its own).
  struct stat info {};
  if (::lstat(path_.c_str(), &info) != 0) {
    *why = "cannot check " + path_ + ": " + ErrorText(errno);
    return false;
  }
  if (info.st_dev != device_ || info.st_ino != inode_) {
    *why = path_ + " was replaced after it was opened";
    return false;
  }
  return OnlyOwnerMayWriteFileInfo(path_, info, why) &&
         OnlyOwnerMayWritePath(path_ + "-wal", why) && OnlyOwnerMayWritePath(path_ + "-shm", why);
}

RegStatus SqliteRegistry::InitialiseSchemaLocked(bool create) {
  auto readState = [this](std::int64_t* applicationId, std::int64_t* objects) {
    mutex_.AssertHeld();
    const int rc = ReadPragmaLocked("PRAGMA application_id", applicationId);
    if (rc != SQLITE_OK) return rc;
    return ReadPragmaLocked("SELECT count(*) FROM sqlite_master", objects);
  };
  std::int64_t applicationId = 0;
  std::int64_t objects = 0;
  int rc = readState(&applicationId, &objects);
  if (rc != SQLITE_OK) return MapSqlite(rc);
  if (applicationId == kRegistryApplicationId) return RegStatus::kOk;
  // A file without the schema is a new one only when this open made it.
  if (applicationId != 0 || objects != 0 || !create) return RegStatus::kCorrupt;
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
          db_, "INSERT INTO keys(id, parent, name, name_folded) VALUES(?1, NULL, ?2, ?3)");
      if (rc != SQLITE_OK) break;
      insert.BindInt(1, root);
      insert.BindText(2, kRootNames[root - kFirstRoot]);
      insert.BindText(3, FoldedKey(kRootNames[root - kFirstRoot]));
      rc = insert.Step() == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_.get());
    }
    if (rc == SQLITE_OK) {
      rc = db_.Exec(Format("PRAGMA application_id = %lld; PRAGMA user_version = %lld",
                           static_cast<long long>(kRegistryApplicationId),
                           static_cast<long long>(kSchemaVersion))
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

RegStatus SqliteRegistry::UpgradeSchemaLocked() {
  std::int64_t version = 0;
  int rc = ReadPragmaLocked("PRAGMA user_version", &version);
  if (rc != SQLITE_OK) return MapSqlite(rc);
  if (version == kSchemaVersion) return RegStatus::kOk;
  if (version != kUpperCaseSchema) return RegStatus::kCorrupt;  // a form this code does not know
  if (db_.ReadOnly()) {
    upperCaseNames_ = true;
    return RegStatus::kOk;
  }
  rc = db_.Exec("BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return MapSqlite(rc);
  // Another process may have rewritten the file while this one waited for the lock.
  rc = ReadPragmaLocked("PRAGMA user_version", &version);
  if (rc == SQLITE_OK && version == kUpperCaseSchema) {
    // Equal names stay equal in both forms, so no row meets another on the way.
    rc = db_.Exec(Format("UPDATE keys SET name_folded = qx_fold(name); "
                         "UPDATE \"values\" SET name_folded = qx_fold(name); "
                         "PRAGMA user_version = %lld",
                         static_cast<long long>(kSchemaVersion))
                      .c_str());
  } else if (rc == SQLITE_OK && version != kSchemaVersion) {
    rc = SQLITE_CORRUPT;
  }
  if (rc == SQLITE_OK) rc = db_.Exec("COMMIT");
  if (rc != SQLITE_OK) {
    db_.Exec("ROLLBACK");
    return MapSqlite(rc);
  }
  return RegStatus::kOk;
}

RegStatus SqliteRegistry::PrepareStatementsLocked() {
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

RegStatus SqliteRegistry::QuickCheck(std::string* detail) {
  MutexLock lock(&mutex_);
  StartOperationLocked();
  SqliteStatement check;
  int rc = check.Prepare(db_, "PRAGMA quick_check(1)");
  if (rc == SQLITE_OK) rc = check.Step();
  if (rc != SQLITE_ROW) {
    *detail = CutToUnits(sqlite3_errmsg(db_.get()), kMaxDetailChars);
    const RegStatus status = MapSqlite(rc);
    return status == RegStatus::kOk ? RegStatus::kCorrupt : status;
  }
  const std::string result = check.ColumnText(0);
  if (result == "ok") return RegStatus::kOk;
  *detail = CutToUnits(result, kMaxDetailChars);
  return RegStatus::kCorrupt;
}

int SqliteRegistry::FindChildLocked(KeyId parent, std::string_view name, KeyId* child) {
  StatementScope scope(findChild_);
  findChild_.BindInt(1, parent);
  findChild_.BindText(2, FoldLocked(name));
  const int rc = findChild_.Step();
  if (rc == SQLITE_ROW) *child = findChild_.ColumnInt(0);
  return rc;
}

int SqliteRegistry::KeyExistsLocked(KeyId key, bool* exists) {
  StatementScope scope(keyExists_);
  keyExists_.BindInt(1, key);
  const int rc = keyExists_.Step();
  *exists = rc == SQLITE_ROW;
  return rc == SQLITE_ROW ? SQLITE_DONE : rc;
}

void SqliteRegistry::BeginSnapshotReadLocked() {
  if (snapshotOpen_ && std::chrono::steady_clock::now() - snapshotStart_ > kMaxSnapshotAge) {
    EndSnapshotLocked();
  }
  if (batchDepth_ == 0 || snapshotOpen_) return;
  if (Run(beginRead_) == SQLITE_DONE) {
    snapshotOpen_ = true;
    snapshotStart_ = std::chrono::steady_clock::now();
  }
}

void SqliteRegistry::EndSnapshotLocked() {
  cursor_.valid = false;
  if (!snapshotOpen_) return;
  snapshotOpen_ = false;
  if (Run(commit_) != SQLITE_DONE) Run(rollback_);
}

RegStatus SqliteRegistry::BeginWriteLocked() {
  EndSnapshotLocked();
  const int rc = Run(begin_);
  return rc == SQLITE_DONE ? RegStatus::kOk : MapSqlite(rc);
}

RegStatus SqliteRegistry::EndWriteLocked(RegStatus status) {
  // A failed statement may have ended the transaction already (SQLite rolls back on a full
  // disk or an I/O error); then there is nothing left to commit.
  const bool open = sqlite3_get_autocommit(db_.get()) == 0;
  if (status == RegStatus::kOk) {
    if (!open) return RegStatus::kAccessDenied;
    const int rc = Run(commit_);
    if (rc == SQLITE_DONE) return RegStatus::kOk;
    status = MapSqlite(rc);
  }
  if (sqlite3_get_autocommit(db_.get()) == 0) Run(rollback_);
  return status;
}

std::optional<std::uint64_t> SqliteRegistry::ContentVersion() {
  MutexLock lock(&mutex_);
  StartOperationLocked();
  // data_version moves with the commits of other connections, total_changes with this one's.
  StatementScope scope(dataVersion_);
  if (dataVersion_.Step() != SQLITE_ROW) return std::nullopt;
  const auto foreign = static_cast<std::uint64_t>(dataVersion_.ColumnInt(0));
  const auto own = static_cast<std::uint64_t>(sqlite3_total_changes64(db_.get()));
  return (foreign << 32) ^ own;
}

void SqliteRegistry::BeginReadBatch() {
  MutexLock lock(&mutex_);
  StartOperationLocked();
  ++batchDepth_;
}

void SqliteRegistry::EndReadBatch() {
  MutexLock lock(&mutex_);
  StartOperationLocked();
  if (batchDepth_ > 0 && --batchDepth_ == 0) EndSnapshotLocked();
}

RegStatus SqliteRegistry::Transact(const TransactionBody& body) {
  MutexLock lock(&mutex_);
  StartOperationLocked();
  RegStatus status = BeginWriteLocked();
  if (status != RegStatus::kOk) return status;
  TransactionView view(*this);
  try {
    status = body(view);
  } catch (...) {
    EndWriteLocked(RegStatus::kInvalid);  // nothing of a body that threw stays
    throw;
  }
  cursor_.valid = false;  // the body's writes may have moved the names
  const bool ended = sqlite3_get_autocommit(db_.get()) != 0;  // rolled back by SQLite itself
  if ((status != RegStatus::kOk || ended) && view.firstFailure() != RegStatus::kOk) {
    status = view.firstFailure();
  }
  return EndWriteLocked(status);
}

RegStatus SqliteRegistry::RootKey(RegRoot root, KeyId* key) {
  const KeyId id = static_cast<KeyId>(root);
  if (key == nullptr || id < kFirstRoot || id > kLastRoot) return RegStatus::kInvalid;
  *key = id;
  return RegStatus::kOk;
}

RegStatus SqliteRegistry::OpenKey(KeyId parent, std::string_view path, KeyId* key) {
  MutexLock lock(&mutex_);
  StartOperationLocked();
  BeginSnapshotReadLocked();
  return OpenKeyLocked(parent, path, key);
}

RegStatus SqliteRegistry::OpenKeyLocked(KeyId parent, std::string_view path, KeyId* key) {
  std::vector<std::string_view> names;
  if (key == nullptr || !SplitPath(path, &names)) return RegStatus::kInvalid;
  if (names.empty()) {
    bool exists = false;
    const int rc = KeyExistsLocked(parent, &exists);
    if (rc != SQLITE_DONE) return MapSqlite(rc);
    if (!exists) return RegStatus::kNotFound;
    *key = parent;
    return RegStatus::kOk;
  }
  KeyId current = parent;
  for (std::string_view name : names) {
    const int rc = FindChildLocked(current, name, &current);
    if (rc == SQLITE_DONE) return RegStatus::kNotFound;
    if (rc != SQLITE_ROW) return MapSqlite(rc);
  }
  *key = current;
  return RegStatus::kOk;
}

RegStatus SqliteRegistry::CreateKey(KeyId parent, std::string_view path, KeyId* key) {
  std::vector<std::string_view> names;
  if (key == nullptr || !SplitPath(path, &names)) return RegStatus::kInvalid;
  MutexLock lock(&mutex_);
  StartOperationLocked();
  const RegStatus begun = BeginWriteLocked();
  if (begun != RegStatus::kOk) return begun;
  KeyId created = 0;
  const RegStatus status = EndWriteLocked(CreateKeyLocked(parent, path, &created));
  if (status == RegStatus::kOk) *key = created;
  return status;
}

RegStatus SqliteRegistry::CreateKeyLocked(KeyId parent, std::string_view path, KeyId* key) {
  std::vector<std::string_view> names;
  if (key == nullptr || !SplitPath(path, &names)) return RegStatus::kInvalid;
  bool exists = false;
  int rc = KeyExistsLocked(parent, &exists);
  if (rc != SQLITE_DONE) return MapSqlite(rc);
  if (!exists) return RegStatus::kNotFound;
  KeyId current = parent;
  for (std::string_view name : names) {
    rc = FindChildLocked(current, name, &current);
    if (rc == SQLITE_ROW) continue;
    if (rc != SQLITE_DONE) return MapSqlite(rc);
    StatementScope scope(insertKey_);
    insertKey_.BindInt(1, current);
    insertKey_.BindText(2, name);
    insertKey_.BindText(3, FoldLocked(name));
    rc = insertKey_.Step();
    if (rc != SQLITE_DONE) return MapSqlite(rc);
    current = sqlite3_last_insert_rowid(db_.get());
  }
  *key = current;
  return RegStatus::kOk;
}

RegStatus SqliteRegistry::DeleteKey(KeyId key) {
  if (key >= kFirstRoot && key <= kLastRoot) return RegStatus::kAccessDenied;
  MutexLock lock(&mutex_);
  StartOperationLocked();
  const RegStatus begun = BeginWriteLocked();
  if (begun != RegStatus::kOk) return begun;
  return EndWriteLocked(DeleteKeyLocked(key));
}

RegStatus SqliteRegistry::DeleteKeyLocked(KeyId key) {
  if (key >= kFirstRoot && key <= kLastRoot) return RegStatus::kAccessDenied;
  {
    StatementScope scope(countChildren_);
    countChildren_.BindInt(1, key);
    const int rc = countChildren_.Step();
    if (rc != SQLITE_ROW) return MapSqlite(rc);
    if (countChildren_.ColumnInt(0) > 0) return RegStatus::kHasSubkeys;
  }
  StatementScope scope(deleteKey_);
  deleteKey_.BindInt(1, key);
  const int rc = deleteKey_.Step();
  if (rc != SQLITE_DONE) return MapSqlite(rc);
  return sqlite3_changes(db_.get()) == 0 ? RegStatus::kNotFound : RegStatus::kOk;
}

RegStatus SqliteRegistry::SubkeyCount(KeyId key, std::uint32_t* count) {
  MutexLock lock(&mutex_);
  StartOperationLocked();
  BeginSnapshotReadLocked();
  return SubkeyCountLocked(key, count);
}

RegStatus SqliteRegistry::SubkeyCountLocked(KeyId key, std::uint32_t* count) {
  if (count == nullptr) return RegStatus::kInvalid;
  StatementScope scope(keyInfo_);
  keyInfo_.BindInt(1, key);
  const int rc = keyInfo_.Step();
  if (rc == SQLITE_DONE) return RegStatus::kNotFound;
  if (rc != SQLITE_ROW) return MapSqlite(rc);
  *count = static_cast<std::uint32_t>(keyInfo_.ColumnInt(0));
  return RegStatus::kOk;
}

RegStatus SqliteRegistry::EnumSubkey(KeyId key, std::uint32_t index, std::string* name) {
  MutexLock lock(&mutex_);
  StartOperationLocked();
  BeginSnapshotReadLocked();
  return EnumSubkeyLocked(key, index, name);
}

RegStatus SqliteRegistry::EnumSubkeyLocked(KeyId key, std::uint32_t index, std::string* name) {
  if (name == nullptr) return RegStatus::kInvalid;
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
  MutexLock lock(&mutex_);
  StartOperationLocked();
  BeginSnapshotReadLocked();
  return GetValueLocked(key, name, value);
}

RegStatus SqliteRegistry::GetValueLocked(KeyId key, std::string_view name, RegValue* value) {
  if (value == nullptr || Utf16Units(name) > kMaxValueNameUnits) return RegStatus::kInvalid;
  StatementScope scope(getValue_);
  getValue_.BindInt(1, key);
  getValue_.BindText(2, FoldLocked(name));
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
  MutexLock lock(&mutex_);
  StartOperationLocked();
  const RegStatus begun = BeginWriteLocked();
  if (begun != RegStatus::kOk) return begun;
  return EndWriteLocked(SetValueLocked(key, name, value));
}

RegStatus SqliteRegistry::SetValueLocked(KeyId key, std::string_view name, const RegValue& value) {
  if (Utf16Units(name) > kMaxValueNameUnits) return RegStatus::kInvalid;
  StatementScope scope(setValue_);
  setValue_.BindInt(1, key);
  setValue_.BindText(2, name);
  setValue_.BindText(3, FoldLocked(name));
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
  const int rc = setValue_.Step();
  return rc == SQLITE_DONE ? RegStatus::kOk : MapSqlite(rc);
}

RegStatus SqliteRegistry::DeleteValue(KeyId key, std::string_view name) {
  MutexLock lock(&mutex_);
  StartOperationLocked();
  const RegStatus begun = BeginWriteLocked();
  if (begun != RegStatus::kOk) return begun;
  return EndWriteLocked(DeleteValueLocked(key, name));
}

RegStatus SqliteRegistry::DeleteValueLocked(KeyId key, std::string_view name) {
  StatementScope scope(deleteValue_);
  deleteValue_.BindInt(1, key);
  deleteValue_.BindText(2, FoldLocked(name));
  const int rc = deleteValue_.Step();
  if (rc != SQLITE_DONE) return MapSqlite(rc);
  return sqlite3_changes(db_.get()) == 0 ? RegStatus::kNotFound : RegStatus::kOk;
}

RegStatus SqliteRegistry::ListValues(KeyId key, std::vector<std::string>* names) {
  MutexLock lock(&mutex_);
  StartOperationLocked();
  BeginSnapshotReadLocked();
  return ListValuesLocked(key, names);
}

RegStatus SqliteRegistry::ListValuesLocked(KeyId key, std::vector<std::string>* names) {
  if (names == nullptr) return RegStatus::kInvalid;
  bool exists = false;
  int rc = KeyExistsLocked(key, &exists);
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
                                                  RegStatus* status, RegistryOpen mode) {
  auto store = std::make_unique<SqliteRegistry>();
  const RegStatus result = store->Open(path, busyTimeoutMs, mode);
  if (status != nullptr) *status = result;
  if (result == RegStatus::kOk) return store;
  return std::make_unique<FailedRegistry>(result);
}

RegStatus CheckSqliteRegistry(const std::string& path, std::string* detail) {
  std::string ignored;
  if (detail == nullptr) detail = &ignored;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    // SQLite takes an empty file for a new database; a registry that was cut to nothing must
    // not come back as an empty one.
    if (!S_ISREG(info.st_mode)) {
      *detail = "not a regular file";
      return RegStatus::kCorrupt;
    }
    if (info.st_size == 0) {
      *detail = "the file is empty (0 bytes)";
      return RegStatus::kCorrupt;
    }
  } else if (errno != ENOENT) {
    *detail = ErrorText(errno);
    return RegStatus::kAccessDenied;
  }
  SqliteRegistry store;
  const RegStatus status = store.Open(path, kRegistryBusyTimeoutMs, RegistryOpen::kCreate);
  if (status != RegStatus::kOk) return status;
  return store.QuickCheck(detail);
}

}  // namespace qx
