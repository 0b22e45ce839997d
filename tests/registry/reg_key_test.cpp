// Tests of CREGKEY: root names, key paths, the life of an open key, string and number values
// with their capacities, and deletion.
#include "registry/reg_key.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "common/text.h"
#include "support/temp_registry.h"

namespace qx {
namespace {

class RegKeyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(CREGKEY::CreateKey("HKEY_LOCAL_MACHINE\\SOFTWARE")); }
  testing::TempRegistry registry_;
};

TEST_F(RegKeyTest, KeyExistFollowsTheRootNameRules) {
  const struct {
    const char* path;
    bool exists;
  } cases[] = {
      {nullptr, false},
      {"", false},
      {"bhfjfld", false},
      {"HKEY_LOCAL_MACHINE\\dsfhsd", false},
      {"HKEY_LOCAL_MACHINE", true},
      {"HKEY_LOCAL_MACHINE\\", true},
      {"HKEY_LOCAL_MACHINE\\SOFTWARE", true},
      {"HKEY_LOCAL_MACHINE\\software", true},   // key names ignore case ...
      {"hkey_local_machine\\SOFTWARE", false},  // ... root names do not
      {"HKEY_LOCAL_MACHINE/SOFTWARE", true},    // the separator is skipped unseen
      {"HKEY_LOCAL_MACHINEXSOFTWARE", true},
      {"HKEY_LOCAL_MACHINE\\\\SOFTWARE", false},
      {"HKEY_CLASSES_ROOT", true},
      {"HKEY_CURRENT_USER", true},
      {"HKEY_USERS", true},
      {"HKEY_CURRENT_CONFIG", true},
      {"HKEY_PERFORMANCE_DATA", true},
      {"HKEY_DYN_DATA", true},
      {"HKEY_CURRENT_USER\\SOFTWARE", false},  // each root is a key of its own
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path != nullptr ? c.path : "(null)");
    EXPECT_EQ(CREGKEY::KeyExist(c.path), c.exists);
    CREGKEY key;
    EXPECT_EQ(key.Open(c.path), c.exists);
    EXPECT_EQ(key.IsOpen(), c.exists);
  }
}

TEST_F(RegKeyTest, CreateKeyAndCreateSubkey) {
  constexpr const char* kPath = "HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\STORAGE";
  EXPECT_FALSE(CREGKEY::CreateKey(nullptr));
  EXPECT_FALSE(CREGKEY::CreateKey("nowhere\\KEY"));
  EXPECT_FALSE(CREGKEY::KeyExist(kPath));
  EXPECT_TRUE(CREGKEY::CreateKey(kPath));  // intermediate keys too
  EXPECT_TRUE(CREGKEY::KeyExist(kPath));
  EXPECT_TRUE(CREGKEY::CreateKey(kPath));

  CREGKEY storage(kPath);
  ASSERT_TRUE(storage.IsOpen());
  EXPECT_TRUE(CREGKEY::CreateKey("Child", &storage));
  EXPECT_TRUE(CREGKEY::KeyExist("CHILD", &storage));
  EXPECT_TRUE(storage.CreateSubkey("PROJECTLIST"));
  EXPECT_TRUE(storage.CreateSubkey("projectlist"));
  EXPECT_EQ(storage.GetSubkeyCount(), 2u);
  EXPECT_TRUE(storage.HasSubkey("ProjectList"));
  EXPECT_FALSE(storage.HasSubkey("PROJECTLIST\\X"));
  EXPECT_FALSE(storage.HasSubkey(""));
  EXPECT_TRUE(storage.IsOpen()) << "the object keeps its own key";

  // A closed parent names no key.
  CREGKEY closed;
  EXPECT_FALSE(CREGKEY::KeyExist("Child", &closed));
  EXPECT_FALSE(CREGKEY::CreateKey("Child", &closed));
  EXPECT_FALSE(closed.CreateSubkey("X"));
}

