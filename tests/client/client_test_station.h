// client_test_station.h - a station for the client tests: temp registry, key ring and runtime
// directory, a fixed computer name, RPC ports on loopback, a trace reader and a file-holding RPC
// server.
//
// UseTestStation() prepares the process once (environment variables before any registry use).
// TestHolder is a CRPCServerW that answers OPENFILE / READFILE from real files and every other
// request by its tag, records what it was asked and can be told to misbehave. TraceLines
// binds the debug output socket and collects the lines the module writes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/text.h"
#include "platform/environment.h"
#include "platform/file.h"
#include "platform/host_platform.h"
#include "platform/unix_socket.h"
#include "registry/store/registry_store.h"
#include "rpc/rpc.h"
#include "rpc/rpc_settings.h"
#include "station/station.h"
#include "support/station_dir.h"
#include "support/trace_lines.h"
#include "trace/trace.h"
#include "xml/xml_element.h"

namespace qx::testing_station {

using qx::testing::FreeLoopbackPort;
using qx::testing::SetRegistryValue;
using qx::testing::StationDir;

inline constexpr const char* kComputerName = "TESTSTATION";
inline constexpr const char* kReachable = "STATIONB";   // 127.0.0.1: the test holder
inline constexpr const char* kUnreachable = "NOWHERE";  // 127.0.0.2: nothing listens
inline constexpr std::uint32_t kConnectTimeoutMs = 1500;

class FixedHost final : public HostPlatform {
 public:
  std::optional<std::string> ComputerName() override { return kComputerName; }
  std::optional<std::string> DomainName() override { return "WORKGROUP"; }
  std::optional<std::string> UserName() override { return "tester"; }
  std::optional<std::vector<Ipv4Row>> Ipv4Addresses() override { return std::vector<Ipv4Row>{}; }
};

// The station that the copies of these tests serve: this computer is kComputerName, and its
// pool keeps their connections.
inline qx::Station& CopyingStation() {
  static qx::Station station{[] {
    StationParts parts;
    parts.hostPlatform = std::make_unique<FixedHost>();
    return parts;
  }()};
  return station;
}

// The platform that the client calls of these tests are handed: the copying station's.
inline HostPlatform& TestPlatform() { return CopyingStation().hostPlatform(); }

inline constexpr const char* kRpcPath = "SOFTWARE\\TOLVAR\\NORVANE\\RPC";

struct Station {
  std::filesystem::path root;
  std::filesystem::path files;  // files the holder serves and copies land in
  std::uint16_t projectManagerPort = 0;
  std::uint16_t discoveryPort = 0;
};

// Prepares the process once: station directory, registry, host double, masks.
inline const Station& UseTestStation() {
  static const StationDir dir("qxclient");
  static const Station station = [] {
    Station s;
    s.root = dir.dir();
    s.files = dir.files();
    s.projectManagerPort = FreeLoopbackPort();
    s.discoveryPort = FreeLoopbackPort();
    SetRegistryValue(std::string(kRpcPath) + "\\PORTS", kServiceProjectManager,
                     RegValue::Dword(s.projectManagerPort));
    SetRegistryValue(std::string(kRpcPath) + "\\PORTS", kServiceDiscovery,
                     RegValue::Dword(s.discoveryPort));
    SetRegistryValue(std::string(kRpcPath) + "\\HOSTS", kReachable, RegValue::String("127.0.0.1"));
    SetRegistryValue(std::string(kRpcPath) + "\\HOSTS", kUnreachable,
                     RegValue::String("127.0.0.2"));
    SetRegistryValue(kRpcPath, "ConnectTimeoutMs", RegValue::Dword(kConnectTimeoutMs));
    SetRegistryValue(kRpcPath, "CallTimeoutMs", RegValue::Dword(5000));
    SetRegistryValue("SOFTWARE\\TOLVAR\\NORVANE\\SECURITY", "FileRoots",
                     RegValue::String(s.files.string()));
    Diagnosis().SetMasks(kTraceAll, 0xFFFFFFFFu);
    return s;
  }();
  return station;
}

// The trace lines of the station (support/trace_lines.h).
using qx::testing::TraceLines;

// An RPC server for one service that holds files and answers requests by their tag.
class TestHolder : public CRPCServerW {
 public:
  struct ReadAsk {
    std::int64_t from = 0;
    std::int64_t count = 0;
  };

  explicit TestHolder(std::string service = kServiceProjectManager)
      : service_(std::move(service)) {}
  ~TestHolder() override { stopServer(); }

