// reg_key.cpp - CREGKEY on a registry store (the station's registry unless one is given).
//
// A key is held as the store's KeyId; "closing" forgets it. The store decides access per
// write (a read-only database refuses writes), so opening needs no access mode and "full
// access, else read" is one open. Names given in characters are UTF-16 units; a name or text
// that does not fit a caller's capacity is refused, never cut.
#include "registry/reg_key.h"

#include <cstring>

#include "common/text.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSource("RegKey");

constexpr struct {
  const char* name;
  RegRoot root;
} kRootTable[] = {
    {"HKEY_CLASSES_ROOT", RegRoot::kClassesRoot},
    {"HKEY_CURRENT_USER", RegRoot::kCurrentUser},
    {"HKEY_LOCAL_MACHINE", RegRoot::kLocalMachine},
    {"HKEY_USERS", RegRoot::kUsers},
    {"HKEY_CURRENT_CONFIG", RegRoot::kCurrentConfig},
    {"HKEY_PERFORMANCE_DATA", RegRoot::kPerformanceData},
    {"HKEY_DYN_DATA", RegRoot::kDynData},
};

// Splits a full path into its root and the path relative to it. Root names match
// case-sensitively over their length; the character after the root name is skipped unseen.
bool SplitRoot(std::string_view path, RegRoot* root, std::string_view* rest) {
  for (const auto& row : kRootTable) {
    const std::size_t length = std::strlen(row.name);
    if (path.compare(0, length, row.name) != 0) continue;
    *root = row.root;
    *rest = path.size() > length ? path.substr(length + 1) : std::string_view();
    return true;
  }
  return false;
}

// The key that a path names: relative to the parent's key when a parent is given, else a full
// path with a root name in store. Missing keys are created when create is set.
RegStatus Resolve(RegistryStore& store, const CREGKEY* parent, std::string_view path, bool create,
                  KeyId* key) {
  KeyId base = 0;
  std::string_view relative = path;
  if (parent != nullptr) {
    if (!parent->id()) return RegStatus::kInvalid;
    base = *parent->id();
  } else {
    RegRoot root{};
    if (!SplitRoot(path, &root, &relative)) return RegStatus::kInvalid;
    const RegStatus status = store.RootKey(root, &base);
    if (status != RegStatus::kOk) return status;
  }
  return create ? store.CreateKey(base, relative, key) : store.OpenKey(base, relative, key);
}

// The store of a key relative to parent: the parent's, else the station's registry.
RegistryStore& StoreOf(const CREGKEY* parent) {
  return parent != nullptr ? parent->store() : Registry();
}

// Whether the key exists; with create, whether it exists or could be made.
bool ReachKey(RegistryStore& store, const CREGKEY* parent, const char* path, bool create) {
  if (path == nullptr) return false;
  KeyId key = 0;
  if (Resolve(store, parent, path, false, &key) == RegStatus::kOk) return true;
  return create && Resolve(store, parent, path, true, &key) == RegStatus::kOk;
}

// The text of a string value read as a fixed buffer of capacity characters would hold it:
// REG_SZ and the first string of REG_MULTI_SZ; false when it does not fit.
bool ReadString(const RegValue& value, std::size_t capacity, std::string* text) {
  std::size_t units = 0;
  std::string_view first;
  if (value.type == RegType::kSz) {
    first = std::string_view(value.text.data(), ::strnlen(value.text.data(), value.text.size()));
    units = Utf16Units(value.text) + 1;
  } else if (value.type == RegType::kMultiSz) {
    for (const std::string& s : value.texts) units += Utf16Units(s) + 1;
    units += 1;
    if (!value.texts.empty()) first = value.texts.front();
  } else {
    return false;
  }
  if (units > capacity) return false;
  text->assign(first);
  return true;
}

}  // namespace

CREGKEY::CREGKEY() : store_(&Registry()) {}

CREGKEY::CREGKEY(std::string_view path) : CREGKEY(Registry(), path) {}

CREGKEY::CREGKEY(RegistryStore& store, std::string_view path) : store_(&store) {
  Open(nullptr, std::string(path).c_str());
}

CREGKEY::CREGKEY(const CREGKEY* parent, std::string_view path) : CREGKEY() {
  Open(parent, std::string(path).c_str());
}

CREGKEY::~CREGKEY() { Close(); }

bool CREGKEY::KeyExist(const char* path, const CREGKEY* parent) {
  return ReachKey(StoreOf(parent), parent, path, false);
}

