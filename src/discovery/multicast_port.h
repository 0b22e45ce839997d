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

}  // namespace qx
