#include "client/remote_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/async_commands.h"
#include "client_test_station.h"
#include "common/mutex.h"
#include "messaging/netqxkomm.h"

namespace qx {
namespace {

using namespace testing_station;
using std::chrono::milliseconds;

// The multicast component double: records every call and answers as configured.
struct ComponentLog {
  Mutex mutex;
  // "group:TEXT", "local:TEXT", "host:RECEIVER:TEXT"
  std::vector<std::string> calls GUARDED_BY(mutex);
  HRESULT createResult = S_OK;
  HRESULT callResult = S_OK;
  AnswerText localAnswer = "<Component>answer</Component>";
};
ComponentLog componentLog;

class ComponentDouble final : public INetQXKomm {
 public:
  HRESULT SendToGroup(std::string_view text) override {
    return Record("group:" + std::string(text));
  }
  HRESULT LocalRequest(std::string_view text, AnswerText* answer) override {
    HRESULT hr = Record("local:" + std::string(text));
    if (componentLog.localAnswer) *answer = componentLog.localAnswer;
    return hr;
  }
  HRESULT SendToHost(std::string_view receiver, std::string_view text) override {
    return Record("host:" + std::string(receiver) + ":" + std::string(text));
  }

 private:
  HRESULT Record(std::string call) {
    MutexLock lock(&componentLog.mutex);
    componentLog.calls.push_back(std::move(call));
    return componentLog.callResult;
  }
};

HRESULT CreateDouble(std::unique_ptr<INetQXKomm>* component) {
  if (Failed(componentLog.createResult)) return componentLog.createResult;
  *component = std::make_unique<ComponentDouble>();
  return S_OK;
}

// The station that the commands are given: the test's host and the component double.
qx::Station& ClientStation() {
  static qx::Station station{[] {
    StationParts parts;
    parts.hostPlatform = std::make_unique<FixedHost>();
    parts.transport = &CreateDouble;
    return parts;
  }()};
  return station;
}

std::vector<std::string> ComponentCalls() {
  MutexLock lock(&componentLog.mutex);
  return componentLog.calls;
}

class RemoteClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { UseTestStation(); }
  void SetUp() override {
    {
      MutexLock lock(&componentLog.mutex);
      componentLog.calls.clear();
      componentLog.createResult = S_OK;
      componentLog.callResult = S_OK;
      componentLog.localAnswer = "<Component>answer</Component>";
    }
  }
  void TearDown() override { EXPECT_TRUE(WaitForAsyncCommands(std::chrono::seconds(20))); }
};

// Waits until the holder has seen n requests (an asynchronous command arrives later).
bool WaitForStrings(TestHolder& holder, std::size_t n) {
  for (int i = 0; i < 400; ++i) {
    if (holder.Strings().size() >= n) return true;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return false;
}

TEST_F(RemoteClientTest, LocalNames) {
  struct Case {
    const char* name;
    bool local;
  };
  const Case cases[] = {
      {".", true},           {"LOCAL", true},       {"local", true},         {"This", true},
      {kComputerName, true}, {"teststation", true}, {"TestStation", true},   {"", false},
      {"*", false},          {"STATIONB", false},   {"TESTSTATION2", false}, {"LOCALHOST", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsLocalHost(c.name, TestPlatform()), c.local);
  }
  const std::pair<const char*, const char*> resolved[] = {
      {".", kComputerName},           {"this", kComputerName},  {"Local", kComputerName},
      {"teststation", "teststation"}, {"STATIONB", "STATIONB"}, {"", ""}};
  for (const auto& [in, out] : resolved) {
    SCOPED_TRACE(in);
    std::string name = in;
    ResolveLocalHost(&name, TestPlatform());
    EXPECT_EQ(name, out);
  }
}

TEST_F(RemoteClientTest, RemoteCommandRoutesByReceiver) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  enum Route { kLocal, kGroup, kRpc, kRefused };
  struct Case {
    const char* message;
    Route route;
  };
  const Case cases[] = {
      {"<Test><Receiver></Receiver><HOST>LOCAL</HOST></Test>", kLocal},
      {"<Test><Receiver>teststation</Receiver></Test>", kLocal},
      {"<Test><HOST>.</HOST></Test>", kLocal},
      {"<Test><Receiver>THIS</Receiver><HOST>STATIONB</HOST></Test>", kLocal},
      {"<Test><Receiver>*</Receiver></Test>", kGroup},
      {"<Test><HOST>*</HOST></Test>", kGroup},
      {"<Test><Receiver>STATIONB</Receiver><HOST>LOCAL</HOST></Test>", kRpc},
      {"<Test><HOST>STATIONB</HOST><ASYNCHRON>1</ASYNCHRON></Test>", kRpc},
      {"<Test><HOST>STATIONB</HOST><ASYNCHRON>no</ASYNCHRON></Test>", kRpc},
      {"<Test/>", kRefused},
      {"<Test><Receiver/><HOST/></Test>", kRefused},
      {"not xml", kRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    TraceLines trace;
    const std::size_t before = holder.Strings().size();
    const std::size_t componentBefore = ComponentCalls().size();
    AnswerText answer;
    const HRESULT hr = doRemoteCommand(ClientStation(), c.message, &answer);
    switch (c.route) {
      case kLocal:
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(answer, "Test Answered");
        EXPECT_TRUE(trace.Contains("Command on Local computer"));
        break;
      case kGroup:
        EXPECT_EQ(hr, S_OK);
        EXPECT_FALSE(answer.has_value());
        ASSERT_EQ(ComponentCalls().size(), componentBefore + 1);
        EXPECT_EQ(ComponentCalls().back(), std::string("group:") + c.message);
        break;
      case kRpc:
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(answer, "<Answer>Test from " + std::string(kServiceProjectManager) + "</Answer>");
        ASSERT_EQ(holder.Strings().size(), before + 1);
        EXPECT_EQ(holder.Strings().back(), c.message);  // sent unchanged
        EXPECT_TRUE(trace.Contains(std::string("<doRPCCommand>") + c.message));
        EXPECT_TRUE(trace.Contains("<RPCAnswer><Answer>Test from"));
        break;
      case kRefused:
        EXPECT_EQ(hr, E_FAIL);
        EXPECT_FALSE(answer.has_value());
        if (c.message[0] == '<') {
          EXPECT_TRUE(trace.Contains(std::string("<doRemoteCommand>Host tag is empty.") +
                                     c.message + "</doRemoteCommand>"));
        }
        break;
    }
    if (c.route != kRpc) {
      EXPECT_EQ(holder.Strings().size(), before);
    }
    if (c.route != kGroup) {
      EXPECT_EQ(ComponentCalls().size(), componentBefore);
    }
  }
}

TEST_F(RemoteClientTest, RemoteResultsAndTheirTraces) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  {
    TraceLines trace;
    AnswerText answer;
    EXPECT_EQ(doRemoteCommand(ClientStation(), "<NotImpl><HOST>STATIONB</HOST></NotImpl>", &answer),
              E_NOTIMPL);
    EXPECT_TRUE(trace.Contains("<RPCError>hr(0x80004001)</RPCError>"));
  }
  {
    TraceLines trace;
    AnswerText answer;
    EXPECT_EQ(
        doRemoteCommand(ClientStation(), "<NoAnswer><HOST>STATIONB</HOST></NoAnswer>", &answer),
        S_OK);
    EXPECT_FALSE(answer.has_value());
    EXPECT_TRUE(trace.Contains("<RPCAnswer>null</RPCAnswer>"));
  }
  {
    TraceLines trace;
    AnswerText answer;
    EXPECT_EQ(doRemoteCommand(ClientStation(), "<Test><HOST>NOWHERE</HOST></Test>", &answer),
              E_FAIL);
    EXPECT_FALSE(answer.has_value());
    EXPECT_TRUE(trace.Contains("<RPCError>hr(0x80004005)</RPCError>"));
  }
}

TEST_F(RemoteClientTest, AsynchronousCommandsReturnAtOnceAndTraceTheirOutcome) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  for (const char* flag : {"YES", "true", "Yes", "TRUE"}) {
    SCOPED_TRACE(flag);
    const std::size_t before = holder.Strings().size();
    const std::string message =
        std::string("<Test><HOST>STATIONB</HOST><ASYNCHRON>") + flag + "</ASYNCHRON></Test>";
    AnswerText answer;
    EXPECT_EQ(doRemoteCommand(ClientStation(), message, &answer), S_OK);
    EXPECT_FALSE(answer.has_value());
    ASSERT_TRUE(WaitForStrings(holder, before + 1));
    EXPECT_EQ(holder.Strings().back(), message);
  }

