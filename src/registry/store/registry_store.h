// registry_store.h - the station's registry: a hierarchy of keys holding typed values.
//
// Key names compare ignoring case, and subkeys and values enumerate in the order of ICompare
// (common/text.h); a key path is relative to one of the predefined roots and
// uses backslashes. The Linux implementation keeps everything in one SQLite database per
// station (QX_REGISTRY), in WAL mode with a busy timeout, so that several processes may read
// and write at once without losing a write. Keys are addressed by KeyId handles, which stay
// valid until the key is deleted (by any process); ids are never reused. Every call is safe
// from any thread. Names: a key name holds 1 to 255 UTF-16 characters and no backslash; in a
// path, a single trailing backslash is allowed, empty names elsewhere make the path invalid.
// Failures of the database map to statuses: busy past the timeout -> kBusy, not a registry
// database -> kCorrupt, a file or directory that cannot be written or created -> kAccessDenied.
//
//   RegistryStore& store = Registry();
//   KeyId key;
//   if (store.CreateKey(kRootLocalMachine, "SOFTWARE\\TOLVAR\\NORVANE", &key) == RegStatus::kOk)
//     store.SetValue(key, "Version", RegValue::String("7.1"));
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx {

enum class RegRoot : int {
  kClassesRoot = 1,
  kCurrentUser,
  kLocalMachine,
  kUsers,
  kCurrentConfig,
  kPerformanceData,
  kDynData,
};

enum class RegType : std::uint32_t { kNone = 0, kSz = 1, kExpandSz = 2, kDword = 4, kMultiSz = 7 };

enum class RegStatus {
  kOk = 0,
  kNotFound,      // key or value missing
  kHasSubkeys,    // a key with subkeys is not deleted
  kAccessDenied,  // the database cannot be written (read-only file or directory)
  kBusy,          // another process held the database past the busy timeout
  kCorrupt,       // the file is not a registry database
  kInvalid,       // bad name or argument
};
// The platform error code of a status, as the registry calls report it (0, 2, 5, ...).
std::int32_t RegStatusCode(RegStatus status);

struct RegValue {
  RegType type = RegType::kNone;
  std::string text;                // kSz, kExpandSz
  std::vector<std::string> texts;  // kMultiSz
  std::uint32_t dword = 0;         // kDword
  static RegValue String(std::string_view s);
  static RegValue ExpandString(std::string_view s);
  static RegValue MultiString(std::vector<std::string> list);
  static RegValue Dword(std::uint32_t v);
};

using KeyId = std::int64_t;

class RegistryStore {
 public:
  virtual ~RegistryStore() = default;
  // The key of a root itself.
  virtual RegStatus RootKey(RegRoot root, KeyId* key) = 0;
  // Opens an existing key below parent (relative path, backslash-separated, may be empty).
  virtual RegStatus OpenKey(KeyId parent, std::string_view path, KeyId* key) = 0;
  // Opens or creates the key and every missing key on the way.
  virtual RegStatus CreateKey(KeyId parent, std::string_view path, KeyId* key) = 0;
  // Deletes a key that has no subkeys, with its values.
  virtual RegStatus DeleteKey(KeyId key) = 0;
  virtual RegStatus SubkeyCount(KeyId key, std::uint32_t* count) = 0;
  // The name of the subkey at index in name order (ignoring case).
  virtual RegStatus EnumSubkey(KeyId key, std::uint32_t index, std::string* name) = 0;
  virtual RegStatus GetValue(KeyId key, std::string_view name, RegValue* value) = 0;
  virtual RegStatus SetValue(KeyId key, std::string_view name, const RegValue& value) = 0;
  virtual RegStatus DeleteValue(KeyId key, std::string_view name) = 0;
  // Every value name of a key, in name order.
  virtual RegStatus ListValues(KeyId key, std::vector<std::string>* names) = 0;
  // A read batch: between Begin and End, reads may share one snapshot of the database (taken
  // at the first read, renewed after a write of this store and after at most 100 ms), which
  // makes a run of reads cheap and consistent. Batches nest. Stores without snapshots ignore
  // them. Use RegistryReadBatch rather than calling these.
  virtual void BeginReadBatch() {}
  virtual void EndReadBatch() {}
  // Runs body as one write transaction: every call that body makes on the store it is given
  // belongs to the transaction, which is committed when body answers kOk and rolled back
  // otherwise, so that other readers see all of it or nothing. Answers kOk when committed;
  // else the first failure of a call in body (a missing key or value does not count), or
  // else body's own answer, or the failure to begin or commit. The store is held while body
  // runs: body uses only the store it is given (on the station's registry, Registry() and
  // RegistryReadBatch on the same thread lead to it, so CREGKEY joins the transaction). A
  // store without transactions runs body on itself.
  using TransactionBody = std::function<RegStatus(RegistryStore& store)>;
  virtual RegStatus Transact(const TransactionBody& body) { return body(*this); }
  // A number that changes whenever the content may have changed, by a write of any process;
  // readers use it to keep what they derived from the registry until it changes. nullopt when
  // the store cannot tell (then nothing may be kept).
  virtual std::optional<std::uint64_t> ContentVersion() { return std::nullopt; }
  // Whether nobody but root (or this process's euid) may change the content: the database
  // file, its -wal and -shm, and every directory above them (platform/write_trust.h). Only
  // then may the store hold the settings that only root sets (protected_settings.h). False
  // with *why otherwise, and for a store that is no file.
  virtual bool OnlyOwnerMayWrite(std::string* why) {
    *why = "the registry is no file of root's";
    return false;
  }
};

// Busy timeout of the station's registry: how long a call waits for another process's write.
inline constexpr int kRegistryBusyTimeoutMs = 5000;

// How an open treats a missing registry. Only the registry's owner creates one: the agent at
// its start, an explicit `qxstation registry set`, a test making its own.
enum class RegistryOpen {
  kExisting,  // a missing file is kNotFound; a file without the schema (0 bytes) is kCorrupt
  kCreate,    // a missing file is made (0644 less the umask; directories 0750) with the schema
};

// Opens the SQLite store at path. Never null: when the database cannot be opened, the store
// answers every call with the failure status, which is also stored in *status when given.
// busyTimeoutMs bounds how long one operation (the open itself, a call, a transaction) waits
// for other processes in all.
std::unique_ptr<RegistryStore> OpenSqliteRegistry(const std::string& path,
                                                  int busyTimeoutMs = kRegistryBusyTimeoutMs,
                                                  RegStatus* status = nullptr,
                                                  RegistryOpen mode = RegistryOpen::kCreate);

// Checks the registry database at path as the agent does before it starts: a missing file is
// created (the agent owns the registry); an empty file (0 bytes), a file that is no registry
// database or that fails SQLite's quick integrity check is kCorrupt, with a line saying what is
// wrong in *detail.
RegStatus CheckSqliteRegistry(const std::string& path, std::string* detail);

// The station's registry (path from QX_REGISTRY, default /var/lib/qxremote/registry.db), opened
// on first use (never created: RegistryOpen::kExisting) and opened afresh when QX_REGISTRY
// names another file. When it cannot be opened, every call answers the error status (kNotFound
// while it is missing) and a later call tries again. The reference stays valid for the life
// of the process. Nothing replaces it but QX_REGISTRY: code that works on another store (a
// Station's own, a test's) is handed that store (CREGKEY, the project list, RegistryReadBatch take
// one).
RegistryStore& Registry();
// Creates the station's registry when it is missing (the owner's explicit write) and makes it
// the store of Registry(); the status of the open.
RegStatus CreateStationRegistry();

// A read batch for the life of the object (one thread's scope): on the station's registry, or
// on the store given (which must outlive the object).
//
//   RegistryReadBatch batch;   // the list below is read from one snapshot
//   for (...) key.EnumKey(i, &name, 276);
class RegistryReadBatch {
 public:
  RegistryReadBatch();
  explicit RegistryReadBatch(RegistryStore& store);
  ~RegistryReadBatch();
  RegistryReadBatch(const RegistryReadBatch&) = delete;
  RegistryReadBatch& operator=(const RegistryReadBatch&) = delete;

 private:
  std::shared_ptr<RegistryStore> store_;  // the store the batch began on
};

}  // namespace qx
