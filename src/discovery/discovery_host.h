// discovery_host.h - DiscoveryHost, what the discovery handlers need from the server object.
//
// The server implements it and passes itself to the handlers of discovery_handler.h: the four
// receive handlers (so that a message parsed here is routed back through the server's own
// overridable operations), its role flags, the station whose tree and host identity the
// handlers keep, and the two ways a REMOTECALL is carried out. The server owns itself; the
// handlers only borrow it for one call. Called on the thread that
// delivers the message.
#pragma once

#include <string_view>

#include "common/answer.h"
#include "common/hresult.h"
#include "station/station.h"
#include "xml/xml_element.h"

namespace qx {

class LivenessService;

class DiscoveryHost {
 public:
  virtual ~DiscoveryHost() = default;

  virtual HRESULT onReceiveMulticast(std::string_view text) = 0;
  // message is the parsed text; the handler may take children out of it.
  virtual HRESULT onDiscoverEvent(std::string_view text, CXmlElement& message) = 0;
  virtual HRESULT onProjectManagerEvent(std::string_view text, const CXmlElement& message) = 0;
  virtual HRESULT onStationEvent(std::string_view text, const CXmlElement& message) = 0;

  // The station whose network tree and host identity the handlers keep up to date.
  virtual Station& station() const = 0;

  // True while the discovery role runs with an initialised network tree.
  virtual bool multicastEnabled() const = 0;
  // True when an UPDATE reply goes to the joining station by RPC rather than by unicast.
  virtual bool replyWithRpc() const = 0;

  // Whether a group REMOTECALL of this ProcessContext ("ProjectManager", "DiscoverService") is
  // this server's to carry out. A process that serves both roles receives every group message
  // twice (once for each role); each call is carried out once, by the role it names.
  virtual bool takesRemoteCall(std::string_view /*context*/) const { return true; }
  // The liveness extension of this server (liveness_service.h); null when it does not run.
  virtual LivenessService* liveness() const { return nullptr; }

  // A REMOTECALL for the project manager: the whole message text, the answer discarded.
  virtual HRESULT ForwardRemoteCall(std::string_view text) = 0;
  // A REMOTECALL for this process: the library call that the message describes, no answer.
  virtual HRESULT PerformRemoteCall(const CXmlElement& message) = 0;
};

}  // namespace qx
