// copy_bench.cpp - the remote file copy against a plain TCP block loop and cp.
//
// One 256 MiB file is made once in a temp directory (removed at the end); each benchmark
// copies it to a second file of that directory:
//   BM_RemoteCopyFile256MiB  RemoteCopyFile with 64 KiB blocks from the station's own server
//                            object (CSERVER, project-manager service) on 127.0.0.1, over TLS
//                            with the cluster key as every station does;
//   BM_RemoteCopyFilePlain256MiB  the same over plain TCP (the benchmark switch of
//                            rpc_internal.h): what TLS costs the copy;
//   BM_TcpBlockLoop256MiB    the same request-per-block loop over one plain TCP connection:
//                            the client sends a 16-byte request, the server preads 64 KiB of
//                            the file and sends it back, the client writes it to the copy;
//   BM_CpFile256MiB          /bin/cp of the file.
// The registry and runtime directory are temporary ones; all traffic stays on 127.0.0.1.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/remote_file.h"
#include "keys/cluster_keys.h"
#include "module/module_root.h"
#include "module/station_wiring.h"
#include "registry/store/registry_store.h"
#include "rpc/rpc_internal.h"
#include "rpc/rpc_settings.h"
#include "server/remote_file_answers.h"
#include "server/remote_server.h"
#include "trace/trace.h"

extern char** environ;

namespace {

constexpr std::uint64_t kFileBytes = 256ull << 20;
constexpr std::uint32_t kBlock = 64u << 10;

struct Setup {
  std::filesystem::path dir;
  std::string source;
  std::string copy;
  std::string error;  // why the benchmarks cannot run
};
Setup setup;

void SetValue(const std::string& path, const std::string& name, const qx::RegValue& value) {
  qx::RegistryStore& store = qx::Registry();
  qx::KeyId root = 0, key = 0;
  store.RootKey(qx::RegRoot::kLocalMachine, &root);
  store.CreateKey(root, path, &key);
  store.SetValue(key, name, value);
}

std::uint16_t FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

bool Prepare() {
  char pattern[] = "/tmp/qxcopybench.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    setup.error = "mkdtemp failed";
    return false;
  }
  setup.dir = pattern;
  // The source, one copy and some room.
  if (std::filesystem::space(setup.dir).available < 3 * kFileBytes) {
    setup.error = "not enough free space in /tmp";
    return false;
  }
  setup.source = (setup.dir / "source.bin").string();
  setup.copy = (setup.dir / "copy.bin").string();
  std::filesystem::create_directories(setup.dir / "run");
  ::setenv("QX_REGISTRY", (setup.dir / "registry.db").c_str(), 1);
  ::setenv("QX_RUNTIME_DIR", (setup.dir / "run").c_str(), 1);
  // The benchmark owns its station: it makes the registry, as the agent does at its start.
  if (qx::CreateStationRegistry() != qx::RegStatus::kOk) {
    setup.error = "cannot create the station's registry";
    return false;
  }
  qx::KeyRing ring;
  if (!qx::LoadOrCreateKeyRing(qx::KeyRingPath(), &ring, &setup.error)) return false;
  SetValue("SOFTWARE\\TOLVAR\\NORVANE\\RPC\\PORTS", qx::kServiceProjectManager,
           qx::RegValue::Dword(FreeLoopbackPort()));
  SetValue("SOFTWARE\\TOLVAR\\NORVANE\\SECURITY", "FileRoots",
           qx::RegValue::String(setup.dir.string()));

  std::FILE* out = std::fopen(setup.source.c_str(), "wb");
  if (out == nullptr) {
    setup.error = "cannot create the source file";
    return false;
  }
  std::vector<std::uint8_t> block(1 << 20);
  std::uint32_t x = 12345;
  for (std::uint64_t written = 0; written < kFileBytes; written += block.size()) {
    for (auto& b : block) b = static_cast<std::uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    std::fwrite(block.data(), 1, block.size(), out);
  }
  std::fclose(out);
  return true;
}

