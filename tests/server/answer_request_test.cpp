// Tests of AnswerRemoteRequest: the tag table, host and project details, forwarding to the
// project manager and the exchange line.
#include "server/answer_request.h"

#include <gtest/gtest.h>

#include <mutex>

#include "common/text.h"
#include "messaging/project_manager_link.h"
#include "registry/reg_key.h"
#include "registry/registry_projects.h"
#include "rpc/rpc_settings.h"
#include "server_test_support.h"

namespace qx {
namespace {

class AnswerRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    station_ = &test::Station();
    test::Station().core.localHost().Refresh();
    CREGKEY::CreateKey(kProjectListKey);
    CREGKEY setup;
    ASSERT_TRUE(CREGKEY::CreateKey(kSetupKey));
    ASSERT_TRUE(setup.Open(kSetupKey));
    setup.SetString("Version", "7.1");
    setup.SetString("BuildNr", "4711");
    WriteProject("PlantA", "Multi User", "R&D/plant.mcp");
    WriteProject("Single", "Single User", "single.mcp");
  }

  void WriteProject(const std::string& dsn, const std::string& type, const std::string& file) {
    const std::string fullPath = station_->root.string() + "/" + file;
    station_->WriteFile(file, "");
    CXmlElement command;
    ASSERT_TRUE(command.LoadXml("<WriteProjectToRegistry><Name>" + dsn + " name</Name><Type>" +
                                type + "</Type><State>Run</State><DSN>" + dsn + "</DSN><FullPath>" +
                                XmlEscape(fullPath) + "</FullPath><UNCPath>\\\\STATIONT\\" + dsn +
                                "</UNCPath><Server>STATIONT</Server><Host>STATIONT</Host>"
                                "</WriteProjectToRegistry>"));
    ASSERT_EQ(WriteToRegistry(command), S_OK);
  }

  test::TestStation* station_ = nullptr;
};

HRESULT Ask(const std::string& request, AnswerText* answer) {
  CXmlElement tree;
  EXPECT_TRUE(tree.LoadXml(request)) << request;
  return AnswerRemoteRequest(test::Station().core, tree, answer);
}

std::vector<std::string> ChildNames(const CXmlElement& element) {
  std::vector<std::string> names;
  for (int i = 0; i < element.GetChildCount(); ++i) {
    CXmlElement child;
    if (element.GetChild(i, &child)) names.push_back(child.GetName());
  }
  return names;
}

TEST_F(AnswerRequestTest, TestIsAnsweredInAnyCase) {
  for (const char* request : {"<Test/>", "<test/>", "<TEST><X>1</X></TEST>"}) {
    SCOPED_TRACE(request);
    AnswerText answer;
    EXPECT_EQ(Ask(request, &answer), S_OK);
    EXPECT_EQ(answer, "Test Answered");
    EXPECT_EQ(Ask(request, nullptr), S_OK);
  }
}

TEST_F(AnswerRequestTest, UnknownTagLeavesTheAnswerAndTraces) {
  test::TraceLines capture;
  AnswerText answer = "before";
  EXPECT_EQ(Ask("<Bogus/>", &answer), E_NOTIMPL);
  EXPECT_EQ(answer, "before");
  AnswerText none;
  EXPECT_EQ(Ask("<GetHostDetailsX/>", &none), E_NOTIMPL);
  EXPECT_EQ(Ask("<test/>", &none), S_OK);
  EXPECT_EQ(Ask("<Test/>", nullptr), S_OK);

  EXPECT_EQ(capture.Count("AnswerRemoteRequest: UNKNOWN TAG(Bogus)"), 1);
  EXPECT_EQ(capture.Count("<AnswerRemoteRequest><Request>Bogus</Request><Result>before</Result>"
                          "<HRESULT>0x80004001</HRESULT></AnswerRemoteRequest>"),
            1);
  EXPECT_EQ(capture.Count("<Request>GetHostDetailsX</Request><Result><none></Result>"
                          "<HRESULT>0x80004001</HRESULT>"),
            1);
  EXPECT_EQ(capture.Count("<Request>test</Request><Result>Test Answered</Result>"
                          "<HRESULT>0x00000000</HRESULT>"),
            1);
  EXPECT_EQ(capture.Count("<Request>Test</Request><Result><null></Result>"), 1);
}

