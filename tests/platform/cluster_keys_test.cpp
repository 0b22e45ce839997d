// Tests of the key ring file: what a ring holds survives writing, anything else is refused.
#include "platform/cluster_keys.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
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
  void Write(const std::string& text) { std::ofstream(path_) << text; }

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
  EXPECT_EQ(info.st_mode & 0777, 0640u);

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

TEST_F(ClusterKeysTest, TheProcessViewFollowsTheFile) {
  const std::string registry = dir_ + "/registry.db";
  const char* previous = std::getenv("QX_REGISTRY");
  const std::string saved = previous != nullptr ? previous : "";
  ::setenv("QX_REGISTRY", registry.c_str(), 1);
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
  if (previous != nullptr) {
    ::setenv("QX_REGISTRY", saved.c_str(), 1);
  } else {
    ::unsetenv("QX_REGISTRY");
  }
}

}  // namespace
}  // namespace qx
