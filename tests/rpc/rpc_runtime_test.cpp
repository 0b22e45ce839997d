#include "rpc/rpc.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "keys/cluster_keys.h"
#include "registry/store/registry_store.h"
#include "rpc/rpc_frame.h"
#include "rpc/rpc_internal.h"
#include "rpc/rpc_pool.h"
#include "rpc/rpc_settings.h"
#include "rpc/rpc_tls.h"
#include "support/scoped_env.h"

namespace qx {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using rpc::FrameHeader;
using rpc::FrameKind;

constexpr const char* kOtherGuid = "11111111-2222-3333-4444-555555555555";

// ---------------------------------------------------------------------------------------------
// Registry settings

void SetValue(const std::string& subkey, const std::string& name, const RegValue& value) {
  RegistryStore& store = Registry();
  KeyId root = 0;
  KeyId key = 0;
  ASSERT_EQ(store.RootKey(RegRoot::kLocalMachine, &root), RegStatus::kOk);
  ASSERT_EQ(store.CreateKey(root, "SOFTWARE\\TOLVAR\\NORVANE\\" + subkey, &key), RegStatus::kOk);
  ASSERT_EQ(store.SetValue(key, name, value), RegStatus::kOk);
}
void SetDword(const std::string& subkey, const std::string& name, std::uint32_t value) {
  SetValue(subkey, name, RegValue::Dword(value));
}

// ---------------------------------------------------------------------------------------------
// Raw peers for the side that the runtime does not offer: broken clients and servers. They
// speak TLS with the station's key ring like the runtime, and then send what they like.

using Step = RpcTlsSession::Step;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    tls_.reset();
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.fd_), tls_(std::move(other.tls_)) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    std::swap(tls_, other.tls_);
    return *this;
  }
  int get() const { return fd_; }
  RpcTlsSession* tls() const { return tls_.get(); }
  // The TLS handshake on the blocking socket; false when it fails.
  bool Secure(std::unique_ptr<RpcTlsSession> session) {
    tls_ = std::move(session);
    return tls_ && tls_->Handshake() == Step::kDone;
  }

 private:
  int fd_;
  std::unique_ptr<RpcTlsSession> tls_;
};

sockaddr_in Loopback(std::uint16_t port, std::uint32_t address = INADDR_LOOPBACK) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  in.sin_addr.s_addr = htonl(address);
  return in;
}

void SetReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
  timeval tv{static_cast<time_t>(timeout.count() / 1000),
             static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// A TCP connection to port, without TLS.
Fd ConnectTcp(std::uint16_t port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in to = Loopback(port);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return Fd();
  SetReceiveTimeout(fd.get(), 5s);
  return fd;
}

// A connection in a TLS session with the key in use of the client's ring.
Fd ConnectRaw(std::uint16_t port) {
  Fd fd = ConnectTcp(port);
  bool noKey = false;
  if (fd.get() < 0 || !fd.Secure(RpcTlsSession::Client(fd.get(), *CurrentKeyRing(), &noKey)))
    return Fd();
  return fd;
}

bool SendAll(Fd& fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    std::size_t n = 0;
    if (fd.tls()->Write(bytes.data() + done, bytes.size() - done, &n) != Step::kDone) return false;
    done += n;
  }
  return true;
}

bool ReadExact(Fd& fd, std::uint8_t* out, std::size_t size) {
  while (size != 0) {
    std::size_t n = 0;
    if (fd.tls()->Read(out, size, &n) != Step::kDone) return false;
    out += n;
    size -= n;
  }
  return true;
}

bool ReadFrame(Fd& fd, FrameHeader* header, std::vector<std::uint8_t>* body) {
  std::uint8_t raw[rpc::kFrameHeaderSize];
  if (!ReadExact(fd, raw, sizeof raw)) return false;
  if (rpc::DecodeHeader(raw, 1u << 24, header) != rpc::FrameCheck::kOk) return false;
  body->resize(header->length);
  return ReadExact(fd, body->data(), body->size());
}

// True when the peer closes the connection within the socket's receive timeout; bytes that
// arrive first are skipped.
bool PeerCloses(Fd& fd) {
  std::uint8_t buffer[256];
  for (;;) {
    std::size_t n = 0;
    if (fd.tls() == nullptr) {
      const ssize_t got = ::recv(fd.get(), buffer, sizeof buffer, 0);
      if (got == 0) return true;
      if (got < 0) return errno == ECONNRESET;
      continue;
    }
    const Step step = fd.tls()->Read(buffer, sizeof buffer, &n);
    if (step == Step::kClosed) return true;
    if (step != Step::kDone) return false;
  }
}

// A listening socket served by a script, one call per accepted connection, on its own thread.
class FakeServer {
 public:
  using Script = std::function<void(int index, Fd& fd, const std::atomic<bool>& stop)>;
  explicit FakeServer(Script script) : listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
    const int one = 1;
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at = Loopback(0);
    ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&at), sizeof at);
    ::listen(listener_.get(), 16);
    socklen_t length = sizeof at;
    ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&at), &length);
    port_ = ntohs(at.sin_port);
    thread_ = std::thread([this, script = std::move(script)] {
      int index = 0;
      while (!stop_) {
        pollfd entry{listener_.get(), POLLIN, 0};
        if (::poll(&entry, 1, 20) != 1) continue;
        Fd connection(::accept(listener_.get(), nullptr, nullptr));
        if (connection.get() < 0) continue;
        SetReceiveTimeout(connection.get(), 5s);
        accepted_++;
        if (connection.Secure(RpcTlsSession::Server(connection.get(), CurrentKeyRing())))
          script(index++, connection, stop_);
      }
    });
  }
  ~FakeServer() {
    stop_ = true;
    thread_.join();
  }
  std::uint16_t port() const { return port_; }
  int accepted() const { return accepted_; }

 private:
  Fd listener_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

// Reads HELLO and acknowledges it; then reads one request.
bool AcceptHelloAndRequest(Fd& fd, FrameHeader* request) {
  FrameHeader header;
  std::vector<std::uint8_t> body;
  if (!ReadFrame(fd, &header, &body) || header.kind != FrameKind::kHello) return false;
  if (!SendAll(fd, rpc::BuildFrame({FrameKind::kHelloAck, 0, 1}))) return false;
  return ReadFrame(fd, request, &body);
}

// ---------------------------------------------------------------------------------------------
// The server under test: string requests select a behaviour, data requests are echoed.

class TestServer : public CRPCServerW {
 public:
  ~TestServer() override { stopServer(); }

