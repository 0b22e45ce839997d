// Tests of the key ring file: what a ring holds survives writing, anything else is refused.
#include "keys/cluster_keys.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace qx {
namespace {

class ClusterKeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qxkeys.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/cluster.keys";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  // A ring file as root's own tools leave it: 0600.
  void Write(const std::string& text) {
    std::ofstream(path_) << text;
    ASSERT_EQ(::chmod(path_.c_str(), 0600), 0);
  }

  std::string dir_;
  std::string path_;
};

TEST_F(ClusterKeysTest, ARingSurvivesWritingAndAFirstStartMakesALocalKey) {
  KeyRing ring;
  std::string error;
  ASSERT_TRUE(LoadOrCreateKeyRing(path_, &ring, &error)) << error;
  ASSERT_EQ(ring.keys.size(), 1u);
  EXPECT_NE(ring.InUse(), nullptr);
  EXPECT_FALSE(ring.NetworkReady());  // generated here: this machine only
  struct stat info {};
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);  // root's alone

  const std::optional<ClusterKey> installed = GenerateClusterKey(/*installed=*/true);
  ASSERT_TRUE(installed);
  // The text form names the same key, with the same id, on any station.
  const std::optional<ClusterKey> parsed = ParseKeyText(KeyText(*installed), true);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->bytes, installed->bytes);
  EXPECT_EQ(parsed->id, installed->id);
  ring.keys.push_back(*installed);
  ring.inUse = installed->id;
  ASSERT_TRUE(WriteKeyRing(path_, ring, &error)) << error;
  KeyRing again;
  ASSERT_EQ(ReadKeyRing(path_, &again, &error), KeyRingStatus::kOk) << error;
  ASSERT_EQ(again.keys.size(), 2u);
  EXPECT_TRUE(again.NetworkReady());
  EXPECT_EQ(again.keys[0].bytes, ring.keys[0].bytes);
  EXPECT_FALSE(again.keys[0].installed);
  // A second start keeps the ring it finds.
  KeyRing kept;
  ASSERT_TRUE(LoadOrCreateKeyRing(path_, &kept, &error));
  EXPECT_EQ(kept.inUse, installed->id);
}

