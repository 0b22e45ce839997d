// monitor.cpp - the station's events, live.
#include "monitor.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <utility>

#include "common/text.h"
#include "event_queue.h"
#include "failures.h"
#include "messaging/multicast_settings.h"
#include "messaging/netqxkomm.h"
#include "module_calls.h"
#include "network_view.h"
#include "output.h"
#include "platform/unix_socket.h"
#include "rpc/rpc_settings.h"
#include "stop_signals.h"
#include "xml/xml_element.h"

namespace qxstation {
namespace {

using Clock = std::chrono::steady_clock;

std::string KindOf(std::string_view root, std::string_view event) {
  if (qx::IEquals(root, "QXDISCOVER")) {
    if (qx::IEquals(event, "JOIN")) return "join";
    if (qx::IEquals(event, "UPDATE")) return "update";
    if (qx::IEquals(event, "LEAVE")) return "leave";
    if (qx::IEquals(event, "RECOVERED")) return "recovered";
    if (qx::IEquals(event, "RemoveFromProjectList")) return "remove";
  } else if (qx::IEquals(root, "PM_MULTICAST") || qx::IEquals(root, "PM_OLD_MAIL_SLOT")) {
    if (qx::IEquals(event, "New State of Server")) return "server-state";
    if (qx::IEquals(event, "New State of Client")) return "client-state";
  } else if (qx::IEquals(root, "NETQX")) {
    if (qx::IEquals(event, "SHUTDOWN")) return "shutdown";
  } else if (qx::IEquals(root, "TestMulticast")) {
    return "test";
  } else if (qx::IEquals(root, "ReplyTestMulticast")) {
    return "test-answer";
  } else if (qx::IEquals(root, "REMOTECALL")) {
    return "call";
  }
  return "other";
}

// Waits for events or a stop until deadline; false when the stop signal came.
bool Wait(const EventQueue& queue, int stopFd, std::optional<Clock::time_point> deadline) {
  pollfd fds[2] = {{queue.fd(), POLLIN, 0}, {stopFd, POLLIN, 0}};
  int timeout = -1;
  if (deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    timeout = static_cast<int>(std::max<std::int64_t>(0, left.count()));
  }
  if (poll(fds, 2, timeout) < 0) return errno == EINTR;
  return fds[1].revents == 0;
}

// Watches whether the agent answers while the monitor runs: it says when the agent went away and
// when it is back, subscribing anew then. Checks every kAgentCheck while the agent runs, and
// with a backoff from kFirstRetry to kLastRetry while it is gone.
constexpr auto kAgentCheck = std::chrono::milliseconds(500);
constexpr auto kFirstRetry = std::chrono::milliseconds(100);
constexpr auto kLastRetry = std::chrono::milliseconds(2000);

class AgentWatch {
 public:
  AgentWatch(EventQueue* queue, const MonitorOptions& options, std::FILE* out)
      : queue_(queue), options_(options), out_(out), next_(Clock::now() + kAgentCheck) {}

  bool Subscribe() {
    subscription_.reset();
    subscription_ = std::make_unique<EventSubscription>(queue_);
    return subscription_->ok();
  }
  Clock::time_point next() const { return next_; }

  // Checks once its time has come.
  void Check() {
    if (Clock::now() < next_) return;
    if (!gone_) {
      if (AgentRuns()) {
        next_ = Clock::now() + kAgentCheck;
        return;
      }
      gone_ = true;
      retry_ = kFirstRetry;
      Show("agent-gone",
           "no agent answers on " + qx::NetQXKommSocketPath() + "; waiting for it to start again");
    } else if (AgentRuns() && Subscribe()) {
      gone_ = false;
      Show("agent-back", "the agent answers again; watching its events");
      next_ = Clock::now() + kAgentCheck;
      return;
    }
    next_ = Clock::now() + retry_;
    retry_ = std::min<Clock::duration>(retry_ * 2, kLastRetry);
  }

 private:
  void Show(const char* kind, const std::string& text) {
    const std::string time = LocalTimeNow(options_.json);
    if (options_.json) {
      StationEvent event;
      event.kind = kind;
      event.delivery = "local";
      WriteJson(EventJson(event, time), out_, /*oneLine=*/true);
    } else {
      std::fprintf(out_, "%s  %-12s  %s\n", time.c_str(), kind, text.c_str());
    }
    std::fflush(out_);
  }

