// module_root.cpp - ModuleStation and ModuleRemovalSender: one root object made on first use.
#include "module/module_root.h"

#include <atomic>

#include "discovery/project_watch.h"
#include "rpc/rpc.h"
#include "rpc/rpc_resolve.h"

namespace qx {
namespace {

// Set as the root begins to be destroyed; constant-initialised, so it can be read to the end of
// the process.
std::atomic<bool> rootDestroyed{false};

// The station and what borrows it, made and destroyed together (the sender after the station
// is made, before it is destroyed).
struct ModuleRoot {
  ~ModuleRoot() { rootDestroyed.store(true); }
  Station station;
  ProjectRemovalSender removalSender{station};
};

ModuleRoot& Root() {
  static ModuleRoot root;
  return root;
}

}  // namespace

Station& ModuleStation() { return Root().station; }

ProjectRemovalSender& ModuleRemovalSender() { return Root().removalSender; }

void DropModuleRpcConnections() {
  if (rootDestroyed.load()) {
    ClearRpcClientCaches();
    return;
  }
  DropKeptRpcConnections(Root().station.rpcPool());
}

}  // namespace qx
