// cli.cpp - qxstation's command line with CLI11.
#include "cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <utility>

#include "common/text.h"
#include "config_commands.h"
#include "failures.h"
#include "key_commands.h"
#include "metrics_command.h"
#include "monitor.h"
#include "network_view.h"
#include "platform/unix_socket.h"
#include "registry_commands.h"
#include "station_commands.h"
#include "station_status.h"
#include "web_command.h"

namespace qxstation {
namespace {

// The largest block a copy may ask for; the serving station refuses more than its own limit.
constexpr std::int64_t kMaxCopyBuffer = 64 << 20;
constexpr const char* kReexecMark = "QX_STATION_REEXEC";

constexpr const char* kProgramHelp =
    "qxstation - the command line of a station: what it knows of the network, requests to other\n"
    "stations, file copies, the live trace and events, the registry.\n";

constexpr const char* kProgramFooter =
    "Station:\n"
    "  --station DIR uses the station made by scripts/run-station --dir DIR (DIR/registry.db,\n"
    "  DIR/run). Without it the environment decides: QX_REGISTRY (default\n"
    "  /var/lib/qxremote/registry.db) and QX_RUNTIME_DIR (default /run/qxremote).\n"
    "Output:\n"
    "  For people by default; --xml prints the answers as they came, --json prints JSON whose\n"
    "  fields the README lists.\n"
    "Exit codes:\n"
    "  0  success\n"
    "  1  the request failed (the station answered with a failure, or refused it)\n"
    "  2  wrong command line\n"
    "  3  the station cannot be reached: no agent runs at this station, or another station's\n"
    "     name is unknown or it does not answer\n"
    "Examples:\n"
    "  qxstation --station ./station status\n"
    "  qxstation tree\n"
    "  qxstation projects --state run-time --json\n"
    "Each command takes --help.";

using Runner = int (*)(const Invocation&, std::FILE*, std::FILE*);

struct Command {
  const char* name;
  const char* description;
  const char* example;
};

// One positional of a subcommand, bound to a text of the parse.
struct Positional {
  CLI::Option* option;
  std::string* value;
  std::vector<std::string>* list = nullptr;  // the last positional may take the rest
};

class Parser {
 public:
  explicit Parser(Invocation* call) : call_(call), app_(kProgramHelp, "qxstation") {}

  CLI::App& app() { return app_; }

  CLI::App* Add(const Command& command) {
    CLI::App* sub = app_.add_subcommand(command.name, command.description);
    sub->footer(std::string("Example:\n") + command.example);
    return sub;
  }

  void Word(CLI::App* sub, const char* name, const char* description, bool required) {
    texts_.emplace_back();
    CLI::Option* option = sub->add_option(name, texts_.back(), description);
    if (required) option->required();
    positionals_[sub].push_back({option, &texts_.back()});
  }

  // A last positional that takes every word left.
  void Words(CLI::App* sub, const char* name, const char* description) {
    lists_.emplace_back();
    CLI::Option* option = sub->add_option(name, lists_.back(), description);
    positionals_[sub].push_back({option, nullptr, &lists_.back()});
  }

  // The chosen subcommand and its positionals, in order, as far as given.
  void CollectWords() {
    for (CLI::App* sub : app_.get_subcommands()) {
      call_->command = sub->get_name();
      for (const Positional& positional : positionals_[sub]) {
        if (positional.option->count() == 0) continue;
        if (positional.list != nullptr) {
          call_->words.insert(call_->words.end(), positional.list->begin(), positional.list->end());
        } else {
          call_->words.push_back(*positional.value);
        }
      }
    }
  }

 private:
  Invocation* call_;
  CLI::App app_;
  std::deque<std::string> texts_;  // stable addresses for the bound positionals
  std::deque<std::vector<std::string>> lists_;
  std::map<CLI::App*, std::vector<Positional>> positionals_;
};

void Define(Parser* parser, Invocation* call) {
  CLI::App& app = parser->app();
  app.fallthrough(true);
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("qxstation ") + QX_VERSION,
                       "print the version and end");
  app.add_option("--station", call->station, "the station made by scripts/run-station --dir DIR")
      ->type_name("DIR");
  CLI::Option* json = app.add_flag("--json")->description("print JSON (fields: see the README)");
  CLI::Option* xml = app.add_flag("--xml")->description("print the answers as they came");
  json->excludes(xml);
  app.parse_complete_callback([call, json, xml] {
    if (json->count() > 0) call->format = OutputFormat::kJson;
    if (xml->count() > 0) call->format = OutputFormat::kXml;
  });

