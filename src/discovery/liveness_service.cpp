// liveness_service.cpp - LivenessService: the table's actions carried out, the QXLIVE texts
// answered.
#include "discovery/liveness_service.h"

#include <algorithm>
#include <new>
#include <optional>
#include <random>
#include <utility>

#include "common/answer.h"
#include "common/text.h"
#include "discovery/discovery_handler.h"
#include "discovery/host_details.h"
#include "discovery/liveness_wire.h"
#include "discovery/multicast_port.h"
#include "hostinfo/local_host_info.h"
#include "messaging/multicast_settings.h"
#include "nettree/net_tree.h"
#include "platform/network_interfaces.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSource("Liveness");

bool IsLocal(const DiscoveryHost& host, std::string_view name) {
  return host.station().localHost().IsLocalComputer(name);
}

std::uint64_t NewIncarnation() {
  std::random_device device;
  std::uint64_t value = 0;
  while (value == 0) value = (static_cast<std::uint64_t>(device()) << 32) ^ device();
  return value;
}

// The counters of the GetLiveness answer, by attribute name.
constexpr std::pair<const char*, std::uint64_t LivenessCounters::*> kCounterNames[] = {
    {"Beats", &LivenessCounters::beats},
    {"ProbesSent", &LivenessCounters::probesSent},
    {"ProbeAnswers", &LivenessCounters::probeAnswers},
    {"StaleAnswers", &LivenessCounters::staleAnswers},
    {"Suspected", &LivenessCounters::suspected},
    {"Recovered", &LivenessCounters::recovered},
    {"Removed", &LivenessCounters::removed},
    {"Fetches", &LivenessCounters::fetches},
    {"LeavesIgnored", &LivenessCounters::leavesIgnored},
    {"Held", &LivenessCounters::held},
    {"UnconfirmedDropped", &LivenessCounters::unconfirmedDropped},
    {"Refused", &LivenessCounters::refused},
};

}  // namespace

bool ReadLivenessSettings(LivenessSettings* settings, std::string* error) {
  LivenessSettings read = *settings;
  auto interval = static_cast<std::uint32_t>(read.heartbeatInterval.count());
  auto suspect = static_cast<std::uint32_t>(read.suspectAfter.count());
  auto probe = static_cast<std::uint32_t>(read.probeInterval.count());
  auto peers = static_cast<std::uint32_t>(read.maxPeers);
  if (!ReadMulticastNumber("HeartbeatIntervalMs", 0, 60000, &interval, error) ||
      !ReadMulticastNumber("SuspectAfterMs", 100, 600000, &suspect, error) ||
      !ReadMulticastNumber("ProbeIntervalMs", 10, 60000, &probe, error) ||
      !ReadMulticastNumber("ProbeAttempts", 1, 100, &read.probeAttempts, error) ||
      !ReadMulticastNumber("ReceiveBudgetBitsPerSecond", 1000, 1000000000,
                           &read.receiveBudgetBitsPerSecond, error) ||
      !ReadMulticastNumber("MaxPeers", 16, 100000, &peers, error)) {
    return false;
  }
  read.heartbeatInterval = std::chrono::milliseconds(interval);
  read.suspectAfter = std::chrono::milliseconds(suspect);
  read.probeInterval = std::chrono::milliseconds(probe);
  read.maxPeers = peers;
  *settings = read;
  return true;
}

