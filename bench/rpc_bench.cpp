// rpc_bench.cpp - the cost of one remote command round trip against plain TCP.
//
// BM_RpcRoundTrip does what a remote command does for each iteration: a new CRPCClientW,
// Connect to the station by name, SendString (data id 777, "<Test/>") answered "Test Answered"
// by a CRPCServerW subclass, Disconnect; over TLS with the cluster key, as stations speak.
// BM_RpcRoundTripPlain is the same over plain TCP (the benchmark switch of rpc_internal.h).
// BM_TcpPingPong sends the same byte counts (request and answer frames) over one open
// blocking TCP connection to an echo thread. The goals: the plain round trip at most 1.3 times
// the ping-pong, the TLS one at most 1.5 times. BM_RpcRoundTrip16Threads runs the round trip on
// 16 threads at once and counts failures (it stops at the first). BM_StationRoundTrip sends the
// same request to a station's own server (CSERVER), whose answer path records each request in
// the audit trail (a file in the benchmark's directory): the round trip that stations see.
// Only loopback traffic (127.0.0.1); iterations are bounded by Google Benchmark's time limit.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "keys/cluster_keys.h"
#include "module/module_root.h"
#include "module/station_wiring.h"
#include "registry/store/registry_store.h"
#include "rpc/rpc.h"
#include "rpc/rpc_frame.h"
#include "rpc/rpc_internal.h"
#include "rpc/rpc_settings.h"
#include "server/remote_server.h"
#include "station/station.h"

