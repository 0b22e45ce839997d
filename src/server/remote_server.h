// remote_server.h - CSERVER, the module's RPC server object.
//
// The host creates one per service through StartRemoteServer and destroys it with
// StopRemoteServer. A server borrows the station it serves (its tree, host identity and
// multicast component), which must outlive it. The service GUID selects the role: the discovery
// service (project list upkeep, network tree, watch timer) or the project-manager service
// (multicast events). Requests from other stations arrive on RPC pool threads through
// onReceiveString (777) and onReceiveData (779). currentServer() is the most recently constructed
// live server; it is cleared when that object is destroyed, and the lock inside ServerRef keeps a
// user of it from meeting a destroyed object.
//
// The discovery role owns the watch timer's thread; the project-manager role holds the event
// sink's subscription. Both borrow the object and end in stopRemoteServer (or, at the latest,
// first thing in the destructor). The discovery messages are handled by src/discovery, to which
// the server lends itself as the DiscoveryHost.
//
// Threads: startRemoteServer, stopRemoteServer and TalkByString run on host threads; the
// receive callbacks on RPC pool threads. The destructor first stops the endpoint (so no RPC
// handler runs on a half-destroyed object), then waits until no ServerRef holds the object;
// the parts of a derived class are gone by then, so an override must not touch them once its
// object may be destroyed.
//
//   auto server = std::make_unique<CSERVER>(station);
//   if (Succeeded(server->startRemoteServer(kServiceDiscovery))) { ... }
//   server->stopRemoteServer();
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/answer.h"
#include "common/hresult.h"
#include "common/mutex.h"
#include "discovery/discovery_host.h"
#include "discovery/liveness_service.h"
#include "discovery/project_watch.h"
#include "rpc/rpc.h"
#include "xml/xml_element.h"

namespace qx {

// The module-wide lock of currentServer and of every server's count of holders.
inline Mutex serverLock;

// Role names kept in serviceName().
inline constexpr const char* kRoleDiscovery = "DiscoverService";
inline constexpr const char* kRoleProjectManager = "ProjectManager";
inline constexpr const char* kRoleUnknown = "<UNKNOWN>";

// Watch timer period when the registry value "CleanRegistry" is absent, in milliseconds.
inline constexpr std::uint32_t kDefaultWatchPeriodMs = 10000;

class CSERVER : public CRPCServerW, public DiscoveryHost {
 public:
  explicit CSERVER(Station& station);
  ~CSERVER() override;

  HRESULT startRemoteServer(std::string_view serviceName);
  HRESULT stopRemoteServer();

  bool onReceiveData(std::uint16_t clientId, std::uint32_t dataId, const std::uint8_t* data,
                     std::size_t size, ByteBlock* answer) override;
  bool onReceiveString(std::uint16_t clientId, std::uint32_t dataId, const std::string& text,
                       AnswerText* answer) override;

  // Local commands (TalkByString) and discovery messages.
  HRESULT TalkByString(std::string_view text, AnswerText* answer);
  HRESULT onReceiveMulticast(std::string_view text) override;
  HRESULT onDiscoverEvent(std::string_view text, CXmlElement& tree) override;
  HRESULT onProjectManagerEvent(std::string_view text, const CXmlElement& tree) override;
  HRESULT onStationEvent(std::string_view text, const CXmlElement& tree) override;
  bool takesRemoteCall(std::string_view context) const override;
  HRESULT ForwardRemoteCall(std::string_view text) override;
  HRESULT PerformRemoteCall(const CXmlElement& message) override;

  // Group membership; E_NOTIMPL while multicast is not enabled.
  HRESULT JoinMulticastGroup();
  HRESULT LeaveMulticastGroup();

  const std::string& serviceName() const { return serviceName_; }
  Station& station() const override { return station_; }
  bool multicastEnabled() const override { return multicastEnabled_.load(); }
  bool replyWithRpc() const override { return replyWithRpc_.load(); }
  LivenessService* liveness() const override { return liveness_.get(); }
  // Period of the running watch timer in milliseconds; 0 when none runs.
  std::uint32_t watchTimerPeriodMs() const { return watchTimer_.periodMs(); }

 private:
  friend class ServerRef;

  bool InitNetworkTree();
  void StartLiveness();
  void ClearNetworkTree();
  void StartWatchTimer(std::uint32_t periodMs);
  void StopWatchTimer();
  std::uint32_t AdviseEventSink();
  void UnadviseEventSink(std::uint32_t cookie);
  HRESULT DispatchCommand(const CXmlElement& command, AnswerText* answer);

  Station& station_;
  std::atomic<bool> multicastEnabled_{false};
  std::atomic<bool> replyWithRpc_{true};
  std::uint32_t sinkCookie_ = 0;
  WatchTimer watchTimer_;  // the discovery role's watch; stopped before the object goes
  // The discovery role's liveness extension: made at the start (before multicast is enabled),
  // stopped by stopRemoteServer, destroyed with the object.
  std::unique_ptr<LivenessService> liveness_;
  std::string serviceName_;
  int holders_ GUARDED_BY(serverLock) = 0;  // ServerRefs on this object
};

// The most recently constructed server that still lives, held for the duration of a use.
// Destroying that server waits until no holder remains, so a holder must not destroy the
// server it holds. Holders may nest on one thread.
class ServerRef {
 public:
  ServerRef();
  ~ServerRef();
  ServerRef(const ServerRef&) = delete;
  ServerRef& operator=(const ServerRef&) = delete;
  CSERVER* get() const { return server_; }
  explicit operator bool() const { return server_ != nullptr; }
  CSERVER* operator->() const { return server_; }

 private:
  CSERVER* server_;
};

}  // namespace qx
