// Tests of the SQLite registry store: keys, values, names ignoring case, statuses of a
// database that is busy, damaged or cannot be written, and writers in two processes.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "registry/store/registry_store.h"
#include "support/temp_dir.h"

namespace qx {
namespace {

using qx::testing::TempDir;

class SqliteRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegStatus status = RegStatus::kInvalid;
    store_ = OpenSqliteRegistry(path_, kRegistryBusyTimeoutMs, &status);
    ASSERT_EQ(status, RegStatus::kOk);
    ASSERT_EQ(store_->RootKey(RegRoot::kLocalMachine, &machine_), RegStatus::kOk);
  }

  KeyId Create(std::string_view path) {
    KeyId key = 0;
    EXPECT_EQ(store_->CreateKey(machine_, path, &key), RegStatus::kOk) << path;
    return key;
  }

  std::vector<std::string> Subkeys(KeyId key) {
    std::vector<std::string> names;
    std::string name;
    for (std::uint32_t i = 0; store_->EnumSubkey(key, i, &name) == RegStatus::kOk; ++i) {
      names.push_back(name);
    }
    return names;
  }

  TempDir dir_;
  std::string path_ = dir_.File("registry.db");
  std::unique_ptr<RegistryStore> store_;
  KeyId machine_ = 0;
};

TEST_F(SqliteRegistryTest, RootsAreFixedKeysThatCannotBeDeleted) {
  for (int r = static_cast<int>(RegRoot::kClassesRoot); r <= static_cast<int>(RegRoot::kDynData);
       ++r) {
    SCOPED_TRACE(r);
    KeyId root = 0;
    ASSERT_EQ(store_->RootKey(static_cast<RegRoot>(r), &root), RegStatus::kOk);
    KeyId same = 0;
    EXPECT_EQ(store_->OpenKey(root, "", &same), RegStatus::kOk);
    EXPECT_EQ(same, root);
    EXPECT_EQ(store_->DeleteKey(root), RegStatus::kAccessDenied);
  }
  KeyId key = 0;
  EXPECT_EQ(store_->RootKey(static_cast<RegRoot>(99), &key), RegStatus::kInvalid);
}

