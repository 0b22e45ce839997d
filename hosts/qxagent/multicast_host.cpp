// multicast_host.cpp - the agent's multicast component (see multicast_host.h).
#include "multicast_host.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <utility>

#include "common/text.h"
#include "keys/cluster_keys.h"
#include "messaging/multicast_settings.h"
#include "platform/host_platform.h"
#include "platform/network_interfaces.h"
#include "registry/store/settings_file.h"
#include "rpc/rpc_resolve.h"
#include "rpc/rpc_settings.h"
#include "trace/trace.h"
#include "xml/xml_element.h"

namespace qxagent {
namespace {

const qx::CTraceSource kSource("NetQXKomm");
constexpr auto kWatchPeriod = std::chrono::seconds(10);

// What was lost between two looks at the counters, as one line; empty when nothing was.
std::string Losses(const qx::MulticastCounters& now, const qx::MulticastCounters& before,
                   const qx::NetQXKommEventCounters& eventsNow,
                   const qx::NetQXKommEventCounters& eventsBefore) {
  std::string text;
  auto add = [&text](const char* what, std::uint64_t a, std::uint64_t b) {
    if (a == b) return;
    if (!text.empty()) text += ", ";
    text += qx::Format("%s %llu", what, static_cast<unsigned long long>(a - b));
  };
  add("malformed datagrams", now.malformed, before.malformed);
  add("datagrams that did not open (forged or altered)", now.unopenable, before.unopenable);
  add("datagrams under a key not in the ring", now.foreignKey, before.foreignKey);
  add("datagrams replayed", now.replayed, before.replayed);
  add("unfinished messages expired", now.expiredSets, before.expiredSets);
  add("unfinished messages evicted", now.evictedSets, before.evictedSets);
  add("datagrams dropped for a full queue", now.queueDrops, before.queueDrops);
  add("failed sends", now.sendFailures, before.sendFailures);
  add("events dropped for slow subscribers", eventsNow.dropped, eventsBefore.dropped);
  add("subscribers lost", eventsNow.subscribersLost, eventsBefore.subscribersLost);
  return text;
}

// "eth0 10.1.2.3/255.255.0.0".
std::string InterfaceText(const qx::InterfaceInfo& one) {
  return one.name + " " + one.AddressText() + "/" + one.MaskText();
}

// Whether text is an announcement of this station's address: a QXDISCOVER JOIN, UPDATE or LEAVE,
// or a ReplyTestMulticast. A cheap look at the root's name first: most group traffic is other.
bool NamesOwnAddress(std::string_view text, qx::CXmlElement* message) {
  const std::size_t open = text.find('<');
  if (open == std::string_view::npos) return false;
  const std::string_view root = text.substr(open + 1);
  if (!root.starts_with("QXDISCOVER") && !root.starts_with("ReplyTestMulticast")) return false;
  if (!message->LoadXml(text)) return false;
  const std::string name = message->GetName();
  if (qx::IEquals(name, "ReplyTestMulticast")) return true;
  if (!qx::IEquals(name, "QXDISCOVER")) return false;
  const std::string event = message->GetSubText("EVENT");
  return qx::IEquals(event, "JOIN") || qx::IEquals(event, "UPDATE") || qx::IEquals(event, "LEAVE");
}

}  // namespace

std::string RewriteForInterface(std::string_view text, const qx::InterfaceInfo& by) {
  qx::CXmlElement message;
  if (!NamesOwnAddress(text, &message)) return std::string(text);
  // The address that SetStationData selected stays on the interface whose subnet holds it;
  // every other interface announces its own address.
  const std::optional<std::uint32_t> announced = qx::ParseIpv4Text(message.GetSubText("IP"));
  if (announced && by.Holds(*announced)) return std::string(text);
  std::string rewritten;
  if (!message.ReplaceTextChild("IP", by.AddressText()) ||
      !message.ReplaceTextChild("IP_Mask", by.MaskText()) || !message.GetXml(&rewritten)) {
    return std::string(text);
  }
  return rewritten;
}

MulticastHost::MulticastHost(ReceivedFunction received, LocalRequestFunction localRequest)
    : received_(std::move(received)), localRequest_(std::move(localRequest)) {}

MulticastHost::~MulticastHost() { Stop(); }

bool MulticastHost::Start(std::string* error) {
  if (!qx::ReadMulticastSettings(qx::ReadRpcSettings().listenAddress, &settings_, error))
    return false;
  events_ = qx::NetQXKommEvents::Create();
  qx::NetQXKommStationHooks hooks;
  hooks.received = [this](const qx::MulticastMessage& message) {
    if (received_) received_(message.text);
  };
  hooks.localRequest = [this](std::string_view request, qx::AnswerText* answer) {
    return localRequest_ ? localRequest_(std::string(request), answer) : qx::E_NOTIMPL;
  };
  hooks.interfaces.rewrite = &RewriteForInterface;
  hooks.interfaces.changed = [this](const qx::MulticastInterfaceEvent& event) {
    InterfaceChanged(event);
  };
  hooks.interfaces.foreignKey = [this](const std::string& from, std::uint32_t keyId) {
    NoteForeignKey(from, keyId);
  };
  hooks.resolveHost = [](std::string_view host) -> std::optional<std::string> {
    const qx::RpcSettings rpc = qx::CachedRpcSettings();
    const auto address = qx::ResolveStationAddress(
        host, rpc, qx::RpcClock::now() + std::chrono::milliseconds(rpc.connectTimeoutMs),
        qx::Host());
    if (!address) return std::nullopt;
    return address->to_string();
  };
  // Peer names resolve as a station's host names do, waiting a bounded time on the peers' own
  // thread; a name that does not resolve is said once each PeersResolveMs (and the trace
  // source's rate limit holds).
  hooks.interfaces.resolvePeer = [](const std::string& name) -> std::optional<std::uint32_t> {
    const qx::RpcSettings rpc = qx::CachedRpcSettings();
    const auto address = qx::ResolveStationAddress(
        name, rpc, qx::RpcClock::now() + std::chrono::milliseconds(rpc.connectTimeoutMs),
        qx::Host());
    if (!address) return std::nullopt;
    return address->to_uint();
  };
  hooks.interfaces.peerUnresolved = [](const std::string& name) {
    qx::TraceWarning(kSource,
                     "MULTICAST\\Peers: the name %s does not resolve; skipped until it does",
                     name.c_str());
  };
  station_ = qx::NetQXKommStation::Start(settings_, std::move(hooks), events_, error);
  if (!station_) return false;
  listener_ = qx::StartNetQXKommListener(station_, events_, error);
  if (!listener_) {
    station_->Stop();
    station_.reset();
    return false;
  }
  qx::SetProcessNetQXKomm(station_);  // this process's own sends skip the socket
  {
    qx::MutexLock lock(&mutex_);
    stopping_ = false;
    announceWanted_ = false;  // the owner joins the group after Start
  }
  if (!qx::IsLocalMulticastMode(settings_)) {
    // Said on stderr too: an operator who starts the agent by hand sees it beside "ready".
    if (!settings_.interfacesError.empty()) {
      qx::TraceError(kSource, "%s; the station announces on no interface",
                     settings_.interfacesError.c_str());
      std::fprintf(stderr, "qxagent: warning: %s; the station announces on no interface\n",
                   qx::CutToUnits(settings_.interfacesError, 300).c_str());
    } else if (station_->Interfaces().empty()) {
      qx::TraceWarning(kSource,
                       "No interface is selected for the multicast group; the station announces "
                       "nowhere until one comes up");
      std::fprintf(stderr,
                   "qxagent: warning: MULTICAST\\Interfaces selects no interface of this "
                   "machine; the station announces nowhere until one comes up (qxstation "
                   "status lists the interfaces)\n");
    }
    if (settings_.ttl == 0) {
      std::fprintf(stderr,
                   "qxagent: warning: MULTICAST\\TTL is 0 in network mode: no datagram leaves "
                   "this machine; set TTL = 1 in [MULTICAST] of %s\n",
                   qx::SettingsFile::StationPath().c_str());
    }
  }
  watch_ = std::thread([this] { Watch(); });
  qx::TracePlain(kSource, "Multicast component started: %s", Describe().c_str());
  return true;
}

void MulticastHost::Stop() {
  {
    qx::MutexLock lock(&mutex_);
    stopping_ = true;
  }
  stopChanged_.SignalAll();
  if (watch_.joinable()) watch_.join();
  qx::SetProcessNetQXKomm(nullptr);
  if (listener_) listener_->Stop();  // no call of a client runs after this
  if (station_) station_->Stop();    // nor a received message
  listener_.reset();
  station_.reset();
}

std::string MulticastHost::Describe() const {
  const qx::MulticastCounters counters = Counters();
  std::string on = settings_.interfaceAddress;
  if (!qx::IsLocalMulticastMode(settings_)) {
    on.clear();
    for (const qx::InterfaceInfo& one :
         station_ ? station_->Interfaces() : std::vector<qx::InterfaceInfo>{}) {
      on += (on.empty() ? "" : ", ") + InterfaceText(one);
    }
    if (on.empty()) on = "no interface";
  }
  std::string peers;
  for (const std::string& peer : settings_.peers) peers += (peers.empty() ? "" : " ") + peer;
  if (!peers.empty() || settings_.relay) {
    peers = qx::Format(", peers %s%s", peers.empty() ? "none" : peers.c_str(),
                       settings_.relay ? " (relay)" : "");
  }
  return qx::Format("group %s:%u on %s ttl %u, unicast %s:%u, receive buffer %u bytes%s%s",
                    settings_.group.c_str(), static_cast<unsigned>(settings_.port), on.c_str(),
                    static_cast<unsigned>(settings_.ttl), settings_.unicastAddress.c_str(),
                    static_cast<unsigned>(settings_.port),
                    static_cast<unsigned>(counters.receiveBufferBytes),
                    counters.receiveBufferForced ? " (forced)" : "", peers.c_str());
}

void MulticastHost::NoteForeignKey(const std::string& from, std::uint32_t keyId) {
  const auto now = std::chrono::steady_clock::now();
  {
    qx::MutexLock lock(&foreignMutex_);
    const auto found = foreignTraced_.find({from, keyId});
    if (found != foreignTraced_.end() && now - found->second < kForeignRetrace) return;
    if (foreignTraced_.size() >= kMaxForeignTraced) foreignTraced_.clear();
    foreignTraced_[{from, keyId}] = now;
  }
  const std::shared_ptr<const qx::KeyRing> ring = qx::CurrentKeyRing();
  const qx::ClusterKey* inUse = ring ? ring->InUse() : nullptr;
  const std::string ours = inUse != nullptr ? qx::KeyIdText(inUse->id) : std::string("none");
  qx::TraceWarning(kSource,
                   "Station %s sends with cluster key %s, which this station's key ring lacks "
                   "(key in use here: %s): its messages are dropped; every station of a cluster "
                   "needs the same key (qxstation key install)",
                   qx::CutToUnits(from, 64).c_str(),
                   keyId != 0 ? qx::KeyIdText(keyId).c_str() : "(unknown)", ours.c_str());
}

qx::MulticastCounters MulticastHost::Counters() const {
  return station_ ? station_->TransportCounters() : qx::MulticastCounters{};
}

void MulticastHost::InterfaceChanged(const qx::MulticastInterfaceEvent& event) {
  const std::string which = InterfaceText(event.interface);
  switch (event.kind) {
    case qx::MulticastInterfaceEvent::Kind::kJoined:
      qx::TracePlain(kSource, "Multicast group joined on %s", which.c_str());
      if (event.running) {
        // An interface came up: the stations behind it learn of this one by a new JOIN,
        // sent from the watch thread (the transport's thread must not wait for it).
        {
          qx::MutexLock lock(&mutex_);
          announceWanted_ = true;
        }
        stopChanged_.SignalAll();
      }
      break;
    case qx::MulticastInterfaceEvent::Kind::kLeft:
      qx::TracePlain(kSource, "Multicast group left on %s (down, gone or readdressed)",
                     which.c_str());
      break;
    case qx::MulticastInterfaceEvent::Kind::kFailed:
      if (event.interface.index == 0) {
        qx::TraceWarning(kSource, "The interfaces cannot be listed: %s", event.error.c_str());
      } else {
        qx::TraceWarning(kSource, "The multicast group cannot be joined on %s: %s", which.c_str(),
                         event.error.c_str());
      }
      break;
  }
}

void MulticastHost::Watch() {
  qx::MulticastCounters before = Counters();
  qx::NetQXKommEventCounters eventsBefore = events_->Counters();
  auto until = std::chrono::steady_clock::now() + kWatchPeriod;
  for (;;) {
    bool announce = false;
    {
      qx::MutexLock lock(&mutex_);
      while (!stopping_ && !announceWanted_ && std::chrono::steady_clock::now() < until) {
        stopChanged_.WaitUntil(until);
      }
      if (stopping_) return;
      announce = announceWanted_;
      announceWanted_ = false;
    }
    if (announce) {
      if (localRequest_) {
        const qx::HRESULT hr = localRequest_("<JoinMulticastGroup/>", nullptr);
        if (hr < 0) {
          qx::TraceWarning(kSource, "Announcing on a new interface failed (0x%08x)",
                           static_cast<unsigned>(hr));
        }
      }
      continue;
    }
    until = std::chrono::steady_clock::now() + kWatchPeriod;
    const qx::MulticastCounters now = Counters();
    const qx::NetQXKommEventCounters eventsNow = events_->Counters();
    const std::string lost = Losses(now, before, eventsNow, eventsBefore);
    if (!lost.empty())
      qx::TraceWarning(kSource, "Multicast losses in the last period: %s", lost.c_str());
    before = now;
    eventsBefore = eventsNow;
  }
}

}  // namespace qxagent