  EventQueue* queue_;
  const MonitorOptions& options_;
  std::FILE* out_;
  std::unique_ptr<EventSubscription> subscription_;
  bool gone_ = false;
  Clock::time_point next_;
  Clock::duration retry_ = kFirstRetry;
};

}  // namespace

std::optional<StationEvent> ParseEvent(std::string_view text, bool unicast) {
  qx::CXmlElement root;
  if (!root.LoadXml(text)) return std::nullopt;
  StationEvent event;
  event.root = root.GetName();
  event.delivery = unicast ? "unicast" : "group";
  event.kind = KindOf(event.root, root.GetSubText("EVENT"));
  event.host = root.GetSubText("HOST");
  event.domain = root.GetSubText("DOMAIN");
  event.address = root.GetSubText("IP");
  event.user = root.GetSubText("User");
  event.dsn = root.GetSubText("DSN");
  event.state = root.GetSubText("STATE");
  if (event.kind == "shutdown") {
    qx::CXmlElement station;
    root.FindChild("STATION", &station);  // an empty handle reads every text as empty
    event.host = station.GetSubText("HOST");
    event.domain = station.GetSubText("DOMAIN");
  }
  if (event.kind == "call") event.state = root.GetSubText("ProcessContext");
  // A station removed for silence: the LEAVE that its removal stands for, raised by this one.
  if (event.kind == "leave" && qx::IEquals(root.GetSubText("REASON"), "FAILED")) {
    event.kind = "failed";
  }
  qx::CXmlElement list;
  if (root.FindChild("PROJECTLIST", &list)) {
    std::size_t count = 0;
    qx::CXmlElement::ChildList children;
    qx::CXmlElement project;
    list.GetChildList(&children);
    while (list.NextChild(&children, {}, &project)) ++count;
    event.projects = count;
  }
  return event;
}

std::string EventLine(const StationEvent& event, std::string_view time) {
  const std::string host = Printable(event.host.empty() ? "?" : event.host, 64);
  std::string where;
  for (const std::string* part : {&event.domain, &event.address}) {
    if (part->empty()) continue;
    where += (where.empty() ? "" : ", ") + Printable(*part, 64);
  }
  if (event.projects) {
    where += (where.empty() ? "" : ", ") + Counted(*event.projects, "project", "projects");
  }
  const std::string station = where.empty() ? host : host + " (" + where + ")";
  const std::string dsn = Printable(event.dsn, 64);
  const std::string state = event.state.empty() ? "(no state)" : Printable(event.state, 32);
  std::string text;
  if (event.kind == "join" || event.kind == "update" || event.kind == "leave" ||
      event.kind == "shutdown" || event.kind == "test-answer" || event.kind == "failed" ||
      event.kind == "recovered") {
    text = station;
  } else if (event.kind == "remove") {
    text = dsn + " from " + host;
  } else if (event.kind == "server-state" || event.kind == "client-state") {
    text = dsn + " on " + host + ": " + state;
  } else if (event.kind == "test") {
    text = "answers go to " + Printable(event.address.empty() ? "?" : event.address, 64);
  } else if (event.kind == "call") {
    text = "for " + state;
  } else {
    text = "<" + Printable(event.root, 64) + ">";
  }
  return qx::Format("%.*s  %-12s  %s", static_cast<int>(time.size()), time.data(),
                    event.kind.c_str(), text.c_str());
}

nlohmann::json EventJson(const StationEvent& event, std::string_view time) {
  nlohmann::json json = {{"time", time},
                         {"event", event.kind},
                         {"delivery", event.delivery},
                         {"root", event.root},
                         {"host", event.host},
                         {"domain", event.domain},
                         {"address", event.address},
                         {"dsn", event.dsn},
                         {"state", event.state}};
  json["projects"] = event.projects ? nlohmann::json(*event.projects) : nlohmann::json(nullptr);
  return json;
}

std::string LocalTimeNow(bool withDateAndZone) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  const std::string clock = qx::Format("%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                                       local.tm_sec, static_cast<int>(millis));
  if (!withDateAndZone) return clock;
  const long offset = local.tm_gmtoff / 60;  // minutes east of UTC
  const long shown = offset < 0 ? -offset : offset;
  return qx::Format("%04d-%02d-%02dT%s%c%02ld:%02ld", local.tm_year + 1900, local.tm_mon + 1,
                    local.tm_mday, clock.c_str(), offset < 0 ? '-' : '+', shown / 60, shown % 60);
}

int RunMonitor(const MonitorOptions& options, std::FILE* out, std::FILE* err) {
  StopSignals stop;
  EventQueue queue;
  if (stop.fd() < 0 || !queue.ok()) {
    std::fprintf(err, "qxstation: cannot wait for events and Ctrl-C here\n");
    return kFailure;
  }
  if (!AgentRuns()) return ReportNoStation(err);
  AgentWatch watch(&queue, options, out);
  if (!watch.Subscribe()) return ReportNoStation(err);
  std::fprintf(err, "qxstation: watching the station's events; Ctrl-C ends\n");
  std::fflush(err);

  std::optional<Clock::time_point> deadline;
  if (options.seconds) {
    deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(*options.seconds));
  }
  std::uint64_t shown = 0;
  while (!options.count || shown < *options.count) {
    if (deadline && Clock::now() >= *deadline) break;
    const Clock::time_point until = deadline ? std::min(*deadline, watch.next()) : watch.next();
    if (!Wait(queue, stop.fd(), until)) break;
    watch.Check();
    std::uint64_t dropped = 0;
    for (const auto& [unicast, text] : queue.Take(&dropped)) {
      if (options.count && shown >= *options.count) break;
      const std::optional<StationEvent> event = ParseEvent(text, unicast);
      // The liveness extension's own traffic (beats, probes, their answers) is no event of the
      // plant, and would bury the others: what it finds out shows as failed and recovered
      // stations. The raw view (--xml) shows it.
      if (!options.xml && event && qx::IEquals(event->root, "QXLIVE")) continue;
      const std::string time = LocalTimeNow(options.json);
      if (options.xml) {
        std::fprintf(out, "%s  %s\n", time.c_str(), Printable(text, 1u << 16).c_str());
      } else if (!event) {
        std::fprintf(out, "%s  %-12s  (not XML, %zu bytes)\n", time.c_str(), "other", text.size());
      } else if (options.json) {
        WriteJson(EventJson(*event, time), out, /*oneLine=*/true);
      } else {
        std::fprintf(out, "%s\n", EventLine(*event, time).c_str());
      }
      ++shown;
    }
    if (dropped > 0) {
      std::fprintf(err,
                   "qxstation: %llu events came faster than they could be shown and were "
                   "dropped\n",
                   static_cast<unsigned long long>(dropped));
    }
    std::fflush(out);
  }
  return kSuccess;
}