  CLI::App* sub = parser->Add(
      {"tree", "Domains, hosts, projects and their states as this station's network tree has them.",
       "  qxstation tree\n  qxstation tree --json"});

  sub = parser->Add({"hosts",
                     "The known stations with address, user and project count. With NAME (the "
                     "older form): the host details of station NAME, as they came.",
                     "  qxstation hosts\n  qxstation hosts --json"});
  parser->Word(sub, "NAME", "a station (older form: same as host NAME, raw)", false);

  sub = parser->Add(
      {"host", "Asks the station NAME for its host details.", "  qxstation host STATION6"});
  parser->Word(sub, "NAME", "the station", true);

  sub =
      parser->Add({"projects",
                   "The projects of the network tree, filtered by domain, host and state. With "
                   "--host the domain is not consulted.",
                   "  qxstation projects --state run-time\n  qxstation projects --host STATION6"});
  sub->add_option("--domain", call->domain, "only hosts of this domain (default: all)");
  sub->add_option("--host", call->host, "only this host's projects (default: all)");
  sub->add_option("--state", call->state, "run-time, configuration or any (default)")
      ->check([](const std::string& state) {
        return ProjectFilterFor(state) ? std::string()
                                       : std::string("wants run-time, configuration or any");
      });

  sub = parser->Add({"project",
                     "The details of project DSN from the network tree; with NAME, from the "
                     "project list of station NAME.",
                     "  qxstation project Plant\n  qxstation project STATION6 Plant"});
  parser->Word(sub, "NAME_OR_DSN", "DSN, or NAME when DSN follows", true);
  parser->Word(sub, "DSN", "the project, when NAME names the station", false);

  sub = parser->Add({"server-of", "The station that serves project DSN (prints its name).",
                     "  qxstation server-of Plant"});
  parser->Word(sub, "DSN", "the project", true);

