// agent_options.h - the command line of qxagent.
//
// qxagent [--foreground] [--no-project-manager-service] [--help] [--version]. The agent always runs
// in the foreground (a service manager supervises it); --foreground is accepted for clarity. Pure
// functions; any thread may call them.
//
//   AgentOptions options;
//   std::string error;
//   if (!ParseAgentOptions(argc, argv, &options, &error)) { std::cerr << error; return 2; }
#pragma once

#include <string>

namespace qxagent {

struct AgentOptions {
  bool help = false;
  bool version = false;
  bool foreground = true;
  bool projectManagerService = true;
};

// False with *error set for an unknown option or a stray argument.
bool ParseAgentOptions(int argc, const char* const* argv, AgentOptions* options,
                       std::string* error);
std::string AgentUsage();
// "qxagent VERSION\n", the project version.
std::string AgentVersion();

}  // namespace qxagent