int RunTestMulticast(double waitSeconds, bool json, std::FILE* out, std::FILE* err) {
  qx::MulticastSettings settings;
  std::string error;
  if (!qx::ReadMulticastSettings(qx::ReadRpcSettings().listenAddress, &settings, &error)) {
    std::fprintf(err, "qxstation: the station's multicast settings cannot be read: %s\n",
                 error.c_str());
    return kFailure;
  }
  EventQueue queue;
  if (!queue.ok()) return kFailure;
  if (!AgentRuns()) return ReportNoStation(err);
  EventSubscription subscription(&queue);
  if (!subscription.ok()) return ReportNoStation(err);

  const std::string request = "<TestMulticast><Receiver>*</Receiver><IP>" +
                              qx::XmlEscape(settings.unicastAddress) + "</IP></TestMulticast>";
  const ModuleAnswer sent = CallDiscoverCommand(request);
  if (sent.hr < 0) return ReportLocalFailure("the test request", sent.hr, err);

  std::map<std::string, StationEvent, qx::ILess> answers;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(waitSeconds));
  while (Clock::now() < deadline && answers.size() < kMaxQueuedEvents) {
    pollfd fd{queue.fd(), POLLIN, 0};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (poll(&fd, 1, static_cast<int>(std::max<std::int64_t>(0, left.count()))) < 0 &&
        errno != EINTR) {
      break;
    }
    std::uint64_t dropped = 0;
    for (const auto& [unicast, text] : queue.Take(&dropped)) {
      std::optional<StationEvent> event = ParseEvent(text, unicast);
      if (event && event->kind == "test-answer") answers[event->host] = std::move(*event);
    }
  }
  if (json) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [host, event] : answers) {
      list.push_back({{"host", event.host},
                      {"domain", event.domain},
                      {"address", event.address},
                      {"user", event.user}});
    }
    WriteJson({{"answers", std::move(list)}}, out);
  } else {
    Table table({"HOST", "DOMAIN", "ADDRESS", "USER"});
    for (const auto& [host, event] : answers) {
      table.Add({Printable(event.host), Printable(event.domain), Printable(event.address),
                 Printable(event.user)});
    }
    if (table.rows() > 0) table.Print(out);
  }
  if (answers.empty()) {
    std::fprintf(err,
                 "qxstation: no station answered the test within %.1f s; check the MULTICAST "
                 "settings (Group, Port, Interface) of the stations\n",
                 waitSeconds);
    return kFailure;
  }
  return kSuccess;
}

}  // namespace qxstation
