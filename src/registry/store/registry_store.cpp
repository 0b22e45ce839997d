// registry_store.cpp - registry values and statuses, and the station's registry.
//
// Registry() hands out one StationRegistry for the life of the process. It forwards each call
// to the store of the moment: the database at RegistryPath(), opened on first use, opened afresh
// when QX_REGISTRY names another file, and tried again (at most once a second) when it could not be
// opened. Each call holds its own reference to the store, so a store that is replaced meanwhile
// stays alive until its running calls end. While a thread runs the body of a Transact, its calls
// (and its read batches) go to the transaction's store, so that CREGKEY objects on that thread
// write inside the transaction.
#include "registry/store/registry_store.h"

#include <chrono>
#include <utility>

#include "common/mutex.h"
#include "platform/environment.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSource("Registry");

// The store of the transaction that this thread's calls belong to, if any.
thread_local RegistryStore* t_transaction = nullptr;

// Routes this thread's calls to a transaction's store for the life of the object.
class TransactionScope {
 public:
  explicit TransactionScope(RegistryStore* store) : previous_(t_transaction) {
    t_transaction = store;
  }
  ~TransactionScope() { t_transaction = previous_; }
  TransactionScope(const TransactionScope&) = delete;
  TransactionScope& operator=(const TransactionScope&) = delete;

 private:
  RegistryStore* const previous_;
};

class StationRegistry final : public RegistryStore {
 public:
  RegStatus RootKey(RegRoot root, KeyId* key) override {
    return Forward([&](RegistryStore& s) { return s.RootKey(root, key); });
  }
  RegStatus OpenKey(KeyId parent, std::string_view path, KeyId* key) override {
    return Forward([&](RegistryStore& s) { return s.OpenKey(parent, path, key); });
  }
  RegStatus CreateKey(KeyId parent, std::string_view path, KeyId* key) override {
    return Forward([&](RegistryStore& s) { return s.CreateKey(parent, path, key); });
  }
  RegStatus DeleteKey(KeyId key) override {
    return Forward([&](RegistryStore& s) { return s.DeleteKey(key); });
  }
  RegStatus SubkeyCount(KeyId key, std::uint32_t* count) override {
    return Forward([&](RegistryStore& s) { return s.SubkeyCount(key, count); });
  }
  RegStatus EnumSubkey(KeyId key, std::uint32_t index, std::string* name) override {
    return Forward([&](RegistryStore& s) { return s.EnumSubkey(key, index, name); });
  }
  RegStatus GetValue(KeyId key, std::string_view name, RegValue* value) override {
    return Forward([&](RegistryStore& s) { return s.GetValue(key, name, value); });
  }
  RegStatus SetValue(KeyId key, std::string_view name, const RegValue& value) override {
    return Forward([&](RegistryStore& s) { return s.SetValue(key, name, value); });
  }
  RegStatus DeleteValue(KeyId key, std::string_view name) override {
    return Forward([&](RegistryStore& s) { return s.DeleteValue(key, name); });
  }
  RegStatus ListValues(KeyId key, std::vector<std::string>* names) override {
    return Forward([&](RegistryStore& s) { return s.ListValues(key, names); });
  }

  RegStatus Transact(const TransactionBody& body) override {
    if (t_transaction != nullptr) return t_transaction->Transact(body);  // joins the outer one
    std::shared_ptr<RegistryStore> store = Current();
    return store->Transact([&body](RegistryStore& transaction) {
      TransactionScope scope(&transaction);
      return body(transaction);
    });
  }

  // The version of the store of the moment; a store replaced by another changes it too.
  std::optional<std::uint64_t> ContentVersion() override {
    if (t_transaction != nullptr) return std::nullopt;
    std::uint64_t swaps;
    std::shared_ptr<RegistryStore> store;
    {
      std::string failedPath;
      RegStatus failure = RegStatus::kOk;
      store = CurrentOrOpen(&failedPath, &failure);
      MutexLock lock(&mutex_);
      swaps = swaps_;
    }
    const std::optional<std::uint64_t> version = store->ContentVersion();
    if (!version) return std::nullopt;
    return (swaps << 48) ^ *version;
  }

  bool OnlyOwnerMayWrite(std::string* why) override {
    if (t_transaction != nullptr) return t_transaction->OnlyOwnerMayWrite(why);
    return Current()->OnlyOwnerMayWrite(why);
  }

  // Opens the database of the moment in create mode and makes it the store of the moment.
  RegStatus Create() EXCLUDES(mutex_) {
    std::string path = RegistryPath();
    RegStatus status = RegStatus::kOk;
    std::unique_ptr<RegistryStore> opened =
        OpenSqliteRegistry(path, kRegistryBusyTimeoutMs, &status, RegistryOpen::kCreate);
    MutexLock lock(&mutex_);
    store_ = std::move(opened);
    ++swaps_;
    path_ = std::move(path);
    openStatus_ = status;
    lastTry_ = std::chrono::steady_clock::now();
    return status;
  }

