// discovery_handler.cpp - routing and handling of discovery messages, join and leave.
#include "discovery/discovery_handler.h"

#include <new>
#include <string>

#include "client/remote_client.h"
#include "common/answer.h"
#include "common/text.h"
#include "discovery/host_details.h"
#include "discovery/liveness_service.h"
#include "discovery/liveness_wire.h"
#include "discovery/multicast_port.h"
#include "nettree/net_tree.h"
#include "registry/project_state.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSource("RemoteServer");

// Runs one handler step; an exception becomes its HRESULT and never leaves the handler.
template <typename Step>
HRESULT Guarded(Step step) {
  try {
    return step();
  } catch (const std::bad_alloc&) {
    TraceError(kSource, "discovery handler: out of memory");
    return E_OUTOFMEMORY;
  } catch (...) {
    TraceError(kSource, "discovery handler: unexpected failure");
    return E_FAIL;
  }
}

bool IsLocal(const DiscoveryHost& host, std::string_view name) {
  return host.station().localHost().IsLocalComputer(name);
}

HRESULT RouteRemoteCall(DiscoveryHost& host, std::string_view text, const CXmlElement& message) {
  TraceReceived("MulticastPort", text, message);
  const std::string context = message.GetSubText("ProcessContext");
  if (!host.takesRemoteCall(context)) return S_OK;  // the other role of this process takes it
  if (IEquals(context, "ProjectManager")) {
    std::string whole;
    if (!message.GetXml(&whole)) return E_FAIL;
    return host.ForwardRemoteCall(whole);
  }
  if (IEquals(context, "DiscoverService")) return host.PerformRemoteCall(message);
  return E_FAIL;
}

}  // namespace

void TraceReceived(std::string_view portName, std::string_view text, const CXmlElement& message) {
  const std::uint32_t type = portName == "MulticastPort" ? kTraceMulticast : kTraceServer;
  if (!TraceEnabled(type, kLevelText)) return;  // the copy below costs as much as the message
  if (IEquals(message.GetSubText("EVENT"), "New State of Server") &&
      message.GetSubText("STATE").empty()) {
    return;
  }
  const std::string line(text);
  if (portName == "MulticastPort") {
    Trace(kSource, "OnReceive|Multicast", nullptr, kTraceMulticast, kLevelText, "%s", line.c_str());
  } else {
    Trace(kSource, "OnReceive|RPC", nullptr, kTraceServer, kLevelText, "%s", line.c_str());
  }
}

HRESULT ReceiveMulticast(DiscoveryHost& host, std::string_view text) {
  return Guarded([&]() -> HRESULT {
    CXmlElement message;
    if (!message.LoadXml(text)) {
      const std::string line(text);
      TraceWarning(kSource, "<E>onReceiveMulticast: invalid xml string<S>%s</S></E>", line.c_str());
      return E_FAIL;
    }
    const std::string tag = message.GetName();
    if (IEquals(tag, "QXDISCOVER")) {
      TraceReceived("MulticastPort", text, message);
      return host.onDiscoverEvent(text, message);
    }
    if (IEquals(tag, "PM_MULTICAST") || IEquals(tag, "PM_OLD_MAIL_SLOT")) {
      return host.onProjectManagerEvent(text, message);
    }
    if (IEquals(tag, "STATIONLIST") || IEquals(tag, "NETQX")) {
      return host.onStationEvent(text, message);
    }
    if (IEquals(tag, "REMOTECALL")) return RouteRemoteCall(host, text, message);
    if (IEquals(tag, kLivenessRoot)) {
      if (LivenessService* live = host.liveness(); live != nullptr && host.multicastEnabled()) {
        live->Receive(text);
      }
      return S_OK;
    }
    if (IEquals(tag, "TestMulticast")) {
      const std::string line(text);
      Trace(kSource, "OnReceive|Multicast", "warning", kTraceMulticast, kLevelEvents, "%s",
            line.c_str());
      return AnswerTestMulticast(host.station(), message);
    }
    if (IEquals(tag, "ReplyTestMulticast")) {
      const std::string line(text);
      Trace(kSource, "OnReceive|Unicast", "warning", kTraceMulticast, kLevelEvents, "%s",
            line.c_str());
    }
    return S_OK;
  });
}