void RemoveCopy(benchmark::State& state) {
  state.PauseTiming();
  std::filesystem::remove(setup.copy);
  state.ResumeTiming();
}

// Copies the file from the holder on 127.0.0.1 once per iteration, in 64 KiB blocks. One
// untimed copy comes first, so that whichever benchmark runs first does not pay for the page
// cache, the connection and the handshake that the others find ready.
void CopyFromLoopback(benchmark::State& state) {
  const std::string request = "<RemoteCopy><HOST>127.0.0.1</HOST><SOURCE>" + setup.source +
                              "</SOURCE><DESTINATION>" + setup.copy +
                              "</DESTINATION><BUFFER>65536</BUFFER></RemoteCopy>";
  qx::RemoteCopyFile(qx::ModuleStation(), request, nullptr);
  std::filesystem::remove(setup.copy);
  for (auto _ : state) {
    if (qx::RemoteCopyFile(qx::ModuleStation(), request, nullptr) !=
        static_cast<std::int32_t>(kFileBytes)) {
      state.SkipWithError("the copy failed");
      break;
    }
    RemoveCopy(state);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileBytes));
}

void CopyFromOwnServer(benchmark::State& state, bool plaintext) {
  if (!setup.error.empty()) return state.SkipWithError(setup.error.c_str());
  qx::SetRpcPlaintextForBenchmark(plaintext);
  qx::DropKeptRpcConnections(qx::ModuleStation().rpcPool());
  qx::CSERVER server{qx::ModuleStation()};
  if (server.startRemoteServer(qx::kServiceProjectManager) != qx::S_OK) {
    state.SkipWithError("the server did not start");
  } else {
    CopyFromLoopback(state);
    server.stopRemoteServer();
  }
  qx::DropKeptRpcConnections(qx::ModuleStation().rpcPool());
  qx::SetRpcPlaintextForBenchmark(false);
}

void BM_RemoteCopyFile256MiB(benchmark::State& state) { CopyFromOwnServer(state, false); }
void BM_RemoteCopyFilePlain256MiB(benchmark::State& state) { CopyFromOwnServer(state, true); }