std::string LivenessStatusAnswer(const LivenessStatus& status, std::string_view host) {
  std::string text = "<Liveness";
  auto add = [&text](const char* name, const std::string& value) {
    text += std::string(" ") + name + "=\"" + XmlEscape(value) + "\"";
  };
  auto number = [&add](const char* name, std::uint64_t value) { add(name, std::to_string(value)); };
  add("Host", std::string(host));
  add("Incarnation", Format("%llx", static_cast<unsigned long long>(status.incarnation)));
  number("IntervalMs", static_cast<std::uint64_t>(status.interval.count()));
  const LivenessSettings& settings = status.settings;
  number("HeartbeatIntervalMs", static_cast<std::uint64_t>(settings.heartbeatInterval.count()));
  number("SuspectAfterMs", static_cast<std::uint64_t>(settings.suspectAfter.count()));
  number("ProbeIntervalMs", static_cast<std::uint64_t>(settings.probeInterval.count()));
  number("ProbeAttempts", settings.probeAttempts);
  number("ReceiveBudgetBitsPerSecond", settings.receiveBudgetBitsPerSecond);
  number("MaxPeers", settings.maxPeers);
  for (const auto& [name, field] : kCounterNames) number(name, status.counters.*field);
  text += ">";
  for (const PeerView& peer : status.peers) {
    text += "<Peer";
    add("Host", peer.host);
    add("Domain", peer.domain);
    add("Address", peer.address);
    add("State", PeerStateName(peer.state));
    number("SinceHeardMs", static_cast<std::uint64_t>(peer.sinceHeard.count()));
    add("Incarnation", Format("%llx", static_cast<unsigned long long>(peer.incarnation)));
    text += "/>";
  }
  return text + "</Liveness>";
}

LivenessService::LivenessService(const LivenessSettings& settings, const MonotonicClock& clock,
                                 DiscoveryHost& host)
    : settings_(settings),
      clock_(clock),
      host_(host),
      incarnation_(NewIncarnation()),
      table_(settings, clock) {}

LivenessService::~LivenessService() { Stop(); }

bool LivenessService::Start() {
  if (thread_.joinable()) return true;
  {
    MutexLock lock(&mutex_);
    stopping_ = false;
  }
  RefreshSelf();
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (...) {
    TraceError(kSource, "the liveness thread cannot start");
    return false;
  }
  Trace(kSource, nullptr, nullptr, kTraceMulticast, kLevelMain,
        "liveness started: incarnation %llx, heartbeat %lld ms, suspect after %lld ms",
        static_cast<unsigned long long>(incarnation_),
        static_cast<long long>(settings_.heartbeatInterval.count()),
        static_cast<long long>(settings_.suspectAfter.count()));
  return true;
}

void LivenessService::Stop() {
  {
    MutexLock lock(&mutex_);
    stopping_ = true;
    wake_.SignalAll();
  }
  if (thread_.joinable()) thread_.join();
}

void LivenessService::Run() {
  for (;;) {
    LivenessActions actions;
    {
      MutexLock lock(&mutex_);
      if (stopping_) return;
      // Until the table has something to do, a tick at the most (a beat or an announcement
      // that arrives meanwhile may bring its next due time forward).
      const MonotonicClock::time_point now = clock_.Now();
      const MonotonicClock::time_point due = table_.NextDue();
      std::chrono::nanoseconds wait = kLivenessTick;
      if (due <= now) {
        wait = std::chrono::milliseconds(1);
      } else if (due - now < wait) {
        wait = std::max<std::chrono::nanoseconds>(due - now, std::chrono::milliseconds(1));
      }
      wake_.WaitFor(wait);
      if (stopping_) return;
      actions = table_.Tick(clock_.Now());
    }
    try {
      Perform(actions);
    } catch (...) {
      TraceError(kSource, "a liveness step failed");  // the next tick tries again
    }
  }
}

bool LivenessService::RefreshSelf(CXmlElement* fresh) {
  AnswerText update;
  if (Failed(BuildHostDetails(host_.station(), "QXDISCOVER", "UPDATE", "*", &update)) || !update)
    return false;
  CXmlElement own;
  CXmlElement& parsed = fresh != nullptr ? *fresh : own;
  if (!parsed.LoadXml(*update)) return false;
  version_.store(ContentDigest(*update), std::memory_order_relaxed);
  MutexLock lock(&mutex_);
  self_.host = parsed.GetSubText("HOST");
  self_.domain = parsed.GetSubText("DOMAIN");
  self_.address = parsed.GetSubText("IP");
  self_.incarnation = incarnation_;
  return true;
}

PeerBeat LivenessService::Self() const {
  MutexLock lock(&mutex_);
  PeerBeat self = self_;
  self.version = version_.load(std::memory_order_relaxed);
  self.intervalMs = static_cast<std::uint32_t>(table_.HeartbeatInterval().count());
  return self;
}