  bool Start() { return startServer(service_, 0); }

  // Misbehaviour switches.
  std::atomic<bool> omitTimes{false};      // OPENFILE answers without FILETIME
  std::atomic<int> failReadAt{-1};         // the n-th READFILE (0-based) fails with E_UNEXPECTED
  std::atomic<int> oversizeReadAt{-1};     // the n-th READFILE answers one byte too many
  std::atomic<int> exitProcessAtRead{-1};  // the n-th READFILE ends the process (forked holder)
  std::atomic<int> connects{0};            // connections that said HELLO

  void onClientConnected(std::uint16_t) override { ++connects; }

  bool onReceiveString(std::uint16_t, std::uint32_t dataId, const std::string& text,
                       AnswerText* answer) override {
    {
      MutexLock lock(&mutex_);
      strings_.push_back(text);
    }
    CXmlElement request;
    if (dataId != DATA_ID_REQUEST || !request.LoadXml(text)) return Result(E_FAIL);
    const std::string tag = request.GetName();
    if (IEquals(tag, "OPENFILE")) return OpenFile(request.GetSubText("FILE"), answer);
    if (IEquals(tag, "NotImpl")) return Result(E_NOTIMPL);
    if (IEquals(tag, "NoAnswer")) return Result(S_OK);
    *answer = "<Answer>" + tag + " from " + service_ + "</Answer>";
    return Result(S_OK);
  }

  bool onReceiveData(std::uint16_t, std::uint32_t dataId, const std::uint8_t* data,
                     std::size_t size, ByteBlock* answer) override {
    if (dataId != DATA_ID_READ_FILE || size < 2 || size % 2 != 0) return false;
    std::u16string wide;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
      wide.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    if (wide.back() != u'\0') return false;
    wide.pop_back();
    CXmlElement request;
    if (!request.LoadXml(Utf16ToUtf8(wide).value_or(""))) return false;
    ReadAsk ask{request.GetSubInt("FROM"), request.GetSubInt("COUNT")};
    int index = 0;
    {
      MutexLock lock(&mutex_);
      index = static_cast<int>(reads_.size());
      reads_.push_back(ask);
    }
    if (index == exitProcessAtRead) ::_exit(0);
    if (index == failReadAt) return Result(E_UNEXPECTED);
    std::ifstream in(request.GetSubText("FILE"), std::ios::binary);
    if (!in || ask.from < 0 || ask.count < 0) return Result(E_UNEXPECTED);
    in.seekg(ask.from);
    answer->resize(static_cast<std::size_t>(ask.count));
    in.read(reinterpret_cast<char*>(answer->data()), ask.count);
    answer->resize(static_cast<std::size_t>(in.gcount()));
    if (index == oversizeReadAt) answer->resize(static_cast<std::size_t>(ask.count) + 1);
    return Result(S_OK);
  }

  std::vector<std::string> Strings() {
    MutexLock lock(&mutex_);
    return strings_;
  }
  std::vector<ReadAsk> Reads() {
    MutexLock lock(&mutex_);
    return reads_;
  }

 private:
  bool Result(HRESULT hr) {
    SetResultSlot(hr);
    return Succeeded(hr);
  }

  bool OpenFile(const std::string& path, AnswerText* answer) {
    FileTimes times;
    if (!GetPathTimes(path, &times) || std::filesystem::is_directory(path)) return Result(E_FAIL);
    if (omitTimes) {
      *answer = "<RESULT/>";
      return Result(S_OK);
    }
    CXmlElement root, filetime, entry;
    root.CreateRoot("RESULT");
    root.AddChild("FILETIME", &filetime);
    const std::pair<const char*, FileTime> rows[] = {{"Creation", times.creation},
                                                     {"LastAccess", times.lastAccess},
                                                     {"LastWrite", times.lastWrite}};
    for (const auto& [tag, time] : rows) {
      filetime.AddChild(tag, &entry);
      entry.AddUIntChild("high", time.high);
      entry.AddUIntChild("low", time.low);
    }
    std::string text;
    root.GetXml(&text);
    *answer = text;
    return Result(S_OK);
  }

  std::string service_;
  Mutex mutex_;
  std::vector<std::string> strings_ GUARDED_BY(mutex_);
  std::vector<ReadAsk> reads_ GUARDED_BY(mutex_);
};

inline std::vector<std::uint8_t> PatternBytes(std::size_t size, unsigned seed = 7) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return bytes;
}

inline void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace qx::testing_station