  TraceLines trace;
  AnswerText answer;
  EXPECT_EQ(
      doRemoteCommand(ClientStation(),
                      "<Test><HOST>NOWHERE</HOST><ASYNCHRON>TRUE</ASYNCHRON></Test>", &answer),
      S_OK);
  EXPECT_FALSE(answer.has_value());
  ASSERT_TRUE(WaitForAsyncCommands(std::chrono::seconds(20)));
  EXPECT_EQ(RunningAsyncCommands(), 0);
  EXPECT_TRUE(trace.Contains("<RPCError>hr(0x80004005)</RPCError>"));
}

TEST_F(RemoteClientTest, AsynchronousReceiverLongerThanTheBlockIsRefused) {
  const std::string longest(kMaxAsyncReceiverUnits, 'r');
  EXPECT_EQ(StartAsyncCommand(ClientStation(), kServiceProjectManager, longest, "<Test/>"), S_OK);
  EXPECT_EQ(StartAsyncCommand(ClientStation(), kServiceProjectManager, longest + "x", "<Test/>"),
            E_INVALIDARG);
  AnswerText answer;
  EXPECT_EQ(doRemoteCommand(ClientStation(),
                            "<Test><HOST>" + longest + "x</HOST><ASYNCHRON>yes</ASYNCHRON></Test>",
                            &answer),
            E_INVALIDARG);
  EXPECT_TRUE(WaitForAsyncCommands(std::chrono::seconds(20)));
}

