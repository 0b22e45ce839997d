#include "messaging/netqxkomm.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/remote_client.h"
#include "client_test_station.h"
#include "common/little_endian.h"
#include "common/mutex.h"
#include "module/module_root.h"
#include "platform/unix_socket.h"

namespace qx {
namespace {

using namespace testing_station;

// The agent's side of the component: records what reaches it.
class RecordingComponent final : public INetQXKomm {
 public:
  HRESULT SendToGroup(std::string_view text) override {
    Add("group:" + std::string(text));
    return S_OK;
  }
  HRESULT LocalRequest(std::string_view text, AnswerText* answer) override {
    Add("local:" + std::string(text));
    if (text == "<NoAnswer/>") return S_FALSE;
    if (text == "<Throw/>") throw std::runtime_error("component failed");
    *answer = "answer to " + std::string(text);
    return S_OK;
  }
  HRESULT SendToHost(std::string_view receiver, std::string_view text) override {
    Add("host:" + std::string(receiver) + ":" + std::string(text));
    return receiver.empty() ? E_INVALIDARG : S_OK;
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  void Add(std::string call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
  }
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

class NetQXKommTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { UseTestStation(); }
  void TearDown() override { SetCallTimeoutMs(5000); }  // the test station's value
  static void SetCallTimeoutMs(std::uint32_t ms) {
    SetRegistryValue(kRpcPath, "CallTimeoutMs", RegValue::Dword(ms));
  }
};

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

unix_socket::UniqueFd RawConnect() {
  return unix_socket::ConnectWithin(NetQXKommSocketPath(), Clock::now() + milliseconds(2000));
}

// Whether the listener ended the connection (end of stream) before the limit.
bool ClosedByPeerWithin(int fd, milliseconds limit) {
  const auto end = Clock::now() + limit;
  for (auto now = Clock::now(); now < end; now = Clock::now()) {
    pollfd one{fd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<milliseconds>(end - now).count();
    if (::poll(&one, 1, static_cast<int>(left)) <= 0) continue;
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN)) return true;
  }
  return false;
}

TEST_F(NetQXKommTest, SilentAndTricklingClientsAreDroppedAtTheDeadline) {
  SetCallTimeoutMs(400);
  std::string error;
  auto listener = StartNetQXKommListener(std::make_shared<RecordingComponent>(), &error);
  ASSERT_TRUE(listener) << error;
  const std::string header("QXK1\x02\0\0\0\0\0\0\0\x20\0\0\0", 16);
  const struct {
    const char* name;
    std::size_t bytesSent;  // of a request for a 32-byte text, one byte each 100 ms
  } cases[] = {{"silent", 0}, {"trickling", 48}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const unix_socket::UniqueFd fd = RawConnect();
    ASSERT_TRUE(fd);
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
      const std::string request = header + std::string(32, 't');
      for (std::size_t i = 0; i < c.bytesSent && !stop; ++i) {
        if (::send(fd.get(), &request[i], 1, MSG_NOSIGNAL) != 1) return;
        std::this_thread::sleep_for(milliseconds(100));
      }
    });
    const auto start = Clock::now();
    EXPECT_TRUE(ClosedByPeerWithin(fd.get(), milliseconds(3000)));
    EXPECT_GE(Clock::now() - start, milliseconds(300));
    stop = true;
    trickle.join();
  }
  listener->Stop();
}

