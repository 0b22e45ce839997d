// station_commands.h - the subcommands of qxstation and their dispatch.
//
// Each subcommand names its usage, its options and how many positionals it takes; RunStation
// picks one by the first word, parses the rest, and runs it. Exit codes: 0 success, 1 failure
// (also a request the other station refused), 2 a wrong command line. Output goes to out,
// messages and the copy progress to err. Main thread only (the trace subcommand blocks SIGINT
// and SIGTERM to read them from a signalfd).
//
//   return qxstation::RunStation(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace qxstation {

int RunStation(const std::vector<std::string>& words, std::FILE* out, std::FILE* err);

}  // namespace qxstation
