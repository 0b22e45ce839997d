// agent_options.cpp - the command line of qxagent.
#include "agent_options.h"

#include <string_view>

namespace qxagent {

bool ParseAgentOptions(int argc, const char* const* argv, AgentOptions* options,
                       std::string* error) {
  *options = AgentOptions{};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options->help = true;
    } else if (arg == "--version") {
      options->version = true;
    } else if (arg == "--foreground") {
      options->foreground = true;
    } else if (arg == "--no-project-manager-service") {
      options->projectManagerService = false;
    } else {
      *error =
          (arg.starts_with("-") ? "unknown option: " : "unexpected argument: ") + std::string(arg);
      return false;
    }
  }
  return true;
}

std::string AgentVersion() { return std::string("qxagent ") + QX_VERSION + "\n"; }

std::string AgentUsage() {
  return "Usage: qxagent [--foreground] [--no-project-manager-service] [--help] [--version]\n"
         "\n"
         "Runs the station daemon: the discovery service and the project-manager service of\n"
         "this station, until SIGINT or SIGTERM. Prints \"ready\" once every service runs.\n"
         "\n"
         "  --foreground                   stay in the foreground (the default)\n"
         "  --no-project-manager-service   leave the project-manager service to qxprojectmgr\n"
         "  --help                         show this text\n"
         "  --version                      print the version and end\n"
         "\n"
         "Environment: QX_REGISTRY (the station's registry database, default\n"
         "/var/lib/qxremote/registry.db), QX_RUNTIME_DIR (the station's sockets, default\n"
         "/run/qxremote; the agent makes it its own, mode 0750, and refuses one that belongs\n"
         "to another user or lies where others may write) and QX_CONFIG_DIR (what only root\n"
         "changes, default beside QX_REGISTRY when that is set, else /etc/qxremote): the\n"
         "settings file qxremote.conf, which holds the settings that decide what the station\n"
         "exposes (SECURITY, RPC ListenAddress and PORTS, MULTICAST addresses, DIAGNOSIS\n"
         "LogFile) unless the registry is writable by root alone, and the key ring\n"
         "cluster.keys, which the first start makes with a key for this machine only.\n"
         "\n"
         "Exit codes: 0 stopped by a signal, 1 the station cannot run (message on stderr),\n"
         "2 wrong command line, 3 the registry or the settings file cannot be read (the agent\n"
         "never serves on defaults in place of settings it cannot read), 4 the services did\n"
         "not stop within the grace after a stop signal (RPC setting StopGraceMs), 5 the key\n"
         "ring (cluster.keys) cannot be read or made, or its key was made here while RPC\n"
         "ListenAddress reaches beyond this machine (see `qxstation key --help`).\n";
}

}  // namespace qxagent
