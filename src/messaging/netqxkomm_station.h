// netqxkomm_station.h - NetQXKommStation, the station's one multicast component object.
//
// It lives in qxagent behind the component's socket (StartNetQXKommListener): group sends and
// unicast sends go out through its MulticastTransport, local requests go to a hook, and every
// message that the transport delivers goes to the received hook and is raised to the advised
// subscribers (NetQXKommEvents). A unicast receiver that is no IPv4 text is a host name: the
// resolve hook turns it into one (qxagent: the registry's hosts table, then the system's
// resolver with a bounded wait); a name it cannot resolve is refused with E_INVALIDARG. The
// local requests kMulticastCountersRequest and kStationMetricsRequest are the station's own: it
// answers the transport's counters and the process's metrics.
//
// Ownership: the station owns its transport and shares the event hub with the listener. The
// hooks run on the calling thread (local request: a connection thread of the listener;
// received: the transport's delivery lanes, several at once, each sender's messages in order)
// and must not call Stop. Stop ends the transport (it waits for running sends and received
// hooks; none runs after it returns); sends after it fail with E_FAIL. Any thread may call the
// INetQXKomm methods, also at once.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/mutex.h"
#include "messaging/multicast_transport.h"
#include "messaging/netqxkomm.h"

namespace qx {

// The local request that the station answers itself, with its transport's counters:
// <MulticastCounters DatagramsReceived="N" MessagesDelivered="N" Malformed="N" Unopenable="N"
// ForeignKey="N" Replayed="N" QueueDrops="N" MessagesSent="N" SendFailures="N"/>.
inline constexpr std::string_view kMulticastCountersRequest = "<GetMulticastCounters/>";
// The local request that raises the message between the two marks to the advised subscribers,
// as if it had reached the station (the discovery's own events: a station removed for silence,
// one that answers again); nothing leaves the station.
inline constexpr std::string_view kRaiseEventOpen = "<RaiseEvent>";
inline constexpr std::string_view kRaiseEventClose = "</RaiseEvent>";
std::string MulticastCountersAnswer(const MulticastCounters& counters);
// The counters of such an answer; false for any other text (it came over a socket).
bool ParseMulticastCountersAnswer(std::string_view text, MulticastCounters* counters);

// The local request that the station answers itself with its process's metrics (the counters
// of trace/counters.h, its uptime, memory and descriptors, the key id in use) as Prometheus
// text (trace/metrics_text.h); at most kMaxStationMetricsBytes. The listener answers it only to
// the station's users.
inline constexpr std::string_view kStationMetricsRequest = "<GetStationMetrics/>";
inline constexpr std::size_t kMaxStationMetricsBytes = 64 * 1024;

struct NetQXKommStationHooks {
  std::function<HRESULT(std::string_view request, AnswerText* answer)> localRequest;
  std::function<std::optional<std::string>(std::string_view host)> resolveHost;
  std::function<void(const MulticastMessage& message)> received;
  // Network mode: the per-interface rewrite of what is sent and the interfaces' changes (see
  // MulticastInterfaceHooks; changed may run inside Start, before the station is returned).
  MulticastInterfaceHooks interfaces;
};

class NetQXKommStation final : public INetQXKomm {
 public:
  // Starts the transport with settings; null with *error set when it cannot.
  static std::shared_ptr<NetQXKommStation> Start(const MulticastSettings& settings,
                                                 NetQXKommStationHooks hooks,
                                                 std::shared_ptr<NetQXKommEvents> events,
                                                 std::string* error);
  ~NetQXKommStation() override;

  HRESULT SendToGroup(std::string_view text) override EXCLUDES(mutex_);
  HRESULT LocalRequest(std::string_view text, AnswerText* answer) override;
  HRESULT SendToHost(std::string_view receiver, std::string_view text) override EXCLUDES(mutex_);

  void Stop() EXCLUDES(mutex_, receiveMutex_);
  // The transport's counters (all zero after Stop).
  MulticastCounters TransportCounters() const EXCLUDES(mutex_);
  // The interfaces the group is joined on (network mode; none after Stop).
  std::vector<InterfaceInfo> Interfaces() const EXCLUDES(mutex_);

 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  NetQXKommStation(Key, NetQXKommStationHooks hooks, std::shared_ptr<NetQXKommEvents> events);

 private:
  void Received(const MulticastMessage& message) EXCLUDES(receiveMutex_);
  void EndReceive() EXCLUDES(receiveMutex_);
  // The transport for one send (null after Stop); Release ends that use.
  MulticastTransport* Acquire() const EXCLUDES(mutex_);
  void Release() const EXCLUDES(mutex_);
  class Use;

  const NetQXKommStationHooks hooks_;
  const std::shared_ptr<NetQXKommEvents> events_;
  mutable Mutex mutex_;
  mutable CondVar usesEnded_{&mutex_};
  std::unique_ptr<MulticastTransport> transport_ GUARDED_BY(mutex_);
  mutable int uses_ GUARDED_BY(mutex_) = 0;  // sends running on transport_
  // Received hooks run side by side (one per delivery lane); Stop ends receiving and waits
  // until the last running hook has returned.
  Mutex receiveMutex_;
  CondVar receivesEnded_{&receiveMutex_};
  bool receiving_ GUARDED_BY(receiveMutex_) = true;
  int receivesRunning_ GUARDED_BY(receiveMutex_) = 0;
};

}  // namespace qx