void LivenessService::SendTo(const LivenessAction& action, LivenessKind kind, std::uint64_t nonce) {
  LivenessMessage message;
  message.kind = kind;
  message.sender = Self();
  if (message.sender.host.empty() && RefreshSelf()) message.sender = Self();  // before Start
  message.to = action.host;
  message.nonce = nonce;
  // Only to a dotted IPv4 address: a name would cost a resolver's wait on this thread.
  if (!ParseIpv4Text(action.address)) return;
  SendToMulticastPortRetrying(host_.station(), action.address, BuildLivenessMessage(message));
}

void LivenessService::Perform(const LivenessActions& actions) {
  for (const LivenessAction& action : actions) {
    switch (action.kind) {
      case LivenessAction::Kind::kHeartbeat: {
        if (!joined_.load()) break;
        // A project written (or gone) since the last beat: the others fetch this station's
        // UPDATE when they see the new version, and its own tree takes the same UPDATE, so that
        // every tree agrees without a JOIN of this station.
        const std::uint64_t before = version_.load(std::memory_order_relaxed);
        CXmlElement update;
        if (RefreshSelf(&update) && before != 0 &&
            version_.load(std::memory_order_relaxed) != before) {
          const std::string self = update.GetSubText("HOST");
          const std::string domain = update.GetSubText("DOMAIN");
          host_.station().tree().AddHost(self, domain, &update, true);
        }
        LivenessMessage beat;
        beat.sender = Self();
        if (!beat.sender.host.empty()) {
          SendToMulticastPortRetrying(host_.station(), "*", BuildLivenessMessage(beat));
        }
        break;
      }
      case LivenessAction::Kind::kProbe:
        SendTo(action, LivenessKind::kProbe, action.nonce);
        break;
      case LivenessAction::Kind::kFetch:
        SendTo(action, LivenessKind::kFetch, 0);
        break;
      case LivenessAction::Kind::kGreet:
        ReplyUpdate(host_, action.host, action.address);
        break;
      case LivenessAction::Kind::kRemove:
        TraceWarning(kSource, "station %s (%s) stopped answering: removed from the tree",
                     CutToUnits(action.host, 64).c_str(), CutToUnits(action.address, 64).c_str());
        host_.station().tree().RemoveHost(action.host, action.domain);
        RaiseLivenessEvent(host_.station(), "FAILED", action.host, action.domain, action.address);
        break;
      case LivenessAction::Kind::kRecovered:
        Trace(kSource, nullptr, nullptr, kTraceMulticast, kLevelEvents, "station %s answers again",
              CutToUnits(action.host, 64).c_str());
        RaiseLivenessEvent(host_.station(), "RECOVERED", action.host, action.domain,
                           action.address);
        break;
    }
  }
}

void LivenessService::Receive(std::string_view text) {
  if (!joined_.load()) return;
  const std::optional<LivenessMessage> message = ParseLivenessMessage(text);
  if (!message || IsLocal(host_, message->sender.host) ||
      message->sender.incarnation == incarnation_) {
    return;
  }
  // A text sealed to one station must name this one: a copy sent to another is no news here.
  if (message->kind != LivenessKind::kBeat && !IsLocal(host_, message->to)) return;
  LivenessActions actions;
  switch (message->kind) {
    case LivenessKind::kBeat: {
      MutexLock lock(&mutex_);
      actions = table_.OnHeartbeat(message->sender, LivenessDatagramBits(text.size()));
      break;
    }
    case LivenessKind::kAck: {
      std::optional<HeldAnnouncement> held;
      {
        MutexLock lock(&mutex_);
        const std::uint64_t answered = table_.counters().probeAnswers;
        actions = table_.OnProbeAnswer(message->sender, message->nonce);
        if (table_.counters().probeAnswers != answered) held = TakeHeld(message->sender);
      }
      if (held) ApplyHeld(*held, message->sender, &actions);
      break;
    }
    case LivenessKind::kProbe: {
      {
        MutexLock lock(&mutex_);
        actions = table_.OnContacted(message->sender);
      }
      LivenessAction answer;
      answer.host = message->sender.host;
      answer.address = message->sender.address;
      SendTo(answer, LivenessKind::kAck, message->nonce);
      break;
    }
    case LivenessKind::kFetch: {
      {
        MutexLock lock(&mutex_);
        actions = table_.OnContacted(message->sender);
      }
      ReplyUpdate(host_, message->sender.host, message->sender.address);
      break;
    }
  }
  Perform(actions);
}

