// main.cpp - qxprojectmgr, a small project-manager host for a station.
//
// It starts the module's project-manager service (through the module's C interface only) and
// serves the project manager's request object on <runtime dir>/projectmgr.sock, answering the
// requests that the module forwards: the state of the project manager and of a project, the
// application path and whether a user administers the station. One project may be named on
// the command line; it counts as the loaded project. Runs in the foreground until SIGINT or
// SIGTERM. The main thread waits for the signal; requests are answered on the listener's
// threads, which share only read-only state and the count of remote calls.
//
// The project-manager service advises the module's event sink on the station's multicast
// component, so that the group's messages reach this process (a remote call for the project
// manager comes back to the request object). That needs the station's agent to leave the
// service to this process (qxagent --no-project-manager-service). When the agent is not there
// at the start, the service runs without the sink and is started again once the agent's
// component answers, so that the sink is advised then; later restarts of the agent are
// followed by the sink's own subscription.
//
// Lines on stdout: "ready" once the request object is served, "remote call N" for the Nth
// remote call that reached the project manager.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "messaging/netqxkomm.h"
#include "messaging/project_manager_link.h"
#include "platform/environment.h"
#include "platform/host_platform.h"
#include "qxremoteserver.h"
#include "xml/xml_element.h"

namespace {

using qx::AnswerText;
using qx::HRESULT;

constexpr const char* kAdminGroup = "qxadmin";
// How often the main thread looks for the agent's component while the sink is not advised.
constexpr long kAgentPollSeconds = 1;

constexpr const char* kUsage =
    "usage: qxprojectmgr [--project PATH] [--foreground] [--help] [--version]\n"
    "\n"
    "Runs the project-manager service of this station and answers the project manager's\n"
    "requests on the station's runtime socket until SIGINT or SIGTERM. The service receives\n"
    "the group's events when qxagent runs with --no-project-manager-service.\n"
    "\n"
    "  --project PATH  the project that counts as loaded (its file name without extension\n"
    "                  is the project's DSN)\n"
    "  --foreground    stay in the foreground (the default and only mode)\n"
    "  --help          show this text\n"
    "  --version       print the version and end\n"
    "\n"
    "Environment: QX_REGISTRY (registry database), QX_RUNTIME_DIR (runtime directory).\n";

struct Options {
  std::string project;
  bool help = false;
  bool version = false;
};

bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options->help = true;
    } else if (arg == "--version") {
      options->version = true;
    } else if (arg == "--foreground") {
      // The only mode: a service manager keeps the process.
    } else if (arg == "--project") {
      if (i + 1 >= argc) {
        *error = "--project needs a path";
        return false;
      }
      options->project = argv[++i];
    } else if (arg.rfind("--project=", 0) == 0) {
      options->project = arg.substr(std::strlen("--project="));
    } else {
      *error = "unknown option: " + arg;
      return false;
    }
  }
  return true;
}

bool SamePath(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  std::error_code error;
  if (std::filesystem::equivalent(a, b, error) && !error) return true;
  return std::filesystem::path(a).lexically_normal() == std::filesystem::path(b).lexically_normal();
}

std::optional<std::string> UserOfUid(uid_t uid) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  return std::string(found->pw_name);
}

// True when the user is root or belongs to the administrators' group (primary or not).
bool IsAdministrator(const std::string& user) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return false;
  }
  if (found->pw_uid == 0) return true;

  long groupSize = ::sysconf(_SC_GETGR_R_SIZE_MAX);
  std::vector<char> groupBuffer(groupSize > 0 ? static_cast<std::size_t>(groupSize) : 16384);
  group admins{};
  group* adminGroup = nullptr;
  if (::getgrnam_r(kAdminGroup, &admins, groupBuffer.data(), groupBuffer.size(), &adminGroup) !=
          0 ||
      adminGroup == nullptr) {
    return false;
  }
  int count = 64;
  std::vector<gid_t> groups(count);
  while (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count) + 64);
    count = static_cast<int>(groups.size());
  }
  groups.resize(static_cast<std::size_t>(count));
  for (gid_t gid : groups) {
    if (gid == adminGroup->gr_gid) return true;
  }
  return false;
}

class RequestObject {
 public:
  explicit RequestObject(std::string project) : project_(std::move(project)) {
    if (!project_.empty()) dsn_ = std::filesystem::path(project_).stem().string();
    applicationPath_ = std::filesystem::path(qx::ExecutablePath()).parent_path().string();
  }