  sub = parser->Add({"monitor",
                     "A live stream of the station's discovery events (join, update, leave, state "
                     "changes, removals, tests), one line each with the local time, until Ctrl-C.",
                     "  qxstation monitor\n  qxstation monitor --count 5 --for 30 --json"});
  sub->add_option("--count", call->count, "end after N events")
      ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1} << 40))
      ->type_name("N");
  sub->add_option("--for", call->seconds, "end after SECONDS")
      ->check(CLI::Range(0.001, 31536000.0))
      ->type_name("SECONDS");

  parser->Add({"join", "This station joins the multicast group: it announces itself with a JOIN.",
               "  qxstation join"});
  parser->Add({"leave", "This station leaves the group (a LEAVE) and empties its network tree.",
               "  qxstation leave"});
  parser->Add({"status",
               "Whether the agent (its pid, version, uptime, memory) and the project manager "
               "run, the services and their ports, local or network mode, the cluster key in "
               "use, the datagrams the agent dropped, the counts of the network tree, and a "
               "warning with the fix for each setting that cannot work. Exit code 3 when the "
               "agent does not run.",
               "  qxstation status\n  qxstation --station ./station status --json"});

  sub = parser->Add({"metrics",
                     "The agent's counters (datagrams, RPC, copy bytes, trace lines left out, key "
                     "in use, uptime, memory, descriptors) in the Prometheus text format; with "
                     "--textfile written whole into PATH (a temporary file renamed over it) for "
                     "the node exporter's textfile collector.",
                     "  qxstation metrics\n"
                     "  qxstation metrics --textfile /var/lib/prometheus/node-exporter/"
                     "qxremote.prom"});
  sub->add_option("--textfile", call->textfile, "write the text into PATH instead")
      ->check([](const std::string& path) {
        return path.empty() || path.back() == '/' ? std::string("PATH must name a file") : "";
      })
      ->type_name("PATH");

  sub = parser->Add({"test-multicast",
                     "Sends a test request to the group and lists the stations that answered.",
                     "  qxstation test-multicast --wait 5"});
  sub->add_option("--wait", call->wait, "how long to collect answers (default 2)")
      ->check(CLI::Range(0.1, 60.0))
      ->type_name("SECONDS");

  sub = parser->Add(
      {"web",
       "Serves a live web view of what this station knows (the tree, host and project "
       "details, the status, the events as they come) and /metrics, until Ctrl-C. Listens on "
       "127.0.0.1:8470 by default; another address needs --cert and --key (TLS) and a login "
       "(--password-file or --token-file). --make-password USER reads a password from standard "
       "input and prints the password file's line for it.",
       "  qxstation web\n"
       "  echo 'a long secret' | qxstation web --make-password op >> /etc/qxremote/web.passwd\n"
       "  qxstation web --listen 0.0.0.0:8470 --cert web.crt --key web.key "
       "--password-file /etc/qxremote/web.passwd"});
  sub->add_option("--listen", call->web.address,
                  "ADDR:PORT, ADDR or :PORT to listen on (default 127.0.0.1:8470)")
      ->type_name("ADDR:PORT")
      ->check([](const std::string& text) {
        std::string error;
        WebOptions parsed;
        return ParseListen(text, &parsed, &error) ? std::string() : error;
      });
  sub->add_option("--cert", call->web.certFile, "the TLS certificate (PEM)")->type_name("FILE");
  sub->add_option("--key", call->web.keyFile, "the certificate's private key (PEM)")
      ->type_name("FILE");
  sub->add_option("--password-file", call->web.passwordFile,
                  "lines USER:pbkdf2-sha256$... (see --make-password); the browser asks")
      ->type_name("FILE");
  sub->add_option("--token-file", call->web.tokenFile,
                  "a bearer token (Authorization: Bearer), readable by its owner only")
      ->type_name("FILE");
  sub->add_option("--root", call->web.root, "the page's files (default: the installed ones)")
      ->type_name("DIR");
  sub->add_option("--make-password", call->makePassword,
                  "print a password file line for USER, the password read from standard input")
      ->type_name("USER");

  sub = parser->Add({"command",
                     "Sends a request to the station that its Receiver (or HOST) names, or to "
                     "NAME, and prints the HRESULT and the answer.",
                     "  qxstation command --receiver STATION6 '<Test/>'"});
  sub->add_option("--receiver", call->receiver, "the station to send it to")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->type_name("NAME");
  parser->Word(sub, "XML", "the request", true);

  sub = parser->Add({"discover",
                     "Gives a local command to this station's discovery service (the agent keeps "
                     "the network tree) and prints the HRESULT and the answer.",
                     "  qxstation discover '<GetTreeContent/>'\n"
                     "  qxstation discover '<LeaveJoinMulticastGroup/>'"});
  parser->Word(sub, "XML", "the local command", true);

  sub = parser->Add({"state", "Asks the station NAME for the state of its project manager.",
                     "  qxstation state STATION6"});
  parser->Word(sub, "NAME", "the station", true);

  sub = parser->Add({"call",
                     "Calls FUNCTION of the library LIB on the station NAME with PARAM (text or "
                     "XML); the station loads only libraries of its LibraryDirs.",
                     "  qxstation call STATION6 qxtestremote Echo 'hello'"});
  parser->Word(sub, "NAME", "the station", true);
  parser->Word(sub, "LIB", "the library", true);
  parser->Word(sub, "FUNCTION", "the function", true);
  parser->Word(sub, "PARAM", "its parameter", false);

  sub = parser->Add(
      {"copy",
       "Copies the file SOURCE of the station HOST to the local path DEST, with a "
       "progress line on stderr. Ctrl-C breaks it off and leaves DEST as it was; "
       "the station serves only files below its FileRoots.",
       "  qxstation copy STATION6 /var/lib/qxremote/projects/plant.mcp /tmp/plant.mcp"});
  parser->Word(sub, "HOST", "the station", true);
  parser->Word(sub, "SOURCE", "the file on that station", true);
  parser->Word(sub, "DEST", "the local path", true);
  sub->add_option("--buffer", call->buffer, "block size in bytes (default 65536)")
      ->check(CLI::Range(std::int64_t{1}, kMaxCopyBuffer))
      ->type_name("N");

  sub = parser->Add({"trace",
                     "Prints this station's debug output as it comes, until Ctrl-C. --tree also "
                     "marks the trace viewer as present, so that the module writes its tagged "
                     "form.",
                     "  qxstation trace --tree"});
  sub->add_flag("--tree", call->tree, "act as the trace viewer");

  sub = parser->Add(
      {"registry",
       "Reads or writes this station's registry directly: get KEYPATH NAME, set "
       "KEYPATH NAME VALUE... [--dword | --multi] [--force], delete KEYPATH [NAME], list "
       "KEYPATH, export [KEYPATH], import FILE|- [--force]. KEYPATH begins with the root "
       "name. A write of a setting the station knows is checked: an unknown name, a wrong type "
       "or form is refused with the form it takes, unless --force.",
       "  qxstation registry list 'HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\RPC'\n"
       "  qxstation registry set 'HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\RPC' "
       "ListenAddress 127.0.0.2\n"
       "  qxstation registry set 'HKEY_LOCAL_MACHINE\\SOFTWARE\\TOLVAR\\NORVANE\\MULTICAST' "
       "Interfaces eth0 'enp*' --multi\n"
       "  qxstation registry export > settings.conf; qxstation registry import settings.conf"});
  parser->Word(sub, "VERB", "get, set, delete, list, export or import", true);
  parser->Word(sub, "KEYPATH", "the key (import: the file, or -)", false);
  parser->Word(sub, "NAME", "the value's name (get, set, delete)", false);
  parser->Words(sub, "VALUE", "the value (set); several make a list");
  CLI::Option* dword = sub->add_flag("--dword", call->dword, "set a DWORD rather than a string");
  sub->add_flag("--multi", call->multi, "set a list (REG_MULTI_SZ) of the values")->excludes(dword);
  sub->add_flag("--force", call->force, "write a value the station's checks refuse");

  parser->Add({"config",
               "Every setting the station knows, as in effect: value, default, and where it "
               "came from (default, registry, settings file).",
               "  qxstation config\n  qxstation config --json"});

  sub = parser->Add(
      {"key",
       "This station's cluster keys: list, generate (prints a new key), install KEY (or - to "
       "read it from standard input), use ID (send with it), remove ID, reset (moves a damaged "
       "ring aside and starts a new one). Every station of a "
       "cluster needs the same key; a station accepts every key of its ring, so a rotation "
       "(install everywhere, use everywhere, remove the old) cuts nobody off.",
       "  KEY=$(qxstation key generate)\n"
       "  echo \"$KEY\" | qxstation key install -     # on every station\n"
       "  qxstation key use 1a2b3c4d                  # on every station\n"
       "  qxstation key list"});
  parser->Word(sub, "VERB", "list, generate, install, use, remove or reset", true);
  parser->Word(sub, "ARG", "the key (install) or its id (use, remove)", false);

  sub = parser->Add({"write-project",
                     "Writes a project to this station's project list; an entry of the same "
                     "project file is replaced.",
                     "  qxstation write-project --dsn Plant --name Plant --type 'Multi User' "
                     "--full-path /var/lib/qxremote/projects/plant.mcp"});
  sub->add_option("--dsn", call->project.dsn, "the DSN")->required();
  sub->add_option("--name", call->project.name, "the name")->required();
  sub->add_option("--type", call->project.type, "the type, e.g. 'Multi User'")->required();
  sub->add_option("--full-path", call->project.fullPath, "the project file")->required();
  sub->add_option("--unc-path", call->project.uncPath, "its share path");
  sub->add_option("--server", call->project.server, "the serving station");
  sub->add_option("--host", call->project.host, "the host");
  sub->add_option("--state", call->project.state, "the state");

  app.footer(kProgramFooter);
}