TEST_F(NetQXKommTest, ConnectionThreadsAreCappedAndEveryClientIsServed) {
  // Each call holds its connection thread a while, so that 100 clients overlap.
  class SlowComponent final : public INetQXKomm {
   public:
    HRESULT SendToGroup(std::string_view) override { return S_OK; }
    HRESULT SendToHost(std::string_view, std::string_view) override { return S_OK; }
    HRESULT LocalRequest(std::string_view text, AnswerText* answer) override {
      const int now = ++running_;
      int seen = most_.load();
      while (now > seen && !most_.compare_exchange_weak(seen, now)) {
      }
      std::this_thread::sleep_for(milliseconds(40));
      --running_;
      *answer = std::string(text);
      return S_OK;
    }
    std::atomic<int> running_{0};
    std::atomic<int> most_{0};
  };
  auto target = std::make_shared<SlowComponent>();
  std::string error;
  auto listener = StartNetQXKommListener(target, &error);
  ASSERT_TRUE(listener) << error;
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 100; ++i) {
    clients.emplace_back([&answered, i] {
      std::unique_ptr<INetQXKomm> component;
      AnswerText answer;
      const std::string text = std::to_string(i);
      if (CreateNetQXKomm(&component) == S_OK && component->LocalRequest(text, &answer) == S_OK &&
          answer == text) {
        ++answered;
      }
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(answered, 100);
  EXPECT_LE(target->most_, 32);
  EXPECT_GE(target->most_, 2);
  listener->Stop();
}

TEST_F(NetQXKommTest, StopLeavesASocketThatAnotherProcessBoundThere) {
  std::string error;
  auto listener = StartNetQXKommListener(std::make_shared<RecordingComponent>(), &error);
  ASSERT_TRUE(listener) << error;
  // Another agent took the path over (after removing the file) while this one still runs.
  ASSERT_EQ(::unlink(NetQXKommSocketPath().c_str()), 0);
  const unix_socket::UniqueFd other =
      unix_socket::ListenAt(NetQXKommSocketPath(), 0660, 4, "component", nullptr, &error);
  ASSERT_TRUE(other) << error;
  listener->Stop();
  EXPECT_TRUE(RawConnect()) << "the other socket was removed";
}

TEST_F(NetQXKommTest, ConnectToAnAgentThatNeverAcceptsEndsInTheCallTimeout) {
  SetCallTimeoutMs(300);
  ::unlink(NetQXKommSocketPath().c_str());
  std::string error;
  unix_socket::UniqueFd stuck =
      unix_socket::ListenAt(NetQXKommSocketPath(), 0660, 0, "component", nullptr, &error);
  ASSERT_TRUE(stuck) << error;
  const unix_socket::UniqueFd queued = RawConnect();  // fills the backlog
  ASSERT_TRUE(queued);
  auto created = std::async(std::launch::async, [] {
    std::unique_ptr<INetQXKomm> component;
    return CreateNetQXKomm(&component);
  });
  const bool ended = created.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
  stuck.Reset();  // lets a connect that still waits fail
  EXPECT_TRUE(ended) << "the connect waited past the call timeout";
  EXPECT_EQ(created.get(), E_FAIL);
  ::unlink(NetQXKommSocketPath().c_str());
}

TEST_F(NetQXKommTest, NothingListeningIsClassNotRegistered) {
  ::unlink(NetQXKommSocketPath().c_str());
  std::unique_ptr<INetQXKomm> component;
  EXPECT_EQ(CreateNetQXKomm(&component), kClassNotRegistered);
  EXPECT_FALSE(component);
  EXPECT_EQ(CreateNetQXKomm(nullptr), E_POINTER);
  AnswerText answer;
  EXPECT_EQ(DiscoverCommand(ModuleStation(), "<Q><Receiver>*</Receiver></Q>", &answer),
            kClassNotRegistered);

  // A socket file left by a process that died is no component either, and a new agent
  // takes its place.
  {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, NetQXKommSocketPath().c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
  }
  EXPECT_EQ(CreateNetQXKomm(&component), kClassNotRegistered);
  std::string error;
  auto listener = StartNetQXKommListener(std::make_shared<RecordingComponent>(), &error);
  ASSERT_TRUE(listener) << error;
  EXPECT_EQ(CreateNetQXKomm(&component), S_OK);
  listener->Stop();
  EXPECT_EQ(CreateNetQXKomm(&component), kClassNotRegistered);

  // The agent's own component is called directly, with no socket, while it lives.
  auto own = std::make_shared<RecordingComponent>();
  SetProcessNetQXKomm(own);
  ASSERT_EQ(CreateNetQXKomm(&component), S_OK);
  EXPECT_EQ(component->SendToHost("10.0.0.9", "<U/>"), S_OK);
  EXPECT_EQ(own->Calls(), std::vector<std::string>{"host:10.0.0.9:<U/>"});
  component.reset();
  own.reset();  // the process held it weakly: gone, and the socket is asked again
  EXPECT_EQ(CreateNetQXKomm(&component), kClassNotRegistered);
  SetProcessNetQXKomm(nullptr);
}

TEST_F(NetQXKommTest, CallsTravelToTheAgentAndBack) {
  auto target = std::make_shared<RecordingComponent>();
  std::string error;
  auto listener = StartNetQXKommListener(target, &error);
  ASSERT_TRUE(listener) << error;
  EXPECT_FALSE(StartNetQXKommListener(target, &error));  // one component a station

  std::unique_ptr<INetQXKomm> component;
  ASSERT_EQ(CreateNetQXKomm(&component), S_OK);
  const std::string unicode = "<Q>Größe \xF0\x9F\x98\x80</Q>";
  AnswerText answer;
  EXPECT_EQ(component->LocalRequest(unicode, &answer), S_OK);
  EXPECT_EQ(answer, "answer to " + unicode);
  AnswerText none;
  EXPECT_EQ(component->LocalRequest("<NoAnswer/>", &none), S_FALSE);
  EXPECT_FALSE(none.has_value());
  EXPECT_EQ(component->LocalRequest("<Throw/>", &none), E_FAIL);  // contained by the listener
  EXPECT_EQ(component->SendToGroup("<Join/>"), S_OK);
  EXPECT_EQ(component->SendToHost("10.1.2.3", "<Hello/>"), S_OK);  // only a text here
  EXPECT_EQ(component->SendToHost("", "<Hello/>"), E_INVALIDARG);
  const std::string big(3 << 20, 'x');
  EXPECT_EQ(component->SendToGroup(big), S_OK);

  // The client's own route to the group goes through the same component.
  EXPECT_EQ(DiscoverCommand(ModuleStation(), "<Q><Receiver>*</Receiver></Q>", &answer), S_OK);

  const auto calls = target->Calls();
  ASSERT_EQ(calls.size(), 8u);
  EXPECT_EQ(calls[0], "local:" + unicode);
  EXPECT_EQ(calls[3], "group:<Join/>");
  EXPECT_EQ(calls[4], "host:10.1.2.3:<Hello/>");
  EXPECT_EQ(calls[6].size(), big.size() + 6);
  EXPECT_EQ(calls[7], "group:<Q><Receiver>*</Receiver></Q>");

  listener->Stop();
  // A stopped agent: the instance fails its calls, new instances are not created.
  EXPECT_EQ(component->SendToGroup("<Late/>"), E_FAIL);
  std::unique_ptr<INetQXKomm> again;
  EXPECT_EQ(CreateNetQXKomm(&again), kClassNotRegistered);
}

TEST_F(NetQXKommTest, ListenerSurvivesBadClientsAndServesManyAtOnce) {
  auto target = std::make_shared<RecordingComponent>();
  std::string error;
  auto listener = StartNetQXKommListener(target, &error);
  ASSERT_TRUE(listener) << error;

  auto rawConnect = [] {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, NetQXKommSocketPath().c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    return fd;
  };
  const std::vector<std::vector<std::uint8_t>> badFrames = {
      {'B', 'A', 'D', '!', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},              // wrong magic
      {'Q', 'X', 'K', '1', 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},              // unknown kind
      {'Q', 'X', 'K', '1', 1, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F},  // length too big
      {'Q', 'X', 'K', '1', 1, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 0, 'a'},        // cut short
  };
  for (const auto& frame : badFrames) {
    const int fd = rawConnect();
    ASSERT_EQ(::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(frame.size()));
    if (frame.size() > 16) ::shutdown(fd, SHUT_WR);
    char byte;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);  // the listener closes the connection
    ::close(fd);
  }
  const int silent = rawConnect();  // connects and says nothing

  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&good, t] {
      for (int i = 0; i < 20; ++i) {
        std::unique_ptr<INetQXKomm> component;
        AnswerText answer;
        const std::string text = "<T" + std::to_string(t) + "/>";
        if (CreateNetQXKomm(&component) == S_OK && component->LocalRequest(text, &answer) == S_OK &&
            answer == "answer to " + text) {
          ++good;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good, 160);
  // Stop ends the silent connection too instead of waiting for it.
  listener->Stop();
  ::close(silent);
  EXPECT_TRUE(target->Calls().size() == 160u);
}

}  // namespace
}  // namespace qx