  HRESULT HandleRequest(const std::string& request, AnswerText* answer) const {
    qx::CXmlElement root;
    if (!root.LoadXml(request)) return qx::E_INVALIDARG;
    const std::string tag = root.GetName();

    if (qx::IEquals(tag, "GetStateOfProjectManager")) {
      std::string host = qx::Host().ComputerName().value_or("");
      *answer = "<ProjectManager><State>Running</State><Host>" + qx::XmlEscape(host) +
                "</Host><Project>" + qx::XmlEscape(dsn_) + "</Project></ProjectManager>";
      return qx::S_OK;
    }
    if (qx::IEquals(tag, "GetStateOfNorvaneProject")) {
      std::string path = root.GetSubText("Path");
      const char* state = SamePath(path, project_) ? "Loaded" : "NotLoaded";
      *answer =
          "<Project><Path>" + qx::XmlEscape(path) + "</Path><State>" + state + "</State></Project>";
      return qx::S_OK;
    }
    if (qx::IEquals(tag, "GetApplicationPath")) {
      *answer = applicationPath_;
      return qx::S_OK;
    }
    if (qx::IEquals(tag, "CheckUserAdmin")) {
      // Without a <User>, only a local process is judged, by its own credentials. A request
      // that another station sent arrives forwarded by the agent, marked as having no local
      // caller (no peer uid): the agent's credentials must never answer for it, so it is FALSE.
      std::optional<std::string> user = root.GetSubText("User");
      if (user->empty()) {
        std::optional<std::uint32_t> uid = qx::ProjectManagerPeerUid();
        user = uid ? UserOfUid(static_cast<uid_t>(*uid)) : std::nullopt;
      }
      bool admin = user && IsAdministrator(*user);
      *answer = admin ? "<Result>TRUE</Result>" : "<Result>FALSE</Result>";
      return qx::S_OK;
    }
    if (qx::IEquals(tag, "REMOTECALL")) {
      // A call for the project manager that came from the group; this host performs none, it
      // only tells that the call arrived.
      const unsigned long count = remoteCalls_.fetch_add(1) + 1;
      std::printf("remote call %lu\n", count);
      std::fflush(stdout);
    }
    *answer = "<Result>not supported</Result>";
    return qx::E_NOTIMPL;
  }

 private:
  mutable std::atomic<unsigned long> remoteCalls_{0};
  std::string project_;
  std::string dsn_;
  std::string applicationPath_;
};

// True when the station's multicast component (the agent) takes a connection.
bool AgentComponentPresent() {
  std::unique_ptr<qx::INetQXKomm> component;
  return qx::Succeeded(qx::CreateNetQXKomm(&component));
}

// Starts the project-manager service; null when it does not start here.
void* StartProjectManagerService() {
  void* server = nullptr;
  const HRESULT hr = StartRemoteServer(QX_SERVICE_PROJECT_MANAGER, &server);
  if (hr < 0 || server == nullptr) {
    std::fprintf(stderr,
                 "qxprojectmgr: the project-manager service did not start here (0x%08x): "
                 "qxagent may already serve it on this station (start it with "
                 "--no-project-manager-service to leave it to this process); the request object "
                 "is served all the same, without the group's events\n",
                 static_cast<unsigned>(hr));
    return nullptr;
  }
  return server;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "qxprojectmgr: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("qxprojectmgr %s\n", QX_VERSION);
    return 0;
  }

  // Every thread started from here on inherits the blocked signals; main takes them below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // Without the agent the service starts without its sink; it is started again once the
  // agent is there.
  bool sinkPending = !AgentComponentPresent();
  void* server = StartProjectManagerService();
  if (server == nullptr) sinkPending = false;

  RequestObject requests(options.project);
  auto listener = qx::StartProjectManagerListener(
      [&requests](const std::string& request, AnswerText* answer) {
        return requests.HandleRequest(request, answer);
      },
      &error);
  if (!listener) {
    std::fprintf(stderr, "qxprojectmgr: cannot serve the request object: %s\n", error.c_str());
    if (server != nullptr) StopRemoteServer(server);
    return 1;
  }
  std::fprintf(stderr, "qxprojectmgr: serving %s\n", qx::ProjectManagerSocketPath().c_str());
  std::printf("ready\n");
  std::fflush(stdout);

  for (;;) {
    const timespec poll{kAgentPollSeconds, 0};
    const int signo = sigtimedwait(&signals, nullptr, &poll);
    if (signo == SIGINT || signo == SIGTERM) break;
    if (signo < 0 && errno != EAGAIN && errno != EINTR) break;
    if (!sinkPending || !AgentComponentPresent()) continue;
    // The agent came: a new start of the service advises the sink.
    StopRemoteServer(server);
    server = StartProjectManagerService();
    sinkPending = false;
    std::fprintf(stderr, "qxprojectmgr: the station's agent is there; service started again\n");
  }
  listener->Stop();
  if (server != nullptr) StopRemoteServer(server);
  return 0;
}