TEST_F(RemoteClientTest, DiscoverCommandRoutes) {
  TestHolder discovery(kServiceDiscovery);
  ASSERT_TRUE(discovery.Start());
  {
    AnswerText answer;
    EXPECT_EQ(DiscoverCommand(ClientStation(), "<Q><Receiver/></Q>", &answer), S_OK);
    EXPECT_EQ(answer, "<Component>answer</Component>");
    AnswerText local;
    EXPECT_EQ(DiscoverCommand(ClientStation(), "<Q><HOST>this</HOST></Q>", &local), S_OK);
    EXPECT_EQ(local, "<Component>answer</Component>");
    AnswerText group;
    EXPECT_EQ(DiscoverCommand(ClientStation(), "<Q><Receiver>*</Receiver></Q>", &group), S_OK);
    EXPECT_FALSE(group.has_value());
    const std::vector<std::string> expected{"local:<Q><Receiver/></Q>",
                                            "local:<Q><HOST>this</HOST></Q>",
                                            "group:<Q><Receiver>*</Receiver></Q>"};
    EXPECT_EQ(ComponentCalls(), expected);
  }
  {
    AnswerText answer;
    EXPECT_EQ(DiscoverCommand(ClientStation(), "<Q><Receiver>STATIONB</Receiver></Q>", &answer),
              S_OK);
    EXPECT_EQ(answer, "<Answer>Q from " + std::string(kServiceDiscovery) + "</Answer>");
    EXPECT_EQ(
        DiscoverCommand(ClientStation(),
                        "<Q><Receiver>STATIONB</Receiver><ASYNCHRON>yes</ASYNCHRON></Q>", &answer),
        S_OK);
    EXPECT_TRUE(WaitForStrings(discovery, 2));
    EXPECT_EQ(DiscoverCommand(ClientStation(), "<Q", &answer), E_FAIL);
  }
  {
    // A failing component: its creation result, or its call result, is the command's.
    componentLog.createResult = kClassNotRegistered;
    AnswerText answer;
    EXPECT_EQ(DiscoverCommand(ClientStation(), "<Q/>", &answer), kClassNotRegistered);
    EXPECT_EQ(doRemoteCommand(ClientStation(), "<Q><HOST>*</HOST></Q>", &answer),
              kClassNotRegistered);
    componentLog.createResult = S_OK;
    componentLog.callResult = E_UNEXPECTED;
    componentLog.localAnswer.reset();
    EXPECT_EQ(DiscoverCommand(ClientStation(), "<Q/>", &answer), E_UNEXPECTED);
    EXPECT_FALSE(answer.has_value());
  }
}

