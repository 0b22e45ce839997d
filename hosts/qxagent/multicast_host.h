// multicast_host.h - MulticastHost, the station's multicast component as qxagent runs it.
//
// Reads the MULTICAST settings from the registry, starts the component object (transport and
// connection point) and its listener on netqxkomm.sock, and hands every received message to
// the received function and every local request of the component to the local-request
// function (qxagent passes functions that call onReceiveMulticast and TalkByString of its
// discovery server, which must run until Stop has returned). A unicast receiver given as a
// host name is resolved like a station name of the RPC client (hosts table, then the system
// resolver within the RPC connect timeout). A watch thread traces, at most every 10 s, what the
// transport and the connection point dropped since the last look.
//
// In network mode (MULTICAST\Interface not a loopback address) the transport announces on each
// selected interface: RewriteForInterface gives each copy of a JOIN, UPDATE, LEAVE or
// ReplyTestMulticast the address and mask of the interface it leaves by, and the interfaces'
// changes are traced; when one comes up the watch thread has the discovery service send a new
// JOIN (through the local-request function).
//
// Ownership: the object owns the component, the listener and the watch thread; Stop (or the
// destructor) ends the watch, then the listener, then the component, and returns when no
// function of the caller runs any more. Used by one thread (the agent's main thread).
//
//   qxagent::MulticastHost multicast(received, localRequest);
//   if (!multicast.Start(&error)) ...;
//   ... Talk(u"<LeaveMulticastGroup/>") ...; multicast.Stop(); discovery.Stop();
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "common/answer.h"
#include "common/hresult.h"
#include "common/mutex.h"
#include "messaging/multicast_transport.h"
#include "messaging/netqxkomm.h"
#include "messaging/netqxkomm_station.h"

namespace qxagent {

// text as it leaves by the interface `by`: an announcement of this station (QXDISCOVER JOIN,
// UPDATE, LEAVE; ReplyTestMulticast) names that interface's address and mask, unless the address
// it names already lies in that interface's subnet (the one SetStationData selected); any other
// text, or one that does not parse, is left as it is.
std::string RewriteForInterface(std::string_view text, const qx::InterfaceInfo& by);

class MulticastHost {
 public:
  using ReceivedFunction = std::function<void(const std::string& text)>;
  using LocalRequestFunction =
      std::function<qx::HRESULT(const std::string& request, qx::AnswerText* answer)>;

  MulticastHost(ReceivedFunction received, LocalRequestFunction localRequest);
  ~MulticastHost();
  MulticastHost(const MulticastHost&) = delete;
  MulticastHost& operator=(const MulticastHost&) = delete;

  // False with *error set when the settings cannot be read or a socket cannot be set up.
  bool Start(std::string* error);
  void Stop();

  // "group 239.255.47.81:24780 on 127.0.0.1 ttl 0, unicast 127.0.0.1:24780, receive buffer
  // 67108864 bytes (forced)", for the agent's start line.
  std::string Describe() const;
  qx::MulticastCounters Counters() const;

 private:
  void Watch() EXCLUDES(mutex_);
  void InterfaceChanged(const qx::MulticastInterfaceEvent& event) EXCLUDES(mutex_);
  // Traces a station that sends under a key this ring lacks: once per sender and key id in
  // kForeignRetrace (a delivery lane calls it).
  void NoteForeignKey(const std::string& from, std::uint32_t keyId) EXCLUDES(foreignMutex_);

  const ReceivedFunction received_;
  const LocalRequestFunction localRequest_;
  std::shared_ptr<qx::NetQXKommEvents> events_;
  std::shared_ptr<qx::NetQXKommStation> station_;
  std::unique_ptr<qx::NetQXKommListener> listener_;
  qx::MulticastSettings settings_;

  qx::Mutex mutex_;
  qx::CondVar stopChanged_{&mutex_};
  bool stopping_ GUARDED_BY(mutex_) = false;
  bool announceWanted_ GUARDED_BY(mutex_) = false;  // an interface came up
  std::thread watch_;

  static constexpr std::chrono::minutes kForeignRetrace{10};
  static constexpr std::size_t kMaxForeignTraced = 256;
  qx::Mutex foreignMutex_;
  std::map<std::pair<std::string, std::uint32_t>, std::chrono::steady_clock::time_point>
      foreignTraced_ GUARDED_BY(foreignMutex_);
};

}  // namespace qxagent
