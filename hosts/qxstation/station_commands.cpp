// station_commands.cpp - the subcommands of qxstation.
#include "station_commands.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>

#include "arguments.h"
#include "copy_progress.h"
#include "module_calls.h"
#include "platform/environment.h"
#include "platform/linux/unix_socket.h"
#include "registry_commands.h"
#include "requests.h"
#include "trace_listener.h"

namespace qxstation {
namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

// The largest block a copy may ask for; the serving station refuses more than its own limit.
constexpr std::int64_t kMaxCopyBuffer = 64 << 20;

struct Subcommand {
  std::string_view name;
  std::string_view usage;
  std::string_view help;
  std::vector<std::string_view> valueOptions;
  std::vector<std::string_view> flags;
  std::size_t minPositionals;
  std::size_t maxPositionals;
  std::function<int(const Arguments&, std::FILE*, std::FILE*)> run;
};

int PrintAnswer(const ModuleAnswer& answer, std::FILE* out) {
  std::fprintf(out, "HRESULT %s\n", DescribeHresult(answer.hr).c_str());
  if (answer.text) std::fprintf(out, "%s\n", answer.text->c_str());
  return answer.hr >= 0 ? kSuccess : kFailure;
}

int RunDiscover(const Arguments& args, std::FILE* out, std::FILE* /*err*/) {
  return PrintAnswer(CallDiscoverCommand(args.positionals()[0]), out);
}

int RunCommand(const Arguments& args, std::FILE* out, std::FILE* err) {
  std::string command = args.positionals()[0];
  if (const std::optional<std::string> receiver = args.value("--receiver")) {
    std::optional<std::string> addressed = WithReceiver(command, *receiver);
    if (!addressed) {
      std::fprintf(err, "qxstation: the command is not one XML element\n");
      return kUsage;
    }
    command = std::move(*addressed);
  }
  return PrintAnswer(CallRemoteCommand(command), out);
}

int RunHosts(const Arguments& args, std::FILE* out, std::FILE*) {
  return PrintAnswer(CallRemoteCommand(HostDetailsRequest(args.positionals()[0])), out);
}

int RunProject(const Arguments& args, std::FILE* out, std::FILE*) {
  const auto& p = args.positionals();
  return PrintAnswer(CallRemoteCommand(ProjectDetailsRequest(p[0], p[1])), out);
}

int RunState(const Arguments& args, std::FILE* out, std::FILE*) {
  return PrintAnswer(CallStateOfMachine(args.positionals()[0]), out);
}

int RunCall(const Arguments& args, std::FILE* out, std::FILE*) {
  const auto& p = args.positionals();
  std::optional<std::string_view> param;
  if (p.size() > 3) param = p[3];
  return PrintAnswer(CallRemoteCommand(RemoteCallRequest(p[0], p[1], p[2], param)), out);
}

int RunCopy(const Arguments& args, std::FILE* out, std::FILE* err) {
  const auto& p = args.positionals();
  std::optional<std::int64_t> buffer;
  if (const std::optional<std::string> text = args.value("--buffer")) {
    buffer = ParseNumber(*text, 1, kMaxCopyBuffer);
    if (!buffer) {
      std::fprintf(err, "qxstation: --buffer wants a block size from 1 to %lld bytes\n",
                   static_cast<long long>(kMaxCopyBuffer));
      return kUsage;
    }
  }
  std::int32_t copied = 0;
  {
    CopyProgress progress(err);
    copied = CallRemoteCopyFile(CopyRequest(p[0], p[1], p[2], buffer), &CopyProgress::Callback);
  }
  if (copied < 0) {
    std::fprintf(err, "qxstation: copying %s from %s failed (%d); the trace tells why\n",
                 p[1].c_str(), p[0].c_str(), copied);
    return kFailure;
  }
  std::fprintf(out, "copied %d bytes to %s\n", copied, p[2].c_str());
  return kSuccess;
}

// Reads SIGINT and SIGTERM from a signalfd. The signals stay blocked when the object goes:
// qxstation ends right after, and a second Ctrl-C must not kill it half-way.
class StopSignals {
 public:
  StopSignals() {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &mask, nullptr) == 0) fd_ = signalfd(-1, &mask, SFD_CLOEXEC);
  }
  ~StopSignals() {
    if (fd_ >= 0) close(fd_);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

int RunTrace(const Arguments& args, std::FILE* out, std::FILE* err) {
  StopSignals stop;
  if (stop.fd() < 0) {
    std::fprintf(err, "qxstation: cannot wait for Ctrl-C: %s\n",
                 qx::unix_socket::ErrorText(errno).c_str());
    return kFailure;
  }
  TraceListener listener(qx::RuntimeDir(), args.flag("--tree"));
  std::string error;
  if (!listener.Open(&error)) {
    std::fprintf(err, "qxstation: %s\n", error.c_str());
    return kFailure;
  }
  std::fprintf(err, "qxstation: reading %s%s; Ctrl-C ends\n", listener.debugPath().c_str(),
               listener.markerPath().empty() ? "" : " as the trace viewer");
  return listener.Run(out, stop.fd()) < 0 ? kFailure : kSuccess;
}

int RunRegistry(const Arguments& args, std::FILE* out, std::FILE* err) {
  const auto& p = args.positionals();
  const std::string_view verb = p[0];
  if (verb == "get" && p.size() == 3) return RegistryGet(p[1], p[2], out, err);
  if (verb == "set" && p.size() == 4) {
    return RegistrySet(p[1], p[2], p[3],
                       args.flag("--dword") ? ValueKind::kDword : ValueKind::kString, err);
  }
  if (verb == "list" && p.size() == 2) return RegistryList(p[1], out, err);
  std::fprintf(err,
               "qxstation: registry wants get KEYPATH NAME, set KEYPATH NAME VALUE or "
               "list KEYPATH\n");
  return kUsage;
}

int RunWriteProject(const Arguments& args, std::FILE*, std::FILE* err) {
  ProjectFields project;
  const std::pair<std::string_view, std::string*> fields[] = {
      {"--dsn", &project.dsn},          {"--name", &project.name},
      {"--type", &project.type},        {"--full-path", &project.fullPath},
      {"--unc-path", &project.uncPath}, {"--server", &project.server},
      {"--host", &project.host},        {"--state", &project.state}};
  for (const auto& [option, field] : fields) *field = args.value(option).value_or("");
  for (const std::string_view required : {"--dsn", "--name", "--type", "--full-path"}) {
    if (!args.value(required)) {
      std::fprintf(err, "qxstation: write-project needs %.*s\n", static_cast<int>(required.size()),
                   required.data());
      return kUsage;
    }
  }
  return WriteProject(project, err);
}

const std::vector<Subcommand>& Subcommands() {
  static const std::vector<Subcommand> list = {
      {"command",
       "command [--receiver NAME] XML",
       "Sends a request to the station that its Receiver (or HOST) names, or to NAME, and\n"
       "prints the HRESULT and the answer.",
       {"--receiver"},
       {},
       1,
       1,
       RunCommand},
      {"discover",
       "discover XML",
       "Gives a local command to this station's discovery service (the agent keeps the\n"
       "network tree) and prints the HRESULT and the answer, for example\n"
       "  qxstation discover '<GetTreeContent/>'\n"
       "  qxstation discover '<GetProjectList><DomainFilter>*</DomainFilter>"
       "<HostFilter>*</HostFilter><ProjectFilter>*</ProjectFilter></GetProjectList>'",
       {},
       {},
       1,
       1,
       RunDiscover},
      {"hosts",
       "hosts NAME",
       "Asks the station NAME for its host details.",
       {},
       {},
       1,
       1,
       RunHosts},
      {"project",
       "project NAME DSN",
       "Asks the station NAME for the project DSN of its list.",
       {},
       {},
       2,
       2,
       RunProject},
      {"state",
       "state NAME",
       "Asks the station NAME for the state of its project manager.",
       {},
       {},
       1,
       1,
       RunState},
      {"call",
       "call NAME LIB FUNCTION [PARAM]",
       "Calls FUNCTION of the library LIB on the station NAME with PARAM (text or XML).",
       {},
       {},
       3,
       4,
       RunCall},
      {"copy",
       "copy HOST SOURCE DEST [--buffer N]",
       "Copies the file SOURCE of the station HOST to the local path DEST in blocks of N bytes\n"
       "(default 65536), showing the progress on stderr.",
       {"--buffer"},
       {},
       3,
       3,
       RunCopy},
      {"trace",
       "trace [--tree]",
       "Prints this station's debug output as it comes, until Ctrl-C. --tree also marks the\n"
       "trace viewer as present, so that the module writes its tagged form.",
       {},
       {"--tree"},
       0,
       0,
       RunTrace},
      {"registry",
       "registry get KEYPATH NAME | set KEYPATH NAME VALUE [--dword] | list KEYPATH",
       "Reads or writes this station's registry directly. KEYPATH begins with the root name,\n"
       "for example HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\RPC.",
       {},
       {"--dword"},
       2,
       4,
       RunRegistry},
      {"write-project",
       "write-project --dsn D --name N --type T --full-path P [--unc-path U] [--server S]\n"
       "                [--host H] [--state S]",
       "Writes a project to this station's project list; an entry of the same project file is\n"
       "replaced.",
       {"--dsn", "--name", "--type", "--full-path", "--unc-path", "--server", "--host", "--state"},
       {},
       0,
       0,
       RunWriteProject},
  };
  return list;
}

void PrintUsage(std::FILE* to) {
  std::fprintf(to, "Usage: qxstation SUBCOMMAND ... (each subcommand takes --help)\n\n");
  for (const Subcommand& sub : Subcommands()) {
    std::fprintf(to, "  qxstation %.*s\n", static_cast<int>(sub.usage.size()), sub.usage.data());
  }
  std::fprintf(to,
               "\nEnvironment: QX_REGISTRY (the station's registry) and QX_RUNTIME_DIR (its "
               "sockets).\nExit codes: 0 success, 1 failure, 2 wrong command line.\n");
}

void PrintSubUsage(const Subcommand& sub, std::FILE* to) {
  std::fprintf(to, "Usage: qxstation %.*s\n\n%.*s\n", static_cast<int>(sub.usage.size()),
               sub.usage.data(), static_cast<int>(sub.help.size()), sub.help.data());
}

}  // namespace

int RunStation(const std::vector<std::string>& words, std::FILE* out, std::FILE* err) {
  if (words.empty()) {
    PrintUsage(err);
    return kUsage;
  }
  if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
    PrintUsage(out);
    return kSuccess;
  }
  for (const Subcommand& sub : Subcommands()) {
    if (sub.name != words[0]) continue;
    std::string error;
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    const std::optional<Arguments> args =
        Arguments::Parse(rest, sub.valueOptions, sub.flags, &error);
    if (args && args->flag("--help")) {
      PrintSubUsage(sub, out);
      return kSuccess;
    }
    const std::size_t count = args ? args->positionals().size() : 0;
    if (args && (count < sub.minPositionals || count > sub.maxPositionals)) {
      error = "wrong number of arguments";
    }
    if (!error.empty()) {
      std::fprintf(err, "qxstation %s: %s\n", words[0].c_str(), error.c_str());
      PrintSubUsage(sub, err);
      return kUsage;
    }
    return sub.run(*args, out, err);
  }
  std::fprintf(err, "qxstation: unknown subcommand \"%s\"\n", words[0].c_str());
  PrintUsage(err);
  return kUsage;
}

}  // namespace qxstation
