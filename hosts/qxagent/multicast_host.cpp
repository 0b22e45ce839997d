// multicast_host.cpp - the agent's multicast component (see multicast_host.h).
#include "multicast_host.h"

#include <chrono>
#include <utility>

#include "common/text.h"
#include "registry/store/multicast_settings.h"
#include "rpc/rpc_internal.h"
#include "trace/trace.h"

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

}  // namespace

MulticastHost::MulticastHost(ReceivedFunction received, LocalRequestFunction localRequest)
    : received_(std::move(received)), localRequest_(std::move(localRequest)) {}

MulticastHost::~MulticastHost() { Stop(); }

bool MulticastHost::Start(std::string* error) {
  if (!qx::ReadMulticastSettings(&settings_, error)) return false;
  events_ = qx::NetQXKommEvents::Create();
  qx::NetQXKommStationHooks hooks;
  hooks.received = [this](const qx::MulticastMessage& message) {
    if (received_) received_(message.text);
  };
  hooks.localRequest = [this](std::string_view request, qx::AnswerText* answer) {
    return localRequest_ ? localRequest_(std::string(request), answer) : qx::E_NOTIMPL;
  };
  hooks.resolveHost = [](std::string_view host) -> std::optional<std::string> {
    const qx::RpcSettings rpc = qx::CachedRpcSettings();
    const auto address = qx::ResolveStationAddress(
        host, rpc, qx::RpcClock::now() + std::chrono::milliseconds(rpc.connectTimeoutMs));
    if (!address) return std::nullopt;
    return address->to_string();
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
  return qx::Format("group %s:%u on %s ttl %u, unicast %s:%u, receive buffer %u bytes%s",
                    settings_.group.c_str(), static_cast<unsigned>(settings_.port),
                    settings_.interfaceAddress.c_str(), static_cast<unsigned>(settings_.ttl),
                    settings_.unicastAddress.c_str(), static_cast<unsigned>(settings_.port),
                    static_cast<unsigned>(counters.receiveBufferBytes),
                    counters.receiveBufferForced ? " (forced)" : "");
}

qx::MulticastCounters MulticastHost::Counters() const {
  return station_ ? station_->TransportCounters() : qx::MulticastCounters{};
}

void MulticastHost::Watch() {
  qx::MulticastCounters before = Counters();
  qx::NetQXKommEventCounters eventsBefore = events_->Counters();
  for (;;) {
    {
      qx::MutexLock lock(&mutex_);
      const auto until = std::chrono::steady_clock::now() + kWatchPeriod;
      while (!stopping_ && std::chrono::steady_clock::now() < until) stopChanged_.WaitUntil(until);
      if (stopping_) return;
    }
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
