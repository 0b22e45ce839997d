// Tests of TalkByString, the dispatcher of the host's local commands.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "messaging/netqxkomm.h"
#include "messaging/project_manager_link.h"
#include "registry/registry_projects.h"
#include "server/answer_request.h"
#include "server/remote_server.h"
#include "server_test_support.h"

namespace qx {
namespace {

class TalkByStringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::Station();
    test::Station().core.localHost().Refresh();
    cleanRegistryEnabled = true;
  }
  CSERVER server_{test::Station().core};
};

TEST_F(TalkByStringTest, CleanRegistrySwitch) {
  struct Case {
    const char* command;
    bool enabled;
  } const cases[] = {
      {"<CleanRegistry><Switch>ON</Switch></CleanRegistry>", true},
      {"<cleanregistry><switch>off</switch></cleanregistry>", false},
      {"<CleanRegistry><Switch>on</Switch></CleanRegistry>", true},
      {"<CleanRegistry><Switch></Switch></CleanRegistry>", false},
      {"<CleanRegistry><Switch>on</Switch></CleanRegistry>", true},
      {"<CleanRegistry/>", false},
      {"<CleanRegistry><Switch>on</Switch></CleanRegistry>", true},
      {"<CleanRegistry><Switch>yes</Switch></CleanRegistry>", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    AnswerText answer;
    EXPECT_EQ(server_.TalkByString(c.command, &answer), S_OK);
    EXPECT_EQ(cleanRegistryEnabled.load(), c.enabled);
    EXPECT_FALSE(answer);
  }
}

TEST_F(TalkByStringTest, CommandResults) {
  struct Case {
    const char* command;
    HRESULT result;
  } const cases[] = {
      {"<JoinMulticastGroup/>", E_NOTIMPL},
      // The leave is sent even without the discovery role; no agent runs here.
      {"<LeaveMulticastGroup/>", kClassNotRegistered},
      {"<GetTreeContent/>", E_FAIL},
      {"<FindServerForDSN><DSN>x</DSN></FindServerForDSN>", E_FAIL},
      {"<NoSuchCommand/>", E_FAIL},
      {"not xml", E_INVALIDARG},
      {"", E_INVALIDARG},
      {"<Unclosed>", E_INVALIDARG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    AnswerText answer;
    EXPECT_EQ(server_.TalkByString(c.command, &answer), c.result);
    EXPECT_FALSE(answer);
  }
}

TEST_F(TalkByStringTest, TracesTheCommandAndItsFailure) {
  test::TraceLines capture;
  server_.TalkByString("<GetTreeContent/>", nullptr);
  server_.TalkByString("not xml", nullptr);
  server_.TalkByString("<CleanRegistry/>", nullptr);
  EXPECT_EQ(capture.Count("<TalkByString><GetTreeContent/></TalkByString>"), 1);
  EXPECT_EQ(capture.Count("TalkByString: NetTree not initialized TAG(GetTreeContent)"), 1);
  EXPECT_EQ(capture.Count("<TalkByString><hr>0x80004005</hr><GetTreeContent/></TalkByString>"), 1);
  EXPECT_EQ(capture.Count("<TalkByString><hr>0x80070057</hr>not xml</TalkByString>"), 1);
  EXPECT_EQ(capture.Count("<TalkByString><CleanRegistry/></TalkByString>"), 1);
  EXPECT_EQ(capture.Count("<hr>0x0</hr>"), 0);
  EXPECT_EQ(capture.Count("UNKNOWN TAG"), 0);
}

TEST_F(TalkByStringTest, SetStationDataChoosesTheCurrentAddress) {
  AnswerText answer;
  EXPECT_EQ(server_.TalkByString("<SetStationData><IP>10.0.0.7</IP></SetStationData>", &answer),
            S_OK);
  EXPECT_EQ(answer, "SUCCESS");
  EXPECT_EQ(test::Station().core.localHost().currentAddress(), "10.0.0.7");
  EXPECT_EQ(test::Station().core.localHost().currentMask(), "255.0.0.0");

  EXPECT_EQ(server_.TalkByString("<SetStationData><IP>10.0.0.8</IP></SetStationData>", &answer),
            E_FAIL);
  EXPECT_EQ(answer, "ERROR");
  EXPECT_EQ(test::Station().core.localHost().currentAddress(), "10.0.0.7");
  EXPECT_EQ(server_.TalkByString("<SetStationData/>", nullptr), E_FAIL);
}

TEST_F(TalkByStringTest, SetTraceConfigSetsBothMasks) {
  const std::uint32_t type = Diagnosis().typeMask();
  const std::uint32_t level = Diagnosis().levelMask();
  EXPECT_EQ(server_.TalkByString("<SetTraceConfig><DefaultType>524289</DefaultType>"
                                 "<DefaultLevel>5</DefaultLevel></SetTraceConfig>",
                                 nullptr),
            S_OK);
  EXPECT_EQ(Diagnosis().typeMask(), 0x80001u);
  EXPECT_EQ(Diagnosis().levelMask(), 5u);
  EXPECT_EQ(server_.TalkByString("<SetTraceConfig/>", nullptr), S_OK);
  EXPECT_EQ(Diagnosis().typeMask(), 0u);
  EXPECT_EQ(Diagnosis().levelMask(), 0u);
  Diagnosis().SetMasks(type, level);
}

TEST_F(TalkByStringTest, WriteProjectToRegistry) {
  CREGKEY::CreateKey(kProjectListKey);
  const std::string path = test::Station().WriteFile("talk/p.mcp", "");
  ASSERT_EQ(server_.TalkByString("<WriteProjectToRegistry><Name>P</Name><Type>Multi User</Type>"
                                 "<DSN>TalkDsn</DSN><FullPath>" +
                                     path + "</FullPath></WriteProjectToRegistry>",
                                 nullptr),
            S_OK);
  CXmlElement project;
  ASSERT_TRUE(ReadProjectFromRegistry("TalkDsn", kModeMultiUser, &project));
  EXPECT_EQ(project.GetSubText("FullPath"), path);
}

// A rewrite that the registry refuses (another writer holds it past the timeout) is reported,
// and the entry keeps its old values.
TEST_F(TalkByStringTest, WriteProjectToRegistryThatIsNotStoredFails) {
  CREGKEY::CreateKey(kProjectListKey);
  const auto command = [](const char* name) {
    return std::string("<WriteProjectToRegistry><Name>") + name +
           "</Name><Type>Multi User</Type><DSN>Held</DSN></WriteProjectToRegistry>";
  };
  ASSERT_EQ(server_.TalkByString(command("Before"), nullptr), S_OK);
  const std::string path = (test::Station().dir / "registry.db").string();
  // The same station on a store of the same registry that waits 50 ms for another writer.
  StationParts parts = test::TestStation::CoreParts();
  parts.registry = OpenSqliteRegistry(path, 50);
  Station impatient(std::move(parts));
  std::promise<void> holding;
  std::promise<void> release;
  std::thread writer([&] {
    OpenSqliteRegistry(path)->Transact([&](RegistryStore&) {
      holding.set_value();
      release.get_future().wait();
      return RegStatus::kInvalid;
    });
  });
  holding.get_future().wait();
  {
    CSERVER server(impatient);
    EXPECT_EQ(server.TalkByString(command("After"), nullptr), E_FAIL);
  }
  release.set_value();
  writer.join();
  CXmlElement project;
  ASSERT_TRUE(ReadProjectFromRegistry("Held", kModeAllProjects, &project));
  EXPECT_EQ(project.GetSubText("Name"), "Before");
}

TEST_F(TalkByStringTest, DsnQuestionsGoToTheProjectManager) {
  for (const char* tag : {"IsServerForDSN", "isclientfordsn"}) {
    SCOPED_TRACE(tag);
    AnswerText answer;
    EXPECT_EQ(server_.TalkByString(std::string("<") + tag + "><DSN>P</DSN></" + tag + ">", &answer),
              E_FAIL);
    EXPECT_EQ(answer, kProjectManagerNotRunning);
  }

  std::string received;
  std::string error;
  auto listener = StartProjectManagerListener(
      [&](const std::string& request, AnswerText* answer) {
        received = request;
        if (answer != nullptr) *answer = "<Result>YES</Result>";
        return S_OK;
      },
      &error);
  ASSERT_TRUE(listener) << error;
  AnswerText answer;
  EXPECT_EQ(server_.TalkByString("<IsServerForDSN><DSN>P</DSN></IsServerForDSN>", &answer), S_OK);
  EXPECT_EQ(answer, "<Result>YES</Result>");
  EXPECT_EQ(received, "<IsServerForDSN><DSN>P</DSN></IsServerForDSN>");
  listener->Stop();
}

}  // namespace
}  // namespace qx