TEST_F(RegKeyTest, OpenAndClose) {
  CREGKEY key;
  EXPECT_TRUE(key.Close());
  EXPECT_TRUE(key.Close());
  EXPECT_FALSE(key.Open(nullptr));
  ASSERT_TRUE(key.Open("HKEY_LOCAL_MACHINE\\SOFTWARE"));
  CREGKEY child;
  EXPECT_FALSE(child.Open(&key, "Missing"));
  EXPECT_FALSE(child.IsOpen());
  ASSERT_TRUE(key.CreateSubkey("Sub"));
  EXPECT_TRUE(child.Open(&key, "sub"));
  EXPECT_TRUE(key.Close());
  EXPECT_FALSE(key.IsOpen());
  EXPECT_TRUE(key.Close());
  // A second Open replaces the key held; a failed one leaves the object closed.
  ASSERT_TRUE(key.Open("HKEY_LOCAL_MACHINE"));
  ASSERT_TRUE(key.Open("HKEY_LOCAL_MACHINE\\SOFTWARE\\Sub"));
  EXPECT_EQ(key.id(), child.id());
  ASSERT_TRUE(key.Open("HKEY_LOCAL_MACHINE"));
  ASSERT_TRUE(key.Open(&key, "SOFTWARE")) << "a key's own subkey, the object as parent";
  EXPECT_TRUE(key.HasSubkey("Sub"));
  EXPECT_FALSE(key.Open("HKEY_LOCAL_MACHINE\\Missing"));
  EXPECT_FALSE(key.IsOpen());
}

TEST_F(RegKeyTest, StringAndNumberValues) {
  CREGKEY key("HKEY_LOCAL_MACHINE\\SOFTWARE");
  ASSERT_TRUE(key.CreateSubkey("Values"));
  CREGKEY values(&key, "Values");
  ASSERT_TRUE(values.IsOpen());
  EXPECT_EQ(values.GetString("name"), nullptr);
  ASSERT_TRUE(values.SetString("name", "Plant 1"));
  ASSERT_NE(values.GetString("NAME"), nullptr);
  EXPECT_STREQ(values.GetString("NAME"), "Plant 1");
  EXPECT_EQ(values.GetInt("name", 42), 42u) << "a string is no number";
  EXPECT_EQ(values.GetInt("missing", 42), 42u);
  ASSERT_TRUE(values.SetInt("period", 10000));
  EXPECT_EQ(values.GetInt("Period", 0), 10000u);
  EXPECT_EQ(values.GetString("period"), nullptr) << "a number is no string";
  ASSERT_TRUE(values.SetString("cut", std::string_view("before\0after", 12)));
  EXPECT_STREQ(values.GetString("cut"), "before");

  KeyId id = *values.id();
  ASSERT_EQ(Registry().SetValue(id, "expand", RegValue::ExpandString("%PATH%")), RegStatus::kOk);
  ASSERT_EQ(Registry().SetValue(id, "multi", RegValue::MultiString({"first", "second"})),
            RegStatus::kOk);
  std::string text;
  EXPECT_FALSE(values.GetString("expand", &text, 512));
  ASSERT_TRUE(values.GetString("multi", &text, 512));
  EXPECT_EQ(text, "first");

  // Capacities count UTF-16 characters with the terminator; what does not fit is refused.
  const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 units
  const struct {
    std::string value;
    std::size_t capacity;
    bool fits;
  } cases[] = {
      {"abcd", 5, true},
      {"abcd", 4, false},
      {"ab" + emoji, 5, true},
      {"ab" + emoji, 4, false},
      {std::string(511, 'x'), 512, true},
      {std::string(512, 'x'), 512, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.size());
    ASSERT_TRUE(values.SetString("sized", c.value));
    text = "unchanged";
    EXPECT_EQ(values.GetString("sized", &text, c.capacity), c.fits);
    EXPECT_EQ(text, c.fits ? c.value : "unchanged");
  }
  EXPECT_EQ(values.GetString("sized"), nullptr) << "512 characters do not fit the own buffer";
  // "first" "second" take 5+1+6+1+1 characters.
  EXPECT_TRUE(values.GetString("multi", &text, 14));
  EXPECT_FALSE(values.GetString("multi", &text, 13));

  CREGKEY closed;
  EXPECT_FALSE(closed.SetString("name", "x"));
  EXPECT_EQ(closed.GetString("name"), nullptr);
  EXPECT_EQ(closed.GetInt("period", 7), 7u);
  EXPECT_FALSE(closed.SetInt("period", 1));
}

TEST_F(RegKeyTest, EnumKeyRefusesNamesThatDoNotFit) {
  CREGKEY key("HKEY_LOCAL_MACHINE\\SOFTWARE");
  for (const std::string& name :
       {std::string("Beta"), std::string("alpha"), std::string(255, 'z')}) {
    ASSERT_TRUE(key.CreateSubkey(name));
  }
  EXPECT_EQ(key.GetSubkeyCount(), 3u);
  std::string name;
  ASSERT_TRUE(key.EnumKey(0, &name, 6));
  EXPECT_EQ(name, "alpha");
  EXPECT_FALSE(key.EnumKey(0, &name, 5));
  ASSERT_NE(key.EnumKey(1), nullptr);
  EXPECT_STREQ(key.EnumKey(1), "Beta");
  ASSERT_NE(key.EnumKey(2), nullptr);
  EXPECT_EQ(std::string(key.EnumKey(2)), std::string(255, 'z'));
  EXPECT_EQ(key.EnumKey(3), nullptr);
  EXPECT_FALSE(key.EnumKey(0, nullptr, 10));
  CREGKEY closed;
  EXPECT_EQ(closed.EnumKey(0), nullptr);
  EXPECT_EQ(closed.GetSubkeyCount(), 0u);
}

