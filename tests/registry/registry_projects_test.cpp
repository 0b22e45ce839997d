// Tests of the registry project list: writing entries (and replacing stale ones), reading
// PROJECT records by mode, escaping and record length, and the clean pass.
#include "registry/registry_projects.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/text.h"
#include "registry/project_state.h"
#include "registry/reg_key.h"
#include "support/temp_registry.h"

namespace qx {
namespace {

struct Project {
  std::string name = "Plant";
  std::string type = "Multi User";
  std::string state = "Run Time";
  std::string dsn = "Plant";
  std::string fullPath;
  std::string uncPath;
  std::string server = "STATION";
  std::string host = "STATION";
};

CXmlElement WriteCommand(const Project& p) {
  CXmlElement command;
  command.CreateRoot("WriteProjectToRegistry");
  const std::pair<const char*, const std::string*> fields[] = {
      {"Name", &p.name},         {"Type", &p.type},       {"State", &p.state},   {"DSN", &p.dsn},
      {"FullPath", &p.fullPath}, {"UNCPath", &p.uncPath}, {"Server", &p.server}, {"Host", &p.host},
  };
  for (const auto& [tag, text] : fields) command.AddTextChild(tag, *text);
  return command;
}

class RemovalRecorder : public ProjectRemovalListener {
 public:
  void SendRemoveFromProjectList(std::string_view dsn) override { removed.emplace_back(dsn); }
  std::vector<std::string> removed;
};

class RegistryProjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProjectRemovalListener(&recorder_);
    SetCurrentProjectState("", "");
    InitProjectList();
    ASSERT_TRUE(CREGKEY::KeyExist(kProjectListKey));
  }
  void TearDown() override { SetProjectRemovalListener(nullptr); }

  // A project whose file exists.
  Project Existing(const std::string& dsn) {
    Project p;
    p.name = dsn;
    p.dsn = dsn;
    p.fullPath = registry_.dir() + "/" + dsn + ".mcp";
    p.uncPath = "\\\\STATION\\projects\\" + dsn + ".mcp";
    std::ofstream(p.fullPath) << "project";
    return p;
  }

  void Write(const Project& p) { ASSERT_EQ(WriteToRegistry(WriteCommand(p)), S_OK) << p.dsn; }

  std::vector<std::string> Entries() {
    std::vector<std::string> names;
    CREGKEY list(kProjectListKey);
    for (std::uint32_t i = 0; const char* name = list.EnumKey(i); ++i) names.emplace_back(name);
    return names;
  }

  std::string Value(const std::string& dsn, const char* name) {
    CREGKEY list(kProjectListKey);
    CREGKEY entry(&list, dsn);
    const char* text = entry.GetString(name);
    return text != nullptr ? text : "(none)";
  }

  testing::TempRegistry registry_;
  RemovalRecorder recorder_;
};

TEST_F(RegistryProjectsTest, WriteStoresTheEightValues) {
  Project p = Existing("Plant");
  p.state = "Configuration";
  Write(p);
  EXPECT_EQ(Entries(), std::vector<std::string>{"Plant"});
  const std::map<std::string, std::string> expected = {
      {"Name", p.name},         {"Type", p.type},       {"State", p.state},   {"DSN", p.dsn},
      {"FullPath", p.fullPath}, {"UNCPath", p.uncPath}, {"Server", p.server}, {"Host", p.host},
  };
  for (const auto& [name, value] : expected) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Value("Plant", name.c_str()), value);
  }
}

TEST_F(RegistryProjectsTest, WriteReplacesTheStaleEntryOfTheSameProject) {
  Project a = Existing("Alpha");
  Project b = Existing("Beta");
  Write(a);
  Write(b);

  // Same FullPath in other letter case under a new DSN: the old entry goes.
  Project moved = a;
  moved.dsn = "AlphaNew";
  moved.fullPath = ToUpper(a.fullPath);
  moved.uncPath = "\\\\OTHER\\x.mcp";
  Write(moved);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"AlphaNew", "Beta"}));

  // Same UNCPath ignoring case, other FullPath.
  Project renamed = b;
  renamed.dsn = "Gamma";
  renamed.fullPath = registry_.dir() + "/elsewhere.mcp";
  renamed.uncPath = ToUpper(b.uncPath);
  Write(renamed);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"AlphaNew", "Gamma"}));

  // The same DSN twice: one entry with the values of the second write.
  Project again = renamed;
  again.name = "Second";
  again.type = "Single User";
  Write(again);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"AlphaNew", "Gamma"}));
  EXPECT_EQ(Value("Gamma", "Name"), "Second");
  EXPECT_EQ(Value("Gamma", "Type"), "Single User");
}

