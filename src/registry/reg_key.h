// reg_key.h - CREGKEY, the module's only road to the registry.
//
// Keys are named by full text paths that begin with a root name
// ("HKEY_LOCAL_MACHINE\SOFTWARE\TOLVAR\NORVANE\STORAGE"), or by a path relative to an open
// parent key. One object holds one open key and closes it when destroyed; it is used by one
// thread at a time and not copied. A key lives in one store: the one it was made on (the
// station's registry, Registry(), unless a store is given, which must outlive the object), or,
// once opened below a parent, the parent's.
// Every operation reports success as a boolean, a pointer or a default; nothing throws.
//
//   CREGKEY key("HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\STORAGE");
//   std::uint32_t period = key.GetInt("CleanRegistry", 10000);
//   CREGKEY other(station.registry(), kStorageKey);   // the same on a station's own store
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "registry/store/registry_store.h"

namespace qx {

inline constexpr const char* kNorvaneKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE";
inline constexpr const char* kStorageKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\STORAGE";
inline constexpr const char* kSetupKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\SETUP";
inline constexpr const char* kProjectListKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\STORAGE\\PROJECTLIST";

// Capacity of the object's own text buffer, in characters (terminator included).
inline constexpr std::size_t kRegBufferChars = 512;

class CREGKEY {
 public:
  CREGKEY();
  explicit CREGKEY(RegistryStore& store) : store_(&store) {}
  explicit CREGKEY(std::string_view path);
  CREGKEY(RegistryStore& store, std::string_view path);
  CREGKEY(const CREGKEY* parent, std::string_view path);
  ~CREGKEY();
  CREGKEY(const CREGKEY&) = delete;
  CREGKEY& operator=(const CREGKEY&) = delete;

  // On the station's registry when no parent is given, else in the parent's store.
  static bool KeyExist(const char* path, const CREGKEY* parent = nullptr);
  static bool CreateKey(const char* path, const CREGKEY* parent = nullptr);
  static bool KeyExist(RegistryStore& store, const char* path);
  static bool CreateKey(RegistryStore& store, const char* path);

  // Replaces any key the object held; false (and closed) when the key cannot be opened. With a
  // parent, the object moves to the parent's store.
  bool Open(const CREGKEY* parent, const char* path);
  bool Open(const char* path) { return Open(nullptr, path); }
  bool Close();
  bool Delete();
  bool RefreshInfo();
  std::uint32_t GetSubkeyCount();
  // Subkey name at index (name order, ignoring case); false when there is none or when the name
  // does not fit capacity characters with its terminator (it is refused, not cut).
  bool EnumKey(std::uint32_t index, std::string* name, std::size_t capacity);
  // Subkey name in the object's buffer (valid until the next such call), or null.
  const char* EnumKey(std::uint32_t index);
  bool HasSubkey(std::string_view name);
  bool CreateSubkey(std::string_view name);
  bool SetString(std::string_view valueName, std::string_view text);
  // True only for REG_SZ and REG_MULTI_SZ values (the first string) whose stored form fits
  // capacity characters with terminator; a value that does not fit is refused, not cut.
  bool GetString(std::string_view valueName, std::string* text, std::size_t capacity);
  const char* GetString(std::string_view valueName);
  std::uint32_t GetInt(std::string_view valueName, std::uint32_t defaultValue);
  bool SetInt(std::string_view valueName, std::uint32_t value);

  bool IsOpen() const { return key_.has_value(); }
  std::optional<KeyId> id() const { return key_; }
  RegistryStore& store() const { return *store_; }

 private:
  RegistryStore* store_;  // never null; not owned
  std::optional<KeyId> key_;
  std::uint32_t subkeyCount_ = 0;
  std::string buffer_;
};

}  // namespace qx
