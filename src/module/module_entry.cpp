// module_entry.cpp - attach and detach of the module.
//
// The loader runs Attach when the module is loaded and Detach when it is unloaded (or the
// process ends). Attach connects the station's layers (ConnectStationLayers), announces itself
// on the debug output, identifies the host by its
// executable and connects the diagnostics library; Detach waits for the asynchronous commands'
// workers (whose code goes with the module), closes the RPC client connections that the module's
// station keeps and releases the diagnostics. Both touch only objects that exist before any
// static constructor and after every static destructor of the module: the debug channel, the
// never-destroyed diagnostics connection, the never-destroyed list of asynchronous commands
// (which, at process exit, its own exit handler has emptied before the static objects died),
// and the module's station through DropModuleRpcConnections, which leaves it alone once it has
// been destroyed.
#include <string>

#include "client/async_commands.h"
#include "common/text.h"
#include "module/host_identity.h"
#include "module/module_root.h"
#include "module/station_wiring.h"
#include "platform/environment.h"
#include "rpc/rpc.h"
#include "trace/debug_output.h"
#include "trace/trace.h"

namespace {

constexpr const char* kAttachLine =
    "<t> ------- QXRemoteServer.dll: DLL_PROCESS_ATTACH -------------------</t>\n";
constexpr const char* kDetachLine =
    "<t> ------- QXRemoteServer.dll: DLL_PROCESS_DETACH -------------------</t>\n";

__attribute__((constructor)) void Attach() {
  try {
    qx::ConnectStationLayers();
    qx::OutputDebugLine(kAttachLine);
    const std::string executable = qx::ExecutablePath();
    const std::string host = qx::IdentifyHost(executable);
    qx::OutputDebugLine(qx::ToUpper(executable) + "\n");
    qx::Diagnosis().LoadDiagnostics(host);
  } catch (...) {
    // Loading never fails: without diagnostics the module traces to the debug output.
  }
}

__attribute__((destructor)) void Detach() {
  try {
    qx::OutputDebugLine(kDetachLine);
    qx::StopAsyncCommands(qx::AfterStop::kAcceptNew);
    // Kept client connections are closed with the module, not leaked with their sockets.
    qx::DropModuleRpcConnections();
    qx::Diagnosis().UnloadDiagnostics();
  } catch (...) {
  }
}

}  // namespace