  // Batches are begun through RegistryReadBatch, which keeps the store it began on.
  std::shared_ptr<RegistryStore> CurrentStore() { return Current(); }

 private:
  // A database that could not be opened is tried again at most this often.
  static constexpr std::chrono::seconds kRetryPeriod{1};

  template <typename Call>
  RegStatus Forward(Call call) {
    if (t_transaction != nullptr) return call(*t_transaction);
    std::shared_ptr<RegistryStore> store = Current();
    return call(*store);
  }

  // The store of the moment. A failed open is traced after the lock is released, since a
  // trace line may itself read the registry.
  std::shared_ptr<RegistryStore> Current() EXCLUDES(mutex_) {
    std::string failedPath;
    RegStatus failure = RegStatus::kOk;
    std::shared_ptr<RegistryStore> store = CurrentOrOpen(&failedPath, &failure);
    if (failure != RegStatus::kOk) {
      TraceWarning(kSource, "Registry database %s cannot be opened (error %d)", failedPath.c_str(),
                   RegStatusCode(failure));
    }
    return store;
  }

  // The store of the moment, opened when there is none (or the path changed) under the lock.
  std::shared_ptr<RegistryStore> CurrentOrOpen(std::string* failedPath, RegStatus* failure)
      EXCLUDES(mutex_) {
    MutexLock lock(&mutex_);
    std::string path = RegistryPath();
    const auto now = std::chrono::steady_clock::now();
    if (store_ && path == path_ &&
        (openStatus_ == RegStatus::kOk || now - lastTry_ < kRetryPeriod)) {
      return store_;
    }
    lastTry_ = now;
    RegStatus status = RegStatus::kOk;
    std::unique_ptr<RegistryStore> opened =
        OpenSqliteRegistry(path, kRegistryBusyTimeoutMs, &status, RegistryOpen::kExisting);
    // Trace a failure once, not at every retry; a registry not made yet is no failure.
    if (status != RegStatus::kOk && status != RegStatus::kNotFound &&
        (status != openStatus_ || path != path_)) {
      *failedPath = path;
      *failure = status;
    }
    store_ = std::move(opened);
    ++swaps_;
    path_ = std::move(path);
    openStatus_ = status;
    return store_;
  }

  Mutex mutex_;
  std::shared_ptr<RegistryStore> store_ GUARDED_BY(mutex_);
  std::string path_ GUARDED_BY(mutex_);
  RegStatus openStatus_ GUARDED_BY(mutex_) = RegStatus::kOk;
  std::chrono::steady_clock::time_point lastTry_ GUARDED_BY(mutex_);
  std::uint64_t swaps_ GUARDED_BY(mutex_) = 0;
};

StationRegistry& Station() {
  static StationRegistry station;
  return station;
}

}  // namespace

std::int32_t RegStatusCode(RegStatus status) {
  switch (status) {
    case RegStatus::kOk:
      return 0;
    case RegStatus::kNotFound:
      return 2;  // ERROR_FILE_NOT_FOUND
    case RegStatus::kHasSubkeys:
    case RegStatus::kAccessDenied:
      return 5;  // ERROR_ACCESS_DENIED
    case RegStatus::kInvalid:
      return 87;  // ERROR_INVALID_PARAMETER
    case RegStatus::kBusy:
      return 170;  // ERROR_BUSY
    case RegStatus::kCorrupt:
      return 1009;  // ERROR_BADDB
  }
  return 87;
}

RegValue RegValue::String(std::string_view s) {
  RegValue value;
  value.type = RegType::kSz;
  value.text = std::string(s);
  return value;
}

RegValue RegValue::ExpandString(std::string_view s) {
  RegValue value;
  value.type = RegType::kExpandSz;
  value.text = std::string(s);
  return value;
}

RegValue RegValue::MultiString(std::vector<std::string> list) {
  RegValue value;
  value.type = RegType::kMultiSz;
  value.texts = std::move(list);
  return value;
}

RegValue RegValue::Dword(std::uint32_t v) {
  RegValue value;
  value.type = RegType::kDword;
  value.dword = v;
  return value;
}

RegistryStore& Registry() { return Station(); }

RegStatus CreateStationRegistry() { return Station().Create(); }

RegistryReadBatch::RegistryReadBatch() : RegistryReadBatch(Registry()) {}

// Inside a transaction every read already sees one state: a batch there does nothing (and must
// not wait for the store that the transaction holds). On the station's registry the batch keeps
// the store of the moment alive; on a store of its own it holds no reference (the caller keeps
// the store alive).
RegistryReadBatch::RegistryReadBatch(RegistryStore& store) {
  if (&store == &Station()) {
    if (t_transaction == nullptr) store_ = Station().CurrentStore();
  } else if (&store != t_transaction) {
    store_ = std::shared_ptr<RegistryStore>(std::shared_ptr<RegistryStore>(), &store);
  }
  if (store_) store_->BeginReadBatch();
}

RegistryReadBatch::~RegistryReadBatch() {
  if (store_) store_->EndReadBatch();
}

}  // namespace qx