bool LivenessService::Admit(CXmlElement* message, bool join, std::uint64_t* version) {
  PeerBeat beat;
  TakeAnnouncementStamp(message, &beat.incarnation, &beat.version);
  *version = beat.version;
  if (beat.incarnation == 0) return true;  // the original protocol: as it always was
  beat.host = message->GetSubText("HOST");
  beat.domain = message->GetSubText("DOMAIN");
  beat.address = message->GetSubText("IP");
  if (IsLocal(host_, beat.host)) return true;
  LivenessActions actions;
  bool now = false;
  {
    MutexLock lock(&mutex_);
    now = table_.OnAnnouncement(beat, join, &actions);
    if (!now) Hold(beat, *message);
  }
  Perform(actions);
  return now;
}

void LivenessService::Hold(const PeerBeat& beat, const CXmlElement& message) {
  const MonotonicClock::time_point now = clock_.Now();
  std::erase_if(held_, [&](const auto& entry) { return now - entry.second.since > kHeldFor; });
  HeldAnnouncement held;
  held.incarnation = beat.incarnation;
  held.version = beat.version;
  held.since = now;
  const std::string key = FoldedKey(beat.host);
  if ((held_.size() >= settings_.maxConfirming && held_.find(key) == held_.end()) ||
      !message.GetXml(&held.text) || held.text.size() > kMaxHeldText) {
    return;  // asked for again (FETCH) once the station answered, as without holding
  }
  held_[key] = std::move(held);
}

std::optional<LivenessService::HeldAnnouncement> LivenessService::TakeHeld(const PeerBeat& sender) {
  const auto found = held_.find(FoldedKey(sender.host));
  if (found == held_.end()) return std::nullopt;
  HeldAnnouncement held = std::move(found->second);
  held_.erase(found);
  // Only what the station says it has now: an older announcement of it (a replay, or one
  // overtaken by a change) waits for the details it is asked for.
  if (held.incarnation != sender.incarnation || held.version != sender.version) {
    return std::nullopt;
  }
  return held;
}

void LivenessService::ApplyHeld(const HeldAnnouncement& held, const PeerBeat& sender,
                                LivenessActions* actions) {
  CXmlElement message;
  if (!message.LoadXml(held.text)) return;
  const std::string name = message.GetSubText("HOST");
  if (!IEquals(name, sender.host) ||
      !host_.station().tree().AddHost(name, message.GetSubText("DOMAIN"), &message, true)) {
    return;
  }
  Applied(name, held.version);
  // Its details are here: no need to ask for them.
  std::erase_if(*actions, [&](const LivenessAction& action) {
    return action.kind == LivenessAction::Kind::kFetch && IEquals(action.host, sender.host);
  });
}

void LivenessService::Applied(std::string_view host, std::uint64_t version) {
  MutexLock lock(&mutex_);
  table_.NoteApplied(host, version);
}

bool LivenessService::Leave(CXmlElement* message) {
  std::uint64_t incarnation = 0;
  std::uint64_t version = 0;
  TakeAnnouncementStamp(message, &incarnation, &version);
  MutexLock lock(&mutex_);
  return table_.OnLeave(message->GetSubText("HOST"), incarnation);
}

void LivenessService::SetJoined(bool joined) {
  joined_.store(joined);
  if (joined) return;
  MutexLock lock(&mutex_);
  table_.Clear();
}

void LivenessService::Stamp(std::string* announcement) const {
  StampAnnouncement(incarnation_, version_.load(std::memory_order_relaxed), announcement);
}

LivenessStatus LivenessService::Status() const {
  LivenessStatus status;
  status.settings = settings_;
  status.incarnation = incarnation_;
  MutexLock lock(&mutex_);
  status.interval = table_.HeartbeatInterval();
  status.counters = table_.counters();
  status.peers = table_.Peers();
  return status;
}

}  // namespace qx