HRESULT HandleDiscoverEvent(DiscoveryHost& host, std::string_view /*text*/, CXmlElement& message) {
  if (!host.multicastEnabled()) return S_OK;
  Guarded([&]() -> HRESULT {
    const std::string event = message.GetSubText("EVENT");
    const std::string name = message.GetSubText("HOST");
    const std::string domain = message.GetSubText("DOMAIN");
    NetTree& tree = host.station().tree();
    LivenessService* live = host.liveness();
    const bool join = IEquals(event, "JOIN");
    if (join || IEquals(event, "UPDATE")) {
      // An announcement stamped with an incarnation enters only once its station answered a
      // probe of this one (a replay of a stopped station's JOIN brings no ghost); its stamp
      // never reaches the tree. Without the extension every announcement is taken as it comes.
      std::uint64_t version = 0;
      std::uint64_t incarnation = 0;
      // Such a station's list is its whole list (replaced); the original protocol's is merged.
      const bool stamped = !message.GetSubText("INCARNATION").empty();
      if (live != nullptr) {
        if (!live->Admit(&message, join, &version)) return S_OK;
      } else {
        TakeAnnouncementStamp(&message, &incarnation, &version);
      }
      // A join that the tree refuses (no host, no domain, a name too long) is dropped
      // unanswered: the tree has traced it.
      if (!tree.AddHost(name, domain, &message, stamped)) return S_OK;
      if (live != nullptr) live->Applied(name, version);
      if (join && !IsLocal(host, name)) ReplyUpdate(host, name, message.GetSubText("IP"));
    } else if (IEquals(event, "LEAVE")) {
      if (!IsLocal(host, name) && (live == nullptr || live->Leave(&message))) {
        tree.RemoveHost(name, domain);
      }
    } else if (IEquals(event, "RemoveFromProjectList")) {
      tree.RemoveFromProjectList(message);
    }
    return S_OK;
  });
  return S_OK;
}

HRESULT HandleProjectManagerEvent(DiscoveryHost& host, std::string_view text,
                                  const CXmlElement& message) {
  if (!host.multicastEnabled()) return S_OK;
  Guarded([&]() -> HRESULT {
    TraceReceived("MulticastPort", text, message);
    const std::string event = message.GetSubText("EVENT");
    const std::string dsn = message.GetSubText("DSN");
    const std::string state = message.GetSubText("STATE");
    const std::string name = message.GetSubText("HOST");
    NetTree& tree = host.station().tree();
    if (IEquals(event, "New State of Server")) {
      if (IsLocal(host, name)) SetCurrentProjectState(dsn, state);
      const std::string reason = message.GetSubText("Reason");
      if (IEquals(reason, "open") || IEquals(reason, "create")) {
        tree.PushServerProject(message);
      } else {
        tree.ChangeServerState(dsn, state);
      }
    } else if (IEquals(event, "New State of Client")) {
      tree.ChangeClientState(name, dsn, state);
    }
    return S_OK;
  });
  return S_OK;
}

HRESULT HandleStationEvent(DiscoveryHost& host, std::string_view text, const CXmlElement& message) {
  if (!host.multicastEnabled() || !IEquals(message.GetName(), "NETQX")) return S_OK;
  Guarded([&]() -> HRESULT {
    // A SHUTDOWN names its station (STATION with HOST and DOMAIN); the tree keeps that station
    // until it leaves, so the message is only traced.
    const std::string line(text);
    Trace(kSource, nullptr, nullptr, kTraceStation, kLevelDetail, "%s", line.c_str());
    return S_OK;
  });
  return S_OK;
}