TEST_F(SqliteRegistryTest, PathRules) {
  Create("SOFTWARE\\TOLVAR");
  const std::string longest(255, 'k');
  const std::string tooLong(256, 'k');
  const struct {
    std::string path;
    RegStatus status;
  } cases[] = {
      {"SOFTWARE\\TOLVAR", RegStatus::kOk},          {"software\\tolvar", RegStatus::kOk},
      {"SOFTWARE\\TOLVAR\\", RegStatus::kOk},        {"SOFTWARE\\MISSING", RegStatus::kNotFound},
      {"\\SOFTWARE", RegStatus::kInvalid},           {"SOFTWARE\\\\TOLVAR", RegStatus::kInvalid},
      {"SOFTWARE\\" + tooLong, RegStatus::kInvalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    KeyId key = 0;
    EXPECT_EQ(store_->OpenKey(machine_, c.path, &key), c.status);
  }
  KeyId key = 0;
  EXPECT_EQ(store_->CreateKey(machine_, "SOFTWARE\\" + tooLong, &key), RegStatus::kInvalid);
  EXPECT_EQ(store_->CreateKey(machine_, "SOFTWARE\\" + longest, &key), RegStatus::kOk);
  EXPECT_EQ(store_->CreateKey(machine_, "A\\\\B", &key), RegStatus::kInvalid);
  KeyId a = 0;
  EXPECT_EQ(store_->OpenKey(machine_, "A", &a), RegStatus::kNotFound) << "nothing half-created";
}

TEST_F(SqliteRegistryTest, KeysIgnoreCaseAndKeepTheirSpelling) {
  const KeyId first = Create("Software\\Tolvar\\Norvane");
  const KeyId again = Create("SOFTWARE\\TOLVAR\\NORVANE");
  EXPECT_EQ(first, again);
  KeyId opened = 0;
  ASSERT_EQ(store_->OpenKey(machine_, "sOfTwArE\\tolvar\\NORVANE", &opened), RegStatus::kOk);
  EXPECT_EQ(opened, first);
  EXPECT_EQ(Subkeys(machine_), std::vector<std::string>{"Software"});
  // Letters outside ASCII fold too.
  const KeyId umlaut = Create("SOFTWARE\\Ärger");
  EXPECT_EQ(Create("SOFTWARE\\äRGER"), umlaut);
}

TEST_F(SqliteRegistryTest, SubkeysEnumerateInNameOrderIgnoringCase) {
  const KeyId list = Create("LIST");
  for (const char* name : {"delta", "Bravo", "alpha", "CHARLIE"})
    Create(std::string("LIST\\") + name);
  const std::vector<std::string> expected = {"alpha", "Bravo", "CHARLIE", "delta"};
  EXPECT_EQ(Subkeys(list), expected);
  std::uint32_t count = 0;
  ASSERT_EQ(store_->SubkeyCount(list, &count), RegStatus::kOk);
  EXPECT_EQ(count, 4u);

  // Random access, and an enumeration that goes on after a change in between.
  std::string name;
  ASSERT_EQ(store_->EnumSubkey(list, 2, &name), RegStatus::kOk);
  EXPECT_EQ(name, "CHARLIE");
  ASSERT_EQ(store_->EnumSubkey(list, 0, &name), RegStatus::kOk);
  Create("LIST\\aardvark");
  ASSERT_EQ(store_->EnumSubkey(list, 1, &name), RegStatus::kOk);
  EXPECT_EQ(name, "alpha") << "index 1 after the new first key";
  EXPECT_EQ(store_->EnumSubkey(list, 5, &name), RegStatus::kNotFound);

  // Two enumerations interleaved on different keys do not disturb each other.
  const KeyId other = Create("OTHER");
  Create("OTHER\\x");
  Create("OTHER\\y");
  std::vector<std::string> a;
  std::vector<std::string> b;
  for (std::uint32_t i = 0; i < 2; ++i) {
    ASSERT_EQ(store_->EnumSubkey(list, i, &name), RegStatus::kOk);
    a.push_back(name);
    ASSERT_EQ(store_->EnumSubkey(other, i, &name), RegStatus::kOk);
    b.push_back(name);
  }
  EXPECT_EQ(a, (std::vector<std::string>{"aardvark", "alpha"}));
  EXPECT_EQ(b, (std::vector<std::string>{"x", "y"}));
}

// Names order as ILess orders them ("A_" before "AB", which an upper-case form would swap),
// outside ASCII too, and are found again in any case.
TEST_F(SqliteRegistryTest, NameOrderAndLookupAgreeWithILess) {
  const std::vector<std::string> names = {
      "AB",   "A_",   "a^",  "Ab1",  "Éclair", "école",  "ÖL",    "öffnen", "Ωmega",
      "αλφα", "Βήτα", "Жук", "ёлка", "Ёж",     "яблоко", "Zebra", "zz",
  };
  std::vector<std::string> expected = names;
  std::sort(expected.begin(), expected.end(), ILess());
  const KeyId list = Create("ORDER");
  for (const std::string& name : names) {
    const KeyId key = Create("ORDER\\" + name);
    ASSERT_EQ(store_->SetValue(list, name, RegValue::Dword(1)), RegStatus::kOk);
    KeyId found = 0;
    EXPECT_EQ(store_->OpenKey(list, ToUpper(name), &found), RegStatus::kOk) << name;
    EXPECT_EQ(found, key) << name;
  }
  EXPECT_EQ(Subkeys(list), expected);
  std::vector<std::string> values;
  ASSERT_EQ(store_->ListValues(list, &values), RegStatus::kOk);
  EXPECT_EQ(values, expected);
}

// A registry written by an older version kept upper-case names for lookups and order; it is
// rewritten when opened, and every name is still found.
TEST_F(SqliteRegistryTest, OlderRegistryIsRewrittenToTheCurrentNameForm) {
  for (const char* name : {"AB", "A_", "Ärger"}) Create(std::string("OLD\\") + name);
  const KeyId old = Create("OLD");
  ASSERT_EQ(store_->SetValue(old, "Größe", RegValue::Dword(7)), RegStatus::kOk);
  store_.reset();
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_create_function_v2(
        db, "old_form", 1, SQLITE_UTF8, nullptr,
        [](sqlite3_context* context, int, sqlite3_value** v) {
          const std::string upper =
              ToUpper(reinterpret_cast<const char*>(sqlite3_value_text(v[0])));
          sqlite3_result_text(context, upper.c_str(), -1, SQLITE_TRANSIENT);
        },
        nullptr, nullptr, nullptr);
    ASSERT_EQ(sqlite3_exec(db,
                           "UPDATE keys SET name_folded = old_form(name);"
                           "UPDATE \"values\" SET name_folded = old_form(name);"
                           "PRAGMA user_version = 0",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  store_ = OpenSqliteRegistry(path_);
  KeyId key = 0;
  ASSERT_EQ(store_->OpenKey(machine_, "old\\ärger", &key), RegStatus::kOk);
  RegValue value;
  ASSERT_EQ(store_->GetValue(old, "GRÖßE", &value), RegStatus::kOk);
  EXPECT_EQ(Subkeys(old), (std::vector<std::string>{"A_", "AB", "Ärger"}));
}

// Several calls as one write: all of them or none.
TEST_F(SqliteRegistryTest, TransactionCommitsAllOrNothing) {
  const KeyId key = Create("TX");
  for (const RegStatus answer : {RegStatus::kOk, RegStatus::kInvalid}) {
    const std::string name = Format("answer%d", static_cast<int>(answer));
    const RegStatus result = store_->Transact([&](RegistryStore& tx) {
      KeyId child = 0;
      if (tx.CreateKey(key, name, &child) != RegStatus::kOk) return RegStatus::kBusy;
      return tx.SetValue(child, "a", RegValue::Dword(1)) == RegStatus::kOk ? answer
                                                                           : RegStatus::kBusy;
    });
    EXPECT_EQ(result, answer);
    KeyId child = 0;
    EXPECT_EQ(store_->OpenKey(key, name, &child),
              answer == RegStatus::kOk ? RegStatus::kOk : RegStatus::kNotFound);
  }
}

TEST_F(SqliteRegistryTest, ValuesOfEveryTypeRoundTrip) {
  const KeyId key = Create("VALUES");
  const struct {
    const char* name;
    RegValue value;
  } cases[] = {
      {"Sz", RegValue::String("C:\\R&D\\plant.mcp")},
      {"EmptySz", RegValue::String("")},
      {"Expand", RegValue::ExpandString("%TEMP%\\x")},
      {"Multi", RegValue::MultiString({"one", "", "three"})},
      {"Dword", RegValue::Dword(0xFFFFFFFFu)},
      {"Unicode", RegValue::String("Größe ∑ 😀")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(store_->SetValue(key, c.name, c.value), RegStatus::kOk);
    RegValue read;
    ASSERT_EQ(store_->GetValue(key, c.name, &read), RegStatus::kOk);
    EXPECT_EQ(read.type, c.value.type);
    EXPECT_EQ(read.text, c.value.text);
    EXPECT_EQ(read.texts, c.value.texts);
    EXPECT_EQ(read.dword, c.value.dword);
  }
  // Value names ignore case; a write replaces type and data and keeps the first spelling.
  ASSERT_EQ(store_->SetValue(key, "DWORD", RegValue::String("now text")), RegStatus::kOk);
  RegValue read;
  ASSERT_EQ(store_->GetValue(key, "dword", &read), RegStatus::kOk);
  EXPECT_EQ(read.type, RegType::kSz);
  EXPECT_EQ(read.text, "now text");
  std::vector<std::string> names;
  ASSERT_EQ(store_->ListValues(key, &names), RegStatus::kOk);
  EXPECT_EQ(names,
            (std::vector<std::string>{"Dword", "EmptySz", "Expand", "Multi", "Sz", "Unicode"}));

  EXPECT_EQ(store_->DeleteValue(key, "SZ"), RegStatus::kOk);
  EXPECT_EQ(store_->GetValue(key, "Sz", &read), RegStatus::kNotFound);
  EXPECT_EQ(store_->DeleteValue(key, "Sz"), RegStatus::kNotFound);
}

TEST_F(SqliteRegistryTest, DeleteKeyKeepsKeysWithSubkeysAndNeverReusesIds) {
  const KeyId parent = Create("P");
  const KeyId child = Create("P\\C");
  ASSERT_EQ(store_->SetValue(child, "v", RegValue::Dword(1)), RegStatus::kOk);
  EXPECT_EQ(store_->DeleteKey(parent), RegStatus::kHasSubkeys);
  KeyId key = 0;
  EXPECT_EQ(store_->OpenKey(machine_, "P\\C", &key), RegStatus::kOk);

  ASSERT_EQ(store_->DeleteKey(child), RegStatus::kOk);
  EXPECT_EQ(store_->DeleteKey(child), RegStatus::kNotFound);
  // A stale id answers "not found" for every use, writes included.
  RegValue value;
  std::uint32_t count = 0;
  std::vector<std::string> names;
  EXPECT_EQ(store_->GetValue(child, "v", &value), RegStatus::kNotFound);
  EXPECT_EQ(store_->SetValue(child, "v", RegValue::Dword(2)), RegStatus::kNotFound);
  EXPECT_EQ(store_->SubkeyCount(child, &count), RegStatus::kNotFound);
  EXPECT_EQ(store_->ListValues(child, &names), RegStatus::kNotFound);
  EXPECT_EQ(store_->OpenKey(child, "", &key), RegStatus::kNotFound);
  EXPECT_EQ(store_->CreateKey(child, "X", &key), RegStatus::kNotFound);

  // The same name again is a new key, with no values left over from the old one.
  const KeyId recreated = Create("P\\C");
  EXPECT_NE(recreated, child);
  EXPECT_EQ(store_->GetValue(recreated, "v", &value), RegStatus::kNotFound);
  ASSERT_EQ(store_->DeleteKey(recreated), RegStatus::kOk);
  EXPECT_EQ(store_->DeleteKey(parent), RegStatus::kOk);
}

TEST_F(SqliteRegistryTest, DataOutlivesTheStoreAndIsSharedBetweenConnections) {
  const KeyId key = Create("KEEP");
  ASSERT_EQ(store_->SetValue(key, "v", RegValue::String("kept")), RegStatus::kOk);
  auto second = OpenSqliteRegistry(path_);
  RegValue value;
  ASSERT_EQ(second->GetValue(key, "v", &value), RegStatus::kOk);
  EXPECT_EQ(value.text, "kept");
  store_.reset();
  store_ = OpenSqliteRegistry(path_);
  ASSERT_EQ(store_->GetValue(key, "V", &value), RegStatus::kOk);
  EXPECT_EQ(value.text, "kept");
}

TEST_F(SqliteRegistryTest, ReadBatchSeesOwnWritesAndOthersAfterItEnds) {
  const KeyId key = Create("BATCH");
  auto other = OpenSqliteRegistry(path_);
  RegValue value;
  store_->BeginReadBatch();
  EXPECT_EQ(store_->GetValue(key, "v", &value), RegStatus::kNotFound);
  ASSERT_EQ(store_->SetValue(key, "v", RegValue::Dword(1)), RegStatus::kOk);
  ASSERT_EQ(store_->GetValue(key, "v", &value), RegStatus::kOk) << "own write inside a batch";
  EXPECT_EQ(value.dword, 1u);
  ASSERT_EQ(other->SetValue(key, "w", RegValue::Dword(2)), RegStatus::kOk);
  store_->EndReadBatch();
  ASSERT_EQ(store_->GetValue(key, "w", &value), RegStatus::kOk) << "after the batch";
  EXPECT_EQ(value.dword, 2u);
  // A snapshot is renewed after its maximum age even while the batch lasts.
  store_->BeginReadBatch();
  EXPECT_EQ(store_->GetValue(key, "x", &value), RegStatus::kNotFound);
  ASSERT_EQ(other->SetValue(key, "x", RegValue::Dword(3)), RegStatus::kOk);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(store_->GetValue(key, "x", &value), RegStatus::kOk);
  store_->EndReadBatch();
}

TEST_F(SqliteRegistryTest, ThreadsShareOneStore) {
  const KeyId key = Create("THREADS");
  constexpr int kThreads = 4;
  constexpr int kValues = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kValues; ++i) {
        const std::string name = Format("t%d_%d", t, i);
        store_->SetValue(key, name, RegValue::Dword(static_cast<std::uint32_t>(i)));
        RegValue value;
        store_->GetValue(key, name, &value);
        std::string sub;
        store_->EnumSubkey(machine_, 0, &sub);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<std::string> names;
  ASSERT_EQ(store_->ListValues(key, &names), RegStatus::kOk);
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kThreads * kValues));
}

// Runs body in a child process; the child's exit code is body's result (0 = success).
pid_t ForkChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid;
}

int WaitChild(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(SqliteRegistryTest, TwoProcessesWritingTheSameKeyLoseNothing) {
  store_.reset();  // each process has its own connection
  constexpr int kValuesEach = 150;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    children.push_back(ForkChild([this, p] {
      auto store = OpenSqliteRegistry(path_);
      KeyId root = 0;
      store->RootKey(RegRoot::kLocalMachine, &root);
      for (int i = 0; i < kValuesEach; ++i) {
        KeyId key = 0;
        // Both create the same path concurrently: one key results.
        if (store->CreateKey(root, "SHARED\\Target", &key) != RegStatus::kOk) return 1;
        const std::string name = Format("p%d_%d", p, i);
        if (store->SetValue(key, name, RegValue::Dword(static_cast<std::uint32_t>(i))) !=
            RegStatus::kOk) {
          return 2;
        }
      }
      return 0;
    }));
  }
  for (pid_t pid : children) EXPECT_EQ(WaitChild(pid), 0);
  store_ = OpenSqliteRegistry(path_);
  KeyId shared = 0;
  KeyId key = 0;
  ASSERT_EQ(store_->OpenKey(machine_, "SHARED", &shared), RegStatus::kOk);
  ASSERT_EQ(store_->OpenKey(shared, "Target", &key), RegStatus::kOk);
  std::uint32_t count = 0;
  ASSERT_EQ(store_->SubkeyCount(shared, &count), RegStatus::kOk);
  EXPECT_EQ(count, 1u);
  std::vector<std::string> names;
  ASSERT_EQ(store_->ListValues(key, &names), RegStatus::kOk);
  EXPECT_EQ(names.size(), 2u * kValuesEach);
}

// The trust check of a long-lived connection must leave SQLite's locks alone: were they
// dropped, another process closing its connection would take itself for the last one and
// delete the -wal and -shm under this one, which would never see a commit again.
TEST_F(SqliteRegistryTest, CommitsOfOtherProcessesStayVisibleAfterTheTrustCheck) {
  const KeyId key = Create("SEEN");
  RegValue value;
  for (std::uint32_t round = 1; round <= 3; ++round) {
    SCOPED_TRACE(Format("round %u", round));
    std::string why;
    store_->OnlyOwnerMayWrite(&why);
    const std::optional<std::uint64_t> before = store_->ContentVersion();
    ASSERT_TRUE(before);
    const pid_t writer = ForkChild([this, key, round] {
      // The child's copy of the parent's connection goes first: SQLite counts the connections
      // of its own process, and this one must close as a process that holds none.
      store_.reset();
      auto store =
          OpenSqliteRegistry(path_, kRegistryBusyTimeoutMs, nullptr, RegistryOpen::kExisting);
      return store->SetValue(key, "v", RegValue::Dword(round)) == RegStatus::kOk ? 0 : 1;
    });
    ASSERT_EQ(WaitChild(writer), 0);
    EXPECT_NE(store_->ContentVersion(), before);
    ASSERT_EQ(store_->GetValue(key, "v", &value), RegStatus::kOk);
    EXPECT_EQ(value.dword, round);
  }
}

TEST_F(SqliteRegistryTest, DatabaseLockedPastTheTimeoutIsBusy) {
  const KeyId key = Create("LOCKED");
  ASSERT_EQ(store_->SetValue(key, "before", RegValue::Dword(1)), RegStatus::kOk);
  int toParent[2];
  int toChild[2];
  ASSERT_EQ(::pipe(toParent), 0);
  ASSERT_EQ(::pipe(toChild), 0);
  const pid_t pid = ForkChild([&] {
    sqlite3* db = nullptr;
    if (sqlite3_open(path_.c_str(), &db) != SQLITE_OK) return 1;
    if (sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) return 2;
    char byte = 'L';
    if (::write(toParent[1], &byte, 1) != 1) return 3;
    if (::read(toChild[0], &byte, 1) != 1) return 4;  // hold the lock until told
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return 0;
  });
  char byte = 0;
  ASSERT_EQ(::read(toParent[0], &byte, 1), 1);

  RegStatus status = RegStatus::kOk;
  auto impatient = OpenSqliteRegistry(path_, 50, &status);
  ASSERT_EQ(status, RegStatus::kOk) << "opening an existing registry needs no write";
  KeyId created = 0;
  EXPECT_EQ(impatient->SetValue(key, "during", RegValue::Dword(2)), RegStatus::kBusy);
  EXPECT_EQ(impatient->CreateKey(machine_, "LOCKED\\New", &created), RegStatus::kBusy);
  EXPECT_EQ(impatient->DeleteKey(key), RegStatus::kBusy);
  // Readers do not wait for a writer.
  RegValue value;
  EXPECT_EQ(impatient->GetValue(key, "before", &value), RegStatus::kOk);

  ASSERT_EQ(::write(toChild[1], &byte, 1), 1);
  EXPECT_EQ(WaitChild(pid), 0);
  EXPECT_EQ(impatient->SetValue(key, "after", RegValue::Dword(3)), RegStatus::kOk);
  for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) ::close(fd);
}

