// cli.h - the command line of qxstation: what the user asked for, parsed with CLI11.
//
// ParseCommandLine turns the words after the program name into an Invocation: the subcommand,
// its positionals and options, and the global options (--station DIR, --json, --xml), which
// stand before or after the subcommand. It prints --help itself (exit code 0) and a wrong
// command line with its usage (exit code 2): an unknown command is named with the nearest
// command, and an output flag (--json, --xml) that the command has no form for is refused.
// RunStation is the whole program: parse, point the process at the station of --station, run the
// subcommand. Main thread.
//
//   int code = 0;
//   if (std::optional<Invocation> call = ParseCommandLine({"hosts", "--json"}, out, err, &code))
//     code = RunInvocation(*call, out, err);
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "output.h"
#include "requests.h"
#include "web_options.h"

namespace qxstation {

struct Invocation {
  std::string command;  // the subcommand's name
  std::string station;  // --station DIR; empty without it
  OutputFormat format = OutputFormat::kHuman;
  std::vector<std::string> words;                       // the subcommand's positionals, in order
  std::optional<std::string> receiver;                  // command --receiver
  std::optional<std::int64_t> buffer;                   // copy --buffer
  bool tree = false;                                    // trace --tree
  bool dword = false;                                   // registry set --dword
  bool multi = false;                                   // registry set --multi
  bool force = false;                                   // registry set|import --force
  ProjectFields project;                                // write-project
  std::string domain = "*", host = "*", state = "any";  // projects filters
  std::optional<std::uint64_t> count;                   // monitor --count
  std::optional<double> seconds;                        // monitor --for
  double wait = 2.0;                                    // test-multicast --wait
  std::optional<std::string> textfile;                  // metrics --textfile
  WebOptions web;                                       // web --listen, --cert, --key, ...
  std::optional<std::string> makePassword;              // web --make-password USER
};

std::optional<Invocation> ParseCommandLine(const std::vector<std::string>& args, std::FILE* out,
                                           std::FILE* err, int* exitCode);
int RunInvocation(const Invocation& call, std::FILE* out, std::FILE* err);

// The program: argv as main receives it. With --station DIR the process is started again with
// QX_REGISTRY=DIR/registry.db and QX_RUNTIME_DIR=DIR/run, so that the module loads with them.
int RunStation(int argc, char** argv);

}  // namespace qxstation
