// station_commands.cpp - the subcommands of qxstation.
#include "station_commands.h"

#include <arpa/inet.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>

#include "common/text.h"
#include "copy_progress.h"
#include "failures.h"
#include "liveness_view.h"
#include "module_calls.h"
#include "network_view.h"
#include "platform/environment.h"
#include "platform/host_platform.h"
#include "platform/unix_socket.h"
#include "registry_commands.h"
#include "requests.h"
#include "stop_signals.h"
#include "trace_listener.h"

namespace qxstation {
namespace {

// The raw form of an answer: "HRESULT 0x... (NAME)" and the answer text, or its JSON.
void PrintAnswer(const ModuleAnswer& answer, const Invocation& call, std::FILE* out) {
  if (call.format == OutputFormat::kJson) {
    // An empty answer is no answer.
    const bool none = !answer.text || answer.text->empty();
    WriteJson(AnswerJson(answer.hr, none ? std::nullopt : answer.text), out);
    return;
  }
  std::fprintf(out, "HRESULT %s\n", DescribeHresult(answer.hr).c_str());
  if (answer.text) std::fprintf(out, "%s\n", answer.text->c_str());
}

// The exit code of a raw request to station (empty: the station's own agent).
int RawRequestResult(const ModuleAnswer& answer, std::string_view station, std::string_view what,
                     std::FILE* err) {
  if (answer.hr >= 0) return kSuccess;
  if (answer.hr == kNoAgent) return ReportNoStation(err);
  if (answer.hr == kAccessDenied) {
    std::fprintf(err, "qxstation: %s refused %.*s (E_ACCESSDENIED): %s\n",
                 Printable(station.empty() ? "this station" : station, 64).c_str(),
                 static_cast<int>(what.size()), what.data(),
                 (FileRootsAdvice(station) + "; " + LibraryDirsAdvice(station)).c_str());
    return kFailure;
  }
  if (!answer.text && !station.empty() && station != "*") {
    return ReportRemoteFailure(station, what, answer.hr, err);
  }
  return kFailure;
}

// A local command of the station's agent whose answer the caller parses.
std::optional<std::string> LocalAnswer(const std::string& command, std::string_view what,
                                       int* exitCode, std::FILE* err) {
  const ModuleAnswer answer = CallDiscoverCommand(command);
  if (answer.hr < 0 || !answer.text) {
    *exitCode = ReportLocalFailure(
        what, answer.hr < 0 ? answer.hr : static_cast<HRESULT>(0x80004005u), err);
    return std::nullopt;
  }
  return answer.text;
}

void PrintRawAnswers(const std::vector<std::string>& answers, std::FILE* out) {
  for (const std::string& answer : answers) std::fprintf(out, "%s\n", answer.c_str());
}

bool IsLoopbackAddress(const std::string& address) {
  in_addr parsed{};
  return inet_pton(AF_INET, address.c_str(), &parsed) == 1 && (ntohl(parsed.s_addr) >> 24) == 127;
}

// The size of the file to copy when the station is this machine, where the file is read.
std::optional<std::uint64_t> LocalSourceSize(const std::string& station,
                                             const std::string& source) {
  const StationLookup lookup = LookUpStation(station);
  if (!lookup.local && !(lookup.address && IsLoopbackAddress(*lookup.address))) return std::nullopt;
  struct stat info;
  if (stat(source.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

// SIGINT breaks the running copy off: the next progress callback returns the break. The first
// Ctrl-C only asks; a second one ends the process as usual. The old action returns with the
// object's end.
class BreakOnInterrupt {
 public:
  BreakOnInterrupt() {
    struct sigaction action {};
    action.sa_handler = [](int) { CopyProgress::RequestBreak(); };
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    installed_ = sigaction(SIGINT, &action, &previous_) == 0;
  }
  ~BreakOnInterrupt() {
    if (installed_) sigaction(SIGINT, &previous_, nullptr);
  }
  BreakOnInterrupt(const BreakOnInterrupt&) = delete;
  BreakOnInterrupt& operator=(const BreakOnInterrupt&) = delete;

 private:
  struct sigaction previous_ {};
  bool installed_ = false;
};

// Why a copy failed: the user's break, the station, the source file or the destination.
// Whether the file system that holds the destination's directory is full (less than one
// block of the copy left for an unprivileged writer).
bool NoSpaceLeftFor(const std::string& destination) {
  const std::size_t slash = destination.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : destination.substr(0, slash));
  struct statvfs info {};
  if (::statvfs(directory.c_str(), &info) != 0) return false;
  return static_cast<unsigned long long>(info.f_bavail) * info.f_frsize < 64 * 1024;
}

int ExplainCopyFailure(const std::string& host, const std::string& source,
                       const std::string& destination, std::FILE* err) {
  const std::string shownDestination = Printable(destination);
  if (CopyProgress::BreakRequested()) {
    std::fprintf(err, "qxstation: copy broken off by Ctrl-C; %s is as it was\n",
                 shownDestination.c_str());
    return kFailure;
  }
  if (const std::optional<int> code = ReportUnreachable(host, err)) return *code;
  const std::string open = "<OPENFILE><Receiver>" + qx::XmlEscape(host) + "</Receiver><FILE>" +
                           qx::XmlEscape(source) + "</FILE></OPENFILE>";
  const ModuleAnswer opened = CallRemoteCommand(open);
  const std::string station = Printable(host, 64);
  const std::string file = Printable(source);
  if (opened.hr == kAccessDenied) {
    std::fprintf(err, "qxstation: %s refuses to serve %s: %s\n", station.c_str(), file.c_str(),
                 FileRootsAdvice(host).c_str());
  } else if (opened.hr < 0) {
    std::fprintf(err, "qxstation: %s cannot open %s: no such file there, or it is not readable\n",
                 station.c_str(), file.c_str());
  } else if (NoSpaceLeftFor(destination)) {
    std::fprintf(err,
                 "qxstation: %s from %s did not fit: no space is left where %s goes; an "
                 "existing %s is as it was\n",
                 file.c_str(), station.c_str(), shownDestination.c_str(), shownDestination.c_str());
  } else {
    std::fprintf(err,
                 "qxstation: %s from %s could not be written to %s: check that its directory "
                 "exists and is writable, and that it is not the source itself\n",
                 file.c_str(), station.c_str(), shownDestination.c_str());
  }
  return kFailure;
}

// E_NOTIMPL: the receiving side knows no such request.
constexpr HRESULT kNotImplemented = static_cast<HRESULT>(0x80004001u);

// The local commands of the discovery service.
constexpr std::string_view kLocalCommands[] = {
    "GetTreeContent",   "GetHostDetails",         "GetProjectDetails",   "GetProjectList",
    "FindServerForDSN", "JoinMulticastGroup",     "LeaveMulticastGroup", "LeaveJoinMulticastGroup",
    "TestMulticast",    "WriteProjectToRegistry", "CleanRegistry",       "SetTraceConfig",
    "SetStationData",   "IsServerForDSN",         "IsClientForDSN",      "IsPasswordAvailable",
    "SetUserPassword",
};

// A failed request that was not XML, or named no command the service knows: the line that says
// so (with the exit code), or nullopt when the request itself was well formed.
std::optional<int> ReportMalformedRequest(const ModuleAnswer& answer, std::string_view request,
                                          bool local, std::FILE* err) {
  if (answer.hr >= 0 || answer.hr == kNoAgent) return std::nullopt;
  const std::optional<std::string> tag = RootTag(request);
  if (!tag) {
    std::fprintf(err, "qxstation: the request is not XML; give one element, such as '%s'\n",
                 local ? "<GetTreeContent/>" : "<Test/>");
    return kUsage;
  }
  const bool known =
      !local || std::any_of(std::begin(kLocalCommands), std::end(kLocalCommands),
                            [&](std::string_view name) { return qx::IEquals(name, *tag); });
  if (!known || answer.hr == kNotImplemented) {
    std::fprintf(err, "qxstation: unknown command <%s>: the %s does not know it%s\n",
                 Printable(*tag, 64).c_str(), local ? "discovery service" : "station",
                 local ? "; it knows GetTreeContent, GetHostDetails, GetProjectList, "
                         "FindServerForDSN, JoinMulticastGroup, LeaveJoinMulticastGroup, ..."
                       : "");
    return kFailure;
  }
  return std::nullopt;
}

}  // namespace

int RunDiscover(const Invocation& call, std::FILE* out, std::FILE* err) {
  const ModuleAnswer answer = CallDiscoverCommand(call.words[0]);
  PrintAnswer(answer, call, out);
  if (const std::optional<int> code = ReportMalformedRequest(answer, call.words[0], true, err)) {
    return *code;
  }
  if (answer.hr < 0 && answer.hr != kNoAgent && ReceiverOf(call.words[0]).empty()) {
    return ReportLocalFailure(Printable(RootTag(call.words[0]).value_or(""), 64), answer.hr, err);
  }
  return RawRequestResult(answer, ReceiverOf(call.words[0]), "the command", err);
}

int RunCommand(const Invocation& call, std::FILE* out, std::FILE* err) {
  std::string command = call.words[0];
  if (call.receiver) {
    std::optional<std::string> addressed = WithReceiver(command, *call.receiver);
    if (!addressed) {
      std::fprintf(err, "qxstation: the command is not one XML element\n");
      return kUsage;
    }
    command = std::move(*addressed);
  }
  const ModuleAnswer answer = CallRemoteCommand(command);
  PrintAnswer(answer, call, out);
  if (const std::optional<int> code = ReportMalformedRequest(answer, command, false, err)) {
    return *code;
  }
  if (answer.hr < 0 && answer.hr != kNoAgent && ReceiverOf(command).empty()) {
    std::fprintf(err,
                 "qxstation: no receiver given: name the station with --receiver NAME (or a "
                 "<Receiver> element in the request)\n");
    return kUsage;
  }
  return RawRequestResult(answer, ReceiverOf(command), "the command", err);
}

int RunState(const Invocation& call, std::FILE* out, std::FILE* err) {
  const ModuleAnswer answer = CallStateOfMachine(call.words[0]);
  PrintAnswer(answer, call, out);
  return RawRequestResult(answer, call.words[0], "the state request", err);
}

int RunCall(const Invocation& call, std::FILE* out, std::FILE* err) {
  const auto& p = call.words;
  std::optional<std::string_view> param;
  if (p.size() > 3) param = p[3];
  const ModuleAnswer answer = CallRemoteCommand(RemoteCallRequest(p[0], p[1], p[2], param));
  PrintAnswer(answer, call, out);
  if (answer.hr >= 0 || answer.hr == kNoAgent) return RawRequestResult(answer, p[0], "", err);
  if (answer.text) return kFailure;  // the function's own failure, with its answer
  if (answer.hr != kAccessDenied) {
    if (const std::optional<int> code = ReportUnreachable(p[0], err)) return *code;
  }
  std::fprintf(err, "qxstation: %s could not call %s of %s (%s): %s\n", Printable(p[0], 64).c_str(),
               Printable(p[2], 64).c_str(), Printable(p[1]).c_str(), HresultName(answer.hr).c_str(),
               LibraryDirsAdvice(p[0]).c_str());
  return kFailure;
}

int RunHost(const Invocation& call, std::FILE* out, std::FILE* err) {
  const std::string& station = call.words[0];
  const ModuleAnswer answer = CallRemoteCommand(HostDetailsRequest(station));
  if (answer.hr < 0 || !answer.text) {
    if (call.format != OutputFormat::kHuman) PrintAnswer(answer, call, out);
    if (answer.hr >= 0) return kFailure;  // an empty answer
    return RawRequestResult(answer, station, "the host details request", err);
  }
  if (call.format == OutputFormat::kXml) {
    std::fprintf(out, "%s\n", answer.text->c_str());
    return kSuccess;
  }
  const std::optional<HostEntry> host = ParseHostDetails(*answer.text);
  if (!host) {
    std::fprintf(err, "qxstation: %s answered host details that are not XML\n",
                 Printable(station, 64).c_str());
    return kFailure;
  }
  if (call.format == OutputFormat::kJson) {
    WriteJson(HostJson(*host, /*withProjects=*/true), out);
  } else {
    PrintHost(*host, out);
  }
  return kSuccess;
}

int RunHosts(const Invocation& call, std::FILE* out, std::FILE* err) {
  if (!call.words.empty()) {
    // The older form "hosts NAME": the host details of one station, as they came.
    const ModuleAnswer answer = CallRemoteCommand(HostDetailsRequest(call.words[0]));
    PrintAnswer(answer, call, out);
    return RawRequestResult(answer, call.words[0], "the host details request", err);
  }
  NetworkView view;
  LocalFailure failure;
  if (LoadNetworkView(&view, /*withHostDetails=*/true, &failure) < 0) {
    return ReportLocalFailure(failure.command, failure.hr, err);
  }
  if (const std::optional<LivenessView> live = LoadLiveness()) {
    ApplyLiveness(*live, &view.hosts);
  } else {
    for (HostEntry& host : view.hosts) host.state = "silent";
  }
  if (call.format == OutputFormat::kXml) {
    PrintRawAnswers(std::vector<std::string>(view.answers.begin() + 2, view.answers.end()), out);
  } else if (call.format == OutputFormat::kJson) {
    nlohmann::json hosts = nlohmann::json::array();
    for (const HostEntry& host : view.hosts) hosts.push_back(HostJson(host, false));
    WriteJson({{"hosts", std::move(hosts)}}, out);
  } else {
    PrintHostsTable(view.hosts, out);
  }
  return kSuccess;
}

int RunTree(const Invocation& call, std::FILE* out, std::FILE* err) {
  NetworkView view;
  LocalFailure failure;
  if (LoadNetworkView(&view, /*withHostDetails=*/true, &failure) < 0) {
    return ReportLocalFailure(failure.command, failure.hr, err);
  }
  if (call.format == OutputFormat::kXml) {
    PrintRawAnswers(std::vector<std::string>(view.answers.begin(), view.answers.begin() + 2), out);
  } else if (call.format == OutputFormat::kJson) {
    WriteJson(TreeJson(view), out);
  } else {
    PrintTree(view, out);
  }
  return kSuccess;
}

int RunProjects(const Invocation& call, std::FILE* out, std::FILE* err) {
  const std::optional<std::string> filter = ProjectFilterFor(call.state);
  if (!filter) {
    std::fprintf(err, "qxstation: --state wants run-time, configuration or any, not \"%s\"\n",
                 Printable(call.state, 64).c_str());
    return kUsage;
  }
  int code = kSuccess;
  const std::optional<std::string> answer = LocalAnswer(
      ProjectListCommand(call.domain, call.host, *filter), "GetProjectList", &code, err);
  if (!answer) return code;
  if (call.format == OutputFormat::kXml) {
    std::fprintf(out, "%s\n", answer->c_str());
    return kSuccess;
  }
  const std::optional<std::vector<ProjectEntry>> projects = ParseProjectList(*answer);
  if (!projects)
    return ReportLocalFailure("GetProjectList", static_cast<HRESULT>(0x80004005u), err);
  if (call.format == OutputFormat::kJson) {
    nlohmann::json list = nlohmann::json::array();
    for (const ProjectEntry& project : *projects) list.push_back(ProjectJson(project));
    WriteJson({{"projects", std::move(list)}}, out);
  } else {
    PrintProjectsTable(*projects, out);
  }
  return kSuccess;
}

int RunProject(const Invocation& call, std::FILE* out, std::FILE* err) {
  const bool remote = call.words.size() == 2;
  const std::string& dsn = call.words.back();
  ModuleAnswer answer = remote ? CallRemoteCommand(ProjectDetailsRequest(call.words[0], dsn))
                               : CallDiscoverCommand(ProjectDetailsCommand(dsn));
  if (answer.hr < 0 || !answer.text) {
    if (call.format != OutputFormat::kHuman) PrintAnswer(answer, call, out);
    if (answer.hr == kNoAgent) return ReportNoStation(err);
    if (remote && !answer.text) {
      if (const std::optional<int> code = ReportUnreachable(call.words[0], err)) return *code;
    }
    std::fprintf(err,
                 "qxstation: %s knows no project %s; qxstation projects lists the projects "
                 "of the network\n",
                 remote ? Printable(call.words[0], 64).c_str() : "the network tree",
                 Printable(dsn, 64).c_str());
    return kFailure;
  }
  if (call.format == OutputFormat::kXml) {
    std::fprintf(out, "%s\n", answer.text->c_str());
    return kSuccess;
  }
  const std::optional<ProjectEntry> project = ParseProject(*answer.text);
  if (!project)
    return ReportLocalFailure("GetProjectDetails", static_cast<HRESULT>(0x80004005u), err);
  if (call.format == OutputFormat::kJson) {
    WriteJson(ProjectJson(*project), out);
  } else {
    PrintProject(*project, out);
  }
  return kSuccess;
}

int RunServerOf(const Invocation& call, std::FILE* out, std::FILE* err) {
  const std::string& dsn = call.words[0];
  const ModuleAnswer answer = CallDiscoverCommand(FindServerCommand(dsn));
  if (answer.hr < 0) return ReportLocalFailure("FindServerForDSN", answer.hr, err);
  const bool found = answer.hr == 0 && answer.text;
  const std::string host = found ? *answer.text : std::string();
  if (call.format == OutputFormat::kXml) {
    PrintAnswer(answer, call, out);
  } else if (call.format == OutputFormat::kJson) {
    WriteJson({{"dsn", dsn},
               {"found", found},
               {"host", found ? nlohmann::json(host) : nlohmann::json(nullptr)}},
              out);
  } else if (found) {
    std::fprintf(out, "%s\n", Printable(host).c_str());
  }
  if (!found) {
    std::fprintf(err,
                 "qxstation: no station serves %s: the network tree does not know it, or "
                 "its project manager has not opened it\n",
                 Printable(dsn, 64).c_str());
    return kFailure;
  }
  return kSuccess;
}

int RunJoin(const Invocation& call, std::FILE* out, std::FILE* err) {
  const ModuleAnswer answer = CallDiscoverCommand("<JoinMulticastGroup/>");
  if (call.format != OutputFormat::kHuman) PrintAnswer(answer, call, out);
  if (answer.hr < 0) return ReportLocalFailure("JoinMulticastGroup", answer.hr, err);
  if (call.format == OutputFormat::kHuman) {
    std::fprintf(out, "joined the group: the station announced itself, the others answer\n");
  }
  return kSuccess;
}

int RunLeave(const Invocation& call, std::FILE* out, std::FILE* err) {
  const ModuleAnswer answer = CallDiscoverCommand("<LeaveMulticastGroup/>");
  if (call.format != OutputFormat::kHuman) PrintAnswer(answer, call, out);
  if (answer.hr < 0) return ReportLocalFailure("LeaveMulticastGroup", answer.hr, err);
  if (call.format == OutputFormat::kHuman) {
    std::fprintf(out, "left the group: the network tree is empty until qxstation join\n");
  }
  return kSuccess;
}

int RunCopy(const Invocation& call, std::FILE* out, std::FILE* err) {
  std::vector<std::string> p = call.words;
  // Into a directory, the copy keeps the source's name, as cp does.
  struct stat target {};
  const bool intoDirectory = ::stat(p[2].c_str(), &target) == 0 && S_ISDIR(target.st_mode);
  if (intoDirectory || p[2].ends_with('/')) {
    const std::string name = p[1].substr(p[1].find_last_of('/') + 1);
    if (!intoDirectory) {
      std::fprintf(err, "qxstation: the directory %s does not exist; make it with mkdir -p %s\n",
                   Printable(p[2]).c_str(), Printable(p[2]).c_str());
      return kFailure;
    }
    if (name.empty() || name == "." || name == "..") {
      std::fprintf(err, "qxstation: %s names no file to copy into the directory %s\n",
                   Printable(p[1]).c_str(), Printable(p[2]).c_str());
      return kUsage;
    }
    p[2] += (p[2].ends_with('/') ? "" : "/") + name;
  }
  const std::optional<std::uint64_t> total = LocalSourceSize(p[0], p[1]);
  std::int32_t copied = 0;
  double seconds = 0.0;
  {
    BreakOnInterrupt interrupt;
    CopyProgress progress(err, isatty(fileno(err)) == 1, total);
    copied =
        CallRemoteCopyFile(CopyRequest(p[0], p[1], p[2], call.buffer), &CopyProgress::Callback);
    seconds = progress.seconds();
  }
  if (copied < 0) return ExplainCopyFailure(p[0], p[1], p[2], err);
  if (call.format == OutputFormat::kJson) {
    WriteJson({{"bytes", copied}, {"destination", p[2]}, {"seconds", seconds}}, out);
  } else {
    std::fprintf(out, "copied %d bytes to %s\n", copied, p[2].c_str());
  }
  return kSuccess;
}

int RunTrace(const Invocation& call, std::FILE* out, std::FILE* err) {
  StopSignals stop;
  if (stop.fd() < 0) {
    std::fprintf(err, "qxstation: cannot wait for Ctrl-C: %s\n",
                 qx::unix_socket::ErrorText(errno).c_str());
    return kFailure;
  }
  TraceListener listener(qx::RuntimeDir(), call.tree);
  std::string error;
  if (!listener.Open(&error)) {
    std::fprintf(err, "qxstation: %s\n", error.c_str());
    return kFailure;
  }
  std::fprintf(err, "qxstation: reading %s%s; Ctrl-C ends\n", listener.debugPath().c_str(),
               listener.markerPath().empty() ? "" : " as the trace viewer");
  return listener.Run(out, stop.fd()) < 0 ? kFailure : kSuccess;
}

int RunWriteProject(const Invocation& call, std::FILE* out, std::FILE* err) {
  ProjectFields project = call.project;
  // The station's own list: its host is this station unless the caller says otherwise, so that
  // tree and projects show it where project finds it.
  if (project.host.empty()) project.host = qx::Host().ComputerName().value_or("");
  const int code = WriteProject(project, err);
  if (code != kSuccess) return code;
  std::fprintf(out, "wrote project %s (%s) on %s; `qxstation join` announces it to the others\n",
               Printable(project.name, 64).c_str(), Printable(project.type, 64).c_str(),
               Printable(project.host.empty() ? "this station" : project.host, 64).c_str());
  struct stat file {};
  if (::stat(project.fullPath.c_str(), &file) != 0) {
    std::fprintf(err,
                 "qxstation: warning: the project file %s does not exist; the station's watch "
                 "removes the entry at its next pass (STORAGE CleanRegistry) unless the file is "
                 "there by then\n",
                 Printable(project.fullPath).c_str());
  }
  return kSuccess;
}

}  // namespace qxstation
