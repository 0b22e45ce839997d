// answer_request.cpp - AnswerRemoteRequest and the answers given from this station's knowledge.
//
// The dispatcher tries the request tags in a fixed order (ignoring case), runs the first
// handler that matches and writes one exchange line whatever the outcome. Handlers write the
// answer only where they have one; on a failure the caller's answer stays as it was.
// Runs on the delivering thread; no lock of its own.
#include "server/answer_request.h"

#include <utility>

#include "client/remote_client.h"
#include "common/text.h"
#include "messaging/project_manager_link.h"
#include "platform/host_platform.h"
#include "registry/reg_key.h"
#include "registry/registry_projects.h"
#include "server/audit_trail.h"
#include "server/remote_file_answers.h"
#include "server/remote_server.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSource("RemoteServer");
const CTraceSource kAnswerSource("AnswerRequest");

// True while this thread answers a request of its own process for this station (a local
// receiver): the project manager may then judge the caller by this process's credentials. A
// request that came from another station is never served with it set.
thread_local bool t_localCaller = false;

using Handler = HRESULT (*)(Station& station, const CXmlElement& request, AnswerText* answer);

// A handler that needs nothing of the station.
template <HRESULT (*answer)(const CXmlElement&, AnswerText*)>
HRESULT Stationless(Station& /*station*/, const CXmlElement& request, AnswerText* out) {
  return answer(request, out);
}

HRESULT AnswerDiscoverByRpc(const CXmlElement& request, AnswerText* /*answer*/) {
  std::string text;
  request.GetXml(&text);
  const bool clearedState = IEquals(request.GetSubText("EVENT"), "New State of Server") &&
                            request.GetSubText("STATE").empty();
  if (!clearedState) {
    Trace(kSource, "OnReceive|RPC", nullptr, kTraceServer, kLevelText, "%s", text.c_str());
  }
  ServerRef server;
  if (!server) return E_FAIL;
  // The handler may take children out of the message: it gets a copy of its own.
  CXmlElement message;
  if (!message.LoadXml(text)) return E_FAIL;
  return server->onDiscoverEvent(text, message);
}

HRESULT AnswerHostDetails(Station& station, const CXmlElement& /*request*/, AnswerText* answer) {
  // A process that serves no RPC (qxstation, any host asking for its own station) has not read
  // the host's names and addresses yet: read them before they are written out.
  LocalHostInfo& host = station.localHost();
  if (host.version() == 0) host.Refresh();
  return BuildHostDetails(station, "HostDetails", "UPDATE", ".", answer);
}

HRESULT AnswerProjectDetails(const CXmlElement& request, AnswerText* answer) {
  CXmlElement project;
  if (!ReadProjectFromRegistry(request.GetSubText("DSN"), kModeAllProjects, &project)) {
    return E_FAIL;
  }
  std::string text;
  if (!project.GetXml(&text)) return E_FAIL;
  if (answer != nullptr) *answer = std::move(text);
  return S_OK;
}

HRESULT AnswerResolveShare(const CXmlElement& request, AnswerText* answer) {
  const std::string share = request.GetSubText("Share");
  if (answer == nullptr) return E_POINTER;
  std::optional<std::string> path = ResolveSharePath(share);
  if (!path) return E_FAIL;
  *answer = std::move(*path);
  return S_OK;
}

HRESULT AnswerForwarded(const CXmlElement& request, AnswerText* answer) {
  std::string text;
  if (!request.GetXml(&text)) return E_FAIL;
  return ForwardToProjectManager(text, answer, /*fromRemote=*/!t_localCaller);
}

HRESULT AnswerTest(const CXmlElement& /*request*/, AnswerText* answer) {
  if (answer != nullptr) *answer = "Test Answered";
  return S_OK;
}

struct RequestEntry {
  const char* tag;
  Handler handler;
};

// The order is the order in which the tags are tried.
constexpr RequestEntry kRequests[] = {
    {"QXDISCOVER", Stationless<AnswerDiscoverByRpc>},
    {"GetHostDetails", AnswerHostDetails},
    {"GetProjectDetails", Stationless<AnswerProjectDetails>},
    {"REMOTECALL", Stationless<PerformDllCall>},
    {"OPENFILE", Stationless<AnswerOpenFile>},
    {"RemoteActivate", Stationless<AnswerForwarded>},
    {"RemoteDeactivate", Stationless<AnswerForwarded>},
    {"ResolveShare", Stationless<AnswerResolveShare>},
    {"GetApplicationPath", Stationless<AnswerForwarded>},
    {"CloseProjectOnClient", Stationless<AnswerForwarded>},
    {"IsClientInMachineList", Stationless<AnswerForwarded>},
    {"CheckUserAdmin", Stationless<AnswerForwarded>},
    {"IsServerForDSN", Stationless<AnswerForwarded>},
    {"IsClientForDSN", Stationless<AnswerForwarded>},
    {"GetStateOfProjectManager", Stationless<AnswerForwarded>},
    {"GetStateOfNorvaneProject", Stationless<AnswerForwarded>},
    {"Test", Stationless<AnswerTest>},
};

// The answer as the exchange line shows it: "<null>" when the caller wants no answer,
// "<none>" when no answer was written.
const char* ExchangeAnswerText(const AnswerText* answer) {
  if (answer == nullptr) return "<null>";
  if (!answer->has_value()) return "<none>";
  return (*answer)->c_str();
}

}  // namespace

HRESULT AnswerRemoteRequest(Station& station, const CXmlElement& request, AnswerText* answer) {
  const std::string tag = request.GetName();
  HRESULT result = E_NOTIMPL;
  bool matched = false;
  for (const RequestEntry& entry : kRequests) {
    if (IEquals(tag, entry.tag)) {
      result = entry.handler(station, request, answer);
      matched = true;
      break;
    }
  }
  if (!matched) TraceError(kAnswerSource, "AnswerRemoteRequest: UNKNOWN TAG(%s)", tag.c_str());
  AuditRemoteRequest(request, result);

  Trace(kSource, nullptr, nullptr, kTraceServer, kLevelText,
        "<AnswerRemoteRequest><Request>%s</Request><Result>%s</Result><HRESULT>0x%08x</HRESULT>"
        "</AnswerRemoteRequest>",
        tag.c_str(), ExchangeAnswerText(answer), static_cast<unsigned>(result));
  return result;
}

bool IsProjectManagerRunning() { return ProjectManagerSocketAccepts(); }

HRESULT ForwardToProjectManager(std::string_view text, AnswerText* answer, bool fromRemote) {
  if (!IsProjectManagerRunning()) {
    if (answer != nullptr) *answer = kProjectManagerNotRunning;
    return E_FAIL;
  }
  AnswerText reply;
  const HRESULT result = fromRemote ? ProjectManagerForwardRequest(text, &reply)
                                    : ProjectManagerHandleRequest(text, &reply);
  if (answer != nullptr && reply) *answer = std::move(reply);
  return result;
}

HRESULT AnswerLocalRequest(Station& station, const CXmlElement& request, AnswerText* answer) {
  const bool outer = std::exchange(t_localCaller, true);
  const HRESULT result = AnswerRemoteRequest(station, request, answer);
  t_localCaller = outer;
  return result;
}

}  // namespace qx
