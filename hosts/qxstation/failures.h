// failures.h - qxstation's exit codes and the one-line explanations of what went wrong.
//
// Exit codes: 0 success; 1 the request failed (the station answered with a failure, or refused
// it); 2 a wrong command line; 3 the station cannot be reached: no agent runs at this station's
// runtime directory, or another station's name is unknown or it does not answer. Every message
// is one line on stderr that says what went wrong and what to do; a bare HRESULT never stands
// alone. The explanations may ask the other station (a Test request) or the resolver, each
// bounded by the RPC connect timeout. Main thread.
//
//   if (answer.hr == kNoAgent) return ReportNoStation(stderr);
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "module_calls.h"

namespace qxstation {

inline constexpr int kSuccess = 0;
inline constexpr int kFailure = 1;
inline constexpr int kUsage = 2;
inline constexpr int kUnreachable = 3;

// The station's directory as scripts/run-station --dir makes it (X with X/registry.db and
// X/run), or nullopt when the registry and runtime directory are not laid out that way.
std::optional<std::string> StationDirectory();
// True while the agent's component socket takes connections.
bool AgentRuns();
// True when this user may not open the agent's sockets (EACCES): not root and not in the
// group qxadmin. The probe waits at most kSocketProbeTime.
inline constexpr std::chrono::milliseconds kSocketProbeTime{500};
bool AgentSocketsDenied();
// "qxstation: permission denied ..." with the way to join the group qxadmin (3), or nullopt
// when the agent's sockets do not refuse this user.
std::optional<int> ReportPermissionDenied(std::FILE* err);
// "qxstation: no station runs at DIR; start one with scripts/run-station --dir DIR" (3), or
// the permission line when the sockets refuse this user.
int ReportNoStation(std::FILE* err);
// A failed local command of the station's agent: the no-station line for kNoAgent (3), else
// "qxstation: the station's agent could not answer WHAT (E_FAIL)" (1).
int ReportLocalFailure(std::string_view what, HRESULT hr, std::FILE* err);

// Where the station NAME is found: this station itself, an address, or nothing.
struct StationLookup {
  bool local = false;
  std::optional<std::string> address;  // IPv4 text
};
StationLookup LookUpStation(std::string_view name);

// When the station NAME cannot be reached (unknown name, or no answer to a Test request),
// writes the line that says so and gives 3; nullopt when it is reachable (or this station).
std::optional<int> ReportUnreachable(std::string_view station, std::FILE* err);

// A request to the station NAME failed with hr and no answer: finds out whether the station is
// reachable (a Test request) and writes the line that fits. 3 for an unknown name or a station
// that does not answer, else 1 with "qxstation: WHAT on NAME failed (E_FAIL)".
int ReportRemoteFailure(std::string_view station, std::string_view what, HRESULT hr,
                        std::FILE* err);

// The settings that allow what E_ACCESSDENIED refused.
std::string FileRootsAdvice(std::string_view station);
std::string LibraryDirsAdvice(std::string_view station);

}  // namespace qxstation
