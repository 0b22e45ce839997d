// remote_server.cpp - CSERVER: start and stop by role, the RPC receive path, currentServer.
//
// currentServer is guarded by one module-wide lock (serverLock); each server counts the ServerRefs
// that hold it under that mutex, and its destructor waits on a condition variable until the count
// is back to zero. The receive callbacks run on RPC pool threads and never let an exception out.
#include "server/remote_server.h"

#include <chrono>
#include <new>

#include "common/text.h"
#include "discovery/discovery_handler.h"
#include "discovery/multicast_sink.h"
#include "nettree/net_tree.h"
#include "registry/reg_key.h"
#include "registry/registry_projects.h"
#include "rpc/rpc_settings.h"
#include "server/answer_request.h"
#include "server/audit_trail.h"
#include "server/remote_file_answers.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSource("RemoteServer");
// How long a stop waits for the audit entries of the requests it served to be written.
constexpr std::chrono::milliseconds kAuditFlushOnStop{5000};

struct ServerRegistry {
  CondVar released{&serverLock};
  CSERVER* current GUARDED_BY(serverLock) = nullptr;
};

ServerRegistry& Servers() {
  static ServerRegistry registry;
  return registry;
}

HRESULT HresultOfCurrentException() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace

CSERVER::CSERVER(Station& station) : station_(station) {
  ServerRegistry& servers = Servers();
  MutexLock lock(&serverLock);
  servers.current = this;
}

CSERVER::~CSERVER() {
  // The watch and the sink borrow this object: they end before anything of it goes.
  StopWatchTimer();
  if (liveness_) liveness_->Stop();
  if (sinkCookie_ != 0) {
    UnadviseEventSink(sinkCookie_);
    sinkCookie_ = 0;
  }
  stopServer();
  ServerRegistry& servers = Servers();
  MutexLock lock(&serverLock);
  if (servers.current == this) servers.current = nullptr;
  while (holders_ != 0) servers.released.Wait();
}

HRESULT CSERVER::startRemoteServer(std::string_view serviceName) {
  const bool started = startServer(serviceName, 0);
  station_.localHost().Refresh();
  if (!started) {
    TraceError(kSource, "startRemoteServer() failed!");
    return E_FAIL;
  }

  if (IEquals(serviceName, kServiceDiscovery)) {
    serviceName_ = kRoleDiscovery;
    InitProjectList(station_.registry());
    StartLiveness();
    multicastEnabled_ = InitNetworkTree();
    CREGKEY storage(station_.registry(), kStorageKey);
    const std::uint32_t period = storage.GetInt("CleanRegistry", kDefaultWatchPeriodMs);
    replyWithRpc_ = storage.GetInt("ReplyWithRPC", 0) != 0;
    if (period != 0) StartWatchTimer(period);
    storage.Close();
  } else if (IEquals(serviceName, kServiceProjectManager)) {
    serviceName_ = kRoleProjectManager;
    sinkCookie_ = AdviseEventSink();
  } else {
    serviceName_ = kRoleUnknown;
  }

  Trace(kSource, nullptr, nullptr, kTraceServer, kLevelMain, "startRemoteServer() suceeded");
  return S_OK;
}

HRESULT CSERVER::stopRemoteServer() {
  if (IEquals(serviceName_, kRoleDiscovery)) {
    multicastEnabled_ = false;
    if (liveness_) liveness_->Stop();
    ClearNetworkTree();
    StopWatchTimer();
  }
  const HRESULT result = stopServer() ? S_OK : E_FAIL;
  FlushStationAudit(kAuditFlushOnStop);
  if (sinkCookie_ != 0) {
    UnadviseEventSink(sinkCookie_);
    sinkCookie_ = 0;
  }
  if (Succeeded(result)) {
    Trace(kSource, nullptr, nullptr, kTraceServer, kLevelMain, "stopRemoteServer() succeeded");
  } else {
    TraceError(kSource, "stopRemoteServer() failed!");
  }
  return result;
}

bool CSERVER::onReceiveString(std::uint16_t /*clientId*/, std::uint32_t dataId,
                              const std::string& text, AnswerText* answer) {
  HRESULT result = E_FAIL;
  try {
    CXmlElement tree;
    if (!tree.LoadXml(text)) {
      result = E_INVALIDARG;
      TraceWarning(kSource, "<E>onReceiveString (RPC): invalid xml string<S>%s</S></E>",
                   text.c_str());
    } else if (dataId == DATA_ID_REQUEST) {
      result = AnswerRemoteRequest(station_, tree, answer);
    } else {
      result = E_NOTIMPL;
      TraceWarning(kSource, "<E>onReceiveString (RPC): Unknownd dataID(%d) <S>%s</S></E>",
                   static_cast<int>(dataId), text.c_str());
    }
  } catch (...) {
    result = HresultOfCurrentException();
  }
  SetResultSlot(result);
  return Succeeded(result);
}