HRESULT ReplyUpdate(const DiscoveryHost& host, std::string_view joiner, std::string_view address) {
  return Guarded([&]() -> HRESULT {
    AnswerText update;
    if (host.replyWithRpc()) {
      HRESULT result = BuildHostDetails(host.station(), "QXDISCOVER", "UPDATE", joiner, &update);
      if (Failed(result) || !update) return Failed(result) ? result : E_FAIL;
      if (const LivenessService* live = host.liveness()) live->Stamp(&*update);
      AnswerText ignored;
      return DiscoverCommand(host.station(), *update, &ignored);
    }
    HRESULT result = BuildHostDetails(host.station(), "QXDISCOVER", "UPDATE", address, &update);
    if (Failed(result) || !update) return Failed(result) ? result : E_FAIL;
    if (const LivenessService* live = host.liveness()) live->Stamp(&*update);
    return SendToMulticastPortRetrying(host.station(), address.empty() ? joiner : address, *update);
  });
}

HRESULT AnswerTestMulticast(const Station& station, const CXmlElement& request) {
  return Guarded([&]() -> HRESULT {
    const std::string address = request.GetSubText("IP");
    const std::string replyBy = request.GetSubText("ReplyBy");
    AnswerText reply;
    const HRESULT built = BuildHostDetails(station, "ReplyTestMulticast", "TEST", address, &reply);
    if (IEquals(replyBy, "RPC")) return E_NOTIMPL;
    // A mailslot receiver names a Windows mailslot, which no station here has: as with a
    // mailslot that does not open, nothing is sent.
    if (IEquals(replyBy, "Mailslot")) return built;
    if (Failed(built) || !reply) return Failed(built) ? built : E_FAIL;
    return SendToMulticastPort(station, address, *reply);
  });
}

HRESULT JoinMulticastGroup(DiscoveryHost& host) {
  if (!host.multicastEnabled()) return E_NOTIMPL;
  return Guarded([&]() -> HRESULT {
    Trace(kSource, nullptr, nullptr, kTraceMulticast, kLevelEvents, "JoinMulticastGroup()");
    AnswerText join;
    HRESULT result = BuildHostDetails(host.station(), "QXDISCOVER", "JOIN", "*", &join);
    if (Succeeded(result) && join) {
      if (LivenessService* live = host.liveness()) {
        live->SetJoined(true);
        live->Stamp(&*join);
      }
      result = SendToMulticastPortRetrying(host.station(), "*", *join);
      host.onReceiveMulticast(*join);
    }
    return result;
  });
}

namespace {

// The LEAVE of station, stamped by host's liveness when host is given.
HRESULT SendLeave(Station& station, const DiscoveryHost* host) {
  return Guarded([&]() -> HRESULT {
    AnswerText leave;
    HRESULT result = BuildHostDetails(station, "QXDISCOVER", "LEAVE", "*", &leave);
    LivenessService* live = host != nullptr ? host->liveness() : nullptr;
    if (Succeeded(result) && leave) {
      if (live != nullptr) live->Stamp(&*leave);
      result = SendToMulticastPortRetrying(station, "*", *leave);
    }
    if (live != nullptr) live->SetJoined(false);
    // Only a tree that the discovery role initialised is created anew: a leave in a process
    // without that role must not open the tree's queries.
    NetTree& tree = station.tree();
    const bool initialized = tree.IsInitialized();
    tree.Clear();
    if (initialized) tree.Init();
    Trace(kSource, nullptr, nullptr, kTraceMulticast, kLevelEvents, "LeaveMulticastGroup");
    return result;
  });
}

}  // namespace

HRESULT LeaveMulticastGroup(Station& station) { return SendLeave(station, nullptr); }

HRESULT LeaveMulticastGroup(const DiscoveryHost& host) { return SendLeave(host.station(), &host); }

}  // namespace qx
