// netqxkomm.h - the station's multicast communication component, as the module uses it.
//
// The component runs inside qxagent; other processes reach it over "netqxkomm.sock" in the
// runtime directory. An instance is created for each operation and dropped at once. Three
// calls: a group send, a local request with an answer, a unicast send to one station.
// CreateNetQXKomm fails with kClassNotRegistered when no agent listens on the socket, and with
// E_FAIL when one is there but does not accept within LocalCallTimeout(). Any thread may create
// an instance; one thread uses it.
//
// Events: every message that reaches the station is pushed to each advised sink.
// AdviseNetQXKomm subscribes a sink of this process (a connection and a reader thread of its
// own) and gives a cookie; UnadviseNetQXKomm with that cookie ends it, from any thread but the
// sink's. On the agent's side, NetQXKommEvents is the component's one connection point: the
// advised subscriber connections, each with a bounded queue, so that a slow subscriber loses
// its own events (counted) and delays nobody else.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <cstdint>
#include <functional>

#include "common/answer.h"
#include "common/hresult.h"
#include "messaging/multicast_transport.h"

namespace qx {

// REGDB_E_CLASSNOTREG: no component is there to create.
inline constexpr HRESULT kClassNotRegistered = static_cast<HRESULT>(0x80040154u);
// CONNECT_E_NOCONNECTION: no sink is advised under that cookie.
inline constexpr HRESULT kConnectNoConnection = static_cast<HRESULT>(0x80040200u);
// CONNECT_E_ADVISELIMIT: the connection point has as many sinks as it takes.
inline constexpr HRESULT kConnectAdviseLimit = static_cast<HRESULT>(0x80040201u);

class INetQXKomm {
 public:
  virtual ~INetQXKomm() = default;
  virtual HRESULT SendToGroup(std::string_view text) = 0;
  virtual HRESULT LocalRequest(std::string_view text, AnswerText* answer) = 0;
  virtual HRESULT SendToHost(std::string_view receiver, std::string_view text) = 0;
};

HRESULT CreateNetQXKomm(std::unique_ptr<INetQXKomm>* component);

// The agent, which runs the component in its own process, makes it this process's component:
// CreateNetQXKomm then answers instances that call it directly instead of over the socket (the
// UPDATE replies of a JOIN burst cost no connection each). The process keeps only a weak
// reference; nullptr, or the component's end, goes back to the socket.
void SetProcessNetQXKomm(const std::shared_ptr<INetQXKomm>& component);

// What makes a station's component: CreateNetQXKomm, or a test's double (station/station.h).
using NetQXKommFactory = HRESULT (*)(std::unique_ptr<INetQXKomm>*);

// Path of the component's socket: <RuntimeDir()>/netqxkomm.sock.
std::string NetQXKommSocketPath();

// A sink of the component's events: the message text and how it reached the station. Called on
// the subscription's own reader thread, one message after the other.
using NetQXKommSink = std::function<void(MulticastDelivery delivery, const std::string& text)>;

// Subscribes sink to the station's component. The cookie (never 0) stays valid until
// UnadviseNetQXKomm, also across a restart of the agent: the subscription then connects again
// (waiting 50 ms, doubling up to 2 s between tries) and advises anew; events raised while it was
// away are lost. 0 when no agent is running, it refuses the advise or sink is empty: nothing
// else happens then.
std::uint32_t AdviseNetQXKomm(NetQXKommSink sink);
// Ends the subscription of cookie and joins its reader thread: S_OK, kConnectNoConnection for a
// cookie that is not advised, E_UNEXPECTED when called from that subscription's own sink.
HRESULT UnadviseNetQXKomm(std::uint32_t cookie);

// The component's connection point on the agent's side. Raise queues the message for every
// advised subscriber (at most maxSubscribers, and never more than 24; each queue holds at most
// queueLimit messages and 16 MiB, beyond which its events are dropped and counted). Any thread may
// call.
struct NetQXKommEventCounters {
  std::uint64_t raised = 0;
  std::uint64_t dropped = 0;          // for a subscriber whose queue was full
  std::uint64_t subscribersLost = 0;  // gone without an unadvise (closed, dead, too slow)
  std::size_t subscribers = 0;
};
class NetQXKommEvents {
 public:
  static std::shared_ptr<NetQXKommEvents> Create(std::size_t maxSubscribers = 16,
                                                 std::size_t queueLimit = 4096);
  virtual ~NetQXKommEvents() = default;
  virtual void Raise(MulticastDelivery delivery, std::string_view text) = 0;
  // Unadvise by cookie, whichever connection advised it.
  virtual HRESULT Unadvise(std::uint32_t cookie) = 0;
  virtual NetQXKommEventCounters Counters() const = 0;
};

// The serving side, for qxagent: every connection is served on a thread of the listener (at most
// 32 at once; further clients wait in the socket's backlog), and each request of it is handed to
// the matching call of target (which must be safe to call from several threads at once). A
// request must arrive whole within LocalCallTimeout(), or its connection is closed. Stop closes
// the socket, removes its file while it is still this listener's, ends every connection and
// waits for the running calls to end. Null (with *error set) when the socket cannot be bound.
class NetQXKommListener {
 public:
  virtual ~NetQXKommListener() = default;
  virtual void Stop() = 0;
};
// With events (made by NetQXKommEvents::Create), a connection may advise: it then carries
// only the pushed events until the client closes it, the cookie is unadvised or Stop; a
// subscriber that cannot take an event within LocalCallTimeout() is dropped. Without events an
// advise is refused.
std::unique_ptr<NetQXKommListener> StartNetQXKommListener(std::shared_ptr<INetQXKomm> target,
                                                          std::string* error);
std::unique_ptr<NetQXKommListener> StartNetQXKommListener(std::shared_ptr<INetQXKomm> target,
                                                          std::shared_ptr<NetQXKommEvents> events,
                                                          std::string* error);

}  // namespace qx