TEST_F(ClusterKeysTest, AnythingButARingIsRefused) {
  const std::optional<ClusterKey> key = GenerateClusterKey(true);
  ASSERT_TRUE(key);
  const std::string id = KeyIdText(key->id);
  const std::string text = KeyText(*key);
  const std::string line = "key " + id + " installed " + text + "\n";
  const struct {
    const char* name;
    std::string file;
  } cases[] = {
      {"unknown word", "hello\n"},
      {"id of another key", "key 00000001 installed " + text + "\n"},
      {"short key", "key " + id + " installed " + text.substr(4) + "\n"},
      {"key twice", line + line},
      {"use of a key not there", line + "use 0badc0de\n"},
      {"two uses", line + "use " + id + "\nuse " + id + "\n"},
      {"not base64", "key " + id + " installed " + std::string(43, '*') + "=\n"},
      {"far too long", std::string(20000, '#')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Write(c.file);
    KeyRing ring;
    std::string error;
    EXPECT_EQ(ReadKeyRing(path_, &ring, &error), KeyRingStatus::kDamaged);
    EXPECT_FALSE(error.empty());
    // A station does not start on a damaged ring, nor replace it.
    EXPECT_FALSE(LoadOrCreateKeyRing(path_, &ring, &error));
  }
  for (const char* wrong : {"", "AAAA", "not a key at all, not at all, not at all!!="}) {
    EXPECT_FALSE(ParseKeyText(wrong, true)) << wrong;
  }
}

// Points KeyRingPath() at the test's directory while it lives.
class ScopedRegistry {
 public:
  explicit ScopedRegistry(const std::string& registry) {
    const char* previous = std::getenv("QX_REGISTRY");
    had_ = previous != nullptr;
    if (had_) saved_ = previous;
    ::setenv("QX_REGISTRY", registry.c_str(), 1);
  }
  ~ScopedRegistry() {
    if (had_) {
      ::setenv("QX_REGISTRY", saved_.c_str(), 1);
    } else {
      ::unsetenv("QX_REGISTRY");
    }
  }

 private:
  bool had_ = false;
  std::string saved_;
};

TEST_F(ClusterKeysTest, TheProcessViewFollowsTheFile) {
  const ScopedRegistry registry(dir_ + "/registry.db");
  EXPECT_EQ(KeyRingPath(), path_);
  EXPECT_TRUE(CurrentKeyRing()->keys.empty());  // no ring: nothing accepted or sent
  KeyRing ring;
  std::string error;
  ASSERT_TRUE(LoadOrCreateKeyRing(path_, &ring, &error)) << error;
  std::this_thread::sleep_for(kKeyRingCheckPeriod + std::chrono::milliseconds(50));
  EXPECT_EQ(CurrentKeyRing()->inUse, ring.inUse);
  Write("damaged\n");
  std::this_thread::sleep_for(kKeyRingCheckPeriod + std::chrono::milliseconds(50));
  EXPECT_EQ(CurrentKeyRing()->InUse(), nullptr);  // fails closed
}

// A ring that others could read, or replace with their own key, is never used, and the error
// says what to change; an older version's 0640 ring is made 0600 by its owner.
TEST_F(ClusterKeysTest, ARingOthersCouldReadOrReplaceIsNotTrusted) {
  KeyRing ring;
  std::string error;
  ASSERT_TRUE(LoadOrCreateKeyRing(path_, &ring, &error)) << error;
  const struct {
    const char* name;
    std::function<void()> spoil;
    KeyRingStatus status;
    const char* said;  // a word of the advice
  } cases[] = {
      {"0640 of an older version", [&] { ::chmod(path_.c_str(), 0640); }, KeyRingStatus::kUntrusted,
       "chmod 600"},
      {"others may read", [&] { ::chmod(path_.c_str(), 0604); }, KeyRingStatus::kUntrusted,
       "chmod 600"},
      {"group may write", [&] { ::chmod(path_.c_str(), 0620); }, KeyRingStatus::kUntrusted,
       "chmod 600"},
      {"anyone may write the directory", [&] { ::chmod(dir_.c_str(), 0777); },
       KeyRingStatus::kUntrusted, "o-w"},
      {"a sticky directory anyone may write", [&] { ::chmod(dir_.c_str(), 01777); },
       KeyRingStatus::kOk, ""},
      {"another user's file", [&] { ASSERT_EQ(::chown(path_.c_str(), 65534, 65534), 0); },
       KeyRingStatus::kUntrusted, "chown root"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "another user's file" && ::geteuid() != 0) continue;
    ASSERT_TRUE(WriteKeyRing(path_, ring, &error)) << error;
    ASSERT_EQ(::chmod(dir_.c_str(), 0700), 0);
    c.spoil();
    KeyRing read;
    error.clear();
    EXPECT_EQ(ReadKeyRing(path_, &read, &error), c.status);
    EXPECT_NE(error.find(c.said), std::string::npos) << error;
    // A station does not start on it either.
    EXPECT_EQ(LoadOrCreateKeyRing(path_, &read, &error), c.status == KeyRingStatus::kOk);
  }
  ASSERT_EQ(::chmod(dir_.c_str(), 0700), 0);

  // The agent tightens its own 0640 ring rather than locking the station out.
  ASSERT_TRUE(WriteKeyRing(path_, ring, &error)) << error;
  ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
  EXPECT_TRUE(TightenKeyRingMode(path_));
  struct stat info {};
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_FALSE(TightenKeyRingMode(path_));  // nothing left to change
  KeyRing read;
  EXPECT_EQ(ReadKeyRing(path_, &read, &error), KeyRingStatus::kOk) << error;
}

// The process view fails closed on an untrusted ring, and takes it again once it is fixed,
// although a chmod leaves its content and time of writing as they were.
TEST_F(ClusterKeysTest, TheProcessViewRefusesAnUntrustedRingUntilItIsFixed) {
  const ScopedRegistry registry(dir_ + "/registry.db");
  KeyRing ring;
  std::string error;
  ASSERT_TRUE(LoadOrCreateKeyRing(path_, &ring, &error)) << error;
  ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
  std::this_thread::sleep_for(kKeyRingCheckPeriod + std::chrono::milliseconds(50));
  EXPECT_EQ(CurrentKeyRing()->InUse(), nullptr);
  ASSERT_EQ(::chmod(path_.c_str(), 0600), 0);
  std::this_thread::sleep_for(kKeyRingCheckPeriod + std::chrono::milliseconds(50));
  EXPECT_EQ(CurrentKeyRing()->inUse, ring.inUse);
}

// The reader of the test's view: ReadKeyRing, or while readsFail is set, a read that fails as
// in a process without a descriptor left.
std::atomic<bool> readsFail{false};
std::atomic<int> failedReads{0};
KeyRingStatus SometimesFailingRead(const std::string& path, KeyRing* ring, std::string* error) {
  if (!readsFail) return ReadKeyRing(path, ring, error);
  ++failedReads;
  if (error != nullptr) *error = path + ": Too many open files";
  return KeyRingStatus::kUnreadable;
}

// A read that fails is neither the ring's content nor remembered: the last good ring serves
// meanwhile, and the first check after the fault sees the ring as it is, although the file has
// not changed since.
TEST_F(ClusterKeysTest, AFailedReadKeepsTheLastGoodRingAndIsTriedAgain) {
  const ScopedRegistry registry(dir_ + "/registry.db");
  readsFail = false;
  KeyRingView view(&SometimesFailingRead);
  KeyRing first;
  std::string error;
  ASSERT_TRUE(LoadOrCreateKeyRing(path_, &first, &error)) << error;
  std::this_thread::sleep_for(kKeyRingCheckPeriod + std::chrono::milliseconds(50));
  ASSERT_EQ(view.Current()->inUse, first.inUse);

  const std::optional<ClusterKey> next = GenerateClusterKey(true);
  ASSERT_TRUE(next);
  KeyRing second = first;
  second.keys.push_back(*next);
  second.inUse = next->id;
  ASSERT_TRUE(WriteKeyRing(path_, second, &error)) << error;
  readsFail = true;
  std::this_thread::sleep_for(kKeyRingCheckPeriod + std::chrono::milliseconds(50));
  EXPECT_EQ(view.Current()->inUse, first.inUse);  // not an empty ring
  EXPECT_GE(failedReads.load(), 1);
  std::this_thread::sleep_for(kKeyRingRetryPeriod + std::chrono::milliseconds(20));
  EXPECT_EQ(view.Current()->inUse, first.inUse);
  EXPECT_GE(failedReads.load(), 2);  // tried again soon, not only when the file changes

  readsFail = false;
  std::this_thread::sleep_for(kKeyRingRetryPeriod + std::chrono::milliseconds(20));
  EXPECT_EQ(view.Current()->inUse, second.inUse);
}

}  // namespace
}  // namespace qx
