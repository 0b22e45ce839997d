// Tests of CSERVER: roles and their registry settings, the receive path over a loopback RPC
// connection, and currentServer never reaching a destroyed server.
#include "server/remote_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <future>
#include <map>
#include <thread>

#include "nettree/net_tree.h"
#include "rpc/rpc_settings.h"
#include "server/answer_request.h"
#include "server_test_support.h"

namespace qx {
namespace {

constexpr const char* kUnknownService = "0B9C1D7E-1111-4222-8333-944445555666";

std::string Lower(std::string text) {
  for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return text;
}

void SetDword(const char* path, const char* name, std::optional<std::uint32_t> value) {
  ASSERT_TRUE(CREGKEY::CreateKey(path));
  CREGKEY key;
  ASSERT_TRUE(key.Open(path));
  if (value) {
    key.SetInt(name, *value);
  } else {
    Registry().DeleteValue(*key.id(), name);
  }
}

// One port per service for the whole process: the RPC client keeps what it resolved.
std::uint16_t UsePort(const char* service) {
  static std::map<std::string, std::uint16_t> ports;
  auto [it, added] = ports.emplace(service, 0);
  if (added) {
    it->second = test::FreeLoopbackPort();
    SetDword(kRpcPortsKey, service, it->second);
  }
  return it->second;
}

class RemoteServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::Station();
    test::Station().core.localHost().Refresh();
    for (const char* service : {kServiceDiscovery, kServiceProjectManager, kUnknownService}) {
      UsePort(service);
    }
  }
};