// The runners that are not station_commands' own.
int RunMonitorCommand(const Invocation& call, std::FILE* out, std::FILE* err) {
  MonitorOptions options;
  options.count = call.count;
  options.seconds = call.seconds;
  options.json = call.format == OutputFormat::kJson;
  options.xml = call.format == OutputFormat::kXml;
  return RunMonitor(options, out, err);
}

int RunStatusCommand(const Invocation& call, std::FILE* out, std::FILE* err) {
  if (call.format == OutputFormat::kXml) {
    std::fprintf(err, "qxstation: status has no XML form; use --json\n");
    return kUsage;
  }
  return RunStatus(call.format == OutputFormat::kJson, out, err);
}

int RunMetricsCommand(const Invocation& call, std::FILE* out, std::FILE* err) {
  return RunMetrics(call.textfile, out, err);
}

int RunTestMulticastCommand(const Invocation& call, std::FILE* out, std::FILE* err) {
  return RunTestMulticast(call.wait, call.format == OutputFormat::kJson, out, err);
}

int RunWebCommand(const Invocation& call, std::FILE* out, std::FILE* err) {
  if (call.makePassword) return RunMakePassword(*call.makePassword, stdin, out, err);
  WebOptions options = call.web;
  std::string error;
  // --listen was bound to the address text; split it into address and port here.
  options.address = "127.0.0.1";
  if (!ParseListen(call.web.address, &options, &error)) {
    std::fprintf(err, "qxstation: web: %s\n", error.c_str());
    return kUsage;
  }
  return RunWeb(options, out, err);
}

