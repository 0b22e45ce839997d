// station_commands.h - the subcommands of qxstation, one function each.
//
// Each takes the parsed command line and writes its answer to out and its messages (and the
// copy progress) to err, and returns the exit code of failures.h. The raw-request commands
// (command, discover, state, call and the older "hosts NAME") print the HRESULT and the answer
// as they came, and a failed one adds a line on err that says what was wrong (not XML, no
// receiver, a command the service does not know); the others print for people, or --xml the
// answer as it came, or --json the fields listed in the README. copy into a directory keeps the
// source's name; write-project writes this station's name as the host unless given one, says
// what it wrote, and warns when the project file is missing. Main thread only (trace and monitor block SIGINT and SIGTERM to
// read them from a signalfd; copy catches SIGINT as the user break).
//
//   return RunTree(call, stdout, stderr);
#pragma once

#include <cstdio>

#include "cli.h"

namespace qxstation {

int RunCommand(const Invocation& call, std::FILE* out, std::FILE* err);
int RunDiscover(const Invocation& call, std::FILE* out, std::FILE* err);
int RunHost(const Invocation& call, std::FILE* out, std::FILE* err);
int RunHosts(const Invocation& call, std::FILE* out, std::FILE* err);
int RunTree(const Invocation& call, std::FILE* out, std::FILE* err);
int RunProjects(const Invocation& call, std::FILE* out, std::FILE* err);
int RunProject(const Invocation& call, std::FILE* out, std::FILE* err);
int RunServerOf(const Invocation& call, std::FILE* out, std::FILE* err);
int RunJoin(const Invocation& call, std::FILE* out, std::FILE* err);
int RunLeave(const Invocation& call, std::FILE* out, std::FILE* err);
int RunState(const Invocation& call, std::FILE* out, std::FILE* err);
int RunCall(const Invocation& call, std::FILE* out, std::FILE* err);
int RunCopy(const Invocation& call, std::FILE* out, std::FILE* err);
int RunTrace(const Invocation& call, std::FILE* out, std::FILE* err);
int RunWriteProject(const Invocation& call, std::FILE* out, std::FILE* err);

}  // namespace qxstation
