// Tests of the station's audit trail: the entry each remote and local action makes, over the
// real RPC path, with no secret in it, and the settings of where entries go.
#include "server/audit_trail.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/text.h"
#include "keys/cluster_keys.h"
#include "platform/environment.h"
#include "rpc/rpc.h"
#include "rpc/rpc_settings.h"
#include "server/remote_server.h"
#include "server_test_support.h"

namespace qx {
namespace {

void SetAudit(const std::string& name, const RegValue& value) {
  KeyId machine = 0, key = 0;
  RegistryStore& store = Registry();
  ASSERT_EQ(store.RootKey(RegRoot::kLocalMachine, &machine), RegStatus::kOk);
  ASSERT_EQ(store.CreateKey(machine, "SOFTWARE\\TOLVAR\\NORVANE\\AUDIT", &key), RegStatus::kOk);
  ASSERT_EQ(store.SetValue(key, name, value), RegStatus::kOk);
}

void ClearAudit() {
  KeyId machine = 0, key = 0;
  RegistryStore& store = Registry();
  store.RootKey(RegRoot::kLocalMachine, &machine);
  if (store.OpenKey(machine, "SOFTWARE\\TOLVAR\\NORVANE\\AUDIT", &key) == RegStatus::kOk) {
    store.DeleteKey(key);
  }
}

// A JSON line's text field as the file writes it (the fields hold no quote in these tests).
std::string Field(const std::string& line, const std::string& name) {
  const std::string start = "\"" + name + "\":";
  std::size_t at = line.find(start);
  if (at == std::string::npos) return "<absent>";
  at += start.size();
  if (line.compare(at, 4, "null") == 0) return "null";
  if (line[at] != '"') return line.substr(at, line.find_first_of(",}", at) - at);
  const std::size_t end = line.find('"', at + 1);
  return line.substr(at + 1, end - at - 1);
}

std::string UserOf(uid_t uid) {
  passwd* entry = ::getpwuid(uid);
  return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

class AuditTrailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::Station();
    test::Station().core.localHost().Refresh();
    file_ = test::Station().dir / "audit-test.jsonl";
    std::filesystem::remove(file_);
    SetAudit("Destination", RegValue::String("file"));
    SetAudit("File", RegValue::String(file_.string()));
  }
  void TearDown() override {
    FlushStationAudit(std::chrono::seconds(10));
    ClearAudit();
  }