TEST_F(RegistryProjectsTest, EmptyPathsMatchNothing) {
  Project a = Existing("Alpha");
  a.uncPath = "";
  Project b = Existing("Beta");
  b.uncPath = "";
  Write(a);
  Write(b);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"Alpha", "Beta"}));
  Project noPaths;
  noPaths.dsn = "NoPaths";
  Write(noPaths);
  Project noPathsEither;
  noPathsEither.dsn = "NoPathsEither";
  Write(noPathsEither);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"Alpha", "Beta", "NoPaths", "NoPathsEither"}));
}

TEST_F(RegistryProjectsTest, WriteRefusesDsnsThatNameNoDirectSubkey) {
  const Project kept = Existing("Kept");
  Write(kept);
  for (const char* dsn : {"", "Area\\Plant"}) {
    SCOPED_TRACE(dsn);
    Project p = kept;  // same paths: a write that went ahead would remove "Kept"
    p.dsn = dsn;
    EXPECT_EQ(WriteToRegistry(WriteCommand(p)), E_FAIL);
    EXPECT_EQ(Entries(), std::vector<std::string>{"Kept"});
  }
  std::vector<std::string> values;
  ASSERT_EQ(Registry().ListValues(*CREGKEY(kProjectListKey).id(), &values), RegStatus::kOk);
  EXPECT_TRUE(values.empty()) << "nothing written onto the list key itself";
}

