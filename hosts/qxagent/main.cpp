// main.cpp - qxagent, the station daemon.
//
// Keeps its heap small (few malloc arenas, large blocks mapped on their own, free memory given
// back every kHeapTrimInterval).
// Wires the agent's parts, one class a job: StopSignal (SIGINT/SIGTERM), the station checks
// (runtime directory, registry, listen failures) and one ServiceHost per service of the module
// (discovery, and project manager unless --no-project-manager-service), then the station's
// multicast component (MulticastHost), which hands every message to the discovery service and
// joins the group at once, and the relay through which the station's operators call other
// stations (RpcRelayHost). Parts start in order and stop in reverse: the relay,
// "LeaveMulticastGroup", the component, then the services.
// Writes one "service ..." line per running service and then "ready" to stdout (and READY=1
// to the service manager); errors go to stderr. Exit codes: 0 after a stop signal, 1 when the
// station cannot run, 2 for a wrong command line, 3 when the registry cannot be read (empty,
// damaged, not a registry database, or cannot be opened): the agent never serves on defaults
// in place of settings it cannot read, 4 when the services did not stop within the grace
// after a stop signal (RPC setting StopGraceMs, plus kStopMargin): a request handler that hangs
// (a REMOTECALL function that never returns) does not keep the agent from ending; it ends with
// _exit, after a line on stderr, without running destructors under that handler; 5 when the
// key ring cannot be read or made, or its key does not allow a listen address beyond loopback.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#ifdef QX_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "agent_options.h"
#include "common/text.h"
#include "multicast_host.h"
#include "platform/heap_memory.h"
#include "qxremoteserver.h"
#include "rpc/rpc.h"
#include "rpc/rpc_settings.h"
#include "rpc_relay_host.h"
#include "service_host.h"
#include "station_check.h"
#include "stop_signal.h"

namespace {

void NotifyServiceManager([[maybe_unused]] const char* state) {
#ifdef QX_HAVE_SYSTEMD
  sd_notify(0, state);
#endif
}

std::string HresultText(HRESULT hr) { return qx::Format("0x%08x", static_cast<unsigned>(hr)); }

// Beyond the servers' own grace for their handlers: the rest of a stop (CLOSE to idle clients,
// the discovery's own parts) and both services one after the other.
constexpr std::chrono::milliseconds kStopMargin(3000);
// Free heap memory goes back to the system this often, so that the agent shrinks again after
// a flood of connections or large requests.
constexpr std::chrono::milliseconds kHeapTrimInterval(10000);

}  // namespace

int main(int argc, char** argv) {
  qxagent::AgentOptions options;
  std::string error;
  if (!qxagent::ParseAgentOptions(argc, argv, &options, &error)) {
    std::cerr << "qxagent: " << error << "\n" << qxagent::AgentUsage();
    return 2;
  }
  if (options.help) {
    std::cout << qxagent::AgentUsage();
    return 0;
  }
  if (options.version) {
    std::cout << qxagent::AgentVersion();
    return 0;
  }

  // Before any thread exists, so that every thread of the module inherits the blocked mask.
  qx::KeepHeapSmall();
  qxagent::StopSignal stop;
  if (!stop.ok()) {
    std::cerr << "qxagent: " << stop.error() << "\n";
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);

  if (!qxagent::PrepareRuntimeDirectory(&error)) {
    std::cerr << "qxagent: " << error << "\n";
    return 1;
  }
  if (!qxagent::CheckRegistry(&error)) {
    std::cerr << "qxagent: " << error << "\n";
    return qxagent::kExitRegistryUnreadable;
  }
  if (!qxagent::CheckKeyRing(&error)) {
    std::cerr << "qxagent: " << error << "\n";
    return qxagent::kExitKeyRing;
  }

  std::vector<std::unique_ptr<qxagent::ServiceHost>> services;
  services.push_back(std::make_unique<qxagent::ServiceHost>(QX_SERVICE_DISCOVERY, "discovery"));
  if (options.projectManagerService) {
    services.push_back(
        std::make_unique<qxagent::ServiceHost>(QX_SERVICE_PROJECT_MANAGER, "project-manager"));
  }

  for (auto& service : services) {
    const std::string guid = qx::Utf16ToUtf8(service->serviceName()).value_or("");
    const qxagent::ListenPoint point = qxagent::ServiceListenPoint(guid);
    const HRESULT hr = service->Start();
    if (hr < 0) {
      std::cerr << "qxagent: the " << service->label() << " service (" << guid
                << ") could not start, " << HresultText(hr) << ": "
                << qxagent::DescribeListenFailure(point) << "\n";
      return 1;  // the services already started stop as their hosts go
    }
    std::cout << "service " << service->label() << " " << point.Text() << std::endl;
  }
  // The station's multicast component, fed to and from the discovery service; the station
  // joins the group at once, so that the others see it without waiting for a watch tick.
  qxagent::ServiceHost* discovery = services.front().get();
  qxagent::MulticastHost multicast(
      [discovery](const std::string& text) { discovery->Receive(qx::Utf8ToUtf16(text)); },
      [discovery](const std::string& request, qx::AnswerText* answer) {
        std::string text;
        const HRESULT hr = discovery->Talk(qx::Utf8ToUtf16(request), &text);
        if (hr >= 0 && answer != nullptr) *answer = std::move(text);
        return hr;
      });
  if (!multicast.Start(&error)) {
    std::cerr << "qxagent: the multicast component could not start: " << error << "\n";
    return 1;
  }
  std::cout << "multicast " << multicast.Describe() << std::endl;
  if (const HRESULT hr = discovery->Talk(u"<JoinMulticastGroup/>", nullptr); hr < 0) {
    std::cerr << "qxagent: joining the multicast group failed, " << HresultText(hr) << "\n";
  }
  qxagent::RpcRelayHost relay;
  if (!relay.Start(&error)) {
    std::cerr << "qxagent: the RPC relay could not start: " << error << "\n";
    return 1;
  }
  const qx::HeapTrimTimer heapTrim(kHeapTrimInterval);
  std::cout << "ready" << std::endl;
  NotifyServiceManager("READY=1");

  const int signo = stop.Wait();
  if (signo < 0) {
    std::cerr << "qxagent: " << stop.error() << "; stopping\n";
  } else {
    std::cerr << "qxagent: " << qxagent::SignalName(signo) << ", stopping\n";
  }
  NotifyServiceManager("STOPPING=1");

  const std::uint32_t graceMs = qx::ReadRpcSettings().stopGraceMs;
  const qxagent::StopDeadline stopDeadline(
      std::chrono::milliseconds(graceMs) + kStopMargin,
      qx::Format("the services did not stop within %u ms; exiting without waiting for them",
                 static_cast<unsigned>(graceMs + kStopMargin.count())));

  int exitCode = signo < 0 ? 1 : 0;
  relay.Stop();
  // Leave while the component still sends; stop the component before the server it calls.
  discovery->Talk(u"<LeaveMulticastGroup/>", nullptr);
  multicast.Stop();
  for (auto it = services.rbegin(); it != services.rend(); ++it) {
    auto& service = *it;
    if (const HRESULT hr = service->Stop(); hr < 0) {
      std::cerr << "qxagent: stopping the " << service->label() << " service failed, "
                << HresultText(hr) << "\n";
      exitCode = 1;
    }
  }
  if (const std::size_t left = qx::RpcHandlersLeftRunning(); left != 0) {
    qxagent::ExitStopTimedOut(qx::Format(
        "%zu request handler(s) still ran %u ms after the stop began; exiting without them", left,
        static_cast<unsigned>(graceMs)));
  }
  return exitCode;
}