  // The entries written since the last call.
  std::vector<std::string> NewEntries() {
    EXPECT_TRUE(FlushStationAudit(std::chrono::seconds(10)));
    std::vector<std::string> lines;
    std::ifstream in(file_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::vector<std::string> fresh(lines.begin() + static_cast<long>(std::min(seen_, lines.size())),
                                   lines.end());
    seen_ = lines.size();
    return fresh;
  }

  // Whether the action made the one entry it should (wanted), or none; *entry is that entry.
  bool TakeEntry(bool wanted, std::string* entry) {
    const std::vector<std::string> entries = NewEntries();
    EXPECT_EQ(entries.size(), wanted ? 1u : 0u);
    if (entries.size() != 1) return false;
    *entry = entries.front();
    return true;
  }

  std::filesystem::path file_;
  std::size_t seen_ = 0;
};

constexpr const char* kSecret = "s3cr3t-Pa55";

TEST_F(AuditTrailTest, EachRemoteActionOverRpcMakesOneEntry) {
  const std::string path = test::Station().WriteFile("audit/report.bin", "0123456789");
  // The service's port of this test process (another suite may have chosen it already).
  ASSERT_TRUE(CREGKEY::CreateKey(kRpcPortsKey));
  CREGKEY ports;
  ASSERT_TRUE(ports.Open(kRpcPortsKey));
  if (ports.GetInt(kServiceProjectManager, 0) == 0) {
    ports.SetInt(kServiceProjectManager, test::FreeLoopbackPort());
    DropKeptRpcConnections(test::Station().core.rpcPool());
  }
  ports.Close();

  CSERVER server(test::Station().core);
  ASSERT_EQ(server.startRemoteServer(kServiceProjectManager), S_OK);
  CRPCClientW client;
  client.setConnectionPool(test::Station().core.rpcPool());
  ASSERT_TRUE(client.Connect(kServiceProjectManager, "127.0.0.1", "audit_tests"));
  const ClusterKey* inUse = CurrentKeyRing()->InUse();
  ASSERT_NE(inUse, nullptr);
  const std::string keyId = KeyIdText(inUse->id);
  NewEntries();

  struct Case {
    const char* name;
    std::string request;  // data id 777, or READFILE (779) when it starts so
    std::string action;   // empty: no entry
    std::string target;
    HRESULT result;
  };
  const Case cases[] = {
      {"REMOTECALL names library and function, never the parameter",
       std::string("<REMOTECALL><DLL>qxtestremote</DLL><FUNCTION>Echo</FUNCTION><PARAM>") +
           kSecret + "</PARAM></REMOTECALL>",
       "REMOTECALL", "qxtestremote!Echo", S_OK},
      {"a refused REMOTECALL too",
       "<REMOTECALL><DLL>/bin/sh</DLL><FUNCTION>system</FUNCTION></REMOTECALL>", "REMOTECALL",
       "/bin/sh!system", E_ACCESSDENIED},
      {"OPENFILE names the path", "<OPENFILE><FILE>" + path + "</FILE></OPENFILE>", "OPENFILE",
       path, S_OK},
      {"READFILE names path and range",
       "<READFILE><FILE>" + path + "</FILE><FROM>2</FROM><COUNT>4</COUNT></READFILE>", "READFILE",
       path + " [2+4]", S_OK},
      {"a READFILE outside the roots",
       "<READFILE><FILE>/etc/shadow</FILE><FROM>0</FROM>"
       "<COUNT>4</COUNT></READFILE>",
       "READFILE", "/etc/shadow [0+4]", E_ACCESSDENIED},
      {"a command for the project manager names its project",
       "<RemoteActivate><DSN>PLANT1</DSN></RemoteActivate>", "RemoteActivate", "DSN=PLANT1",
       E_FAIL},
      {"an unknown tag is recorded as sent", "<Bogus><DSN>X</DSN></Bogus>", "Bogus", "DSN=X",
       E_NOTIMPL},
      {"a query", "<Test/>", "Test", "", S_OK},
      {"discovery traffic makes no entry",
       "<QXDISCOVER><EVENT>New State of Server</EVENT></QXDISCOVER>", "", "", S_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.request.rfind("<READFILE>", 0) == 0) {
      ByteBlock block;
      for (char16_t unit : Utf8ToUtf16(c.request)) {
        block.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        block.push_back(static_cast<std::uint8_t>(unit >> 8));
      }
      block.insert(block.end(), {0, 0});
      ByteBlock answer;
      client.SendData(DATA_ID_READ_FILE, block.data(), block.size(), &answer);
    } else {
      AnswerText answer;
      client.SendString(DATA_ID_REQUEST, c.request, &answer);
    }
    std::string entry;
    if (!TakeEntry(!c.action.empty(), &entry) || c.action.empty()) continue;
    EXPECT_EQ(Field(entry, "action"), c.action);
    EXPECT_EQ(Field(entry, "target"), c.target);
    EXPECT_EQ(Field(entry, "result"), AuditResultText(c.result));
    EXPECT_EQ(Field(entry, "peer").rfind("127.0.0.1:", 0), 0u) << entry;
    EXPECT_EQ(Field(entry, "key_id"), keyId);
    EXPECT_EQ(Field(entry, "local_uid"), "null");
    EXPECT_EQ(entry.find(kSecret), std::string::npos);
  }
  client.Disconnect();
  EXPECT_EQ(server.stopRemoteServer(), S_OK);
}

TEST_F(AuditTrailTest, LocalCommandsNameTheLocalUserAndNoSecret) {
  CSERVER server(test::Station().core);  // a server of no role answers local commands
  NewEntries();
  const std::string uid = std::to_string(::getuid());
  struct Case {
    const char* name;
    std::string command;
    std::string action;  // empty: no entry
    std::string target;
  };
  const Case cases[] = {
      {"SetUserPassword names project and user, never the password",
       std::string("<SetUserPassword><DSN>PLANT1</DSN><USER>op</USER><PASSWORD>") + kSecret +
           "</PASSWORD></SetUserPassword>",
       "SetUserPassword", "DSN=PLANT1 USER=op"},
      {"a project write names its project",
       "<WriteProjectToRegistry><Name>P</Name><DSN>PLANT2</DSN><Password>" + std::string(kSecret) +
           "</Password></WriteProjectToRegistry>",
       "WriteProjectToRegistry", "DSN=PLANT2"},
      {"a trace setting",
       "<SetTraceConfig><DefaultType>0</DefaultType><DefaultLevel>0"
       "</DefaultLevel></SetTraceConfig>",
       "SetTraceConfig", "DefaultType=0 DefaultLevel=0"},
      {"a read-only tree query makes no entry", "<GetTreeContent/>", "", ""},
      {"a command that is not XML", "<broken", "<command not readable>", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AnswerText answer;
    const HRESULT result = server.TalkByString(c.command, &answer);
    std::string entry;
    if (!TakeEntry(!c.action.empty(), &entry) || c.action.empty()) continue;
    EXPECT_EQ(Field(entry, "action"), AuditFieldText(c.action));
    EXPECT_EQ(Field(entry, "target"), c.target);
    EXPECT_EQ(Field(entry, "result"), AuditResultText(result));
    EXPECT_EQ(Field(entry, "peer"), "");
    EXPECT_EQ(Field(entry, "local_uid"), uid);
    EXPECT_EQ(Field(entry, "local_user"), UserOf(::getuid()));
    EXPECT_EQ(entry.find(kSecret), std::string::npos);
  }
  Diagnosis().SetMasks(0, 0);
}

TEST_F(AuditTrailTest, SettingsChooseTheDestinationAndKeepDefaults) {
  struct Case {
    const char* name;
    std::map<std::string, RegValue> values;
    AuditDestination destination;
    std::string file;  // empty: the default file
    std::uint64_t maxBytes;
    int keep;
  };
  const std::string fallback = LogDir() + "/audit.jsonl";
  const Case cases[] = {
      {"defaults", {}, AuditDestination::kAuto, "", 10u << 20, 5},
      {"journal",
       {{"Destination", RegValue::String("JOURNAL")}},
       AuditDestination::kJournal,
       "",
       10u << 20,
       5},
      {"an unknown destination keeps the trail going: auto",
       {{"Destination", RegValue::String("none")}},
       AuditDestination::kAuto,
       "",
       10u << 20,
       5},
      {"a file and its rotation",
       {{"Destination", RegValue::String("file")},
        {"File", RegValue::String("/srv/audit/a.jsonl")},
        {"MaxBytes", RegValue::Dword(65536)},
        {"KeepFiles", RegValue::Dword(9)}},
       AuditDestination::kFile,
       "/srv/audit/a.jsonl",
       65536,
       9},
      {"a relative file and a tiny size keep their defaults",
       {{"File", RegValue::String("audit.jsonl")}, {"MaxBytes", RegValue::Dword(10)}},
       AuditDestination::kAuto,
       "",
       10u << 20,
       5},
      {"a value of another type keeps the default",
       {{"Destination", RegValue::Dword(1)}},
       AuditDestination::kAuto,
       "",
       10u << 20,
       5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearAudit();
    for (const auto& [name, value] : c.values) SetAudit(name, value);
    const AuditConfig config = ReadAuditConfig();
    EXPECT_EQ(config.destination, c.destination);
    EXPECT_EQ(config.file, c.file.empty() ? fallback : c.file);
    EXPECT_EQ(config.maxBytes, c.maxBytes);
    EXPECT_EQ(config.keepFiles, c.keep);
  }
  // The default file is the test station's own, never the machine's log directory.
  EXPECT_EQ(fallback.rfind(test::Station().dir.string(), 0), 0u) << fallback;
}

}  // namespace
}  // namespace qx
