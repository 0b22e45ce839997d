// module_root.h - the module's root: the one Station of the process, which the C interface, the
// hosts and the layers' hooks reach.
//
// The C interface keeps its module-wide state once per process, so the module holds exactly
// one Station: the real parts, with the process's station registry (QX_REGISTRY). It is made
// on first use, which ConnectStationLayers (module/station_wiring.h) makes the module's load or
// a program's start, before any server or hook can use it; it is destroyed with the process's
// static objects, after every object made later (servers end before the host returns from main
// or unloads the module). The removal sender that the registry announces removed projects
// through belongs to the root too and goes with the station. Any thread may call.
//
//   auto server = std::make_unique<CSERVER>(ModuleStation());
#pragma once

#include "station/station.h"

namespace qx {

class ProjectRemovalSender;

// The module's one station.
Station& ModuleStation();
// The registry's removal listener of the module's station.
ProjectRemovalSender& ModuleRemovalSender();
// Closes the RPC connections that the module's station keeps and forgets the clients' cached
// settings (DropKeptRpcConnections): the module's detach. Once the root has been destroyed (a
// program that made it in main and loaded the module later ends: its static objects die before
// the module's detach runs) it only forgets the settings; the connections went with the station.
void DropModuleRpcConnections();

}  // namespace qx
