// web_command.cpp - "qxstation web": the feed thread and the program around the server.
#include "web_command.h"

#include <poll.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>
#include <thread>

#include "client/station_metrics.h"
#include "common/text.h"
#include "event_queue.h"
#include "failures.h"
#include "liveness_view.h"
#include "module_calls.h"
#include "monitor.h"
#include "network_view.h"
#include "platform/unix_socket.h"
#include "station_status.h"
#include "stop_signals.h"
#include "web_content.h"
#include "web_login.h"
#include "web_server.h"
#include "web_state.h"

namespace qxstation {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kAgentCheck = std::chrono::seconds(1);
constexpr std::size_t kMaxStatusBytes = 256 * 1024;

// The events the page lists: joins, leaves, failures and project changes.
bool Listed(const std::string& kind) {
  return kind == "join" || kind == "update" || kind == "leave" || kind == "remove" ||
         kind == "server-state" || kind == "client-state" || kind == "shutdown";
}

// Keeps the WebState current from the agent; runs on a thread of its own until Stop.
class WebFeed {
 public:
  explicit WebFeed(WebState* state) : state_(state), wake_(eventfd(0, EFD_CLOEXEC)) {}
  ~WebFeed() { Stop(); }
  WebFeed(const WebFeed&) = delete;
  WebFeed& operator=(const WebFeed&) = delete;