namespace {

constexpr const char* kStation = "BENCHPEER";
constexpr const char* kRequest = "<Test/>";
constexpr const char* kAnswer = "Test Answered";
// The service of the station's own server: no role of its own, a port of the benchmark's.
constexpr const char* kStationService = "6A0F3C1E-2B4D-4E8F-9A7B-5C3D2E1F0A9B";

void SetValue(const std::string& subkey, const std::string& name, const qx::RegValue& value) {
  qx::RegistryStore& store = qx::Registry();
  qx::KeyId root = 0;
  qx::KeyId key = 0;
  store.RootKey(qx::RegRoot::kLocalMachine, &root);
  store.CreateKey(root, "SOFTWARE\\TOLVAR\\NORVANE\\" + subkey, &key);
  store.SetValue(key, name, value);
}

class TestAnswerServer : public qx::CRPCServerW {
 public:
  ~TestAnswerServer() override { stopServer(); }
  bool onReceiveString(std::uint16_t, std::uint32_t dataId, const std::string& text,
                       qx::AnswerText* answer) override {
    if (dataId != qx::DATA_ID_REQUEST || text != kRequest) return false;
    *answer = kAnswer;
    return true;
  }
};

// A temporary station registry and a running server, shared by every benchmark.
struct RpcStation {
  RpcStation() {
    char pattern[] = "/tmp/qx-rpc-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) std::abort();
    dir = pattern;
    // The key ring lies beside the registry; client and server share it.
    ::setenv("QX_REGISTRY", (dir + "/registry.db").c_str(), 1);
    if (qx::CreateStationRegistry() != qx::RegStatus::kOk) std::abort();
    qx::KeyRing ring;
    if (!qx::LoadOrCreateKeyRing(qx::KeyRingPath(), &ring, nullptr)) std::abort();
    SetValue("RPC\\PORTS", qx::kServiceProjectManager, qx::RegValue::Dword(0));
    SetValue("RPC\\HOSTS", kStation, qx::RegValue::String("127.0.0.1"));
    if (!server.startServer(qx::kServiceProjectManager, 0)) std::abort();
    SetValue("RPC\\PORTS", qx::kServiceProjectManager, qx::RegValue::Dword(server.port()));
    SetValue("AUDIT", "Destination", qx::RegValue::String("file"));
    SetValue("AUDIT", "File", qx::RegValue::String(dir + "/audit.jsonl"));
    SetValue("RPC\\PORTS", kStationService, qx::RegValue::Dword(0));
    if (station.startRemoteServer(kStationService) != qx::S_OK) std::abort();
    SetValue("RPC\\PORTS", kStationService, qx::RegValue::Dword(station.port()));
    qx::DropKeptRpcConnections(qx::ModuleStation().rpcPool());
  }
  ~RpcStation() {
    qx::DropKeptRpcConnections(qx::ModuleStation().rpcPool());
    station.stopRemoteServer();
    server.stopServer();
    std::filesystem::remove_all(dir);
  }
  std::string dir;
  TestAnswerServer server;
  qx::CSERVER station{qx::ModuleStation()};
};

RpcStation& Station() {
  static RpcStation station;
  return station;
}

bool RoundTrip(const char* service = qx::kServiceProjectManager) {
  qx::CRPCClientW client;
  client.setConnectionPool(qx::ModuleStation().rpcPool());  // as the module's commands do
  if (!client.Connect(service, kStation, "/usr/bin/rpc_bench")) return false;
  qx::AnswerText answer;
  const bool sent = client.SendString(qx::DATA_ID_REQUEST, kRequest, &answer);
  client.Disconnect();
  return sent && client.lastResult == qx::S_OK && answer == kAnswer;
}

void BM_RpcRoundTrip(benchmark::State& state) {
  Station();
  for (auto _ : state) {
    if (!RoundTrip()) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RpcRoundTrip)->UseRealTime();

void BM_StationRoundTrip(benchmark::State& state) {
  Station();
  for (auto _ : state) {
    if (!RoundTrip(kStationService)) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StationRoundTrip)->UseRealTime();

void BM_RpcRoundTripPlain(benchmark::State& state) {
  Station();
  qx::SetRpcPlaintextForBenchmark(true);
  qx::DropKeptRpcConnections(qx::ModuleStation().rpcPool());
  for (auto _ : state) {
    if (!RoundTrip()) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  qx::DropKeptRpcConnections(qx::ModuleStation().rpcPool());
  qx::SetRpcPlaintextForBenchmark(false);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RpcRoundTripPlain)->UseRealTime();

void BM_RpcRoundTrip16Threads(benchmark::State& state) {
  Station();
  std::int64_t failures = 0;
  for (auto _ : state) {
    if (!RoundTrip()) {
      ++failures;
      state.SkipWithError("round trip failed");
      break;
    }
  }
  state.counters["failures"] = benchmark::Counter(static_cast<double>(failures));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RpcRoundTrip16Threads)->Threads(16)->UseRealTime();

// The same byte counts over one open connection: request and answer frames of the round trip.
constexpr std::size_t kRequestBytes = qx::rpc::kFrameHeaderSize + 7;  // "<Test/>"
constexpr std::size_t kAnswerBytes = qx::rpc::kFrameHeaderSize + 13;  // "Test Answered"

bool ReadFull(int fd, char* out, std::size_t size) {
  while (size != 0) {
    const ssize_t n = ::recv(fd, out, size, 0);
    if (n <= 0) return false;
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteFull(int fd, const char* data, std::size_t size) {
  while (size != 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

struct PingPong {
  PingPong() {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length) != 0)
      std::abort();
    client = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) std::abort();
    server = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    const int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    echo = std::thread([this] {
      char in[kRequestBytes];
      char out[kAnswerBytes] = {};
      while (ReadFull(server, in, sizeof in) && WriteFull(server, out, sizeof out)) {
      }
    });
  }
  ~PingPong() {
    ::shutdown(client, SHUT_RDWR);
    echo.join();
    ::close(client);
    ::close(server);
  }
  int client = -1;
  int server = -1;
  std::thread echo;
};

void BM_TcpPingPong(benchmark::State& state) {
  PingPong link;
  char request[kRequestBytes] = {};
  char answer[kAnswerBytes];
  for (auto _ : state) {
    if (!WriteFull(link.client, request, sizeof request) ||
        !ReadFull(link.client, answer, sizeof answer)) {
      state.SkipWithError("ping-pong failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TcpPingPong)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  qx::ConnectStationLayers();  // as the module's load does
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