  bool onReceiveString(std::uint16_t, std::uint32_t dataId, const std::string& text,
                       AnswerText* answer) override {
    ++strings;
    if (text == "<Test/>") {
      *answer = "Test Answered";
      return true;
    }
    if (text.rfind("slot:", 0) == 0) {
      const auto result = static_cast<HRESULT>(std::stoul(text.substr(5), nullptr, 16));
      SetResultSlot(result);
      return Succeeded(result);
    }
    if (text == "caller") {
      const std::optional<RpcCaller> caller = CurrentRpcCaller();
      *answer = caller ? caller->address + " " + std::to_string(caller->keyId) : "none";
      return true;
    }
    if (text == "false") return false;
    if (text == "none") return true;
    if (text == "empty") {
      *answer = "";
      return true;
    }
    if (text == "throw") throw std::runtime_error("handler failure");
    if (text == "gate") {
      {
        std::unique_lock lock(gateMutex);
        ++inGate;
        gateChanged.notify_all();
        gateChanged.wait(lock, [this] { return gateOpen; });
      }
      *answer = "after gate";
      ++leftGate;  // the handler's last touch of this object
      return true;
    }
    *answer = "echo " + std::to_string(dataId) + " " + text;
    return true;
  }

  bool onReceiveData(std::uint16_t, std::uint32_t dataId, const std::uint8_t* data,
                     std::size_t size, ByteBlock* answer) override {
    ++datas;
    answer->assign(data, data + size);
    if (dataId == 1) SetResultSlot(S_FALSE);
    return dataId != 2;
  }

  void onClientConnected(std::uint16_t) override { ++connects; }
  void onClientDisconnected(std::uint16_t) override { ++disconnects; }

  void OpenGate() {
    std::lock_guard lock(gateMutex);
    gateOpen = true;
    gateChanged.notify_all();
  }
  bool WaitInGate(int handlers = 1) {
    std::unique_lock lock(gateMutex);
    return gateChanged.wait_for(lock, 10s, [&] { return inGate >= handlers; });
  }

  std::atomic<int> strings{0};
  std::atomic<int> datas{0};
  std::atomic<int> connects{0};
  std::atomic<int> disconnects{0};
  std::mutex gateMutex;
  std::condition_variable gateChanged;
  bool gateOpen = false;
  int inGate = 0;
  std::atomic<int> leftGate{0};
};

class RpcRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qx-rpc-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    // The station's key ring lies beside the registry; client and server share it.
    registry_.emplace("QX_REGISTRY", dir_ + "/registry.db");
    ASSERT_EQ(CreateStationRegistry(), RegStatus::kOk);
    KeyRing ring;
    std::string error;
    ASSERT_TRUE(LoadOrCreateKeyRing(KeyRingPath(), &ring, &error)) << error;
    SetDword("RPC", "ConnectTimeoutMs", 1000);
    SetDword("RPC", "CallTimeoutMs", 3000);
    SetDword("RPC", "ServerThreads", 4);
    SetDword("RPC\\PORTS", kServiceProjectManager, 0);
    DropKeptRpcConnections(pool_);
  }
  void TearDown() override {
    DropKeptRpcConnections(pool_);
    registry_.reset();
    std::filesystem::remove_all(dir_);
  }

  // Starts the server on a free port and publishes that port for the service's clients.
  void Start(TestServer& server, const char* guid = kServiceProjectManager) {
    ASSERT_TRUE(server.startServer(guid, 0));
    ASSERT_NE(server.port(), 0);
    SetDword("RPC\\PORTS", guid, server.port());
    DropKeptRpcConnections(pool_);
  }

  void PointServiceAt(std::uint16_t port, const char* guid = kServiceProjectManager) {
    SetDword("RPC\\PORTS", guid, port);
    DropKeptRpcConnections(pool_);
  }

  // One call as a remote command makes it: a new client, connect, send, disconnect.
  bool Call(const std::string& text, AnswerText* answer, HRESULT* result = nullptr,
            const char* host = "127.0.0.1") {
    CRPCClientW client;
    client.setConnectionPool(pool_);
    if (!client.Connect(kServiceProjectManager, host, "/usr/bin/rpc-test")) return false;
    const bool sent = client.SendString(DATA_ID_REQUEST, text, answer);
    if (result != nullptr) *result = client.lastResult;
    client.Disconnect();
    return sent;
  }

  std::string dir_;
  // The connections that the test's clients keep, as a station's clients keep theirs.
  RpcConnectionPool pool_;
  std::optional<testing::ScopedEnv> registry_;  // QX_REGISTRY while the test runs
};

