// station.h - Station, one station put together: the parts that every layer above borrows.
//
// A Station owns
//   - the host platform (what the operating system says about this computer) and the host
//     identity built from it (LocalHostInfo: names, address table, current address);
//   - the network tree (the domains, hosts and projects that discovery has heard of);
//   - the factory of the multicast component (the transport that discovery sends through);
//   - the clock that deadlines and liveness are measured with;
//   - the pool of idle RPC client connections kept for reuse (rpc/rpc_pool.h), which every RPC
//     client that serves the station is handed;
// and holds its registry store: the one StationParts gives (a test station's own database), or
// else the process's station registry, Registry(), which QX_REGISTRY names and nothing else
// replaces (the module's station and every host's). The server hands registry() down to the
// project list it keeps (WriteProjectToRegistry, the list made at start, the clean pass) and
// to the keys it reads at start; the settings readers and the rest of CREGKEY's users still
// read Registry(), the same store for the module's station.
//
// What may differ between stations comes in through StationParts; every part left empty is the
// real one. Parts are made in the order of the members below (registry, platform, transport,
// clock, host identity, tree, RPC pool) and destroyed in the reverse order, so the host identity
// never outlives the platform it reads, and the kept connections are closed first. The module
// keeps one Station per process (module/module_root.h); tests make as many as they need, each
// with its own registry, tree and pool.
//
// The accessors may be called from any thread; each part guards itself. A Station must outlive
// every object that borrowed one of its parts (servers, handlers, timers).
//
//   StationParts parts;
//   parts.registry = OpenSqliteRegistry(dir + "/registry.db");
//   Station station(std::move(parts));
//   station.tree().Init();
#pragma once

#include <memory>

#include "common/clock.h"
#include "common/hresult.h"
#include "hostinfo/local_host_info.h"
#include "messaging/netqxkomm.h"
#include "nettree/net_tree.h"
#include "platform/host_platform.h"
#include "registry/store/registry_store.h"
#include "rpc/rpc_pool.h"

namespace qx {

// What may differ from one station to another; an empty member is the real part.
struct StationParts {
  // The registry; nullptr: the process's station registry (Registry(), at QX_REGISTRY).
  std::shared_ptr<RegistryStore> registry;
  // What the operating system says about the computer; nullptr: the real one.
  std::unique_ptr<HostPlatform> hostPlatform;
  // Makes the multicast component; nullptr: CreateNetQXKomm.
  NetQXKommFactory transport = nullptr;
  // The time source of deadlines and liveness; nullptr: SystemMonotonicClock(). Not owned: it
  // must outlive the station.
  const MonotonicClock* clock = nullptr;
};

class Station {
 public:
  explicit Station(StationParts parts = {});
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  RegistryStore& registry() const { return *registry_; }
  HostPlatform& hostPlatform() const;
  LocalHostInfo& localHost() { return localHost_; }
  const LocalHostInfo& localHost() const { return localHost_; }
  NetTree& tree() { return tree_; }
  const NetTree& tree() const { return tree_; }
  const MonotonicClock& clock() const { return *clock_; }
  // The idle RPC connections kept for this station's clients.
  RpcConnectionPool& rpcPool() { return rpcPool_; }
  // A new multicast component of the station's transport.
  HRESULT CreateTransport(std::unique_ptr<INetQXKomm>* component) const;

 private:
  const std::shared_ptr<RegistryStore> registry_;
  const std::unique_ptr<HostPlatform> hostPlatform_;  // nullptr: the real one
  const NetQXKommFactory transport_;
  const MonotonicClock* const clock_;
  LocalHostInfo localHost_;
  NetTree tree_;
  RpcConnectionPool rpcPool_;
};

}  // namespace qx