TEST_F(RemoteServerTest, RoleAndSettingsFollowTheServiceName) {
  struct Case {
    const char* name;
    std::string service;
    std::optional<std::uint32_t> cleanRegistry, replyWithRpc;
    const char* role;
    std::uint32_t period;
    bool reply;
  } const cases[] = {
      {"discovery, defaults", kServiceDiscovery, std::nullopt, std::nullopt, "DiscoverService",
       10000, false},
      {"discovery in lower case", Lower(kServiceDiscovery), 2500, 1, "DiscoverService", 2500, true},
      {"discovery without timer", kServiceDiscovery, 0, 0, "DiscoverService", 0, false},
      {"project manager", kServiceProjectManager, 2500, 0, "ProjectManager", 0, true},
      {"unknown service", kUnknownService, std::nullopt, 0, "<UNKNOWN>", 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetDword(kStorageKey, "CleanRegistry", c.cleanRegistry);
    SetDword(kStorageKey, "ReplyWithRPC", c.replyWithRpc);
    CSERVER server{test::Station().core};
    ASSERT_EQ(server.startRemoteServer(c.service), S_OK);
    EXPECT_EQ(server.serviceName(), c.role);
    EXPECT_EQ(server.watchTimerPeriodMs(), c.period);
    EXPECT_EQ(server.replyWithRpc(), c.reply);
    // Only the discovery role initialises the network tree and enables multicast.
    const bool discovery = std::string_view(c.role) == "DiscoverService";
    EXPECT_EQ(server.multicastEnabled(), discovery);
    EXPECT_EQ(test::Station().core.tree().IsInitialized(), discovery);
    // Each group REMOTECALL is carried out by the role it names, so that a process serving
    // both roles carries it out once; a server of no known role takes both.
    const bool unknown = std::string_view(c.role) == "<UNKNOWN>";
    EXPECT_EQ(server.takesRemoteCall("discoverservice"), discovery || unknown);
    EXPECT_EQ(server.takesRemoteCall("ProjectManager"), !discovery);
    EXPECT_TRUE(server.takesRemoteCall("Other"));
    EXPECT_TRUE(server.IsRunning());
    EXPECT_EQ(server.stopRemoteServer(), S_OK);
    EXPECT_FALSE(server.IsRunning());
    EXPECT_EQ(server.watchTimerPeriodMs(), 0u);
    EXPECT_FALSE(server.multicastEnabled());
    EXPECT_FALSE(test::Station().core.tree().IsInitialized());
  }
}

TEST_F(RemoteServerTest, FailedStartRefreshesTheHostAndTraces) {
  CSERVER first{test::Station().core};
  ASSERT_EQ(first.startRemoteServer(kServiceProjectManager), S_OK);
  ASSERT_TRUE(test::Station().core.localHost().SelectAddress("10.0.0.7"));

  test::TraceLines capture;
  CSERVER second{test::Station().core};
  EXPECT_EQ(second.startRemoteServer(kServiceProjectManager), E_FAIL);
  EXPECT_EQ(second.serviceName(), "");
  EXPECT_EQ(test::Station().core.localHost().currentAddress(), "192.168.0.5");
  EXPECT_EQ(capture.Count("startRemoteServer() failed!"), 1);
  EXPECT_EQ(capture.Count("startRemoteServer() suceeded"), 0);
  EXPECT_EQ(first.stopRemoteServer(), S_OK);
  EXPECT_EQ(capture.Count("stopRemoteServer() succeeded"), 1);
}

TEST_F(RemoteServerTest, ReceiveCallbacksDirectly) {
  CSERVER server{test::Station().core};
  struct Case {
    std::uint32_t dataId;
    const char* text;
    bool ok;
    AnswerText answer;
  } const cases[] = {
      {DATA_ID_REQUEST, "<test/>", true, "Test Answered"},
      {778, "<Test/>", false, std::nullopt},
      {DATA_ID_REQUEST, "<Test>", false, std::nullopt},
      {DATA_ID_REQUEST, "<NoSuchRequest/>", false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    AnswerText answer;
    EXPECT_EQ(server.onReceiveString(1, c.dataId, c.text, &answer), c.ok);
    EXPECT_EQ(answer, c.answer);
  }
  const std::u16string request = u"<Test/>";
  ByteBlock block(reinterpret_cast<const std::uint8_t*>(request.c_str()),
                  reinterpret_cast<const std::uint8_t*>(request.c_str() + request.size() + 1));
  ByteBlock answer;
  EXPECT_FALSE(server.onReceiveData(1, DATA_ID_REQUEST, block.data(), block.size(), &answer));
}

TEST_F(RemoteServerTest, ReceivePathOverLoopback) {
  const std::string path = test::Station().WriteFile("rpc/block.bin", "0123456789abcdef");
  CSERVER server{test::Station().core};
  ASSERT_EQ(server.startRemoteServer(kServiceProjectManager), S_OK);

  CRPCClientW client;
  client.setConnectionPool(test::Station().core.rpcPool());
  ASSERT_TRUE(client.Connect(kServiceProjectManager, "127.0.0.1", "server_tests"));
  struct Case {
    std::uint32_t dataId;
    const char* text;
    HRESULT result;
    AnswerText answer;
  } const cases[] = {
      {DATA_ID_REQUEST, "<Test/>", S_OK, "Test Answered"},
      {778, "<Test/>", E_NOTIMPL, std::nullopt},
      {779, "<Test/>", E_NOTIMPL, std::nullopt},
      {DATA_ID_REQUEST, "not xml", E_INVALIDARG, std::nullopt},
      {DATA_ID_REQUEST, "<Bogus/>", E_NOTIMPL, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    AnswerText answer;
    client.SendString(c.dataId, c.text, &answer);
    EXPECT_EQ(client.lastResult, c.result);
    EXPECT_EQ(answer, c.answer);
  }

  const std::string read =
      "<READFILE><FILE>" + path + "</FILE><FROM>4</FROM><COUNT>6</COUNT>" + "</READFILE>";
  ByteBlock block;
  for (char ch : read) block.insert(block.end(), {static_cast<std::uint8_t>(ch), 0});
  block.insert(block.end(), {0, 0});
  ByteBlock answer;
  ASSERT_TRUE(client.SendData(DATA_ID_READ_FILE, block.data(), block.size(), &answer));
  EXPECT_EQ(client.lastResult, S_OK);
  EXPECT_EQ(std::string(answer.begin(), answer.end()), "456789");
  client.SendData(DATA_ID_REQUEST, block.data(), block.size(), &answer);
  EXPECT_TRUE(Failed(client.lastResult));
  client.Disconnect();
  EXPECT_EQ(server.stopRemoteServer(), S_OK);
}

// A server that records discovery events and can hold the caller inside the handler.
class RecordingServer : public CSERVER {
 public:
  RecordingServer() : CSERVER(test::Station().core) {}
  // Touches no member after the release: the destructor may have begun by then.
  HRESULT onDiscoverEvent(std::string_view text, CXmlElement& tree) override {
    if (seen) *seen = std::string(text) + "|" + tree.GetSubText("EVENT");
    std::shared_future<void>* wait = release;
    if (entered) entered->set_value();
    if (wait) wait->wait();
    return S_FALSE;
  }
  std::promise<void>* entered = nullptr;
  std::shared_future<void>* release = nullptr;
  std::string* seen = nullptr;
};

HRESULT AskDiscover() {
  CXmlElement request;
  request.LoadXml("<QXDISCOVER><EVENT>JOIN</EVENT><Host>B</Host></QXDISCOVER>");
  AnswerText answer = "kept";
  const HRESULT result = AnswerRemoteRequest(test::Station().core, request, &answer);
  EXPECT_EQ(answer, "kept");
  return result;
}

TEST_F(RemoteServerTest, DiscoverRequestsReachOnlyALiveCurrentServer) {
  std::string seen;
  {
    auto first = std::make_unique<RecordingServer>();
    first->seen = &seen;
    EXPECT_EQ(AskDiscover(), S_FALSE);
    EXPECT_EQ(seen, "<QXDISCOVER><EVENT>JOIN</EVENT><Host>B</Host></QXDISCOVER>|JOIN");
    {
      CSERVER second{
          test::Station().core};  // not started: discovery messages change nothing and succeed
      EXPECT_EQ(AskDiscover(), S_OK);
    }
    EXPECT_EQ(AskDiscover(), E_FAIL);
  }
  EXPECT_EQ(AskDiscover(), E_FAIL);
}

TEST_F(RemoteServerTest, DestructionWaitsForARunningDiscoverHandler) {
  std::promise<void> entered;
  std::promise<void> releaser;
  std::shared_future<void> release = releaser.get_future().share();
  auto server = std::make_unique<RecordingServer>();
  server->entered = &entered;
  server->release = &release;

  std::future<HRESULT> request = std::async(std::launch::async, AskDiscover);
  entered.get_future().wait();
  std::atomic<bool> destroyed{false};
  std::thread destroyer([&] {
    server.reset();
    destroyed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(destroyed);
  releaser.set_value();
  EXPECT_EQ(request.get(), S_FALSE);
  destroyer.join();
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(AskDiscover(), E_FAIL);
}

}  // namespace
}  // namespace qx
