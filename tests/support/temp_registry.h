// temp_registry.h - a station registry in a temporary directory for the registry tests.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "registry/store/registry_store.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace qx::testing {

// Creates a directory under /tmp and a registry database in it, and points the process's station
// registry (Registry()) at it the way an operator does, through QX_REGISTRY; at the end
// QX_REGISTRY is restored and both go. Code that is handed a store gets its own
// OpenSqliteRegistry(DatabasePath()), or a fault-injecting store around one. Made and destroyed on
// the test's main thread while no other thread of the test runs (scoped_env.h).
class TempRegistry {
 public:
  // Aborts when the directory or the database cannot be made: the test could only mislead.
  TempRegistry() {
    if (!dir_.ok() || CreateStationRegistry() != RegStatus::kOk) std::abort();
  }
  TempRegistry(const TempRegistry&) = delete;
  TempRegistry& operator=(const TempRegistry&) = delete;

  const std::string& dir() const { return dir_.path(); }
  std::string DatabasePath() const { return dir_.File("registry.db"); }

 private:
  TempDir dir_{"qx_registry_test"};
  ScopedEnv registry_{"QX_REGISTRY", DatabasePath()};
};

// Forwards every call to another store; tests override one operation to inject a fault.
class ForwardingStore : public RegistryStore {
 public:
  explicit ForwardingStore(std::unique_ptr<RegistryStore> target) : target_(std::move(target)) {}
  RegStatus RootKey(RegRoot root, KeyId* key) override { return target_->RootKey(root, key); }
  RegStatus OpenKey(KeyId parent, std::string_view path, KeyId* key) override {
    return target_->OpenKey(parent, path, key);
  }
  RegStatus CreateKey(KeyId parent, std::string_view path, KeyId* key) override {
    return target_->CreateKey(parent, path, key);
  }
  RegStatus DeleteKey(KeyId key) override { return target_->DeleteKey(key); }
  RegStatus SubkeyCount(KeyId key, std::uint32_t* count) override {
    return target_->SubkeyCount(key, count);
  }
  RegStatus EnumSubkey(KeyId key, std::uint32_t index, std::string* name) override {
    return target_->EnumSubkey(key, index, name);
  }
  RegStatus GetValue(KeyId key, std::string_view name, RegValue* value) override {
    return target_->GetValue(key, name, value);
  }
  RegStatus SetValue(KeyId key, std::string_view name, const RegValue& value) override {
    return target_->SetValue(key, name, value);
  }
  RegStatus DeleteValue(KeyId key, std::string_view name) override {
    return target_->DeleteValue(key, name);
  }
  RegStatus ListValues(KeyId key, std::vector<std::string>* names) override {
    return target_->ListValues(key, names);
  }
  bool OnlyOwnerMayWrite(std::string* why) override { return target_->OnlyOwnerMayWrite(why); }
  void BeginReadBatch() override { target_->BeginReadBatch(); }
  void EndReadBatch() override { target_->EndReadBatch(); }

 private:
  std::unique_ptr<RegistryStore> target_;
};

}  // namespace qx::testing
