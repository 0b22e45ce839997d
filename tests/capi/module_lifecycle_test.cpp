// Loading the module and ending the process: the attach and detach lines on the debug output.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "common/text.h"
#include "keys/cluster_keys.h"
#include "module/module_root.h"
#include "platform/environment.h"
#include "registry/store/registry_store.h"
#include "rpc/rpc.h"
#include "rpc/rpc_settings.h"
#include "support/debug_capture.h"
#include "support/station_dir.h"

namespace qx {
namespace {

using qx::testing::TempDir;

TEST(ModuleLifecycleTest, AttachAndDetachAnnounceThemselves) {
  testing::DebugCapture capture;
  ASSERT_TRUE(capture.ready());
  // A child process loads the module and ends normally, so that detach runs (after the
  // module's static objects are gone) whether or not the loader would unload it earlier.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    void* module = ::dlopen(QX_MODULE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    const bool exported = module != nullptr && ::dlsym(module, "GetXMLSubText") != nullptr;
    // Internal names may come from the core library the module links, never from the module.
    void* internal = module != nullptr ? ::dlsym(module, "_ZN2qx9DiagnosisEv") : nullptr;
    Dl_info where{};
    const bool hidden =
        module != nullptr &&
        (internal == nullptr ||
         (::dladdr(internal, &where) != 0 &&
          std::string(where.dli_fname).find("libqxremoteserver") == std::string::npos));
    std::exit(exported && hidden ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the module loads, exports its names and hides the rest";

  EXPECT_EQ(capture.Next().value_or(""),
            "<t> ------- QXRemoteServer.dll: DLL_PROCESS_ATTACH -------------------</t>\n");
  EXPECT_EQ(capture.Next().value_or(""), ToUpper(ExecutablePath()) + "\n");
  EXPECT_EQ(capture.Next().value_or(""),
            "<t> ------- QXRemoteServer.dll: DLL_PROCESS_DETACH -------------------</t>\n");
}

// A process makes the module's station before it loads the module (as a program linked to the
// core library may), keeps a connection in the station's pool and ends: the station dies with
// the static objects before the module's detach runs, which must then leave it alone.
TEST(ModuleLifecycleTest, DetachAtExitLeavesTheStationThatDiedBeforeIt) {
  const TempDir temp("qxdetach");
  ASSERT_TRUE(temp.ok());
  const std::string& dir = temp.path();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::setenv("QX_REGISTRY", (dir + "/registry.db").c_str(), 1);
    ::setenv("QX_RUNTIME_DIR", dir.c_str(), 1);
    KeyRing ring;
    if (CreateStationRegistry() != RegStatus::kOk ||
        !LoadOrCreateKeyRing(KeyRingPath(), &ring, nullptr))
      std::_Exit(2);
    Station& station = ModuleStation();
    const std::string ports = "SOFTWARE\\TOLVAR\\NORVANE\\RPC\\PORTS";
    testing::SetRegistryValue(ports, kServiceProjectManager, RegValue::Dword(0));
    CRPCServerW server;
    if (!server.startServer(kServiceProjectManager, 0)) std::_Exit(3);
    testing::SetRegistryValue(ports, kServiceProjectManager, RegValue::Dword(server.port()));
    {
      CRPCClientW client;
      client.setConnectionPool(station.rpcPool());
      if (!client.Connect(kServiceProjectManager, "127.0.0.1", "detach")) std::_Exit(4);
    }  // the connection stays in the station's pool
    server.stopServer();
    if (::dlopen(QX_MODULE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL) == nullptr) std::_Exit(5);
    std::exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A station on loopback that takes connections and never answers.
class SilentStation {
 public:
  SilentStation() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::listen(fd_, 16) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~SilentStation() {
    if (fd_ >= 0) ::close(fd_);
  }
  SilentStation(const SilentStation&) = delete;
  SilentStation& operator=(const SilentStation&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  int fd_;
  std::uint16_t port_ = 0;
};

void SetValue(RegistryStore& store, const std::string& path, const std::string& name,
              const RegValue& value) {
  KeyId machine = 0, key = 0;
  ASSERT_EQ(store.RootKey(RegRoot::kLocalMachine, &machine), RegStatus::kOk);
  ASSERT_EQ(store.CreateKey(machine, path, &key), RegStatus::kOk);
  ASSERT_EQ(store.SetValue(key, name, value), RegStatus::kOk);
}

// A process loads the module (the core library with it), sends an asynchronous command to a
// station that never answers and then unloads the module and lives on, or ends at once. The
// worker must be gone before the code or the static objects that it uses are.
TEST(ModuleLifecycleTest, AsynchronousCommandEndsBeforeTheModuleOrTheProcess) {
  const TempDir temp("qxunload");
  ASSERT_TRUE(temp.ok());
  const std::string& dir = temp.path();
  SilentStation station;
  ASSERT_NE(station.port(), 0);
  {
    std::unique_ptr<RegistryStore> store = OpenSqliteRegistry(dir + "/registry.db");
    const std::string rpc = "SOFTWARE\\TOLVAR\\NORVANE\\RPC";
    SetValue(*store, rpc, "ConnectTimeoutMs", RegValue::Dword(1000));
    SetValue(*store, rpc, "CallTimeoutMs", RegValue::Dword(1000));
    SetValue(*store, rpc + "\\PORTS", kServiceProjectManager, RegValue::Dword(station.port()));
    SetValue(*store, rpc + "\\HOSTS", "SILENT", RegValue::String("127.0.0.1"));
  }
  for (const char* mode : {"unload", "exit"}) {
    SCOPED_TRACE(mode);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::setenv("QX_REGISTRY", (dir + "/registry.db").c_str(), 1);
      ::setenv("QX_RUNTIME_DIR", dir.c_str(), 1);
      ::execl(QX_UNLOAD_PROBE_PATH, QX_UNLOAD_PROBE_PATH, QX_MODULE_LIBRARY_PATH, "SILENT", mode,
              "2500", QX_CORE_LIBRARY_SONAME, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 600 && done == 0; ++i) {
      done = ::waitpid(child, &status, WNOHANG);
      if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (done == 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      ADD_FAILURE() << "the process did not end within 30 s";
      continue;
    }
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

}  // namespace
}  // namespace qx
