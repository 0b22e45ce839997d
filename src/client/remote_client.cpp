// remote_client.cpp - commands to other stations, to this station and to the multicast group.
//
// The receiver is read from the message itself. Local names are served in-process by the
// installed local request handler, "*" goes to the group through the multicast component, every
// other name gets the message over an RPC connection of its own (one CRPCClientW per call, so calls
// on several threads need no lock), taken from and given back to the station's pool. An
// asynchronous command runs on a worker thread that owns a copy of everything it needs; the
// module's list of asynchronous commands (async_commands.h) keeps that thread until it is joined.
// Any thread may call every function here.
#include "client/remote_client.h"

#include <atomic>
#include <chrono>
#include <new>
#include <string>
#include <utility>

#include "common/text.h"
#include "messaging/netqxkomm.h"
#include "platform/environment.h"
#include "platform/host_platform.h"

#include "rpc/rpc.h"
#include "rpc/rpc_settings.h"
#include "trace/trace.h"
#include "xml/xml_element.h"

namespace qx {
namespace {

const CTraceSource kSource("RemoteClient");

std::atomic<LocalRequestHandler> localRequestHandler{nullptr};

// The receiver of a message: "Receiver", else "HOST".
std::string ReceiverOf(const CXmlElement& message) {
  std::string receiver = message.GetSubText("Receiver");
  if (receiver.empty()) receiver = message.GetSubText("HOST");
  return receiver;
}

bool WantsAsync(const CXmlElement& message) {
  const std::string flag = message.GetSubText("ASYNCHRON");
  return IEquals(flag, "YES") || IEquals(flag, "TRUE");
}

bool IsAliasOfThisStation(std::string_view name) {
  return IEquals(name, ".") || IEquals(name, "LOCAL") || IEquals(name, "THIS");
}

// The longest an asynchronous command may run once started: a Connect may try twice when the
// cached address or port was stale, then the call waits at most the call timeout.
std::chrono::milliseconds AsyncCommandBound() {
  const RpcSettings settings = ReadRpcSettings();
  return std::chrono::milliseconds(2 * std::uint64_t{settings.connectTimeoutMs} +
                                   settings.callTimeoutMs + 1000);
}

}  // namespace

void SetLocalRequestHandler(LocalRequestHandler handler) { localRequestHandler.store(handler); }

bool IsLocalHost(std::string_view name, HostPlatform& platform) {
  if (IsAliasOfThisStation(name)) return true;
  if (name.empty()) return false;
  const std::optional<std::string> computer = platform.ComputerName();
  return computer && !computer->empty() && IEquals(name, *computer);
}

void ResolveLocalHost(std::string* name, HostPlatform& platform) {
  if (name == nullptr || !IsAliasOfThisStation(*name)) return;
  if (std::optional<std::string> computer = platform.ComputerName()) *name = std::move(*computer);
}

HRESULT doRemoteCommand(Station& station, std::string_view message, AnswerText* answer) {
  CXmlElement request;
  if (!request.LoadXml(message)) return E_FAIL;
  const std::string receiver = ReceiverOf(request);
  if (receiver.empty()) {
    const std::string text(message);
    TraceError(kSource, "<doRemoteCommand>Host tag is empty.%s</doRemoteCommand>", text.c_str());
    return E_FAIL;
  }
  if (receiver == "*") return DiscoverCommand(station, message, nullptr);
  if (IsLocalHost(receiver, station.hostPlatform())) {
    Trace(kSource, nullptr, nullptr, kTraceRemoteCall, kLevelText, "Command on Local computer");
    const LocalRequestHandler handler = localRequestHandler.load();
    return handler != nullptr ? handler(station, request, answer) : E_FAIL;
  }
  if (WantsAsync(request))
    return StartAsyncCommand(station, kServiceProjectManager, receiver, message);
  return doRPCCommand(station, kServiceProjectManager, receiver, message, answer);
}

HRESULT DiscoverCommand(Station& station, std::string_view message, AnswerText* answer) {
  CXmlElement request;
  if (!request.LoadXml(message)) return E_FAIL;
  const std::string receiver = ReceiverOf(request);
  if (receiver.empty() || IsLocalHost(receiver, station.hostPlatform())) {
    std::unique_ptr<INetQXKomm> component;
    HRESULT hr = station.CreateTransport(&component);
    if (Failed(hr)) return hr;
    AnswerText local;
    hr = component->LocalRequest(message, &local);
    if (answer != nullptr && local) *answer = std::move(local);
    return hr;
  }
  if (receiver == "*") {
    std::unique_ptr<INetQXKomm> component;
    HRESULT hr = station.CreateTransport(&component);
    if (Failed(hr)) return hr;
    return component->SendToGroup(message);
  }
  if (WantsAsync(request)) return StartAsyncCommand(station, kServiceDiscovery, receiver, message);
  return doRPCCommand(station, kServiceDiscovery, receiver, message, answer);
}

HRESULT doRPCCommand(Station& station, std::string_view service, std::string_view receiver,
                     std::string_view message, AnswerText* answer) {
  if (TraceEnabled(kTraceServer, kLevelText)) {
    const std::string text(message);
    Trace(kSource, nullptr, nullptr, kTraceServer, kLevelText, "<doRPCCommand>%s</doRPCCommand>",
          text.c_str());
  }
  HRESULT result = E_FAIL;
  AnswerText reply;
  {
    CRPCClientW client;
    client.setHostPlatform(station.hostPlatform());
    client.setConnectionPool(station.rpcPool());
    if (client.Connect(service, receiver, ExecutablePath())) {
      if (client.SendString(DATA_ID_REQUEST, message, &reply)) result = client.lastResult;
      client.Disconnect();
    } else if (client.lastResult == kRpcAuthenticationFailed) {
      result = kRpcAuthenticationFailed;  // the caller learns that the keys do not match
    }
  }
  if (Failed(result)) {
    TraceError(kSource, "<RPCError>hr(0x%08x)</RPCError>", static_cast<unsigned>(result));
  } else {
    Trace(kSource, nullptr, nullptr, kTraceServer, kLevelText, "<RPCAnswer>%s</RPCAnswer>",
          reply ? reply->c_str() : "null");
  }
  if (answer != nullptr && reply) *answer = std::move(reply);
  return result;
}

HRESULT StartAsyncCommand(Station& station, std::string_view service, std::string_view receiver,
                          std::string_view message) {
  if (Utf16Units(receiver) > kMaxAsyncReceiverUnits) {
    const std::string text(receiver);
    TraceError(kSource, "<StartAsyncCommand>Receiver too long.%s</StartAsyncCommand>",
               text.c_str());
    return E_INVALIDARG;
  }
  try {
    // The worker owns copies of the texts; the caller's may be gone before it runs.
    return RunAsyncCommand(
        [&station, service = std::string(service), receiver = std::string(receiver),
         message = std::string(message)](const std::atomic<bool>& cancelled) {
          if (cancelled) return;
          // A stop or unload ends the call within moments, not its call timeout.
          ScopedRpcCancelFlag cancelCalls(&cancelled);
          AnswerText answer;
          doRPCCommand(station, service, receiver, message, &answer);
        },
        AsyncCommandBound());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace qx