// Sets the RPC endpoints' listen address (local mode while it is a loopback address).
void SetListenAddress(const char* address) {
  CREGKEY rpc;
  ASSERT_TRUE(CREGKEY::CreateKey(kRpcKey));
  ASSERT_TRUE(rpc.Open(kRpcKey));
  ASSERT_TRUE(rpc.SetString("ListenAddress", address));
}

TEST_F(AnswerRequestTest, HostDetailsByEvent) {
  SetListenAddress("0.0.0.0");  // network mode: the host's current address is announced
  const std::vector<std::string> base = {"EVENT", "Receiver", "Host",   "Domain",
                                         "User",  "IP",       "IP_Mask"};
  std::vector<std::string> full = base;
  full.insert(full.end(), {"NorvaneVersion", "NorvaneBuild", "NorvanePath", "PROJECTLIST"});
  struct Case {
    const char* event;
    std::vector<std::string> children;
    int projects;
  } const cases[] = {
      {"UPDATE", full, 1}, {"JOIN", full, 1},  {"join", full, 1},   {"REMOVED", full, 2},
      {"LEAVE", base, -1}, {"TEST", base, -1}, {"Leave", base, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.event);
    AnswerText answer;
    ASSERT_EQ(BuildHostDetails(test::Station().core, "QXDISCOVER", c.event, "*", &answer), S_OK);
    ASSERT_TRUE(answer);
    CXmlElement details;
    ASSERT_TRUE(details.LoadXml(*answer));
    EXPECT_EQ(details.GetName(), "QXDISCOVER");
    EXPECT_EQ(ChildNames(details), c.children);
    EXPECT_EQ(details.GetSubText("EVENT"), c.event);
    EXPECT_EQ(details.GetSubText("Receiver"), "*");
    EXPECT_EQ(details.GetSubText("Host"), "STATIONT");
    EXPECT_EQ(details.GetSubText("Domain"), "PLANTNET");
    EXPECT_EQ(details.GetSubText("User"), "operator");
    EXPECT_EQ(details.GetSubText("IP"), "192.168.0.5");
    EXPECT_EQ(details.GetSubText("IP_Mask"), "255.255.255.0");
    CXmlElement list;
    if (c.projects < 0) {
      EXPECT_FALSE(details.FindChild("PROJECTLIST", &list));
      continue;
    }
    EXPECT_EQ(details.GetSubText("NorvaneVersion"), "7.1");
    EXPECT_EQ(details.GetSubText("NorvaneBuild"), "4711");
    EXPECT_EQ(details.GetSubText("NorvanePath"), "");
    ASSERT_TRUE(details.FindChild("PROJECTLIST", &list));
    EXPECT_EQ(list.GetChildCount(), c.projects);
    CXmlElement first;
    ASSERT_TRUE(list.GetChild(0, &first));
    EXPECT_EQ(first.GetSubText("DSN"), "PlantA");
    EXPECT_EQ(first.GetSubText("FullPath"), station_->root.string() + "/R&D/plant.mcp");
  }

  // Local mode: the others reach this station only at its listen address, so it announces that.
  SetListenAddress("127.0.0.4");
  AnswerText local;
  ASSERT_EQ(BuildHostDetails(test::Station().core, "QXDISCOVER", "JOIN", "*", &local), S_OK);
  CXmlElement details;
  ASSERT_TRUE(local && details.LoadXml(*local));
  EXPECT_EQ(details.GetSubText("IP"), "127.0.0.4");
  EXPECT_EQ(details.GetSubText("IP_Mask"), "255.0.0.0");
  SetListenAddress("127.0.0.1");
}

TEST_F(AnswerRequestTest, GetHostDetailsRequest) {
  AnswerText answer;
  ASSERT_EQ(Ask("<gethostdetails/>", &answer), S_OK);
  CXmlElement details;
  ASSERT_TRUE(details.LoadXml(answer.value_or("")));
  EXPECT_EQ(details.GetName(), "HostDetails");
  EXPECT_EQ(details.GetSubText("EVENT"), "UPDATE");
  EXPECT_EQ(details.GetSubText("Receiver"), ".");
  CXmlElement list;
  ASSERT_TRUE(details.FindChild("PROJECTLIST", &list));
  EXPECT_EQ(list.GetChildCount(), 1);
}

