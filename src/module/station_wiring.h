// station_wiring.h - ConnectStationLayers, the one place where a station's lower layers are
// handed the functions of the upper layers that they call back:
//   - the platform reads the configured host names from the registry's PLATFORM key, and takes
//     the RPC call timeout as its timeout of local calls (rpc);
//   - the key ring reports a ring it cannot use to the RPC trace (rpc);
//   - the client answers a request addressed to this station in this process (server);
//   - the registry announces each project it removes to the network (discovery), as the
//     module's station.
//
// The module's load, each host's main and each test program call it before they use a station;
// later calls change nothing. Any thread.
#pragma once

namespace qx {

void ConnectStationLayers();

}  // namespace qx