// A write into a registry that this process may only read fails, and the entry it would have
// replaced stays whole. (A registry held by another writer: see the TalkByString tests.)
TEST_F(RegistryProjectsTest, WriteThatCannotBeStoredFailsAndKeepsTheEntry) {
  const Project kept = Existing("Plant");
  Write(kept);
  Project changed = kept;
  changed.name = "Changed";
  changed.state = "Changed";
  const std::string path = registry_.DatabasePath();

  // A child that may read the registry but not write it (tests run as root: it drops to
  // nobody). The shared-memory files that it reads through stay when the last connection here
  // closes, so that this process holds no connection when it forks: the station's registry
  // is pointed at a missing file for one call, which closes its connection (the child opens
  // QX_REGISTRY afresh).
  {
    testing::ScopedEnv away("QX_REGISTRY", registry_.dir() + "/none.db");
    ASSERT_FALSE(CREGKEY::KeyExist(kProjectListKey));
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  int persist = 1;
  sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  ASSERT_EQ(sqlite3_exec(db, "SELECT count(*) FROM keys", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  ::chmod(registry_.dir().c_str(), 0755);
  for (const char* suffix : {"-wal", "-shm"}) ::chmod((path + suffix).c_str(), 0666);
  if (::geteuid() != 0) ::chmod(path.c_str(), 0444);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    if (!CREGKEY::KeyExist((std::string(kProjectListKey) + "\\Plant").c_str())) ::_exit(2);
    ::_exit(WriteToRegistry(WriteCommand(changed)) == E_FAIL ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(Value("Plant", "Name"), kept.name);
  EXPECT_EQ(Value("Plant", "State"), kept.state);
}

TEST_F(RegistryProjectsTest, WriteWithoutListKeyFails) {
  ASSERT_TRUE(CREGKEY(kProjectListKey).Delete());
  EXPECT_EQ(WriteToRegistry(WriteCommand(Existing("Plant"))), E_FAIL);
}

TEST_F(RegistryProjectsTest, ReadListSelectsByMode) {
  Project multi = Existing("Multi");
  Project single = Existing("Single");
  single.type = "Single User";
  Project lower = Existing("Lower");
  lower.type = "multi user";
  Write(multi);
  Write(single);
  Write(lower);
  const struct {
    int mode;
    bool result;
    std::vector<std::string> dsns;
  } cases[] = {
      {kModeAllProjects, true, {"Lower", "Multi", "Single"}},
      {kModeMultiUser, false, {"Lower", "Multi"}},
      {7, false, {"Lower", "Multi"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    CXmlElement list;
    ASSERT_TRUE(list.CreateRoot("PROJECTLIST"));
    EXPECT_EQ(ReadListFromRegistry(&list, c.mode), c.result);
    std::vector<std::string> dsns;
    CXmlElement::ChildList children;
    list.GetChildList(&children);
    CXmlElement child;
    while (list.NextChild(&children, "PROJECT", &child)) dsns.push_back(child.GetSubText("DSN"));
    EXPECT_EQ(dsns, c.dsns);
  }
  CXmlElement element;
  EXPECT_FALSE(ReadProjectFromRegistry("Single", kModeMultiUser, &element));
  EXPECT_TRUE(ReadProjectFromRegistry("single", kModeAllProjects, &element));
  EXPECT_FALSE(ReadProjectFromRegistry("Missing", kModeAllProjects, &element));
  EXPECT_FALSE(ReadProjectFromRegistry("", kModeAllProjects, &element));
  EXPECT_FALSE(ReadProjectFromRegistry("Single", kModeAllProjects, nullptr));
  EXPECT_FALSE(ReadListFromRegistry(nullptr, kModeAllProjects));
}

TEST_F(RegistryProjectsTest, RecordHasTheFixedTagsEscapedValuesAndTheCurrentState) {
  Project p = Existing("Plant");
  p.name = "R&D <pilot>";
  p.fullPath = "C:\\R&D\\plant.mcp";
  p.uncPath = "\\\\STATION\\R&D\\plant.mcp";
  p.server = "it's \"quoted\"";
  Write(p);
  SetCurrentProjectState("PLANT", "Run & Time");
  EXPECT_EQ(BuildProjectRecord("Plant", kModeAllProjects),
            "<PROJECT><Name>R&amp;D &lt;pilot&gt;</Name><TYPE>Multi User</TYPE>"
            "<STATE>Run &amp; Time</STATE><DSN>Plant</DSN>"
            "<FullPath>C:\\R&amp;D\\plant.mcp</FullPath>"
            "<UncPath>\\\\STATION\\R&amp;D\\plant.mcp</UncPath>"
            "<SERVER>it&apos;s &quot;quoted&quot;</SERVER><HOST>STATION</HOST></PROJECT>");
  CXmlElement element;
  ASSERT_TRUE(ReadProjectFromRegistry("plant", kModeAllProjects, &element));
  EXPECT_EQ(element.GetName(), "PROJECT");
  EXPECT_EQ(element.GetSubText("Name"), p.name);
  EXPECT_EQ(element.GetSubText("FullPath"), p.fullPath);
  EXPECT_EQ(element.GetSubText("STATE"), "Run & Time");

  // Only the project that the project manager reports has a state.
  Write(Existing("Other"));
  EXPECT_TRUE(ReadProjectFromRegistry("Other", kModeAllProjects, &element));
  EXPECT_EQ(element.GetSubText("STATE"), "");
  SetCurrentProjectState("Plant", "");
  EXPECT_TRUE(ReadProjectFromRegistry("Plant", kModeAllProjects, &element));
  EXPECT_EQ(element.GetSubText("STATE"), "");
}

TEST_F(RegistryProjectsTest, LongValuesAndRecords) {
  // A value is read with room for 511 characters; a longer one reads as empty.
  Project p = Existing("Plant");
  p.name = std::string(511, 'n');
  p.server = std::string(512, 's');
  Write(p);
  CXmlElement element;
  ASSERT_TRUE(ReadProjectFromRegistry("Plant", kModeAllProjects, &element));
  EXPECT_EQ(element.GetSubText("Name"), p.name);
  EXPECT_EQ(element.GetSubText("SERVER"), "");

  // A record beyond 2047 characters is left out, never overrun or cut.
  Project big = Existing("Big");
  big.name = big.server = big.host = big.uncPath = std::string(500, 'x');
  Write(big);
  EXPECT_EQ(BuildProjectRecord("Big", kModeAllProjects), "");
  EXPECT_FALSE(ReadProjectFromRegistry("Big", kModeAllProjects, &element));
  // Escaping counts: 400 '&' fit as values but not as "&amp;" in the record.
  Project amp = Existing("Amp");
  amp.name = std::string(400, '&');
  Write(amp);
  EXPECT_EQ(BuildProjectRecord("Amp", kModeAllProjects), "");
  CXmlElement list;
  list.CreateRoot("PROJECTLIST");
  EXPECT_FALSE(ReadListFromRegistry(&list, kModeAllProjects));
  EXPECT_EQ(list.GetChildCount(), 1);
}

TEST_F(RegistryProjectsTest, CleanPassRemovesEntriesWhoseFileHasGone) {
  Write(Existing("Stays"));
  Project gone1 = Existing("Gone1");
  Project gone2 = Existing("gone2");
  Write(gone1);
  Write(gone2);
  std::filesystem::remove(gone1.fullPath);
  std::filesystem::remove(gone2.fullPath);
  Project noFile;
  noFile.dsn = "NoFile";
  noFile.fullPath = "";
  Write(noFile);
  // A path longer than a record field whose file exists is kept.
  std::string deep = registry_.dir();
  while (deep.size() < 700) {
    deep += "/" + std::string(200, 'd');
    std::filesystem::create_directory(deep);
  }
  Project longPath;
  longPath.dsn = "LongPath";
  longPath.fullPath = deep + "/plant.mcp";
  std::ofstream(longPath.fullPath) << "project";
  Write(longPath);

  CheckProjectPaths();
  EXPECT_EQ(Entries(), (std::vector<std::string>{"LongPath", "Stays"}));
  EXPECT_EQ(recorder_.removed, (std::vector<std::string>{"Gone1", "gone2", "NoFile"}));
  recorder_.removed.clear();
  CheckProjectPaths();
  EXPECT_TRUE(recorder_.removed.empty());
}

// Refuses to delete the key of one project, as a list key opened for reading would.
class UndeletableEntryStore : public testing::ForwardingStore {
 public:
  UndeletableEntryStore(std::unique_ptr<RegistryStore> target, KeyId refused)
      : ForwardingStore(std::move(target)), refused_(refused) {}
  RegStatus DeleteKey(KeyId key) override {
    if (key == refused_) {
      ++refusals;
      return RegStatus::kAccessDenied;
    }
    return ForwardingStore::DeleteKey(key);
  }
  int refusals = 0;

 private:
  KeyId refused_;
};

TEST_F(RegistryProjectsTest, CleanPassEndsAtAnEntryItCannotDelete) {
  Project stuck = Existing("AStuck");  // sorts first: the pass goes on past it
  Project gone = Existing("Gone");
  Write(stuck);
  Write(gone);
  std::filesystem::remove(stuck.fullPath);
  std::filesystem::remove(gone.fullPath);
  const KeyId stuckId = *CREGKEY(std::string(kProjectListKey) + "\\AStuck").id();
  UndeletableEntryStore fault(OpenSqliteRegistry(registry_.DatabasePath()), stuckId);

  CheckProjectPaths(fault);  // must return
  EXPECT_EQ(Entries(), std::vector<std::string>{"AStuck"});
  EXPECT_EQ(recorder_.removed, std::vector<std::string>{"Gone"});
  EXPECT_EQ(fault.refusals, 1) << "tried once, then skipped also after the pass started over";
}

// Every function given a store reads and writes that store alone: a station with a registry of
// its own never sees or changes the list of the process's station registry.
TEST_F(RegistryProjectsTest, GivenStoreIsTheOnlyOneUsed) {
  const Project mine = Existing("Mine");
  Write(mine);
  std::unique_ptr<RegistryStore> other = OpenSqliteRegistry(registry_.dir() + "/other.db");
  InitProjectList(*other);
  EXPECT_TRUE(CREGKEY::KeyExist(*other, kProjectListKey));
  const Project theirs = Existing("Theirs");
  ASSERT_EQ(WriteToRegistry(*other, WriteCommand(theirs)), S_OK);
  EXPECT_EQ(Entries(), std::vector<std::string>{"Mine"});

  CXmlElement element;
  EXPECT_TRUE(ReadProjectFromRegistry(*other, "Theirs", kModeAllProjects, &element));
  EXPECT_FALSE(ReadProjectFromRegistry(*other, "Mine", kModeAllProjects, &element));
  EXPECT_FALSE(ReadProjectFromRegistry("Theirs", kModeAllProjects, &element));
  EXPECT_NE(BuildProjectRecord(*other, "Theirs", kModeAllProjects), "");
  EXPECT_EQ(BuildProjectRecord(*other, "Mine", kModeAllProjects), "");
  CXmlElement list;
  list.CreateRoot("PROJECTLIST");
  EXPECT_TRUE(ReadListFromRegistry(*other, &list, kModeAllProjects));
  EXPECT_EQ(list.GetChildCount(), 1u);

  std::filesystem::remove(mine.fullPath);
  std::filesystem::remove(theirs.fullPath);
  CheckProjectPaths(*other);
  EXPECT_EQ(recorder_.removed, std::vector<std::string>{"Theirs"});
  EXPECT_EQ(Entries(), std::vector<std::string>{"Mine"});
  EXPECT_FALSE(CREGKEY::KeyExist(*other, (std::string(kProjectListKey) + "\\Theirs").c_str()));
}

TEST_F(RegistryProjectsTest, RemovalWithoutListenerAndInitOnMissingList) {
  SetProjectRemovalListener(nullptr);
  Project gone = Existing("Gone");
  Write(gone);
  std::filesystem::remove(gone.fullPath);
  CheckProjectPaths();
  EXPECT_TRUE(Entries().empty());
  EXPECT_TRUE(recorder_.removed.empty());

  ASSERT_TRUE(CREGKEY(kProjectListKey).Delete());
  InitProjectList();
  EXPECT_TRUE(CREGKEY::KeyExist(kProjectListKey));
}

}  // namespace
}  // namespace qx