TEST_F(RegKeyTest, DeleteRemovesOnlyKeysWithoutSubkeys) {
  ASSERT_TRUE(CREGKEY::CreateKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Parent\\Child"));
  CREGKEY parent("HKEY_LOCAL_MACHINE\\SOFTWARE\\Parent");
  EXPECT_FALSE(parent.Delete());
  EXPECT_TRUE(CREGKEY::KeyExist("HKEY_LOCAL_MACHINE\\SOFTWARE\\Parent\\Child"));

  CREGKEY child(&parent, "Child");
  ASSERT_TRUE(child.SetString("v", "x"));
  EXPECT_TRUE(child.Delete());
  EXPECT_TRUE(child.IsOpen()) << "the caller closes";
  EXPECT_FALSE(CREGKEY::KeyExist("HKEY_LOCAL_MACHINE\\SOFTWARE\\Parent\\Child"));
  EXPECT_FALSE(child.SetString("v", "x")) << "the key is gone";
  EXPECT_EQ(parent.GetSubkeyCount(), 0u);
  EXPECT_TRUE(parent.Delete());

  CREGKEY closed;
  EXPECT_FALSE(closed.Delete());
  CREGKEY root("HKEY_LOCAL_MACHINE");
  EXPECT_FALSE(root.Delete());
}

// A key made on a given store lives there, and so does every key opened below it, whatever
// store the child object was made on.
TEST_F(RegKeyTest, KeysOfAGivenStoreStayInIt) {
  constexpr const char* kPath = "HKEY_LOCAL_MACHINE\\SOFTWARE\\OTHER";
  const std::string childPath = std::string(kPath) + "\\Child";
  std::unique_ptr<RegistryStore> other = OpenSqliteRegistry(registry_.dir() + "/other.db");
  ASSERT_TRUE(CREGKEY::CreateKey(*other, kPath));
  EXPECT_TRUE(CREGKEY::KeyExist(*other, kPath));
  EXPECT_FALSE(CREGKEY::KeyExist(kPath)) << "the station's registry has no such key";

  CREGKEY key(*other, kPath);
  ASSERT_TRUE(key.IsOpen());
  EXPECT_TRUE(key.CreateSubkey("Child"));
  CREGKEY child;  // made on the station's registry, opened below a key of the other store
  ASSERT_TRUE(child.Open(&key, "Child"));
  EXPECT_EQ(&child.store(), other.get());
  EXPECT_TRUE(child.SetInt("Value", 7));
  EXPECT_TRUE(CREGKEY::KeyExist("Child", &key));
  EXPECT_TRUE(CREGKEY::CreateKey("Grandchild", &child));

  EXPECT_EQ(CREGKEY(*other, childPath).GetInt("Value", 0), 7u);
  EXPECT_TRUE(CREGKEY::KeyExist(*other, (childPath + "\\Grandchild").c_str()));
  EXPECT_FALSE(CREGKEY::KeyExist(childPath.c_str()));
  CREGKEY software("HKEY_LOCAL_MACHINE\\SOFTWARE");
  EXPECT_EQ(software.GetSubkeyCount(), 0u) << "nothing was written to the station's registry";
}

TEST(RegKeyBrokenRegistry, EveryOperationFailsQuietly) {
  testing::TempRegistry registry;
  const std::string broken = registry.dir() + "/broken.db";
  std::ofstream(broken) << "certainly not a registry database, just text in a file";
  testing::ScopedEnv station("QX_REGISTRY", broken);
  EXPECT_FALSE(CREGKEY::KeyExist("HKEY_LOCAL_MACHINE"));
  EXPECT_FALSE(CREGKEY::CreateKey("HKEY_LOCAL_MACHINE\\SOFTWARE"));
  CREGKEY key("HKEY_LOCAL_MACHINE");
  EXPECT_FALSE(key.IsOpen());
  EXPECT_EQ(key.GetInt("x", 5), 5u);
  EXPECT_EQ(key.GetString("x"), nullptr);
}

}  // namespace
}  // namespace qx