bool CREGKEY::CreateKey(const char* path, const CREGKEY* parent) {
  return ReachKey(StoreOf(parent), parent, path, true);
}

bool CREGKEY::KeyExist(RegistryStore& store, const char* path) {
  return ReachKey(store, nullptr, path, false);
}

bool CREGKEY::CreateKey(RegistryStore& store, const char* path) {
  return ReachKey(store, nullptr, path, true);
}

bool CREGKEY::Open(const CREGKEY* parent, const char* path) {
  if (path == nullptr) return false;
  // An object holds one key: a second Open replaces the first (the parent may be this object).
  RegistryStore& store = parent != nullptr ? parent->store() : *store_;
  KeyId key = 0;
  if (Resolve(store, parent, path, false, &key) != RegStatus::kOk) {
    Close();
    return false;
  }
  store_ = &store;
  key_ = key;
  return RefreshInfo();
}

bool CREGKEY::Close() {
  key_.reset();
  subkeyCount_ = 0;
  return true;
}

bool CREGKEY::Delete() {
  if (!key_) return false;
  const long code = RegStatusCode(store_->DeleteKey(*key_));
  Trace(kSource, nullptr, nullptr, kTraceAll, kLevelMain, "RegDeleteKey--> dw(%ld) dw(%x)", code,
        static_cast<unsigned>(code));
  return code == 0;
}

bool CREGKEY::RefreshInfo() {
  subkeyCount_ = 0;
  if (!key_) return false;
  std::uint32_t count = 0;
  if (store_->SubkeyCount(*key_, &count) != RegStatus::kOk) return false;
  subkeyCount_ = count;
  return true;
}

std::uint32_t CREGKEY::GetSubkeyCount() {
  RefreshInfo();
  return subkeyCount_;
}

bool CREGKEY::EnumKey(std::uint32_t index, std::string* name, std::size_t capacity) {
  if (!key_ || name == nullptr) return false;
  std::string found;
  if (store_->EnumSubkey(*key_, index, &found) != RegStatus::kOk) return false;
  if (Utf16Units(found) + 1 > capacity) return false;
  *name = std::move(found);
  return true;
}

const char* CREGKEY::EnumKey(std::uint32_t index) {
  if (!EnumKey(index, &buffer_, kRegBufferChars)) return nullptr;
  return buffer_.c_str();
}

bool CREGKEY::HasSubkey(std::string_view name) {
  if (!RefreshInfo()) return false;
  // Subkey names hold no backslash and the store finds a name ignoring case: one lookup gives
  // the answer of comparing the name with every subkey name in turn.
  if (name.empty() || name.find('\\') != std::string_view::npos) return false;
  KeyId child = 0;
  return store_->OpenKey(*key_, name, &child) == RegStatus::kOk;
}

bool CREGKEY::CreateSubkey(std::string_view name) {
  if (!key_) return false;
  if (HasSubkey(name)) return true;
  KeyId child = 0;
  return store_->CreateKey(*key_, name, &child) == RegStatus::kOk;
}

bool CREGKEY::SetString(std::string_view valueName, std::string_view text) {
  if (!key_) return false;
  // The text ends at its first NUL, as a terminated string would.
  text = text.substr(0, ::strnlen(text.data(), text.size()));
  return store_->SetValue(*key_, valueName, RegValue::String(text)) == RegStatus::kOk;
}

bool CREGKEY::GetString(std::string_view valueName, std::string* text, std::size_t capacity) {
  if (!key_ || text == nullptr) return false;
  RegValue value;
  if (store_->GetValue(*key_, valueName, &value) != RegStatus::kOk) return false;
  return ReadString(value, capacity, text);
}

const char* CREGKEY::GetString(std::string_view valueName) {
  if (!GetString(valueName, &buffer_, kRegBufferChars)) return nullptr;
  return buffer_.c_str();
}

std::uint32_t CREGKEY::GetInt(std::string_view valueName, std::uint32_t defaultValue) {
  if (!key_) return defaultValue;
  RegValue value;
  if (store_->GetValue(*key_, valueName, &value) != RegStatus::kOk ||
      value.type != RegType::kDword) {
    return defaultValue;
  }
  return value.dword;
}

bool CREGKEY::SetInt(std::string_view valueName, std::uint32_t value) {
  if (!key_) return false;
  return store_->SetValue(*key_, valueName, RegValue::Dword(value)) == RegStatus::kOk;
}

}  // namespace qx
