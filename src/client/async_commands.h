// async_commands.h - the worker threads of asynchronous remote commands, owned by the module.
//
// An asynchronous command ("ASYNCHRON" YES) runs on a worker thread of its own. Every worker is
// kept in one process-wide list until it has been joined, so that nothing the module started can
// outlive its code: StopAsyncCommands cancels the running commands and waits for their workers,
// at most until the latest deadline by which the RPC runtime ends a connect and a call (each
// command's deadline is fixed when it starts, from the connect and call timeouts). The server's
// stop, the module's unload and the process's exit (before the static objects die) call it.
//
// Cancelling sets the command's flag, which the work tests before it contacts the station and
// hands to the RPC client (ScopedRpcCancelFlag), so that a call already on the wire ends within
// moments too; the deadline only bounds a worker that still runs. Finished workers are joined by
// the next start or stop. The list itself is never destroyed. Any thread may call, except that a
// worker must not call StopAsyncCommands (it would wait for itself).
//
//   RunAsyncCommand([](const std::atomic<bool>& cancelled) { if (!cancelled) Send(); },
//                   std::chrono::seconds(40));
//   StopAsyncCommands(AfterStop::kAcceptNew);   // every worker joined, or the deadline passed
#pragma once

#include <atomic>
#include <chrono>
#include <functional>

#include "common/hresult.h"

namespace qx {

using AsyncWork = std::function<void(const std::atomic<bool>& cancelled)>;

// Runs work on a new worker thread. bound is the longest time the work may take once started.
// S_OK once the thread runs; E_FAIL when no thread can be started or new commands are refused
// (the process is ending); E_OUTOFMEMORY when the command cannot be recorded.
HRESULT RunAsyncCommand(AsyncWork work, std::chrono::milliseconds bound);

enum class AfterStop {
  kAcceptNew,  // the module goes on (a server stopped, the module unloaded but may come back)
  kRefuseNew,  // the process ends
};
// Cancels every running command and waits for its worker until the latest deadline of the
// running commands; joins every finished worker. True when no worker runs any more.
bool StopAsyncCommands(AfterStop after);

// Number of asynchronous commands whose worker has not finished.
int RunningAsyncCommands();
// Waits until no asynchronous command runs or the timeout passes; true when none runs.
bool WaitForAsyncCommands(std::chrono::milliseconds timeout);

}  // namespace qx
