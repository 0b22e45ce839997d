// web_command.h - "qxstation web": the live web view of what this station knows.
//
// RunWeb checks the options (another address than loopback needs TLS and a login), reads the
// login files and the page, and says at start where it listens and how it is protected. A feed
// thread keeps the WebState current: it subscribes to the agent's events as "monitor" does,
// reloads the tree after each join, update, leave, removal or state change (and every
// kWebRefresh besides), fetches host details only for hosts that are new or named by an event,
// and publishes the events to the page's streams; when the agent goes away it says so and
// subscribes anew once it is back. Serves until SIGINT or SIGTERM. Main thread.
//
//   return RunWeb(options, stdout, stderr);
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "web_options.h"

namespace qxstation {

inline constexpr auto kWebRefresh = std::chrono::seconds(5);

int RunWeb(const WebOptions& options, std::FILE* out, std::FILE* err);
// Reads a password from standard input and prints the password file's line for user.
int RunMakePassword(const std::string& user, std::FILE* in, std::FILE* out, std::FILE* err);

}  // namespace qxstation