// A command keeps its connection in the pool of the station it serves: the next command of
// that station reuses it, a command of another station does not.
TEST_F(RemoteClientTest, CommandsKeepTheirConnectionInTheirStationsPool) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  DropKeptRpcConnections(ClientStation().rpcPool());
  qx::Station& other = CopyingStation();  // a station of the same computer, with its own pool
  DropKeptRpcConnections(other.rpcPool());
  struct Command {
    const char* name;
    qx::Station* station;
    int connects;  // the holder's count of connections after the command
  };
  const Command commands[] = {
      {"the first command connects", &ClientStation(), 1},
      {"the next one of the station reuses it", &ClientStation(), 1},
      {"another station connects on its own", &other, 2},
      {"and reuses its own", &other, 2},
      {"the first station's is still kept", &ClientStation(), 2},
  };
  for (const Command& command : commands) {
    SCOPED_TRACE(command.name);
    AnswerText answer;
    EXPECT_EQ(doRemoteCommand(*command.station, "<Test><HOST>STATIONB</HOST></Test>", &answer),
              S_OK);
    EXPECT_EQ(holder.connects, command.connects);
  }
}

TEST_F(RemoteClientTest, ConcurrentCommandsEachGetTheirOwnAnswer) {
  TestHolder holder;
  ASSERT_TRUE(holder.Start());
  constexpr int kThreads = 8, kEach = 25;
  std::vector<std::thread> threads;
  std::vector<int> good(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &good] {
      const std::string tag = "Tag" + std::to_string(t);
      for (int i = 0; i < kEach; ++i) {
        AnswerText answer;
        if (doRemoteCommand(ClientStation(), "<" + tag + "><HOST>STATIONB</HOST></" + tag + ">",
                            &answer) == S_OK &&
            answer ==
                "<Answer>" + tag + " from " + std::string(kServiceProjectManager) + "</Answer>") {
          ++good[t];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(good[t], kEach) << "thread " << t;
}

}  // namespace
}  // namespace qx

namespace qx {
namespace {

using namespace testing_station;
using std::chrono::milliseconds;

// A stop cancels an asynchronous command that waits on a station which never answers: the call
// ends at once, not after its timeouts (60 s each here).
TEST_F(RemoteClientTest, StopEndsAnAsynchronousCallThatWaits) {
  const testing_station::Station& station = UseTestStation();
  unix_socket::UniqueFd silent(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(station.projectManagerPort);
  address.sin_addr.s_addr = htonl(0x7F000003);  // 127.0.0.3: accepts, never answers
  ASSERT_EQ(::bind(silent.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(silent.get(), 4), 0);
  SetRegistryValue(std::string(kRpcPath) + "\\HOSTS", "SILENT", RegValue::String("127.0.0.3"));
  SetRegistryValue(kRpcPath, "ConnectTimeoutMs", RegValue::Dword(60000));
  SetRegistryValue(kRpcPath, "CallTimeoutMs", RegValue::Dword(60000));
  DropKeptRpcConnections(ClientStation().rpcPool());

  AnswerText answer;
  EXPECT_EQ(doRemoteCommand(ClientStation(),
                            "<Test><HOST>SILENT</HOST><ASYNCHRON>YES</ASYNCHRON></Test>", &answer),
            S_OK);
  std::this_thread::sleep_for(milliseconds(300));  // connected, waiting for the handshake
  EXPECT_EQ(RunningAsyncCommands(), 1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(StopAsyncCommands(AfterStop::kAcceptNew));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(RunningAsyncCommands(), 0);

  SetRegistryValue(kRpcPath, "ConnectTimeoutMs", RegValue::Dword(kConnectTimeoutMs));
  SetRegistryValue(kRpcPath, "CallTimeoutMs", RegValue::Dword(5000));
  DropKeptRpcConnections(ClientStation().rpcPool());
}

}  // namespace
}  // namespace qx
