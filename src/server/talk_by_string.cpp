// talk_by_string.cpp - CSERVER::TalkByString, the dispatcher of the host's local commands.
//
// A command is a message whose root tag names it (ignoring case). Commands that steer the
// registry list, the trace masks, the current address and the project manager are answered
// here; tree queries pass a gate that stops them while the network tree is not initialised.
// Runs on the calling host thread; no lock of its own.
#include <chrono>
#include <new>
#include <thread>

#include "common/text.h"
#include "nettree/net_tree.h"
#include "registry/registry_projects.h"
#include "server/answer_request.h"
#include "server/audit_trail.h"
#include "server/remote_server.h"
#include "trace/trace.h"

namespace qx {

namespace {

const CTraceSource kSource("RemoteServer");

// Pause between the leave and the join of "LeaveJoinMulticastGroup", so that the leave
// announcement goes out before the station announces itself again.
constexpr std::chrono::milliseconds kLeaveJoinPause{1000};

using TreeQuery = HRESULT (NetTree::*)(const CXmlElement& request, AnswerText* answer) const;

struct TreeQueryEntry {
  const char* tag;
  TreeQuery query;
};

// Rows 11 to 16 of the command table, in their order.
constexpr TreeQueryEntry kTreeQueries[] = {
    {"GetTreeContent", &NetTree::GetTreeContent},
    {"GetHostDetails", &NetTree::GetHostDetails},
    {"GetProjectDetails", &NetTree::GetProjectDetails},
    {"GetProjectList", &NetTree::GetProjectList},
    {"FindServerForDSN", &NetTree::FindServerForDSN},
    {"IsPasswordAvailable", &NetTree::IsPasswordAvailable},
};

HRESULT ForwardCommand(const CXmlElement& command, AnswerText* answer) {
  std::string text;
  if (!command.GetXml(&text)) return E_FAIL;
  return ForwardToProjectManager(text, answer);
}

HRESULT SetStationData(LocalHostInfo& host, const CXmlElement& command, AnswerText* answer) {
  const bool selected = host.SelectAddress(command.GetSubText("IP"));
  if (answer != nullptr) *answer = selected ? "SUCCESS" : "ERROR";
  return selected ? S_OK : E_FAIL;
}

}  // namespace

HRESULT CSERVER::TalkByString(std::string_view text, AnswerText* answer) {
  const std::string command(text);
  // The trace facility shows the content of every password element as ***.
  Trace(kSource, nullptr, nullptr, kTraceTalk, kLevelText, "<TalkByString>%s</TalkByString>",
        command.c_str());
  HRESULT result = E_FAIL;
  try {
    CXmlElement tree;
    result = tree.LoadXml(command) ? DispatchCommand(tree, answer) : E_INVALIDARG;
  } catch (const std::bad_alloc&) {
    result = E_OUTOFMEMORY;
  } catch (...) {
    result = E_FAIL;
  }
  AuditLocalCommand(command, result);
  if (Failed(result)) {
    TraceError(kSource, "<TalkByString><hr>0x%x</hr>%s</TalkByString>",
               static_cast<unsigned>(result), command.c_str());
  }
  return result;
}

HRESULT CSERVER::DispatchCommand(const CXmlElement& command, AnswerText* answer) {
  const std::string tag = command.GetName();
  if (IEquals(tag, "JoinMulticastGroup")) return JoinMulticastGroup();
  if (IEquals(tag, "LeaveMulticastGroup")) return LeaveMulticastGroup();
  if (IEquals(tag, "LeaveJoinMulticastGroup")) {
    LeaveMulticastGroup();
    std::this_thread::sleep_for(kLeaveJoinPause);
    return JoinMulticastGroup();
  }
  if (IEquals(tag, "WriteProjectToRegistry")) return WriteToRegistry(station_.registry(), command);
  if (IEquals(tag, "CleanRegistry")) {
    cleanRegistryEnabled = IEquals(command.GetSubText("Switch"), "on");
    return S_OK;
  }
  if (IEquals(tag, "IsServerForDSN") || IEquals(tag, "IsClientForDSN")) {
    return ForwardCommand(command, answer);
  }
  if (IEquals(tag, "SetTraceConfig")) {
    Diagnosis().SetMasks(command.GetSubUInt("DefaultType"), command.GetSubUInt("DefaultLevel"));
    return S_OK;
  }
  if (IEquals(tag, "SetStationData")) return SetStationData(station_.localHost(), command, answer);
  if (IEquals(tag, "GetLiveness")) {
    // The liveness settings, counters and peers; E_NOTIMPL where the extension does not run.
    if (!liveness_) return E_NOTIMPL;
    if (answer != nullptr) {
      *answer = LivenessStatusAnswer(liveness_->Status(), station_.localHost().computerName());
    }
    return S_OK;
  }

  NetTree& netTree = station_.tree();
  if (!netTree.IsInitialized()) {
    TraceError(kSource, "TalkByString: NetTree not initialized TAG(%s)", tag.c_str());
    return E_FAIL;
  }
  for (const TreeQueryEntry& entry : kTreeQueries) {
    if (IEquals(tag, entry.tag)) return (netTree.*entry.query)(command, answer);
  }
  if (IEquals(tag, "SetUserPassword")) return netTree.SetUserPassword(command);
  TraceError(kSource, "TalkByString: UNKNOWN TAG(%s)", tag.c_str());
  return E_NOTIMPL;
}

}  // namespace qx
