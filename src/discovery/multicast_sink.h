// multicast_sink.h - the project-manager role's event sink on the station's multicast component.
//
// Init subscribes a sink that hands every message the component reports to the server's
// multicast receive handler; Cleaup ends it. The server keeps the cookie and must call Cleaup
// before it is destroyed (the sink borrows the server and the unsubscription joins the sink's
// reader thread). Called from the server's host threads; messages arrive on the
// subscription's own thread.
//
//   std::uint32_t cookie = CMulticastSink::Init(server);   // 0: no agent, no sink
//   CMulticastSink::Cleaup(cookie);
#pragma once

#include <cstdint>

#include "common/hresult.h"
#include "discovery/discovery_host.h"

namespace qx {

class CMulticastSink {
 public:
  // The cookie of the subscription; 0 when the component is not there or refuses it.
  static std::uint32_t Init(DiscoveryHost* server);
  // Ends the subscription of cookie: the unsubscription's result.
  static HRESULT Cleaup(std::uint32_t cookie);
};

}  // namespace qx