namespace qx {
namespace {

// What a sink of this process received, in order.
class SinkRecord {
 public:
  NetQXKommSink Sink() {
    return [this](MulticastDelivery delivery, const std::string& text) {
      MutexLock lock(&mutex_);
      texts_.push_back((delivery == MulticastDelivery::kGroup ? "group " : "unicast ") +
                       text.substr(0, 40));
      changed_.SignalAll();
    };
  }
  std::vector<std::string> WaitFor(std::size_t count, milliseconds limit = milliseconds(3000)) {
    const auto deadline = Clock::now() + limit;
    MutexLock lock(&mutex_);
    while (texts_.size() < count && Clock::now() < deadline) changed_.WaitUntil(deadline);
    return texts_;
  }

 private:
  Mutex mutex_;
  CondVar changed_{&mutex_};
  std::vector<std::string> texts_ GUARDED_BY(mutex_);
};

// A raw connection that advises: the connection and the agent's cookie (0 when refused).
std::pair<unix_socket::UniqueFd, std::uint32_t> RawAdvise() {
  unix_socket::UniqueFd fd = RawConnect();
  std::string request("QXK1\x04\0\0\0\0\0\0\0\0\0\0\0", 16);
  std::uint8_t answer[20] = {};
  const auto deadline = Clock::now() + milliseconds(2000);
  if (!fd || !unix_socket::WriteAll(fd.get(), request.data(), request.size(), deadline) ||
      !unix_socket::ReadAll(fd.get(), answer, 16, deadline) || GetLe32(answer + 8) != 0 ||
      !unix_socket::ReadAll(fd.get(), answer + 16, 4, deadline)) {
    return {std::move(fd), 0};
  }
  return {std::move(fd), GetLe32(answer + 16)};
}

// Unadvise by the agent's cookie over a connection of its own.
HRESULT RawUnadvise(std::uint32_t cookie) {
  unix_socket::UniqueFd fd = RawConnect();
  std::string request("QXK1\x05\0\0\0\0\0\0\0\x04\0\0\0", 16);
  request.resize(20);
  PutLe32(request.data() + 16, cookie);
  std::uint8_t answer[16] = {};
  const auto deadline = Clock::now() + milliseconds(2000);
  if (!fd || !unix_socket::WriteAll(fd.get(), request.data(), request.size(), deadline) ||
      !unix_socket::ReadAll(fd.get(), answer, 16, deadline)) {
    return E_FAIL;
  }
  return static_cast<HRESULT>(GetLe32(answer + 8));
}

TEST_F(NetQXKommTest, AdvisedSinksGetEveryEventUntilTheirCookieIsUnadvised) {
  auto events = NetQXKommEvents::Create();
  std::string error;
  auto listener = StartNetQXKommListener(std::make_shared<RecordingComponent>(), events, &error);
  ASSERT_TRUE(listener) << error;
  SinkRecord first, second;
  const std::uint32_t cookie1 = AdviseNetQXKomm(first.Sink());
  const std::uint32_t cookie2 = AdviseNetQXKomm(second.Sink());
  ASSERT_NE(cookie1, 0u);
  ASSERT_NE(cookie2, 0u);
  EXPECT_NE(cookie1, cookie2);
  auto [raw, rawCookie] = RawAdvise();
  ASSERT_NE(rawCookie, 0u);
  EXPECT_EQ(events->Counters().subscribers, 3u);

  events->Raise(MulticastDelivery::kGroup, "<JOIN/>");
  events->Raise(MulticastDelivery::kUnicast, "<UPDATE/>");
  const std::vector<std::string> both{"group <JOIN/>", "unicast <UPDATE/>"};
  EXPECT_EQ(first.WaitFor(2), both);
  EXPECT_EQ(second.WaitFor(2), both);

  // The agent's cookie unadvised over another connection ends that subscriber's connection.
  EXPECT_EQ(RawUnadvise(rawCookie), S_OK);
  EXPECT_EQ(RawUnadvise(rawCookie), kConnectNoConnection);
  EXPECT_TRUE(ClosedByPeerWithin(raw.get(), milliseconds(2000)));
  // This process's cookie ends its own subscription only.
  EXPECT_EQ(UnadviseNetQXKomm(cookie1), S_OK);
  EXPECT_EQ(UnadviseNetQXKomm(cookie1), kConnectNoConnection);
  events->Raise(MulticastDelivery::kGroup, "<LEAVE/>");
  EXPECT_EQ(second.WaitFor(3).back(), "group <LEAVE/>");
  EXPECT_EQ(first.WaitFor(3, milliseconds(200)).size(), 2u);
  EXPECT_EQ(UnadviseNetQXKomm(cookie2), S_OK);
  listener->Stop();
}

TEST_F(NetQXKommTest, DeadAndStuckSubscribersCostOnlyThemselves) {
  SetCallTimeoutMs(500);
  auto events = NetQXKommEvents::Create(16, 8);
  std::string error;
  auto listener = StartNetQXKommListener(std::make_shared<RecordingComponent>(), events, &error);
  ASSERT_TRUE(listener) << error;
  auto [stuck, stuckCookie] = RawAdvise();  // never reads
  auto [dead, deadCookie] = RawAdvise();
  ASSERT_NE(stuckCookie, 0u);
  ASSERT_NE(deadCookie, 0u);
  dead.Reset();
  SinkRecord healthy;
  const std::uint32_t cookie = AdviseNetQXKomm(healthy.Sink());
  ASSERT_NE(cookie, 0u);

  // 64 events of 256 KiB: far more than the stuck connection's socket buffer takes. The
  // healthy sink's reader keeps up, so its queue of 8 never fills.
  const std::string big(256 << 10, 'e');
  for (int i = 0; i < 64; ++i) {
    events->Raise(MulticastDelivery::kGroup, std::to_string(i) + big);
    std::this_thread::sleep_for(milliseconds(2));
  }
  EXPECT_EQ(healthy.WaitFor(64, milliseconds(5000)).size(), 64u);
  const auto deadline = Clock::now() + milliseconds(3000);
  while (events->Counters().subscribers > 1 && Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(20));
  }
  const NetQXKommEventCounters counters = events->Counters();
  EXPECT_EQ(counters.subscribers, 1u);  // the stuck one missed its deadline, the dead one left
  EXPECT_EQ(counters.subscribersLost, 2u);
  EXPECT_GT(counters.dropped, 0u);
  EXPECT_EQ(UnadviseNetQXKomm(cookie), S_OK);
  listener->Stop();
}

TEST_F(NetQXKommTest, AdviseWithoutAgentIsZeroAndASubscriptionOutlivesARestart) {
  ::unlink(NetQXKommSocketPath().c_str());
  SinkRecord sink;
  EXPECT_EQ(AdviseNetQXKomm(sink.Sink()), 0u);
  EXPECT_EQ(UnadviseNetQXKomm(0), kConnectNoConnection);

  std::string error;
  auto events = NetQXKommEvents::Create();
  auto listener = StartNetQXKommListener(std::make_shared<RecordingComponent>(), events, &error);
  ASSERT_TRUE(listener) << error;
  const std::uint32_t cookie = AdviseNetQXKomm(sink.Sink());
  ASSERT_NE(cookie, 0u);
  events->Raise(MulticastDelivery::kGroup, "<before/>");
  EXPECT_EQ(sink.WaitFor(1).size(), 1u);

  listener->Stop();  // the agent goes away and a new one starts
  auto restarted = NetQXKommEvents::Create();
  listener = StartNetQXKommListener(std::make_shared<RecordingComponent>(), restarted, &error);
  ASSERT_TRUE(listener) << error;
  const auto deadline = Clock::now() + milliseconds(5000);
  while (restarted->Counters().subscribers == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(20));
  }
  restarted->Raise(MulticastDelivery::kGroup, "<after/>");
  EXPECT_EQ(sink.WaitFor(2), (std::vector<std::string>{"group <before/>", "group <after/>"}));
  EXPECT_EQ(UnadviseNetQXKomm(cookie), S_OK);
  listener->Stop();
}

}  // namespace
}  // namespace qx
