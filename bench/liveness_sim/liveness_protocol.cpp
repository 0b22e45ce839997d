// liveness_protocol.cpp - the liveness table's actions carried out over the simulated network.
#include "liveness_protocol.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "discovery/liveness_service.h"
#include "messaging/datagram_seal.h"
#include "messaging/multicast_fragments.h"
#include "xml/xml_element.h"

namespace qx::sim {
namespace {

constexpr int kPerSubnet = 250;

}  // namespace

std::size_t LivenessProtocol::Overhead() {
  return kFragmentHeaderBytes + kSealedHeaderBytes + kSealTagBytes;
}

std::string LivenessProtocol::HostName(int station) { return "st" + std::to_string(station); }

std::string LivenessProtocol::Address(int station) {
  return "10.0." + std::to_string(station / kPerSubnet) + "." +
         std::to_string(station % kPerSubnet + 1);
}

int LivenessProtocol::StationAt(const std::string& address) {
  unsigned high = 0;
  unsigned low = 0;
  char rest = 0;
  if (std::sscanf(address.c_str(), "10.0.%u.%u%c", &high, &low, &rest) != 2 || low < 1 ||
      low > kPerSubnet || high > 255) {
    return -1;
  }
  return static_cast<int>(high) * kPerSubnet + static_cast<int>(low) - 1;
}

// The agent wakes when its table has something due; ticks of 20 ms come close to that (the
// table's Tick is cheap while nothing is due).
std::int64_t LivenessProtocol::TickPeriodUs() const { return 20'000; }

void LivenessProtocol::Start(SimContext& context) {
  clock_.nowUs = context.NowUs();
  LivenessSettings settings = settings_;
  settings.seed = context.Random() | 1;
  table_ = std::make_unique<LivenessTable>(settings, clock_);
  inTree_.assign(static_cast<std::size_t>(context.Stations()), false);
  self_.host = HostName(context.Self());
  self_.domain = "sim";
  self_.address = Address(context.Self());
  self_.incarnation = context.Random() | 1;
  details_.clear();
  const std::string unstamped = Announcement("UPDATE", "*");
  self_.version = ContentDigest(unstamped);
  SendText(context, kGroup, Announcement("JOIN", "*"));
}

PeerBeat LivenessProtocol::Self() const {
  PeerBeat self = self_;
  self.intervalMs = static_cast<std::uint32_t>(table_->HeartbeatInterval().count());
  return self;
}

std::string LivenessProtocol::Announcement(const char* event, const std::string& receiver) const {
  // The shape of the agent's host details: identity, address, versions, the project list.
  CXmlElement details;
  std::string text;
  CXmlElement list;
  CXmlElement project;
  if (!details.CreateRoot("QXDISCOVER") || !details.AddTextChild("EVENT", event) ||
      !details.AddTextChild("Receiver", receiver) || !details.AddTextChild("Host", self_.host) ||
      !details.AddTextChild("Domain", self_.domain) || !details.AddTextChild("User", "root") ||
      !details.AddTextChild("IP", self_.address) ||
      !details.AddTextChild("IP_Mask", "255.255.0.0") ||
      !details.AddTextChild("NorvaneVersion", "8.1.0") ||
      !details.AddTextChild("NorvaneBuild", "2031") ||
      !details.AddTextChild("NorvanePath", "/opt/qxremote") ||
      !details.AddChild("PROJECTLIST", &list) || !list.AddChild("PROJECT", &project) ||
      !project.AddTextChild("DSN", "Plant_" + self_.host) ||
      !project.AddTextChild("PATH", "/srv/projects/Plant_" + self_.host + "/Plant.mcp") ||
      !project.AddTextChild("TYPE", "MultiUser") || !project.AddTextChild("STATE", "running") ||
      !details.GetXml(&text)) {
    return {};
  }
  if (self_.incarnation != 0) StampAnnouncement(self_.incarnation, self_.version, &text);
  return text;
}

void LivenessProtocol::SendText(SimContext& context, int to, const std::string& text) {
  if (text.empty()) return;
  Datagram payload(Overhead() + text.size(), 0);
  std::copy(
      text.begin(), text.end(),
      payload.begin() + static_cast<std::ptrdiff_t>(kFragmentHeaderBytes + kSealedHeaderBytes));
  context.Send(to, std::move(payload));
}

void LivenessProtocol::SendLive(SimContext& context, const LivenessAction& action,
                                LivenessKind kind, std::uint64_t nonce) {
  const int to = StationAt(action.address);
  if (to < 0 || to == context.Self()) return;
  LivenessMessage message;
  message.kind = kind;
  message.sender = Self();
  message.to = action.host;
  message.nonce = nonce;
  SendText(context, to, BuildLivenessMessage(message));
}

void LivenessProtocol::Perform(SimContext& context, const LivenessActions& actions) {
  for (const LivenessAction& action : actions) {
    const int station = StationAt(action.address);
    switch (action.kind) {
      case LivenessAction::Kind::kHeartbeat: {
        LivenessMessage beat;
        beat.sender = Self();
        SendText(context, kGroup, BuildLivenessMessage(beat));
        break;
      }
      case LivenessAction::Kind::kProbe:
        SendLive(context, action, LivenessKind::kProbe, action.nonce);
        break;
      case LivenessAction::Kind::kFetch:
        SendLive(context, action, LivenessKind::kFetch, 0);
        break;
      case LivenessAction::Kind::kGreet:
        if (station >= 0) SendText(context, station, Announcement("UPDATE", action.address));
        break;
      case LivenessAction::Kind::kRemove:
        // The agent takes the host out of its tree and raises FAILED, known in the tree or not.
        if (station >= 0) {
          inTree_[static_cast<std::size_t>(station)] = false;
          context.Removed(station);
        }
        break;
      case LivenessAction::Kind::kRecovered:
        break;
    }
  }
}

void LivenessProtocol::OnDatagram(SimContext& context, int /*from*/,
                                  std::span<const std::uint8_t> bytes) {
  clock_.nowUs = context.NowUs();
  // Not started yet: the agent is not listening, what arrives is lost.
  if (table_ == nullptr || bytes.size() <= Overhead()) return;
  const std::string text(
      bytes.begin() + static_cast<std::ptrdiff_t>(kFragmentHeaderBytes + kSealedHeaderBytes),
      bytes.end() - static_cast<std::ptrdiff_t>(kSealTagBytes));
  if (text.starts_with("<QXDISCOVER")) {
    ReceiveAnnouncement(context, text);
  } else {
    ReceiveLive(context, text);
  }
}

void LivenessProtocol::ReceiveLive(SimContext& context, const std::string& text) {
  const std::optional<LivenessMessage> message = ParseLivenessMessage(text);
  if (!message || message->sender.host == self_.host ||
      message->sender.incarnation == self_.incarnation) {
    return;
  }
  if (message->kind != LivenessKind::kBeat && message->to != self_.host) return;
  LivenessActions actions;
  LivenessAction answer;
  answer.host = message->sender.host;
  answer.address = message->sender.address;
  switch (message->kind) {
    case LivenessKind::kBeat:
      actions = table_->OnHeartbeat(message->sender, LivenessDatagramBits(text.size()));
      break;
    case LivenessKind::kAck:
      actions = table_->OnProbeAnswer(message->sender, message->nonce);
      break;
    case LivenessKind::kProbe:
      SendLive(context, answer, LivenessKind::kAck, message->nonce);
      break;
    case LivenessKind::kFetch: {
      const int to = StationAt(answer.address);
      if (to >= 0 && to != context.Self()) {
        SendText(context, to, Announcement("UPDATE", answer.address));
      }
      break;
    }
  }
  Perform(context, actions);
}

void LivenessProtocol::ReceiveAnnouncement(SimContext& context, const std::string& text) {
  CXmlElement message;
  if (!message.LoadXml(text)) return;
  const bool join = message.GetSubText("EVENT") == "JOIN";
  PeerBeat beat;
  TakeAnnouncementStamp(&message, &beat.incarnation, &beat.version);
  beat.host = message.GetSubText("HOST");
  beat.domain = message.GetSubText("DOMAIN");
  beat.address = message.GetSubText("IP");
  const int station = StationAt(beat.address);
  if (station < 0 || station == context.Self() || beat.host == self_.host) return;
  LivenessActions actions;
  const bool now = table_->OnAnnouncement(beat, join, &actions);
  Perform(context, actions);
  if (!now) return;
  inTree_[static_cast<std::size_t>(station)] = true;
  table_->NoteApplied(beat.host, beat.version);
  if (join) SendText(context, station, Announcement("UPDATE", beat.address));
}

void LivenessProtocol::Tick(SimContext& context) {
  clock_.nowUs = context.NowUs();
  if (table_ == nullptr) return;
  Perform(context, table_->Tick(clock_.Now()));
}

std::int64_t LivenessProtocol::HeartbeatPeriodUs() const {
  if (table_ == nullptr) return 0;
  return std::chrono::duration_cast<std::chrono::microseconds>(table_->HeartbeatInterval()).count();
}

bool LivenessProtocol::Knows(int station) const {
  return station >= 0 && static_cast<std::size_t>(station) < inTree_.size() &&
         inTree_[static_cast<std::size_t>(station)];
}

}  // namespace qx::sim
