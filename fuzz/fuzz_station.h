// fuzz_station.h - a private station for the fuzz targets of the server: a registry and runtime
// directory of their own, a discovery-role CSERVER and a multicast component that sends nothing.
//
// FuzzStation() is built once, from LLVMFuzzerInitialize, before anything opens the registry.
// It points QX_REGISTRY and QX_RUNTIME_DIR into a fresh directory below $TMPDIR (removed at
// exit), fixes the host's names and addresses, allows no REMOTECALL library and reads files only
// below <dir>/files, keeps READFILE answers small, switches off the watch timer and the RPC
// replies to a JOIN, and starts the server in the discovery role (its RPC listener takes a free
// loopback port; the targets call the server directly and never connect to it). The station and
// its server live until the process exits. <dir>/elsewhere/secret.txt lies outside the file
// root; <dir>/files/escape is a symbolic link to it and <dir>/files/away one to its directory:
// no answer may ever hold kSecretText.
//
// Not thread-safe: the targets use it from libFuzzer's single thread.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/answer.h"
#include "common/text.h"
#include "discovery/project_watch.h"
#include "fuzz_input.h"
#include "hostinfo/local_host_info.h"
#include "keys/cluster_keys.h"
#include "messaging/netqxkomm.h"
#include "module/station_wiring.h"
#include "nettree/net_tree.h"
#include "platform/host_platform.h"
#include "registry/reg_key.h"
#include "registry/store/registry_store.h"
#include "rpc/rpc_settings.h"
#include "server/path_settings.h"
#include "server/remote_server.h"
#include "station/station.h"
#include "trace/trace.h"
#include "xml/xml_element.h"

namespace qx::fuzz {

inline constexpr std::string_view kSecretText = "SECRET-OUTSIDE-THE-FILE-ROOT";
inline constexpr std::uint32_t kReadFileLimit = 64 * 1024;

class FixedHost : public HostPlatform {
 public:
  std::optional<std::string> ComputerName() override { return "FUZZSTATION"; }
  std::optional<std::string> DomainName() override { return "PLANTNET"; }
  std::optional<std::string> UserName() override { return "operator"; }
  std::optional<std::vector<Ipv4Row>> Ipv4Addresses() override {
    return std::vector<Ipv4Row>{{0x0500A8C0u, 0x00FFFFFFu}};  // 192.168.0.5/24
  }
};

// Takes every send and sends nothing.
class SilentKomm : public INetQXKomm {
 public:
  HRESULT SendToGroup(std::string_view) override { return S_OK; }
  HRESULT LocalRequest(std::string_view, AnswerText*) override { return E_NOTIMPL; }
  HRESULT SendToHost(std::string_view, std::string_view) override { return S_OK; }
};

inline void SetMultiString(const char* keyPath, const char* name,
                           const std::vector<std::string>& list) {
  RegistryStore& store = Registry();
  KeyId machine;
  KeyId key;
  Check(store.RootKey(RegRoot::kLocalMachine, &machine) == RegStatus::kOk);
  // The path below HKEY_LOCAL_MACHINE\ .
  const std::string_view path = std::string_view(keyPath).substr(19);
  Check(store.CreateKey(machine, path, &key) == RegStatus::kOk);
  Check(store.SetValue(key, name, RegValue::MultiString(list)) == RegStatus::kOk);
}

inline void SetInt(const char* keyPath, const char* name, std::uint32_t value) {
  Check(CREGKEY::CreateKey(keyPath));
  CREGKEY key;
  Check(key.Open(keyPath));
  Check(key.SetInt(name, value));
}

struct Station {
  std::filesystem::path dir;
  std::filesystem::path root;
  qx::Station* core = nullptr;  // the station's parts; live until the process exits
  CSERVER* server = nullptr;    // lives until the process exits
  std::uint32_t typeMask = 0;
  std::uint32_t levelMask = 0;