  // The first tree, before the server answers.
  void Prime() {
    agentRuns_ = AgentRuns();
    if (agentRuns_) Subscribe();
    Reload({});
  }
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    if (!thread_.joinable()) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wake_.get(), &one, sizeof one);
    thread_.join();
  }

 private:
  void Subscribe() {
    subscription_.reset();
    subscription_ = std::make_unique<EventSubscription>(&queue_);
    if (!subscription_->ok()) subscription_.reset();
  }

  // The tree and project list anew; host details from the cache, asked again for hosts that
  // are new or named in `fresh`.
  void Reload(const std::set<std::string, qx::ILess>& fresh) {
    NetworkView view;
    LocalFailure failure;
    if (!agentRuns_ || LoadNetworkView(&view, /*withHostDetails=*/false, &failure) < 0) {
      state_->SetView(NetworkView(), false);
      details_.clear();
      return;
    }
    std::map<std::string, HostEntry, qx::ILess> kept;
    for (HostEntry& host : view.hosts) {
      auto cached = details_.find(host.name);
      if (cached == details_.end() || fresh.count(host.name) != 0) {
        HostEntry details;
        const ModuleAnswer answer = CallDiscoverCommand(HostDetailsCommand(host.name));
        if (answer.hr >= 0 && answer.text) {
          if (std::optional<HostEntry> parsed = ParseHostDetails(*answer.text)) details = *parsed;
        }
        cached = details_.insert_or_assign(host.name, std::move(details)).first;
      }
      const HostEntry& known = cached->second;
      host.address = known.address;
      host.mask = known.mask;
      host.user = known.user;
      host.version = known.version;
      host.build = known.build;
      host.path = known.path;
      kept.insert_or_assign(host.name, known);
    }
    details_ = std::move(kept);
    // Each host's liveness state and the time since it was last heard, when the agent runs it.
    if (const std::optional<LivenessView> live = LoadLiveness()) ApplyLiveness(*live, &view.hosts);
    state_->SetView(std::move(view), true);
  }

  void Publish(const std::string& kind) {
    StationEvent event;
    event.kind = kind;
    event.delivery = "local";
    state_->Publish(WebJsonText(EventJson(event, LocalTimeNow(true))));
  }

  void Run() {
    Clock::time_point nextCheck = Clock::now() + kAgentCheck;
    Clock::time_point nextReload = Clock::now() + kWebRefresh;
    for (;;) {
      const Clock::time_point until = std::min(nextCheck, nextReload);
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
      pollfd fds[2] = {{queue_.fd(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      if (poll(fds, 2, static_cast<int>(std::max<std::int64_t>(0, left.count()))) < 0 &&
          errno != EINTR) {
        return;
      }
      if (fds[1].revents != 0) return;
      std::uint64_t dropped = 0;
      std::vector<StationEvent> events;
      for (const auto& [unicast, text] : queue_.Take(&dropped)) {
        std::optional<StationEvent> event = ParseEvent(text, unicast);
        if (event && Listed(event->kind)) events.push_back(std::move(*event));
      }
      if (!events.empty() || dropped > 0) {
        std::set<std::string, qx::ILess> named;
        for (const StationEvent& event : events) named.insert(event.host);
        Reload(named);  // before the page hears of them, so that its refetch sees the change
        nextReload = Clock::now() + kWebRefresh;
        for (const StationEvent& event : events) {
          state_->Publish(WebJsonText(EventJson(event, LocalTimeNow(true))));
        }
        if (dropped > 0) Publish("dropped");
      }
      if (Clock::now() >= nextCheck) {
        const bool runs = AgentRuns();
        if (runs != agentRuns_ || (runs && !subscription_)) {
          agentRuns_ = runs;
          if (runs) {
            Subscribe();
          } else {
            subscription_.reset();
          }
          Reload({});
          nextReload = Clock::now() + kWebRefresh;
          Publish(runs ? "agent-back" : "agent-gone");
        }
        nextCheck = Clock::now() + kAgentCheck;
      }
      if (Clock::now() >= nextReload) {
        Reload({});
        nextReload = Clock::now() + kWebRefresh;
      }
    }
  }

  WebState* state_;
  qx::unix_socket::UniqueFd wake_;
  EventQueue queue_;
  std::unique_ptr<EventSubscription> subscription_;
  bool agentRuns_ = false;
  std::map<std::string, HostEntry, qx::ILess> details_;  // host details by host name
  std::thread thread_;
};

// What "qxstation status --json" prints, bounded.
std::string StatusJson() {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  std::FILE* err = std::fopen("/dev/null", "w");
  if (out != nullptr && err != nullptr) RunStatus(/*json=*/true, out, err);
  if (err != nullptr) std::fclose(err);
  if (out != nullptr) std::fclose(out);
  std::string json(text != nullptr ? text : "", std::min(size, kMaxStatusBytes));
  std::free(text);
  if (json.empty() || size > kMaxStatusBytes) return "{\"error\":\"the status cannot be read\"}";
  return json;
}

std::optional<std::string> StationMetrics() {
  std::string text;
  if (qx::FetchStationMetrics(&text) < 0) return std::nullopt;
  return text;
}

}  // namespace

int RunWeb(const WebOptions& options, std::FILE* out, std::FILE* err) {
  if (const std::optional<std::string> refusal = CheckWebOptions(options)) {
    std::fprintf(err, "qxstation: web: %s\n", refusal->c_str());
    return kUsage;
  }
  WebLogin login;
  std::string error;
  if (!login.Load(options.passwordFile, options.tokenFile, &error)) {
    std::fprintf(err, "qxstation: web: %s\n", error.c_str());
    return kFailure;
  }
  const std::optional<std::string> root =
      options.root.empty() ? FindWebRoot() : std::optional<std::string>(options.root);
  WebPage page;
  if (!root) {
    std::fprintf(err,
                 "qxstation: web: the page's files are not installed (no web/ beside the "
                 "program nor ../share/qxremote/web); give --root DIR\n");
    return kFailure;
  }
  if (!LoadWebPage(*root, &page, &error)) {
    std::fprintf(err, "qxstation: web: %s\n", error.c_str());
    return kFailure;
  }
  StopSignals stop;  // before any thread starts: they inherit the blocked signals
  if (stop.fd() < 0) {
    std::fprintf(err, "qxstation: web: cannot wait for Ctrl-C here\n");
    return kFailure;
  }
  WebState state;
  WebFeed feed(&state);
  feed.Prime();
  WebServer server(options, std::move(page), &state, &login, {StatusJson, StationMetrics});
  if (!server.Start(&error)) {
    std::fprintf(err, "qxstation: web: %s\n", error.c_str());
    return kFailure;
  }
  feed.Start();
  const std::string scheme = options.tls() ? "https" : "http";
  std::string protection = options.tls() ? "TLS" : "no TLS";
  protection += login.required() ? ", login required" : ", no login";
  if (IsLoopbackAddress(options.address)) protection += ", this machine only";
  std::fprintf(out, "qxstation: web view on %s://%s:%d/ (%s); metrics at /metrics; Ctrl-C ends\n",
               scheme.c_str(), options.address.c_str(), server.port(), protection.c_str());
  if (!state.Snapshot()->agentRuns) {
    std::fprintf(err, "qxstation: web: no agent runs at this station yet; the page says so\n");
  }
  std::fflush(out);
  pollfd fd{stop.fd(), POLLIN, 0};
  while (poll(&fd, 1, -1) < 0 && errno == EINTR) {
  }
  server.Stop();
  feed.Stop();
  return kSuccess;
}

int RunMakePassword(const std::string& user, std::FILE* in, std::FILE* out, std::FILE* err) {
  char buffer[1024];
  if (std::fgets(buffer, sizeof buffer, in) == nullptr) {
    std::fprintf(err, "qxstation: web: give the password on standard input\n");
    return kUsage;
  }
  std::string password(buffer);
  while (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
    password.pop_back();
  if (password.size() < 8) {
    std::fprintf(err, "qxstation: web: the password is shorter than 8 characters\n");
    return kUsage;
  }
  const std::optional<std::string> line =
      WebLogin::MakePasswordLine(user, password, kDefaultPasswordIterations);
  if (!line) {
    std::fprintf(err, "qxstation: web: a user name must not be empty nor hold ':'\n");
    return kUsage;
  }
  std::fprintf(out, "%s\n", line->c_str());
  return kSuccess;
}

}  // namespace qxstation