TEST(SqliteRegistryOpen, FilesThatAreNoRegistryAndPlacesThatCannotBeWritten) {
  TempDir dir;
  {
    std::ofstream(dir.File("text.db")) << "this is not a database, just some text\n";
    // Another application's SQLite database is not a registry either, and stays untouched.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.File("other.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(x)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    std::ofstream(dir.File("plainfile")) << "x";
  }
  const struct {
    std::string path;
    RegStatus status;
  } cases[] = {
      {dir.File("text.db"), RegStatus::kCorrupt},
      {dir.File("other.db"), RegStatus::kCorrupt},
      // A directory on the way that is a regular file: the database cannot be created. (Tests
      // run as root, whom permission bits do not stop.)
      {dir.File("plainfile/registry.db"), RegStatus::kAccessDenied},
      {"", RegStatus::kInvalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    RegStatus status = RegStatus::kOk;
    auto store = OpenSqliteRegistry(c.path, 100, &status);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(status, c.status);
    KeyId key = 0;
    RegValue value;
    std::string name;
    EXPECT_EQ(store->RootKey(RegRoot::kLocalMachine, &key), c.status);
    EXPECT_EQ(store->OpenKey(1, "", &key), c.status);
    EXPECT_EQ(store->CreateKey(1, "X", &key), c.status);
    EXPECT_EQ(store->GetValue(1, "v", &value), c.status);
    EXPECT_EQ(store->SetValue(1, "v", RegValue::Dword(1)), c.status);
    EXPECT_EQ(store->EnumSubkey(1, 0, &name), c.status);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir.File("other.db").c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "SELECT x FROM t", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_NE(sqlite3_exec(db, "SELECT id FROM keys", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);

  // Missing directories on the way are created, below an absolute or a relative path whose
  // first name has one character.
  RegStatus status = RegStatus::kInvalid;
  OpenSqliteRegistry(dir.File("a/b/registry.db"), 100, &status);
  EXPECT_EQ(status, RegStatus::kOk);
  const std::filesystem::path working = std::filesystem::current_path();
  std::filesystem::current_path(dir.File(""));
  status = RegStatus::kInvalid;
  OpenSqliteRegistry("s/t/registry.db", 100, &status);
  std::filesystem::current_path(working);
  EXPECT_EQ(status, RegStatus::kOk);
  EXPECT_TRUE(std::filesystem::exists(dir.File("s/t/registry.db")));
}

// Overwrites bytes in the middle of a file, as a damaged disk block would.
void DamageMiddle(const std::string& path) {
  const auto size = std::filesystem::file_size(path);
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(size / 2 / 4096 * 4096));
  const std::string garbage(512, '\xA5');
  file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
}

TEST(SqliteRegistryOpen, CheckBeforeServingFindsEmptyDamagedAndForeignFiles) {
  TempDir dir;
  {
    auto store = OpenSqliteRegistry(dir.File("damaged.db"));
    KeyId key = 0;
    for (int i = 0; i < 300; ++i) {
      ASSERT_EQ(store->CreateKey(3, Format("KEY%03d", i), &key), RegStatus::kOk);
      ASSERT_EQ(store->SetValue(key, "Value", RegValue::String(std::string(100, 'v'))),
                RegStatus::kOk);
    }
  }
  std::filesystem::copy_file(dir.File("damaged.db"), dir.File("good.db"));
  DamageMiddle(dir.File("damaged.db"));
  std::ofstream(dir.File("empty.db")).flush();
  std::ofstream(dir.File("garbage.db")) << std::string(8192, '\x5A');
  const struct {
    const char* file;
    RegStatus status;
  } cases[] = {
      {"good.db", RegStatus::kOk},         {"new/registry.db", RegStatus::kOk},
      {"empty.db", RegStatus::kCorrupt},   {"garbage.db", RegStatus::kCorrupt},
      {"damaged.db", RegStatus::kCorrupt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::string detail;
    EXPECT_EQ(CheckSqliteRegistry(dir.File(c.file), &detail), c.status) << detail;
  }
}

// Only the owner's explicit create makes a registry: an ordinary open leaves a missing file
// missing and an empty one empty, and a file cut to nothing is damaged in either mode.
TEST(SqliteRegistryOpen, OrdinaryOpenNeverCreatesFileOrSchema) {
  TempDir dir;
  std::ofstream(dir.File("empty.db")).flush();
  const struct {
    const char* file;
    RegistryOpen mode;
    RegStatus status;
    bool existsAfter;
    std::uintmax_t sizeAfter;  // checked when it exists
  } cases[] = {
      {"missing.db", RegistryOpen::kExisting, RegStatus::kNotFound, false, 0},
      {"sub/missing.db", RegistryOpen::kExisting, RegStatus::kNotFound, false, 0},
      {"empty.db", RegistryOpen::kExisting, RegStatus::kCorrupt, true, 0},
      {"empty.db", RegistryOpen::kCreate, RegStatus::kCorrupt, true, 0},
      {"made.db", RegistryOpen::kCreate, RegStatus::kOk, true, 1},
      {"made.db", RegistryOpen::kExisting, RegStatus::kOk, true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file) + (c.mode == RegistryOpen::kCreate ? " create" : ""));
    RegStatus status = RegStatus::kInvalid;
    auto store = OpenSqliteRegistry(dir.File(c.file), 100, &status, c.mode);
    EXPECT_EQ(status, c.status);
    KeyId key = 0;
    EXPECT_EQ(store->CreateKey(3, "X", &key), c.status);
    store.reset();
    EXPECT_EQ(std::filesystem::exists(dir.File(c.file)), c.existsAfter);
    if (c.existsAfter) {
      EXPECT_EQ(std::filesystem::file_size(dir.File(c.file)) > 0, c.sizeAfter > 0);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("sub")));
}

TEST(StationRegistry, FollowsTheEnvironment) {
  TempDir dir;
  const char* saved = std::getenv("QX_REGISTRY");
  const std::string savedValue = saved != nullptr ? saved : "";
  KeyId root = 0;
  KeyId key = 0;

  // Reading a registry that is not there neither makes it nor fails otherwise than "missing";
  // only the owner's explicit create does.
  ::setenv("QX_REGISTRY", dir.File("first.db").c_str(), 1);
  ASSERT_EQ(Registry().RootKey(RegRoot::kLocalMachine, &root), RegStatus::kNotFound);
  EXPECT_FALSE(std::filesystem::exists(dir.File("first.db")));
  ASSERT_EQ(CreateStationRegistry(), RegStatus::kOk);
  ASSERT_EQ(Registry().RootKey(RegRoot::kLocalMachine, &root), RegStatus::kOk);
  ASSERT_EQ(Registry().CreateKey(root, "FIRST", &key), RegStatus::kOk);

  ::setenv("QX_REGISTRY", dir.File("second.db").c_str(), 1);
  EXPECT_EQ(Registry().OpenKey(root, "FIRST", &key), RegStatus::kNotFound);
  EXPECT_FALSE(std::filesystem::exists(dir.File("second.db")));

  std::ofstream(dir.File("broken.db")) << "not a database at all, not at all";
  ::setenv("QX_REGISTRY", dir.File("broken.db").c_str(), 1);
  EXPECT_EQ(Registry().OpenKey(root, "FIRST", &key), RegStatus::kCorrupt);

  {
    ::setenv("QX_REGISTRY", dir.File("first.db").c_str(), 1);
    RegistryReadBatch batch;
    EXPECT_EQ(Registry().OpenKey(root, "FIRST", &key), RegStatus::kOk);
    ::setenv("QX_REGISTRY", dir.File("broken.db").c_str(), 1);  // the batch ends on the store
    EXPECT_EQ(Registry().OpenKey(root, "FIRST", &key), RegStatus::kCorrupt);  // it began on
  }
  ::setenv("QX_REGISTRY", dir.File("first.db").c_str(), 1);
  EXPECT_EQ(Registry().OpenKey(root, "FIRST", &key), RegStatus::kOk);

  if (saved != nullptr) {
    ::setenv("QX_REGISTRY", savedValue.c_str(), 1);
  } else {
    ::unsetenv("QX_REGISTRY");
  }
}

}  // namespace
}  // namespace qx