TEST_F(AnswerRequestTest, ProjectDetailsFromTheRegistry) {
  for (const char* dsn : {"PlantA", "planta", "Single"}) {
    SCOPED_TRACE(dsn);
    AnswerText answer;
    ASSERT_EQ(
        Ask(std::string("<GetProjectDetails><DSN>") + dsn + "</DSN></GetProjectDetails>", &answer),
        S_OK);
    CXmlElement project;
    ASSERT_TRUE(project.LoadXml(answer.value_or("")));
    EXPECT_EQ(project.GetName(), "PROJECT");
    EXPECT_TRUE(IEquals(project.GetSubText("DSN"), dsn));
  }
  AnswerText answer = "kept";
  EXPECT_EQ(Ask("<GetProjectDetails><DSN>Nobody</DSN></GetProjectDetails>", &answer), E_FAIL);
  EXPECT_EQ(answer, "kept");
}

TEST_F(AnswerRequestTest, ResolveShareFailures) {
  AnswerText answer;
  EXPECT_EQ(Ask("<ResolveShare><Share>NoSuchShareHere</Share></ResolveShare>", &answer), E_FAIL);
  EXPECT_FALSE(answer);
  EXPECT_EQ(Ask("<ResolveShare><Share>NoSuchShareHere</Share></ResolveShare>", nullptr), E_POINTER);
}

const char* const kForwardedTags[] = {
    "RemoteActivate",           "RemoteDeactivate",      "GetApplicationPath",
    "CloseProjectOnClient",     "IsClientInMachineList", "CheckUserAdmin",
    "IsServerForDSN",           "IsClientForDSN",        "GetStateOfProjectManager",
    "GetStateOfNorvaneProject",
};

TEST_F(AnswerRequestTest, ForwardedWithoutProjectManager) {
  ASSERT_FALSE(IsProjectManagerRunning());
  for (const char* tag : kForwardedTags) {
    SCOPED_TRACE(tag);
    AnswerText answer;
    EXPECT_EQ(Ask(std::string("<") + tag + "><DSN>PlantA</DSN></" + tag + ">", &answer), E_FAIL);
    EXPECT_EQ(answer, kProjectManagerNotRunning);
    EXPECT_EQ(Ask(std::string("<") + tag + "/>", nullptr), E_FAIL);
  }
}

TEST_F(AnswerRequestTest, ForwardedToTheProjectManager) {
  std::mutex mutex;
  std::vector<std::string> received;
  std::string error;
  auto listener = StartProjectManagerListener(
      [&](const std::string& request, AnswerText* answer) {
        std::lock_guard<std::mutex> lock(mutex);
        received.push_back(request);
        if (request.find("Quiet") != std::string::npos) return E_NOTIMPL;
        if (answer != nullptr) *answer = "<Answer>" + std::to_string(received.size()) + "</Answer>";
        return S_FALSE;
      },
      &error);
  ASSERT_TRUE(listener) << error;
  EXPECT_TRUE(IsProjectManagerRunning());

  int n = 0;
  for (const char* tag : kForwardedTags) {
    SCOPED_TRACE(tag);
    const std::string request = std::string("<") + tag + "><DSN>R&amp;D</DSN></" + tag + ">";
    AnswerText answer;
    EXPECT_EQ(Ask(request, &answer), S_FALSE);
    EXPECT_EQ(answer, "<Answer>" + std::to_string(++n) + "</Answer>");
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(received.size(), static_cast<std::size_t>(n));
    EXPECT_EQ(received.back(), request);
  }
  AnswerText answer = "kept";
  EXPECT_EQ(Ask("<CheckUserAdmin><Quiet/></CheckUserAdmin>", &answer), E_NOTIMPL);
  EXPECT_EQ(answer, "kept");
  listener->Stop();
}

}  // namespace
}  // namespace qx
