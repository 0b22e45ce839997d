// multicast_port.h - SendToMulticastPort, the server's send of one message to the group or to
// one station through the station's multicast component.
//
// A fresh component instance is created for each send and dropped at once; no state, any
// thread may call.
//
//   SendToMulticastPort(station, "*", joinText);          // the whole group
//   SendToMulticastPort(station, "192.168.0.5", reply);   // one station, by address or name
#pragma once

#include <string_view>

#include "common/hresult.h"
#include "station/station.h"

namespace qx {

// receiver "*" (ignoring case) is a group send; anything else is a unicast send to receiver,
// passed on unchanged. Returns the creation failure or the component's result.
HRESULT SendToMulticastPort(const Station& station, std::string_view receiver,
                            std::string_view text);

// SendToMulticastPort, tried again after 10 ms and 40 ms when the send fails for a reason that
// may pass (the kernel's buffers or neighbour table full, the agent busy); a refusal of the
// text or the receiver itself (E_INVALIDARG, E_ACCESSDENIED), a missing key or a missing agent
// (kClassNotRegistered) is not tried again. Each failure is traced by SendToMulticastPort, whose
// trace source limits its rate. Blocks at most about 50 ms beyond the sends.
HRESULT SendToMulticastPortRetrying(const Station& station, std::string_view receiver,
                                    std::string_view text);

// Raises a liveness event of the station to the subscribers of its component (qxstation
// monitor, advised sinks) as a QXDISCOVER message: kind "FAILED" is the LEAVE that a removal
// stands for (EVENT LEAVE, REASON FAILED), "RECOVERED" a suspect that answered (EVENT
// RECOVERED). Nothing is sent to other stations.
HRESULT RaiseLivenessEvent(const Station& station, std::string_view kind, std::string_view host,
                           std::string_view domain, std::string_view address);

}  // namespace qx