// A holder that answers READFILE with a pread on a file it keeps open and OPENFILE with no
// times: what the copy and the RPC runtime reach when serving costs nothing.
class LeanHolder : public qx::CRPCServerW {
 public:
  LeanHolder() : fd_(::open(setup.source.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~LeanHolder() override {
    stopServer();
    if (fd_ >= 0) ::close(fd_);
  }
  bool onReceiveString(std::uint16_t, std::uint32_t, const std::string&,
                       qx::AnswerText* answer) override {
    *answer = "<RESULT/>";
    return true;
  }
  bool onReceiveData(std::uint16_t, std::uint32_t, const std::uint8_t* data, std::size_t size,
                     qx::ByteBlock* answer) override {
    // The request is UTF-16LE: pick FROM and COUNT out of its ASCII.
    std::string text;
    for (std::size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<char>(data[i]));
    const auto number = [&text](const char* tag) {
      const std::size_t at = text.find(tag);
      return at == std::string::npos
                 ? 0ull
                 : std::strtoull(text.c_str() + at + std::strlen(tag), nullptr, 10);
    };
    const std::uint64_t from = number("<FROM>"), count = number("<COUNT>");
    answer->resize(count);
    const ssize_t n = ::pread(fd_, answer->data(), count, static_cast<off_t>(from));
    answer->resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return n >= 0;
  }

 private:
  int fd_;
};

void BM_RemoteCopyFileLeanHolder256MiB(benchmark::State& state) {
  if (!setup.error.empty()) return state.SkipWithError(setup.error.c_str());
  LeanHolder holder;
  if (!holder.startServer(qx::kServiceProjectManager, 0)) {
    return state.SkipWithError("the holder did not start");
  }
  CopyFromLoopback(state);
}

// What serving one READFILE of 64 KiB costs the holding station, and the part of it that
// reading the settings takes.
void BM_AnswerReadFile64KiB(benchmark::State& state) {
  if (!setup.error.empty()) return state.SkipWithError(setup.error.c_str());
  const std::string text = "<READFILE><FILE>" + setup.source +
                           "</FILE><FROM>65536</FROM><COUNT>65536</COUNT></READFILE>";
  std::vector<std::uint8_t> request;
  for (char c : text) {
    request.push_back(static_cast<std::uint8_t>(c));
    request.push_back(0);
  }
  request.push_back(0);
  request.push_back(0);
  qx::ByteBlock block;
  for (auto _ : state) {
    if (qx::AnswerReadFile(request.data(), request.size(), &block) != qx::S_OK ||
        block.size() != kBlock) {
      state.SkipWithError("AnswerReadFile failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlock));
}

void BM_ReadRpcSettings(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(qx::ReadRpcSettings());
}

// ---- the plain TCP loop ----

bool SendAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}
bool RecvAll(int fd, void* data, std::size_t size) {
  auto* p = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    ssize_t n = ::recv(fd, p, size, 0);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

struct BlockRequest {
  std::uint64_t from;
  std::uint32_t count;
  std::uint32_t pad;
};

void ServeBlocks(int listenFd) {
  int fd = ::accept(listenFd, nullptr, nullptr);
  if (fd < 0) return;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  const int file = ::open(setup.source.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<std::uint8_t> buffer;
  BlockRequest request{};
  while (file >= 0 && RecvAll(fd, &request, sizeof(request))) {
    if (request.count > (16u << 20)) break;
    buffer.resize(sizeof(std::uint32_t) + request.count);
    ssize_t n = ::pread(file, buffer.data() + 4, request.count, static_cast<off_t>(request.from));
    if (n < 0) break;
    const auto length = static_cast<std::uint32_t>(n);
    std::memcpy(buffer.data(), &length, 4);
    if (!SendAll(fd, buffer.data(), 4 + length)) break;
  }
  if (file >= 0) ::close(file);
  ::close(fd);
}

void BM_TcpBlockLoop256MiB(benchmark::State& state) {
  if (!setup.error.empty()) return state.SkipWithError(setup.error.c_str());
  int listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listenFd, 1) != 0 ||
      ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listenFd);
    return state.SkipWithError("no loopback listener");
  }
  std::thread server(ServeBlocks, listenFd);
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  std::vector<std::uint8_t> block(kBlock);
  for (auto _ : state) {
    if (!ok) break;
    const int out = ::open(setup.copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::uint64_t total = 0;
    std::uint32_t got = kBlock;
    while (ok && got == kBlock) {
      BlockRequest request{total, kBlock, 0};
      ok = SendAll(fd, &request, sizeof(request)) && RecvAll(fd, &got, 4) && got <= kBlock &&
           RecvAll(fd, block.data(), got) &&
           (got == 0 || ::write(out, block.data(), got) == static_cast<ssize_t>(got));
      total += got;
    }
    ::close(out);
    if (!ok || total != kFileBytes) {
      ok = false;
      state.SkipWithError("the TCP loop failed");
      break;
    }
    RemoveCopy(state);
  }
  ::close(fd);
  server.join();
  ::close(listenFd);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileBytes));
}

void BM_CpFile256MiB(benchmark::State& state) {
  if (!setup.error.empty()) return state.SkipWithError(setup.error.c_str());
  for (auto _ : state) {
    const char* argv[] = {"/bin/cp", setup.source.c_str(), setup.copy.c_str(), nullptr};
    pid_t pid = 0;
    int status = 0;
    if (::posix_spawn(&pid, "/bin/cp", nullptr, nullptr, const_cast<char**>(argv), environ) != 0 ||
        ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("cp failed");
      break;
    }
    RemoveCopy(state);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileBytes));
}

BENCHMARK(BM_RemoteCopyFile256MiB)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoteCopyFilePlain256MiB)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoteCopyFileLeanHolder256MiB)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpBlockLoop256MiB)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CpFile256MiB)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnswerReadFile64KiB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadRpcSettings)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  qx::ConnectStationLayers();  // as the module's load does
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Prepare();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!setup.dir.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(setup.dir, ignored);
  }
  return 0;
}
