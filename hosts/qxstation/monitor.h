// monitor.h - "qxstation monitor" and "qxstation test-multicast": the station's live events.
//
// The agent's multicast component pushes every message that reaches the station (from the
// group or sent to it alone) to each advised sink. These commands advise a sink of their own,
// parse each message into a StationEvent and print it: one line per event with the local time,
// or one JSON object per line. The sink runs on the subscription's reader thread and only
// queues (at most kMaxQueuedEvents; more are counted as dropped); the main thread prints. When
// the agent goes away the monitor says so (event agent-gone), keeps waiting and says when it is
// back (agent-back), subscribed anew.
// ParseEvent and the line formats are pure; the Run functions run on the main thread.
//
//   std::optional<StationEvent> event = ParseEvent("<QXDISCOVER><EVENT>JOIN</EVENT>...");
//   std::string line = EventLine(*event, "12:00:01.250");
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qxstation {

struct StationEvent {
  // join, update, leave, remove, server-state, client-state, shutdown, test, test-answer, call,
  // other
  std::string kind;
  std::string delivery;  // group or unicast
  std::string root;      // the message's root tag
  std::string host, domain, address, user, dsn, state;
  std::optional<std::size_t> projects;  // the announcement's project count (join, update)
};

// Nullopt when the text is not one XML element.
std::optional<StationEvent> ParseEvent(std::string_view text, bool unicast);
std::string EventLine(const StationEvent& event, std::string_view time);
nlohmann::json EventJson(const StationEvent& event, std::string_view time);
// "HH:MM:SS.mmm" of the local time now; withDateAndZone: RFC 3339 with the local offset,
// "2026-01-09T14:02:11.513+01:00".
std::string LocalTimeNow(bool withDateAndZone = false);

struct MonitorOptions {
  std::optional<std::uint64_t> count;  // end after so many events
  std::optional<double> seconds;       // end after so long
  bool json = false;
  bool xml = false;  // the raw message after the time
};
int RunMonitor(const MonitorOptions& options, std::FILE* out, std::FILE* err);

// Sends a test request to the group with this station's unicast address and lists who answered
// within waitSeconds.
int RunTestMulticast(double waitSeconds, bool json, std::FILE* out, std::FILE* err);

}  // namespace qxstation