bool CSERVER::onReceiveData(std::uint16_t /*clientId*/, std::uint32_t dataId,
                            const std::uint8_t* data, std::size_t size, ByteBlock* answer) {
  HRESULT result = E_FAIL;
  try {
    if (dataId == DATA_ID_READ_FILE) {
      result = AnswerReadFile(data, size, answer);
      AuditReadFile(data, size, result);
    } else {
      result = E_NOTIMPL;
      TraceWarning(kSource, "<E>CSERVER::onReceiveData(RPC): Unknown dataID(%d)</E>",
                   static_cast<int>(dataId));
    }
  } catch (...) {
    result = HresultOfCurrentException();
  }
  return Succeeded(result);
}

HRESULT CSERVER::onReceiveMulticast(std::string_view text) { return ReceiveMulticast(*this, text); }

HRESULT CSERVER::onDiscoverEvent(std::string_view text, CXmlElement& tree) {
  return HandleDiscoverEvent(*this, text, tree);
}

HRESULT CSERVER::onProjectManagerEvent(std::string_view text, const CXmlElement& tree) {
  return HandleProjectManagerEvent(*this, text, tree);
}

HRESULT CSERVER::onStationEvent(std::string_view text, const CXmlElement& tree) {
  return HandleStationEvent(*this, text, tree);
}

bool CSERVER::takesRemoteCall(std::string_view context) const {
  // A context that names neither role is refused by the routing (E_FAIL), as in every role.
  if (!IEquals(context, kRoleDiscovery) && !IEquals(context, kRoleProjectManager)) return true;
  if (!IEquals(serviceName_, kRoleDiscovery) && !IEquals(serviceName_, kRoleProjectManager)) {
    return true;  // a server of no known role takes both
  }
  return IEquals(context, serviceName_);
}

HRESULT CSERVER::ForwardRemoteCall(std::string_view text) {
  // The call came from the group, not from a local caller.
  return ForwardToProjectManager(text, nullptr, /*fromRemote=*/true);
}

HRESULT CSERVER::PerformRemoteCall(const CXmlElement& message) {
  return PerformDllCall(message, nullptr);
}

HRESULT CSERVER::JoinMulticastGroup() { return qx::JoinMulticastGroup(*this); }

HRESULT CSERVER::LeaveMulticastGroup() { return qx::LeaveMulticastGroup(*this); }

void CSERVER::StartLiveness() {
  if (liveness_) {
    liveness_->Start();
    return;
  }
  // Settings that cannot be read start no liveness: the station then removes nobody for
  // silence (as before the extension) rather than judge by values it did not mean.
  LivenessSettings settings;
  std::string error;
  if (!ReadLivenessSettings(&settings, &error)) {
    TraceError(kSource, "liveness not started: %s", CutToUnits(error, 300).c_str());
    return;
  }
  try {
    liveness_ = std::make_unique<LivenessService>(settings, station_.clock(), *this);
  } catch (const std::bad_alloc&) {
    TraceError(kSource, "liveness not started: out of memory");
    return;
  }
  liveness_->Start();
}

bool CSERVER::InitNetworkTree() { return station_.tree().Init(); }

void CSERVER::ClearNetworkTree() { station_.tree().Clear(); }

void CSERVER::StartWatchTimer(std::uint32_t periodMs) {
  // Each tick joins through the current server, which may not be this one when a process
  // runs several servers; the timer itself ends with this object.
  watchTimer_.Start(periodMs, [this] {
    WatchTick(station_, [] {
      ServerRef server;
      if (server) server->JoinMulticastGroup();
    });
  });
}

void CSERVER::StopWatchTimer() { watchTimer_.Stop(); }

std::uint32_t CSERVER::AdviseEventSink() { return CMulticastSink::Init(this); }

void CSERVER::UnadviseEventSink(std::uint32_t cookie) { CMulticastSink::Cleaup(cookie); }

ServerRef::ServerRef() {
  ServerRegistry& servers = Servers();
  MutexLock lock(&serverLock);
  server_ = servers.current;
  if (server_ != nullptr) ++server_->holders_;
}

ServerRef::~ServerRef() {
  if (server_ == nullptr) return;
  ServerRegistry& servers = Servers();
  MutexLock lock(&serverLock);
  if (--server_->holders_ == 0) servers.released.SignalAll();
}

}  // namespace qx