int RunKeyCommand(const Invocation& call, std::FILE* out, std::FILE* err) {
  return RunKey(call.words, call.format == OutputFormat::kJson, stdin, out, err);
}

void Write(const std::string& text, std::FILE* to) { std::fwrite(text.data(), 1, text.size(), to); }

// The first word that is neither a global option nor its value: the command the user meant.
std::optional<std::string> CommandWord(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word == "--") return std::nullopt;
    if (word == "--station") {
      ++i;
      continue;
    }
    if (!word.empty() && word[0] == '-') continue;
    return word;
  }
  return std::nullopt;
}

// "qxstation: unknown command "tre"; did you mean tree? ..." (2) when the command word names
// no command; nullopt when it does or when there is none (CLI11 says what is missing then).
std::optional<int> ReportUnknownCommand(const std::vector<std::string>& args, CLI::App& app,
                                        std::FILE* err) {
  const std::optional<std::string> word = CommandWord(args);
  if (!word) return std::nullopt;
  const std::vector<CLI::App*> commands = app.get_subcommands([](CLI::App*) { return true; });
  std::string lowered = *word;
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string nearest;
  std::size_t best = std::string::npos;
  for (const CLI::App* command : commands) {
    const std::string& name = command->get_name();
    if (name == *word) return std::nullopt;
    const std::size_t distance = qx::IEditDistance(lowered, name);
    if (distance < best) {
      best = distance;
      nearest = name;
    }
  }
  const std::string shown = Printable(*word, 64);
  const bool close = best <= std::max<std::size_t>(2, word->size() / 3);
  if (close) {
    std::fprintf(err,
                 "qxstation: unknown command \"%s\"; did you mean %s? (qxstation --help lists "
                 "the commands)\n",
                 shown.c_str(), nearest.c_str());
  } else {
    std::fprintf(err, "qxstation: unknown command \"%s\"; qxstation --help lists the commands\n",
                 shown.c_str());
  }
  return kUsage;
}

// The output forms that a command has; a flag for another form is refused, not ignored.
struct Forms {
  bool json;
  bool xml;
};
Forms FormsOf(const Invocation& call) {
  if (call.command == "copy") return {true, false};
  if (call.command == "trace" || call.command == "write-project") return {false, false};
  if (call.command == "test-multicast") return {true, false};
  if (call.command == "metrics") return {false, false};
  if (call.command == "web") return {false, false};
  if (call.command == "key") return {!call.words.empty() && call.words[0] == "list", false};
  return {true, true};
}

std::optional<int> ReportUnwantedFormat(const Invocation& call, std::FILE* err) {
  const Forms forms = FormsOf(call);
  const char* flag = nullptr;
  if (call.format == OutputFormat::kJson && !forms.json) flag = "--json";
  if (call.format == OutputFormat::kXml && !forms.xml) flag = "--xml";
  if (flag == nullptr) return std::nullopt;
  std::string what = call.command;
  if (call.command == "key" && !call.words.empty()) what += " " + Printable(call.words[0], 32);
  std::fprintf(err, "qxstation: %s has no %s output; leave %s out\n", what.c_str(), flag + 2, flag);
  return kUsage;
}

// Commands that work on the station's registry or key ring alone, without its agent.
bool NeedsNoAgent(std::string_view command) {
  return command == "registry" || command == "write-project" || command == "key";
}

}  // namespace

