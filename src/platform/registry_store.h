// registry_store.h - the station's registry: a hierarchy of keys holding typed values.
//
// Key names compare ignoring case; a key path is relative to one of the predefined roots and
// uses backslashes. The Linux implementation keeps everything in one SQLite database per
// station (QX_REGISTRY), in WAL mode with a busy timeout, so that several processes may read
// and write at once without losing a write. Keys are addressed by KeyId handles, which stay
// valid until the key is deleted (by any process). Every call is safe from any thread.
//
//   RegistryStore& store = Registry();
//   KeyId key;
//   if (store.CreateKey(kRootLocalMachine, "SOFTWARE\\TOLVAR\\NORVANE", &key) == RegStatus::kOk)
//     store.SetValue(key, "Version", RegValue::String("7.1"));
#pragma once

#include <cstdint>
#include <memory>
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
  std::string text;                 // kSz, kExpandSz
  std::vector<std::string> texts;   // kMultiSz
  std::uint32_t dword = 0;          // kDword
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
};

// Opens the SQLite store at path (created with its schema when missing).
std::unique_ptr<RegistryStore> OpenSqliteRegistry(const std::string& path);

// The station's registry (path from QX_REGISTRY, default /var/lib/qxremote/registry.db), opened
// on first use. When it cannot be opened, every call answers an error status.
RegistryStore& Registry();
// Tests point the station registry at another store (nullptr restores the default).
void SetRegistryForTesting(std::unique_ptr<RegistryStore> store);

}  // namespace qx