TEST_F(RpcRuntimeTest, StringAnswersAndResultsTravelBack) {
  TestServer server;
  Start(server);
  struct Case {
    const char* request;
    HRESULT result;
    std::optional<std::string> answer;
  };
  const Case cases[] = {
      {"<Test/>", S_OK, "Test Answered"},
      {"slot:80004001", E_NOTIMPL, std::nullopt},  // stored result, handler false
      {"none", S_OK, std::nullopt},                // the slot does not leak into the next call
      {"slot:00000001", S_FALSE, std::nullopt},
      {"false", E_FAIL, std::nullopt},
      {"empty", S_OK, ""},  // present but empty is not absent
      {"throw", E_FAIL, std::nullopt},
      {"<Größe>ü</Größe>", S_OK, "echo 777 <Größe>ü</Größe>"},
  };
  CRPCClientW client;
  client.setConnectionPool(pool_);
  ASSERT_TRUE(client.Connect(kServiceProjectManager, "127.0.0.1", "/usr/bin/rpc-test"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    AnswerText answer = "stale";
    ASSERT_TRUE(client.SendString(DATA_ID_REQUEST, c.request, &answer));
    EXPECT_EQ(client.lastResult, c.result);
    EXPECT_EQ(answer, c.answer);
  }
  AnswerText answer;
  ASSERT_TRUE(client.SendString(12345, "id", &answer));
  EXPECT_EQ(answer, "echo 12345 id");
  EXPECT_EQ(server.connects, 1) << "one client object is one connection";
}

TEST_F(RpcRuntimeTest, DataBlocksAndResultsTravelBack) {
  TestServer server;
  Start(server);
  CRPCClientW client;
  client.setConnectionPool(pool_);
  ASSERT_TRUE(client.Connect(kServiceProjectManager, "127.0.0.1", "/usr/bin/rpc-test"));
  std::vector<std::uint8_t> big(3u << 20);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  struct Case {
    const char* name;
    std::uint32_t dataId;
    std::size_t size;
    HRESULT result;
  };
  const Case cases[] = {
      {"3 MiB echoed", 779, big.size(), S_OK},
      {"empty block", 779, 0, S_OK},
      {"stored S_FALSE", 1, 10, S_FALSE},
      {"handler false", 2, 10, E_FAIL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteBlock answer = {1, 2, 3};
    ASSERT_TRUE(client.SendData(c.dataId, big.data(), c.size, &answer));
    EXPECT_EQ(client.lastResult, c.result);
    EXPECT_TRUE(answer == ByteBlock(big.begin(), big.begin() + static_cast<long>(c.size)));
  }
}

TEST_F(RpcRuntimeTest, ServerLifecycle) {
  TestServer server;
  EXPECT_FALSE(server.stopServer()) << "not started";
  Start(server);
  EXPECT_TRUE(server.IsRunning());
  EXPECT_FALSE(server.startServer(kServiceProjectManager, 0)) << "already running";
  EXPECT_TRUE(server.stopServer());
  EXPECT_FALSE(server.IsRunning());
  EXPECT_EQ(server.port(), 0);

  // A port that another socket listens on.
  FakeServer holder([](int, Fd&, const std::atomic<bool>&) {});
  PointServiceAt(holder.port());
  EXPECT_FALSE(server.startServer(kServiceProjectManager, 0));

  // A GUID without a port of its own serves on a free port.
  TestServer unknown;
  ASSERT_TRUE(unknown.startServer(kOtherGuid, 0));
  EXPECT_NE(unknown.port(), 0);
}

TEST_F(RpcRuntimeTest, ConnectFailsForRefusedServiceAndUnreachableStations) {
  TestServer server;
  Start(server);
  AnswerText answer;
  {
    SetDword("RPC\\PORTS", kServiceDiscovery, server.port());
    DropKeptRpcConnections(pool_);
    CRPCClientW client;
    client.setConnectionPool(pool_);
    EXPECT_FALSE(client.Connect(kServiceDiscovery, "127.0.0.1", "x")) << "not the server's GUID";
    EXPECT_FALSE(client.SendString(DATA_ID_REQUEST, "<Test/>", &answer));
    EXPECT_EQ(client.lastResult, E_FAIL);
    EXPECT_EQ(server.strings, 0);
  }
  {
    CRPCClientW client;
    client.setConnectionPool(pool_);
    EXPECT_FALSE(client.Connect(kOtherGuid, "127.0.0.1", "x")) << "no port for the service";
  }

  SetDword("RPC", "ConnectTimeoutMs", 300);
  // Nothing listens; a server that never answers HELLO; a listener whose queue is full.
  FakeServer silent([](int, Fd&, const std::atomic<bool>& stop) {
    while (!stop) std::this_thread::sleep_for(10ms);
  });
  Fd full(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in at = Loopback(0);
  ::bind(full.get(), reinterpret_cast<sockaddr*>(&at), sizeof at);
  ::listen(full.get(), 0);
  socklen_t length = sizeof at;
  ::getsockname(full.get(), reinterpret_cast<sockaddr*>(&at), &length);
  std::vector<Fd> filling;
  for (int i = 0; i < 4; ++i) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    ::connect(fd.get(), reinterpret_cast<sockaddr*>(&at), sizeof at);
    filling.push_back(std::move(fd));
  }
  Fd closed(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in unused = Loopback(0);
  ::bind(closed.get(), reinterpret_cast<sockaddr*>(&unused), sizeof unused);
  ::getsockname(closed.get(), reinterpret_cast<sockaddr*>(&unused), &length);

  const struct {
    const char* name;
    std::uint16_t port;
  } cases[] = {{"nothing listens", ntohs(unused.sin_port)},
               {"no HELLO answer", silent.port()},
               {"accept queue full", ntohs(at.sin_port)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PointServiceAt(c.port);
    const auto begin = Clock::now();
    CRPCClientW client;
    client.setConnectionPool(pool_);
    EXPECT_FALSE(client.Connect(kServiceProjectManager, "127.0.0.1", "x"));
    EXPECT_LT(Clock::now() - begin, 2s) << "ends with the connect timeout";
  }
}

TEST_F(RpcRuntimeTest, StationNamesResolveToTheRightAddress) {
  SetValue("RPC", "ListenAddress", RegValue::String("127.0.0.2"));
  SetValue("PLATFORM", "ComputerName", RegValue::String("RPCSTATION"));
  SetValue("RPC\\HOSTS", "PEERSTATION", RegValue::String("127.0.0.2"));
  TestServer server;
  Start(server);
  const struct {
    const char* host;
    bool reached;
  } cases[] = {
      {"127.0.0.2", true},   {"rpcstation", true},  // own name, other case: the listen address
      {"PEERSTATION", true},                        // hosts table
      {"127.0.0.1", false},                         // served only on 127.0.0.2
      {"localhost", false},                         // the system resolver: 127.0.0.1
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    AnswerText answer;
    EXPECT_EQ(Call("<Test/>", &answer, nullptr, c.host), c.reached);
  }
  SetValue("RPC\\HOSTS", "localhost", RegValue::String("127.0.0.2"));
  DropKeptRpcConnections(pool_);
  AnswerText answer;
  EXPECT_TRUE(Call("<Test/>", &answer, nullptr, "LOCALHOST")) << "hosts table before resolver";
}

TEST_F(RpcRuntimeTest, BadPeersLoseTheirConnectionAndOthersAreServed) {
  SetDword("RPC", "MaxFrameBytes", 4096);
  SetDword("RPC", "ConnectTimeoutMs", 300);
  SetDword("RPC", "CallTimeoutMs", 1000);
  TestServer server;
  Start(server);
  const std::vector<std::uint8_t> hello = rpc::BuildHello(kServiceProjectManager, "raw");
  auto header = [](FrameKind kind, std::uint32_t length) {
    std::vector<std::uint8_t> raw(rpc::kFrameHeaderSize);
    rpc::EncodeHeader({kind, 0, DATA_ID_REQUEST, 0, length}, raw.data());
    return raw;
  };
  auto damaged = [&](std::size_t offset, std::uint8_t value) {
    std::vector<std::uint8_t> raw = header(FrameKind::kStringRequest, 4);
    raw[offset] = value;
    raw.insert(raw.end(), {'a', 'b', 'c', 'd'});
    return raw;
  };
  std::vector<std::uint8_t> badHello = header(FrameKind::kHello, 4);
  badHello.insert(badHello.end(), {200, 0, 'x', 'y'});
  std::vector<std::uint8_t> halfBody = header(FrameKind::kStringRequest, 100);
  halfBody.resize(halfBody.size() + 50, 'x');
  const struct {
    const char* name;
    bool helloFirst;
    std::vector<std::uint8_t> bytes;
    bool closeAfterSend;
  } cases[] = {
      {"wrong magic", true, damaged(0, 'Z'), false},
      {"wrong version", true, damaged(4, 9), false},
      {"wrong magic before HELLO", false, damaged(1, 'Z'), false},
      {"length beyond maximum", true, header(FrameKind::kStringRequest, 4097), false},
      {"request before HELLO", false, damaged(5, 4), false},
      {"answer kind from a client", true, header(FrameKind::kStringAnswer, 0), false},
      {"malformed HELLO", false, badHello, false},
      {"closed mid-header", true, std::vector<std::uint8_t>(hello.begin(), hello.begin() + 7),
       true},
      {"closed mid-body", true, halfBody, true},
      {"stalled mid-body", true, halfBody, false},
      {"silent client", false, {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fd fd = ConnectRaw(server.port());
    ASSERT_GE(fd.get(), 0);
    if (c.helloFirst) {
      ASSERT_TRUE(SendAll(fd, hello));
      FrameHeader ack;
      std::vector<std::uint8_t> body;
      ASSERT_TRUE(ReadFrame(fd, &ack, &body));
      ASSERT_EQ(ack.kind, FrameKind::kHelloAck);
    }
    ASSERT_TRUE(SendAll(fd, c.bytes));
    if (c.closeAfterSend) ::shutdown(fd.get(), SHUT_WR);
    EXPECT_TRUE(PeerCloses(fd));
    AnswerText answer;
    EXPECT_TRUE(Call("<Test/>", &answer));
    EXPECT_EQ(answer, "Test Answered");
  }
  EXPECT_EQ(server.strings, static_cast<int>(std::size(cases))) << "no bad frame reached a handler";

  // 200 connections at once, some with a half frame, all dropped.
  std::vector<Fd> crowd;
  for (int i = 0; i < 200; ++i) {
    crowd.push_back(ConnectRaw(server.port()));
    if (i % 2 != 0)
      SendAll(crowd.back(), std::vector<std::uint8_t>(hello.begin(), hello.begin() + 9));
  }
  AnswerText answer;
  EXPECT_TRUE(Call("<Test/>", &answer)) << "served while 200 others are open";
  crowd.clear();
  EXPECT_TRUE(Call("<Test/>", &answer)) << "served after they dropped";
}

TEST_F(RpcRuntimeTest, IdleSessionGetsCloseBeforeTheServerEndsIt) {
  SetDword("RPC", "IdleConnectionMs", 100);  // the server waits at least a second
  TestServer server;
  Start(server);
  Fd fd = ConnectRaw(server.port());
  ASSERT_TRUE(SendAll(fd, rpc::BuildHello(kServiceProjectManager, "raw")));
  FrameHeader frame;
  std::vector<std::uint8_t> body;
  ASSERT_TRUE(ReadFrame(fd, &frame, &body));
  ASSERT_EQ(frame.kind, FrameKind::kHelloAck);
  ASSERT_TRUE(ReadFrame(fd, &frame, &body));
  EXPECT_EQ(frame.kind, FrameKind::kClose);
  // A request sent after CLOSE is never served.
  SendAll(fd, rpc::BuildFrame({FrameKind::kStringRequest, 0, DATA_ID_REQUEST}, "<Test/>"));
  EXPECT_TRUE(PeerCloses(fd));
  EXPECT_EQ(server.strings, 0);
}

TEST_F(RpcRuntimeTest, AnAnswerTakenSlowlyArrivesWholeOneNotTakenEndsItsConnection) {
  SetDword("RPC", "CallTimeoutMs", 1000);
  TestServer server;
  Start(server);
  std::vector<std::uint8_t> big(8u << 20);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  // A peer with a small receive buffer asks for an 8 MiB echo: the server writes what the
  // socket takes and waits for it to take more, serving the others meanwhile. Taken in pieces
  // with pauses, the answer arrives whole; not taken, it ends that connection after the call
  // timeout.
  for (const bool takes : {true, false}) {
    SCOPED_TRACE(takes ? "taken slowly" : "not taken");
    Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
    const int small = 64 * 1024;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const sockaddr_in to = Loopback(server.port());
    ASSERT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    SetReceiveTimeout(fd.get(), 5s);
    bool noKey = false;
    ASSERT_TRUE(fd.Secure(RpcTlsSession::Client(fd.get(), *CurrentKeyRing(), &noKey)));
    ASSERT_TRUE(SendAll(fd, rpc::BuildHello(kServiceProjectManager, "raw")));
    FrameHeader frame;
    std::vector<std::uint8_t> body;
    ASSERT_TRUE(ReadFrame(fd, &frame, &body));
    ASSERT_EQ(frame.kind, FrameKind::kHelloAck);
    ASSERT_TRUE(
        SendAll(fd, rpc::BuildFrame({FrameKind::kDataRequest, 0, 779}, big.data(), big.size())));
    AnswerText answer;
    EXPECT_TRUE(Call("<Test/>", &answer)) << "served while an answer waits for its peer";
    EXPECT_EQ(answer, "Test Answered");
    if (!takes) std::this_thread::sleep_for(1500ms);
    std::vector<std::uint8_t> taken;
    std::vector<std::uint8_t> chunk(64 * 1024);
    Step step = Step::kDone;
    for (int reads = 0; reads < 10000 && step == Step::kDone; ++reads) {
      if (takes && reads % 32 == 0) std::this_thread::sleep_for(5ms);
      std::size_t n = 0;
      step = fd.tls()->Read(chunk.data(), chunk.size(), &n);
      taken.insert(taken.end(), chunk.begin(), chunk.begin() + static_cast<long>(n));
      if (takes && taken.size() == rpc::kFrameHeaderSize + big.size()) break;
    }
    if (takes) {
      ASSERT_EQ(taken.size(), rpc::kFrameHeaderSize + big.size());
      EXPECT_TRUE(std::equal(big.begin(), big.end(), taken.begin() + rpc::kFrameHeaderSize));
    } else {
      EXPECT_TRUE(step == Step::kClosed || step == Step::kFailed) << "the server ended it";
      EXPECT_LT(taken.size(), big.size());
    }
  }
  EXPECT_EQ(server.datas, 2);
}

TEST_F(RpcRuntimeTest, KeptConnectionsAreReusedAndReplacedWhenThePeerClosedThem) {
  TestServer server;
  Start(server);
  AnswerText answer;
  ASSERT_TRUE(Call("<Test/>", &answer));
  ASSERT_TRUE(Call("<Test/>", &answer));
  EXPECT_EQ(server.connects, 1) << "the second client reused the kept connection";

  // The server restarts on the same port: the kept connection has been closed by it.
  const std::uint16_t port = server.port();
  ASSERT_TRUE(server.stopServer());
  TestServer restarted;
  ASSERT_TRUE(restarted.startServer(kServiceProjectManager, 0));
  ASSERT_EQ(restarted.port(), port);
  ASSERT_TRUE(Call("<Test/>", &answer));
  EXPECT_EQ(answer, "Test Answered");
  EXPECT_EQ(restarted.strings, 1) << "the request ran exactly once";
}

// A connection is kept only in the pool its client was handed: a client without one opens a
// connection at each Connect and keeps none, and another station's pool lends none of this one's.
TEST_F(RpcRuntimeTest, ConnectionsAreKeptOnlyInThePoolTheClientWasHanded) {
  TestServer server;
  Start(server);
  RpcConnectionPool otherStation;
  struct Use {
    const char* name;
    RpcConnectionPool* pool;
    int connects;  // the server's count of connections after the call
  };
  const Use uses[] = {
      {"the test's pool keeps the first connection", &pool_, 1},
      {"a client without a pool opens one", nullptr, 2},
      {"and keeps none for the next", nullptr, 3},
      {"another pool lends none of the test's", &otherStation, 4},
      {"and keeps its own", &otherStation, 4},
      {"the test's pool still holds the first", &pool_, 4},
  };
  for (const Use& use : uses) {
    SCOPED_TRACE(use.name);
    CRPCClientW client;
    if (use.pool != nullptr) client.setConnectionPool(*use.pool);
    ASSERT_TRUE(client.Connect(kServiceProjectManager, "127.0.0.1", "x"));
    AnswerText answer;
    EXPECT_TRUE(client.SendString(DATA_ID_REQUEST, "<Test/>", &answer));
    EXPECT_EQ(answer, "Test Answered");
    client.Disconnect();
    EXPECT_EQ(server.connects, use.connects);
  }
}

TEST_F(RpcRuntimeTest, ClientFollowsAMovedServiceWithoutBeingTold) {
  TestServer first;
  Start(first);
  AnswerText answer;
  ASSERT_TRUE(Call("<Test/>", &answer));
  ASSERT_TRUE(first.stopServer());
  // The service moves to another port; the client read the old one less than a second ago.
  TestServer second;
  SetDword("RPC\\PORTS", kServiceProjectManager, 0);
  ASSERT_TRUE(second.startServer(kServiceProjectManager, 0));
  SetDword("RPC\\PORTS", kServiceProjectManager, second.port());
  EXPECT_TRUE(Call("<Test/>", &answer));
  EXPECT_EQ(second.strings, 1);
}

TEST_F(RpcRuntimeTest, CloseAnswerMeansRetryAnyOtherEndMeansFailure) {
  std::atomic<int> served{0};
  // The first connection is closed with CLOSE instead of an answer; the second answers.
  FakeServer closing([&](int index, Fd& fd, const std::atomic<bool>&) {
    FrameHeader request;
    if (!AcceptHelloAndRequest(fd, &request)) return;
    if (index == 0) {
      SendAll(fd, rpc::BuildFrame({FrameKind::kClose}));
      return;
    }
    ++served;
    SendAll(fd, rpc::BuildFrame(
                    {FrameKind::kStringAnswer, rpc::kFlagAnswerPresent, DATA_ID_REQUEST, S_FALSE},
                    "fresh"));
  });
  PointServiceAt(closing.port());
  AnswerText answer;
  HRESULT result = E_UNEXPECTED;
  EXPECT_TRUE(Call("<Test/>", &answer, &result));
  EXPECT_EQ(answer, "fresh");
  EXPECT_EQ(result, S_FALSE);
  EXPECT_EQ(closing.accepted(), 2);
  EXPECT_EQ(served, 1);

  // Pipelined: the first answer came, then CLOSE; only the unanswered request goes again.
  std::mutex seenMutex;
  std::vector<std::uint8_t> seen;
  FakeServer pipelined([&](int index, Fd& fd, const std::atomic<bool>&) {
    FrameHeader request;
    std::vector<std::uint8_t> body;
    if (!AcceptHelloAndRequest(fd, &request)) return;
    for (int i = 0;; ++i) {
      if (i != 0 && !ReadFrame(fd, &request, &body)) return;
      if (index == 0 && i == 1) {
        SendAll(fd, rpc::BuildFrame({FrameKind::kClose}));
        return;
      }
      {
        std::lock_guard lock(seenMutex);
        seen.push_back(static_cast<std::uint8_t>(request.dataId));
      }
      SendAll(fd, rpc::BuildFrame({FrameKind::kDataAnswer, 0, request.dataId}));
    }
  });
  PointServiceAt(pipelined.port());
  {
    CRPCClientW client;
    client.setConnectionPool(pool_);
    ASSERT_TRUE(client.Connect(kServiceProjectManager, "127.0.0.1", "x"));
    ASSERT_TRUE(client.PostData(1, nullptr, 0));
    ASSERT_TRUE(client.PostData(2, nullptr, 0));
    ByteBlock block;
    EXPECT_TRUE(client.ReceiveData(&block));
    EXPECT_TRUE(client.ReceiveData(&block));
    ASSERT_TRUE(client.PostData(3, nullptr, 0));
    EXPECT_TRUE(client.ReceiveData(&block));
  }
  {
    std::lock_guard lock(seenMutex);
    EXPECT_EQ(seen, (std::vector<std::uint8_t>{1, 2, 3}));
  }

  SetDword("RPC", "CallTimeoutMs", 300);
  // The connection ends without CLOSE after the request went out (it may have run); a server
  // that never answers; a server that answers with garbage.
  FakeServer dropping([](int, Fd& fd, const std::atomic<bool>&) {
    FrameHeader request;
    AcceptHelloAndRequest(fd, &request);
  });
  FakeServer mute([](int, Fd& fd, const std::atomic<bool>& stop) {
    FrameHeader request;
    AcceptHelloAndRequest(fd, &request);
    while (!stop) std::this_thread::sleep_for(10ms);
  });
  FakeServer garbage([](int, Fd& fd, const std::atomic<bool>&) {
    FrameHeader request;
    if (AcceptHelloAndRequest(fd, &request))
      SendAll(fd, std::vector<std::uint8_t>(rpc::kFrameHeaderSize, 0xEE));
  });
  for (FakeServer* peer : {&dropping, &mute, &garbage}) {
    PointServiceAt(peer->port());
    const auto begin = Clock::now();
    AnswerText none;
    EXPECT_FALSE(Call("<Test/>", &none, &result));
    EXPECT_EQ(result, E_FAIL);
    EXPECT_EQ(none, std::nullopt);
    EXPECT_LT(Clock::now() - begin, 2s) << "ends with the call timeout";
    EXPECT_EQ(peer->accepted(), 1) << "no retry";
  }
}

TEST_F(RpcRuntimeTest, StopWaitsForARunningHandlerAndItsAnswerGoesOut) {
  TestServer server;
  Start(server);
  AnswerText answer;
  bool sent = false;
  std::thread caller([&] { sent = Call("gate", &answer); });
  ASSERT_TRUE(server.WaitInGate());
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    server.stopServer();
    stopped = true;
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(stopped) << "stopServer returned while a handler ran";
  server.OpenGate();
  stopper.join();
  caller.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(answer, "after gate");
  EXPECT_FALSE(Call("<Test/>", &answer)) << "stopped";
}

TEST_F(RpcRuntimeTest, PipelinedDataAnswersComeBackInOrder) {
  TestServer server;
  Start(server);
  CRPCClientW client;
  client.setConnectionPool(pool_);
  ASSERT_TRUE(client.Connect(kServiceProjectManager, "127.0.0.1", "x"));
  for (std::uint8_t i = 0; i < CRPCClientW::kMaxInFlight; ++i) {
    const std::uint8_t block[] = {i, static_cast<std::uint8_t>(i * 3)};
    ASSERT_TRUE(client.PostData(DATA_ID_READ_FILE, block, sizeof block));
  }
  const std::uint8_t extra[] = {99};
  EXPECT_FALSE(client.PostData(DATA_ID_READ_FILE, extra, 1)) << "beyond kMaxInFlight";
  AnswerText text;
  EXPECT_FALSE(client.SendString(DATA_ID_REQUEST, "<Test/>", &text)) << "answers outstanding";
  EXPECT_EQ(client.InFlight(), CRPCClientW::kMaxInFlight);
  for (std::uint8_t i = 0; i < CRPCClientW::kMaxInFlight; ++i) {
    ByteBlock answer;
    ASSERT_TRUE(client.ReceiveData(&answer));
    EXPECT_EQ(answer, (ByteBlock{i, static_cast<std::uint8_t>(i * 3)}));
  }
  ByteBlock none;
  EXPECT_FALSE(client.ReceiveData(&none)) << "nothing posted";
  EXPECT_EQ(client.InFlight(), 0);

  // A client that leaves with answers pending must not hand them to the next one.
  ASSERT_TRUE(client.PostData(DATA_ID_READ_FILE, extra, 1));
  client.Disconnect();
  ASSERT_TRUE(Call("<Test/>", &text));
  EXPECT_EQ(text, "Test Answered");
}

TEST_F(RpcRuntimeTest, SixteenThreadsCallAtOnce) {
  TestServer server;
  Start(server);
  constexpr int kThreads = 16;
  constexpr int kCalls = 40;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        const std::string text = std::to_string(t) + "/" + std::to_string(i);
        AnswerText answer;
        if (Call(text, &answer) && answer == "echo 777 " + text) ++good;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(good, kThreads * kCalls);
  EXPECT_EQ(server.strings, kThreads * kCalls);
  EXPECT_LE(server.connects, kThreads * 2) << "connections are reused";
}

TEST_F(RpcRuntimeTest, ConcurrentStopsRunOnce) {
  for (int round = 0; round < 20; ++round) {
    TestServer server;
    Start(server);
    AnswerText answer;
    ASSERT_TRUE(Call("<Test/>", &answer));
    std::atomic<int> ready{0};
    std::atomic<int> stopped{0};
    auto stop = [&] {
      ++ready;
      while (ready < 2) std::this_thread::yield();
      if (server.stopServer()) ++stopped;
      EXPECT_FALSE(server.IsRunning()) << "returned before the stop had finished";
    };
    std::thread first(stop);
    std::thread second(stop);
    first.join();
    second.join();
    EXPECT_EQ(stopped, 1);
  }
}

TEST_F(RpcRuntimeTest, TricklingClientsMeetTheDeadlineOfTheWholeExchange) {
  SetDword("RPC", "ConnectTimeoutMs", 400);
  SetDword("RPC", "CallTimeoutMs", 800);
  TestServer server;
  Start(server);
  const std::vector<std::uint8_t> hello = rpc::BuildHello(kServiceProjectManager, "raw");
  const std::vector<std::uint8_t> request =
      rpc::BuildFrame({FrameKind::kStringRequest, 0, DATA_ID_REQUEST}, "<Test/>");
  const struct {
    const char* name;
    bool helloFirst;
    const std::vector<std::uint8_t>& trickled;
    std::chrono::milliseconds limit;
  } cases[] = {{"HELLO", false, hello, 400ms}, {"request frame", true, request, 800ms}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fd fd = ConnectRaw(server.port());
    if (c.helloFirst) {
      ASSERT_TRUE(SendAll(fd, hello));
      FrameHeader ack;
      std::vector<std::uint8_t> body;
      ASSERT_TRUE(ReadFrame(fd, &ack, &body));
    }
    // One byte every 50 ms, never the whole frame; stop when the server closes.
    const auto begin = Clock::now();
    bool closed = false;
    for (std::size_t i = 0; i + 1 < c.trickled.size() && !closed && Clock::now() - begin < 4s;
         ++i) {
      closed = !SendAll(fd, {c.trickled[i]});
      pollfd entry{fd.get(), POLLIN, 0};
      if (!closed && ::poll(&entry, 1, 50) == 1) closed = PeerCloses(fd);
    }
    EXPECT_TRUE(closed);
    EXPECT_LT(Clock::now() - begin, c.limit + 600ms);
  }
  AnswerText answer;
  EXPECT_TRUE(Call("<Test/>", &answer));
}

// A keyed connection that has sent HELLO and got its acknowledgement.
Fd ConnectWithHello(std::uint16_t port) {
  Fd fd = ConnectRaw(port);
  FrameHeader ack;
  std::vector<std::uint8_t> body;
  if (fd.get() < 0 || !SendAll(fd, rpc::BuildHello(kServiceProjectManager, "raw")) ||
      !ReadFrame(fd, &ack, &body) || ack.kind != FrameKind::kHelloAck)
    return Fd();
  return fd;
}

// The header of a data request announcing length body bytes, and sent of them.
std::vector<std::uint8_t> PartialFrame(std::uint32_t length, std::size_t sent) {
  std::vector<std::uint8_t> frame(rpc::kFrameHeaderSize);
  rpc::EncodeHeader({FrameKind::kDataRequest, 0, 1, 0, length}, frame.data());
  frame.resize(frame.size() + sent, 'x');
  return frame;
}

// The budget is 1 MiB, so one connection may hold 256 KiB of it.
TEST_F(RpcRuntimeTest, BufferBudgetIsChargedByTheBytesThatCameWithinEachConnectionsShare) {
  SetDword("RPC", "BufferBudgetBytes", 1u << 20);
  SetDword("RPC", "MaxFrameBytes", 4u << 20);
  SetDword("RPC", "CallTimeoutMs", 10000);
  TestServer server;
  Start(server);
  const std::vector<std::uint8_t> block(40u << 10, 7);
  auto blockIsServed = [&] {
    CRPCClientW client;
    client.setConnectionPool(pool_);
    ByteBlock answer;
    return client.Connect(kServiceProjectManager, "127.0.0.1", "/usr/bin/rpc-test") &&
           client.SendData(DATA_ID_READ_FILE, block.data(), block.size(), &answer) &&
           answer.size() == block.size();
  };
  const struct {
    const char* name;
    int holders;
    std::uint32_t announced;
    std::size_t sent;
    bool lastRefused;  // the last holder loses its connection
  } cases[] = {
      // Headers alone would have pinned the whole budget while they wait for their bodies.
      {"four headers announcing a quarter each", 4, (256u << 10) - 20, 0, false},
      {"a frame above one connection's share", 1, 300u << 10, 0, true},
      // 234 KiB held each: the fifth does not fit what is left.
      {"bytes that came, beyond the budget", 5, 250u << 10, 230u << 10, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Fd> holders;
    for (int i = 0; i < c.holders; ++i) {
      holders.push_back(ConnectWithHello(server.port()));
      ASSERT_GE(holders.back().get(), 0);
      SetReceiveTimeout(holders.back().get(), 1s);
      // The refused one may see its connection end while its TLS records still go out.
      SendAll(holders.back(), PartialFrame(c.announced, c.sent));
      std::this_thread::sleep_for(100ms);  // the server has read what came
    }
    if (c.lastRefused) {
      EXPECT_TRUE(PeerCloses(holders.back()));
      holders.pop_back();
    }
    for (Fd& holder : holders) {
      std::uint8_t byte;
      EXPECT_EQ(::recv(holder.get(), &byte, 1, MSG_DONTWAIT), -1) << "still open";
    }
    AnswerText answer;
    EXPECT_TRUE(Call("<Test/>", &answer)) << "frames of one read buffer need no budget";
    if (!c.lastRefused) {
      EXPECT_TRUE(blockIsServed()) << "40 KiB fit what the headers left";
    }
  }
  EXPECT_TRUE(blockIsServed()) << "the budget is whole again once the holders went";
}

// The descriptors this process has open.
std::size_t OpenDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

// Sets the soft descriptor limit until the end of the scope.
class ScopedDescriptorLimit {
 public:
  ScopedDescriptorLimit() { ::getrlimit(RLIMIT_NOFILE, &original_); }
  ~ScopedDescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &original_); }
  ScopedDescriptorLimit(const ScopedDescriptorLimit&) = delete;
  ScopedDescriptorLimit& operator=(const ScopedDescriptorLimit&) = delete;
  bool Set(rlim_t soft) {
    rlimit limit = original_;
    limit.rlim_cur = std::min(soft, original_.rlim_max);
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
  }
  const rlimit& original() const { return original_; }

 private:
  rlimit original_{};
};

// A child process that keeps `count` TCP connections to port open without sending a byte and
// opens a new one for each that the server closes, until the parent ends it (or 30 s passed).
// The child makes only system calls, and its own descriptors do not count against this
// process's limit.
class SilentFlood {
 public:
  SilentFlood(std::uint16_t port, std::size_t count, const rlimit& childLimit) : polls_(count + 1) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return;
    const sockaddr_in to = Loopback(port);
    child_ = ::fork();
    if (child_ == 0) {
      ::close(pipeFds[1]);
      ::setrlimit(RLIMIT_NOFILE, &childLimit);
      Run(to, pipeFds[0]);
      ::_exit(0);
    }
    ::close(pipeFds[0]);
    stop_ = pipeFds[1];
  }
  ~SilentFlood() {
    if (stop_ >= 0) ::close(stop_);
    if (child_ <= 0) return;
    for (int i = 0; i < 500 && ::waitpid(child_, nullptr, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(10ms);
    if (::kill(child_, 0) == 0) {
      ::kill(child_, SIGKILL);
      ::waitpid(child_, nullptr, 0);
    }
  }
  SilentFlood(const SilentFlood&) = delete;
  SilentFlood& operator=(const SilentFlood&) = delete;
  bool running() const { return child_ > 0; }

 private:
  void Run(const sockaddr_in& to, int stop) {
    // The flood comes from a host of its own (127.0.0.2), as a peer without a key does.
    const sockaddr_in from = Loopback(0, 0x7F000002);
    auto open = [&](pollfd* entry) {
      entry->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      entry->events = POLLIN;
      if (entry->fd < 0) return;
      ::bind(entry->fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
      ::connect(entry->fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };
    polls_[0] = pollfd{stop, POLLIN, 0};
    for (std::size_t i = 1; i < polls_.size(); ++i) open(&polls_[i]);
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
      ::poll(polls_.data(), polls_.size(), 10);
      if (polls_[0].revents != 0) return;  // the parent closed the pipe
      timespec now{};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      if (now.tv_sec - start.tv_sec > 30) return;
      for (std::size_t i = 1; i < polls_.size(); ++i) {
        if (polls_[i].fd >= 0 && polls_[i].revents == 0) continue;
        if (polls_[i].fd >= 0) ::close(polls_[i].fd);
        open(&polls_[i]);  // the server closed it: reconnect at once
      }
    }
  }

  std::vector<pollfd> polls_;  // made before the fork: the child allocates nothing
  pid_t child_ = -1;
  int stop_ = -1;
};

// Stations must be served while silent peers without a key, from another host, take every
// descriptor they can, whether the server saw the low limit at its start or runs out of
// descriptors later. (A flood from the station's own address is the slots' unit test: there
// only the bytes a keyed peer has sent tell it from the flood.)
TEST_F(RpcRuntimeTest, SilentKeylessFloodDoesNotCrowdOutKeyedClients) {
  // Long enough for a connect whose SYN met a full backlog to be sent again twice (1 s, 3 s).
  SetDword("RPC", "ConnectTimeoutMs", 5000);
  constexpr std::size_t kSilent = 400;
  constexpr rlim_t kRoom = 150;  // descriptors this process may open beyond those it has
  const struct {
    const char* name;
    bool limitBeforeStart;
  } cases[] = {{"caps follow the limit at the start", true},
               {"descriptors run out after the start", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedDescriptorLimit limit;
    TestServer server;
    if (c.limitBeforeStart) {
      ASSERT_TRUE(limit.Set(OpenDescriptors() + kRoom));
    }
    Start(server);
    if (!c.limitBeforeStart) {
      ASSERT_TRUE(limit.Set(OpenDescriptors() + kRoom));
    }
    SilentFlood flood(server.port(), kSilent, limit.original());
    ASSERT_TRUE(flood.running());
    std::this_thread::sleep_for(300ms);  // the flood fills what it can
    int served = 0;
    for (int i = 0; i < 5; ++i) {
      AnswerText answer;
      if (Call("<Test/>", &answer) && answer == "Test Answered") ++served;
    }
    EXPECT_EQ(served, 5);
  }
}

TEST_F(RpcRuntimeTest, SlowHandlersStallNeitherAcceptsNorOtherSessions) {
  SetDword("RPC", "ServerThreads", 1);
  SetDword("RPC", "HandlerThreads", 2);
  SetDword("RPC", "HandlerQueue", 1);
  TestServer server;
  Start(server);
  // Two handlers run and one waits in the queue.
  std::vector<std::thread> callers;
  std::atomic<int> answered{0};
  for (int i = 0; i < 3; ++i) {
    callers.emplace_back([&] {
      AnswerText answer;
      if (Call("gate", &answer) && answer == "after gate") ++answered;
    });
    if (i < 2) {
      EXPECT_TRUE(server.WaitInGate(i + 1));
    }
  }
  std::this_thread::sleep_for(200ms);  // the third request is queued
  const auto begin = Clock::now();
  AnswerText answer = "stale";
  HRESULT result = S_OK;
  EXPECT_TRUE(Call("<Test/>", &answer, &result)) << "a new connection is accepted";
  EXPECT_EQ(result, RPC_E_SERVERCALL_RETRYLATER);
  EXPECT_EQ(answer, std::nullopt);
  EXPECT_LT(Clock::now() - begin, 500ms) << "a full queue answers at once";
  server.OpenGate();
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(answered, 3);
}

TEST_F(RpcRuntimeTest, StopLeavesAHangingHandlerAfterTheGrace) {
  SetDword("RPC", "StopGraceMs", 300);
  SetDword("RPC", "CallTimeoutMs", 1000);
  TestServer server;
  Start(server);
  std::thread caller([this] {
    AnswerText answer;
    Call("gate", &answer);
  });
  ASSERT_TRUE(server.WaitInGate());
  const std::size_t leftBefore = RpcHandlersLeftRunning();
  const auto begin = Clock::now();
  EXPECT_TRUE(server.stopServer());
  EXPECT_LT(Clock::now() - begin, 1500ms);
  EXPECT_EQ(RpcHandlersLeftRunning(), leftBefore + 1);
  // The handler returns later into state that is still there.
  server.OpenGate();
  caller.join();
  for (int i = 0; i < 500 && server.leftGate == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(server.leftGate, 1);
  // Its connection closes after the answer: the session must not call the owner, which its
  // owner may destroy at once (here at the end of the test).
  const int disconnects = server.disconnects;
  DropKeptRpcConnections(pool_);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(server.disconnects, disconnects);
}

TEST_F(RpcRuntimeTest, NameResolutionAndRetryShareOneConnectTimeout) {
  SetDword("RPC", "ConnectTimeoutMs", 500);
  auto silent = [](int, Fd&, const std::atomic<bool>& stop) {
    while (!stop) std::this_thread::sleep_for(10ms);
  };
  FakeServer first(silent);
  FakeServer second(silent);
  // The client still holds the first port; the registry already names the second.
  PointServiceAt(first.port());
  ASSERT_EQ(CachedServicePort(kServiceProjectManager), first.port());
  SetDword("RPC\\PORTS", kServiceProjectManager, second.port());
  const auto begin = Clock::now();
  CRPCClientW client;
  client.setConnectionPool(pool_);
  EXPECT_FALSE(client.Connect(kServiceProjectManager, "127.0.0.1", "x"));
  EXPECT_LT(Clock::now() - begin, 850ms) << "the retry got a connect timeout of its own";
}

// The rings that the test's client and server take their keys from, row by row.
Mutex ringsMutex;
std::shared_ptr<const KeyRing> clientRing GUARDED_BY(ringsMutex);
std::shared_ptr<const KeyRing> serverRing GUARDED_BY(ringsMutex);
std::shared_ptr<const KeyRing> ClientRing() {
  MutexLock lock(&ringsMutex);
  return clientRing;
}
std::shared_ptr<const KeyRing> ServerRing() {
  MutexLock lock(&ringsMutex);
  return serverRing;
}

// A ring of the given keys with the one in use (0: none).
std::shared_ptr<const KeyRing> Ring(std::vector<ClusterKey> keys, std::uint32_t inUse) {
  auto ring = std::make_shared<KeyRing>();
  ring->keys = std::move(keys);
  ring->inUse = inUse;
  return ring;
}

TEST_F(RpcRuntimeTest, OnlyPeersHoldingAKeyOfTheServersRingAreServed) {
  const std::optional<ClusterKey> oldKey = GenerateClusterKey(true);
  const std::optional<ClusterKey> newKey = GenerateClusterKey(true);
  ASSERT_TRUE(oldKey && newKey);
  const std::uint32_t a = oldKey->id;
  const std::uint32_t b = newKey->id;
  TestServer server;
  server.setKeyRingSource(&ServerRing);
  Start(server);
  const struct {
    const char* name;
    std::shared_ptr<const KeyRing> client;
    std::shared_ptr<const KeyRing> server;
    bool served;
  } cases[] = {
      {"matching key", Ring({*oldKey}, a), Ring({*oldKey}, a), true},
      {"wrong key on the client", Ring({*newKey}, b), Ring({*oldKey}, a), false},
      {"no key in use on the client", Ring({*oldKey}, 0), Ring({*oldKey}, a), false},
      {"server ring without the key", Ring({*oldKey}, a), Ring({*newKey}, b), false},
      {"empty server ring", Ring({*oldKey}, a), Ring({}, 0), false},
      // A rotation: the server holds old and new, clients switch one after the other.
      {"rotation, client still on the old key", Ring({*oldKey, *newKey}, a),
       Ring({*oldKey, *newKey}, a), true},
      {"rotation, client on the new key", Ring({*oldKey, *newKey}, b), Ring({*oldKey, *newKey}, a),
       true},
      {"rotation done", Ring({*newKey}, b), Ring({*newKey}, b), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      MutexLock lock(&ringsMutex);
      clientRing = c.client;
      serverRing = c.server;
    }
    DropKeptRpcConnections(pool_);  // every row makes a new connection
    const int strings = server.strings;
    CRPCClientW client;
    client.setConnectionPool(pool_);
    client.setKeyRingSource(&ClientRing);
    const bool connected = client.Connect(kServiceProjectManager, "127.0.0.1", "x");
    EXPECT_EQ(connected, c.served);
    if (!connected) {
      EXPECT_EQ(client.lastResult, kRpcAuthenticationFailed);
    }
    AnswerText answer;
    EXPECT_EQ(client.SendString(DATA_ID_REQUEST, "<Test/>", &answer), c.served);
    EXPECT_EQ(server.strings, strings + (c.served ? 1 : 0));
  }

  // A handler learns which key its peer was authenticated with, and from where it called.
  for (const std::uint32_t used : {a, b}) {
    SCOPED_TRACE(used);
    {
      MutexLock lock(&ringsMutex);
      clientRing = Ring({*oldKey, *newKey}, used);
      serverRing = Ring({*oldKey, *newKey}, a);
    }
    DropKeptRpcConnections(pool_);
    CRPCClientW client;
    client.setConnectionPool(pool_);
    client.setKeyRingSource(&ClientRing);
    ASSERT_TRUE(client.Connect(kServiceProjectManager, "127.0.0.1", "x"));
    AnswerText answer;
    ASSERT_TRUE(client.SendString(DATA_ID_REQUEST, "caller", &answer));
    client.Disconnect();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->rfind("127.0.0.1:", 0), 0u) << *answer;
    EXPECT_EQ(answer->substr(answer->find(' ') + 1), std::to_string(used));
  }
  EXPECT_FALSE(CurrentRpcCaller().has_value()) << "no caller outside a handler";

  // Peers that do not speak TLS: a plain HELLO, noise. Refused; the next client (of the
  // process's ring, which the server now takes too) is served.
  {
    MutexLock lock(&ringsMutex);
    serverRing = CurrentKeyRing();
  }
  const std::vector<std::uint8_t> noise(300, 0x5A);
  for (const auto& bytes : {rpc::BuildHello(kServiceProjectManager, "plain"), noise}) {
    Fd fd = ConnectTcp(server.port());
    ASSERT_GE(fd.get(), 0);
    ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(PeerCloses(fd));
    const int connects = server.connects;
    AnswerText answer;
    DropKeptRpcConnections(pool_);
    EXPECT_TRUE(Call("<Test/>", &answer));
    EXPECT_EQ(answer, "Test Answered");
    EXPECT_EQ(server.connects, connects + 1) << "only the good client got past HELLO";
  }
}

}  // namespace
}  // namespace qx