  Station() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qxfuzzXXXXXX").string();
    Check(::mkdtemp(pattern.data()) != nullptr);
    dir = pattern;
    // The directory goes when the fuzzer ends normally; the server may still hold its files.
    static const std::filesystem::path* toRemove = &dir;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(*toRemove, ignored);
    });
    root = dir / "files";
    std::filesystem::create_directories(dir / "run");
    std::filesystem::create_directories(root / "sub");
    std::filesystem::create_directories(dir / "elsewhere");
    std::ofstream(root / "a.txt", std::ios::binary) << "0123456789abcdef";
    std::ofstream(root / "sub" / "b.txt", std::ios::binary) << "below the root";
    std::ofstream(dir / "elsewhere" / "secret.txt", std::ios::binary) << kSecretText;
    std::filesystem::create_symlink(dir / "elsewhere" / "secret.txt", root / "escape");
    std::filesystem::create_directory_symlink(dir / "elsewhere", root / "away");
    ::setenv("QX_REGISTRY", (dir / "registry.db").c_str(), 1);
    ::setenv("QX_RUNTIME_DIR", (dir / "run").c_str(), 1);
    ConnectStationLayers();  // as the module's load does
    // The fuzzer owns its station: it makes the registry, as the agent does at its start.
    Check(CreateStationRegistry() == RegStatus::kOk);
    // The station's key ring beside the registry, as the first start of a station makes it.
    KeyRing ring;
    Check(LoadOrCreateKeyRing(KeyRingPath(), &ring, nullptr));
    StationParts parts;
    parts.hostPlatform = std::make_unique<FixedHost>();
    parts.transport = [](std::unique_ptr<INetQXKomm>* component) -> HRESULT {
      *component = std::make_unique<SilentKomm>();
      return S_OK;
    };
    core = std::make_unique<qx::Station>(std::move(parts)).release();
    core->localHost().Refresh();

    SetMultiString(kSecurityKey, "LibraryDirs", {});
    SetMultiString(kSecurityKey, "FileRoots", {root.string()});
    SetInt(kRpcPortsKey, kServiceDiscovery, 0);
    SetInt(kRpcKey, "ReadFileLimit", kReadFileLimit);
    SetInt(kStorageKey, "CleanRegistry", 0);  // no watch timer
    SetInt(kStorageKey, "ReplyWithRPC", 0);   // a JOIN is answered on the (silent) group

    server = std::make_unique<CSERVER>(*core).release();
    Check(server->startRemoteServer(kServiceDiscovery) == S_OK);
    Check(server->multicastEnabled());
    typeMask = Diagnosis().typeMask();
    levelMask = Diagnosis().levelMask();
    address = core->localHost().currentAddress();
    cleanRegistry = cleanRegistryEnabled;
  }

  // Before each input: an empty tree, and the trace masks, address and clean switch of the
  // start, so that an input does the same whatever ran before it.
  void Reset() {
    core->tree().Clear();
    Check(core->tree().Init());
    Diagnosis().SetMasks(typeMask, levelMask);
    if (core->localHost().currentAddress() != address) core->localHost().Refresh();
    cleanRegistryEnabled = cleanRegistry;
  }

  // Nothing that another station or a local command sends changes what may be loaded or read.
  void CheckSecurityUnchanged() const {
    Check(RemoteCallLibraryDirs().empty());
    const std::vector<std::string> roots = RemoteFileRoots();
    Check(roots.size() == 1 && roots[0] == root.string());
  }

  std::string address;
  bool cleanRegistry = false;
};

inline Station& FuzzStation() {
  static Station& station = *std::make_unique<Station>().release();
  return station;
}

// The input as messages separated by NUL bytes (which no message text may hold), at most max.
inline std::vector<std::string_view> SplitMessages(const std::uint8_t* data, std::size_t size,
                                                   std::size_t max) {
  std::vector<std::string_view> messages;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (messages.size() < max) {
    const std::size_t end = rest.find('\0');
    messages.push_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return messages;
}

inline bool HoldsSecret(std::string_view text) {
  return text.find(kSecretText) != std::string_view::npos;
}

// The tree's whole content is always a message that parses.
inline void CheckTreeContent() {
  CXmlElement request;
  Check(request.LoadXml("<GetTreeContent/>"));
  AnswerText content;
  if (Succeeded(FuzzStation().core->tree().GetTreeContent(request, &content)) && content) {
    CXmlElement parsed;
    Check(parsed.LoadXml(*content));
  }
}

}  // namespace qx::fuzz