std::optional<Invocation> ParseCommandLine(const std::vector<std::string>& args, std::FILE* out,
                                           std::FILE* err, int* exitCode) {
  Invocation call;
  Parser parser(&call);
  Define(&parser, &call);
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  if (const std::optional<int> code = ReportUnknownCommand(args, parser.app(), err)) {
    *exitCode = *code;
    return std::nullopt;
  }
  try {
    parser.app().parse(reversed);
  } catch (const CLI::ParseError& e) {
    std::ostringstream printed, failed;
    const int code = parser.app().exit(e, printed, failed);
    Write(printed.str(), out);
    Write(failed.str(), err);
    *exitCode = code == 0 ? kSuccess : kUsage;
    return std::nullopt;
  }
  parser.CollectWords();
  if (const std::optional<int> code = ReportUnwantedFormat(call, err)) {
    *exitCode = *code;
    return std::nullopt;
  }
  *exitCode = kSuccess;
  return call;
}

int RunInvocation(const Invocation& call, std::FILE* out, std::FILE* err) {
  static const std::map<std::string, Runner, std::less<>> kRunners = {
      {"tree", RunTree},
      {"hosts", RunHosts},
      {"host", RunHost},
      {"projects", RunProjects},
      {"project", RunProject},
      {"server-of", RunServerOf},
      {"monitor", RunMonitorCommand},
      {"join", RunJoin},
      {"leave", RunLeave},
      {"status", RunStatusCommand},
      {"metrics", RunMetricsCommand},
      {"test-multicast", RunTestMulticastCommand},
      {"command", RunCommand},
      {"discover", RunDiscover},
      {"state", RunState},
      {"call", RunCall},
      {"copy", RunCopy},
      {"trace", RunTrace},
      {"registry", RunRegistryCommand},
      {"config", RunConfig},
      {"write-project", RunWriteProject},
      {"key", RunKeyCommand},
      {"web", RunWebCommand},
  };
  const auto found = kRunners.find(call.command);
  const Runner run = found == kRunners.end() ? nullptr : found->second;
  if (run == nullptr) {
    std::fprintf(err, "qxstation: unknown command \"%s\"\n", call.command.c_str());
    return kUsage;
  }
  try {
    return run(call, out, err);
  } catch (const std::exception& e) {
    std::fprintf(err, "qxstation: %s failed: %s\n", call.command.c_str(), e.what());
    return kFailure;
  }
}

int RunStation(int argc, char** argv) {
  int code = kSuccess;
  const std::optional<Invocation> call =
      ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr, &code);
  if (!call) return code;
  if (!call->station.empty()) {
    std::error_code error;
    std::string dir = std::filesystem::absolute(call->station, error).lexically_normal().string();
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (error || !std::filesystem::is_directory(dir, error)) {
      const std::string shown = Printable(call->station);
      if (NeedsNoAgent(call->command)) {
        std::fprintf(stderr,
                     "qxstation: the station folder %s does not exist; make it with mkdir -p %s "
                     "and run the command again (no agent needs to run for %s), or make a whole "
                     "station with scripts/run-station --dir %s\n",
                     shown.c_str(), shown.c_str(), call->command.c_str(), shown.c_str());
      } else {
        std::fprintf(stderr,
                     "qxstation: no station runs at %s: the folder does not exist; start one "
                     "with scripts/run-station --dir %s\n",
                     shown.c_str(), shown.c_str());
      }
      return kUnreachable;
    }
    const std::string registry = dir + "/registry.db";
    const std::string runtime = dir + "/run";
    const char* currentRegistry = std::getenv("QX_REGISTRY");
    const char* currentRuntime = std::getenv("QX_RUNTIME_DIR");
    const bool same = currentRegistry != nullptr && registry == currentRegistry &&
                      currentRuntime != nullptr && runtime == currentRuntime;
    if (!same && std::getenv(kReexecMark) == nullptr) {
      // The module read its station when it loaded: start again with the station's variables.
      setenv("QX_REGISTRY", registry.c_str(), 1);
      setenv("QX_RUNTIME_DIR", runtime.c_str(), 1);
      setenv(kReexecMark, "1", 1);
      std::fflush(nullptr);
      execv("/proc/self/exe", argv);
      std::fprintf(stderr, "qxstation: cannot start again for the station %s: %s\n", dir.c_str(),
                   qx::unix_socket::ErrorText(errno).c_str());
      return kFailure;
    }
  }
  unsetenv(kReexecMark);
  const int result = RunInvocation(*call, stdout, stderr);
  std::fflush(stdout);
  return result;
}

}  // namespace qxstation
