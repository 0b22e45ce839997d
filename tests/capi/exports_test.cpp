// The exported functions through the module's C interface, on a station of their own: a
// private registry and runtime directory, and a project manager played by the test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "messaging/project_manager_link.h"
#include "qxremoteserver.h"
#include "registry/store/registry_store.h"
#include "trace/debug_capture.h"

namespace {

constexpr HRESULT kOk = 0;
constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT kPointer = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT kInvalidArg = static_cast<HRESULT>(0x80070057u);

const char16_t kLoneSurrogate[] = {u'<', u'A', char16_t(0xD800), u'/', u'>', 0};

// Takes a BSTR and frees it.
std::u16string Take(BSTR text) {
  std::u16string out = text != nullptr ? std::u16string(text, SysStringLen(text)) : u"<null>";
  SysFreeString(text);
  return out;
}

class ExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(runtime_.ready());
    ::setenv("QX_REGISTRY", (runtime_.dir() + "/registry.db").c_str(), 1);
  }
  void TearDown() override {
    if (projectManager_) projectManager_->Stop();
  }

  // Plays the project manager: records each request and answers with "<Answer/>".
  void StartProjectManager() {
    std::string error;
    projectManager_ = qx::StartProjectManagerListener(
        [this](const std::string& request, qx::AnswerText* answer) {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.push_back(request);
          if (answer != nullptr) *answer = "<Answer>\xC3\xA9</Answer>";
          return qx::S_OK;
        },
        &error);
    ASSERT_NE(projectManager_, nullptr) << error;
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  qx::testing::DebugCapture runtime_;
  std::unique_ptr<qx::ProjectManagerListener> projectManager_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

TEST_F(ExportsTest, GetXmlSubText) {
  struct Case {
    const char* name;
    const char16_t* text;
    const char16_t* tag;
    HRESULT result;
    std::u16string subText;
  };
  const Case cases[] = {
      {"tag in other case", u"<A><B>x</B></A>", u"b", kOk, u"x"},
      {"non-ASCII text", u"<A><Name>Stra\u00dfe \U0001F600</Name></A>", u"NAME", kOk,
       u"Stra\u00dfe \U0001F600"},
      {"absent tag", u"<A><B>x</B></A>", u"C", kFail, u""},
      {"empty sub-text", u"<A><B></B></A>", u"B", kFail, u""},
      {"text that does not parse", u"<A><B>x</B>", u"B", kFail, u""},
      {"null text", nullptr, u"B", kPointer, u""},
      {"null tag", u"<A><B>x</B></A>", nullptr, kPointer, u""},
      {"lone surrogate", kLoneSurrogate, u"B", kInvalidArg, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BSTR out = nullptr;
    EXPECT_EQ(GetXMLSubText(c.text, c.tag, &out), c.result);
    if (c.result == kOk) {
      EXPECT_EQ(Take(out), c.subText);
    } else {
      EXPECT_EQ(out, nullptr) << "nothing is written on failure";
    }
    EXPECT_EQ(GetXMLSubText(c.text, c.tag, nullptr), kPointer);
  }
}

TEST_F(ExportsTest, ArgumentChecks) {
  BSTR answer = nullptr;
  void* server = reinterpret_cast<void*>(1);
  EXPECT_EQ(StartRemoteServer(QX_SERVICE_PROJECT_MANAGER, nullptr), kPointer);
  EXPECT_EQ(StartRemoteServer(nullptr, &server), kPointer);
  EXPECT_EQ(server, nullptr);
  EXPECT_EQ(StopRemoteServer(nullptr), kPointer);
  EXPECT_EQ(TalkByString(nullptr, u"<GetTreeContent/>", &answer), kPointer);
  EXPECT_EQ(onReceiveMulticast(nullptr, u"<QXDISCOVER/>"), kPointer);
  EXPECT_EQ(RemoteCommand(nullptr, &answer), kPointer);
  EXPECT_EQ(DiscoverCommand(nullptr, &answer), kPointer);
  EXPECT_EQ(GetStateOfNorvaneMachine(nullptr, &answer), kPointer);
  EXPECT_EQ(GetStateOfNorvaneProject(nullptr, &answer), kPointer);
  EXPECT_EQ(RemoteCommand(kLoneSurrogate, &answer), kInvalidArg);
  EXPECT_EQ(GetStateOfNorvaneProject(kLoneSurrogate, &answer), kInvalidArg);
  EXPECT_EQ(RemoteCopyFile(nullptr, nullptr), -10);
  EXPECT_EQ(RemoteCopyFile(kLoneSurrogate, nullptr), -10);
  EXPECT_EQ(answer, nullptr);
}

// A service of its own, whose port the test chooses through the station's registry.
constexpr const char16_t* kTestService = u"0B5E2C1A-7D3F-4E8B-9A61-C2F4D8E0B317";
constexpr const char* kTestServiceUtf8 = "0B5E2C1A-7D3F-4E8B-9A61-C2F4D8E0B317";

TEST_F(ExportsTest, ServerThatDoesNotStartLeavesNoHandle) {
  // A listener of the test holds the port that the registry gives the service.
  const int blocker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(blocker, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  ASSERT_EQ(::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length), 0);
  {
    std::unique_ptr<qx::RegistryStore> store =
        qx::OpenSqliteRegistry(runtime_.dir() + "/registry.db");
    qx::KeyId machine = 0;
    qx::KeyId ports = 0;
    ASSERT_EQ(store->RootKey(qx::RegRoot::kLocalMachine, &machine), qx::RegStatus::kOk);
    ASSERT_EQ(store->CreateKey(machine, "SOFTWARE\\TOLVAR\\NORVANE\\RPC\\PORTS", &ports),
              qx::RegStatus::kOk);
    ASSERT_EQ(
        store->SetValue(ports, kTestServiceUtf8, qx::RegValue::Dword(ntohs(address.sin_port))),
        qx::RegStatus::kOk);
  }
  void* server = reinterpret_cast<void*>(1);
  EXPECT_EQ(StartRemoteServer(kTestService, &server), kFail);
  EXPECT_EQ(server, nullptr);
  ::close(blocker);

  // With the port free the same service starts, serves and stops.
  ASSERT_EQ(StartRemoteServer(kTestService, &server), kOk);
  ASSERT_NE(server, nullptr);
  BSTR answer = nullptr;
  EXPECT_EQ(TalkByString(server, kLoneSurrogate, &answer), kInvalidArg);
  EXPECT_EQ(answer, nullptr);
  EXPECT_EQ(StopRemoteServer(server), kOk);
}

TEST_F(ExportsTest, RemoteCallProcAnswersAsRemoteCommand) {
  const char16_t* commands[] = {u"<Test><Receiver>.</Receiver></Test>",
                                u"<Test><Receiver>LOCAL</Receiver></Test>", u"<Test",
                                u"<Unknown><Receiver>.</Receiver></Unknown>"};
  for (const char16_t* command : commands) {
    SCOPED_TRACE(::testing::Message() << std::u16string(command).size());
    BSTR first = nullptr;
    BSTR second = nullptr;
    const HRESULT a = RemoteCommand(command, &first);
    const HRESULT b = RemoteCallProc(command, &second);
    EXPECT_EQ(a, b);
    EXPECT_EQ(Take(first), Take(second));
  }
  BSTR answer = nullptr;
  EXPECT_EQ(RemoteCommand(u"<Test><Receiver>.</Receiver></Test>", &answer), kOk);
  EXPECT_EQ(Take(answer), u"Test Answered");
}

TEST_F(ExportsTest, LocalProjectStateGoesToTheProjectManager) {
  BSTR answer = nullptr;
  // Without a project manager the forwarded request answers that it does not run.
  EXPECT_EQ(GetStateOfNorvaneProject(u"/srv/plant.mcp", &answer), kFail);
  EXPECT_EQ(Take(answer), u"<Result>ProjectManager not Running</Result>");

  StartProjectManager();
  answer = nullptr;
  EXPECT_EQ(GetStateOfNorvaneProject(u"/srv/R&D/plant.mcp", &answer), kOk);
  EXPECT_EQ(Take(answer), u"<Answer>\u00e9</Answer>");
  answer = nullptr;
  EXPECT_EQ(GetStateOfNorvaneMachine(u".", &answer), kOk);
  EXPECT_EQ(Take(answer), u"<Answer>\u00e9</Answer>");
  const std::vector<std::string> requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0],
            "<GetStateOfNorvaneProject><Host>.</Host><Path>/srv/R&amp;D/plant.mcp</Path>"
            "</GetStateOfNorvaneProject>");
  EXPECT_NE(requests[1].find("<GetStateOfProjectManager><Host>.</Host>"), std::string::npos)
      << requests[1];
}

TEST_F(ExportsTest, StateRequestsThatDoNotFitAreRefused) {
  BSTR answer = nullptr;
  StartProjectManager();
  const std::u16string longHost(520, u'h');
  EXPECT_EQ(GetStateOfNorvaneMachine(longHost.c_str(), &answer), kInvalidArg);
  const std::u16string longPath = u"/srv/" + std::u16string(500, u'p');
  EXPECT_EQ(GetStateOfNorvaneProject(longPath.c_str(), &answer), kInvalidArg);
  EXPECT_EQ(answer, nullptr);
  EXPECT_TRUE(Requests().empty());
}

}  // namespace
