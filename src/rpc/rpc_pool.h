// rpc_pool.h - RpcConnectionPool, the idle client connections that a station keeps for reuse.
//
// A CRPCClientW that was handed a pool (setConnectionPool) takes a kept connection for the same
// (address, port, service, client name) out of it at Connect, the most recently used first,
// after a non-blocking look tells that the peer has neither closed it nor sent CLOSE; its
// Disconnect gives a healthy idle connection back. At most kMaxKeptPerKey connections are kept
// a key (the oldest goes first), each at most the idleConnectionMs of the RPC settings: the
// server closes its side later than that, so a kept connection is normally closed by the
// client first.
//
// Each Station owns one (Station::rpcPool(); the module's is cleared at the module's unload);
// tests and benchmarks may own pools of their own. Destroying a pool closes what it keeps; it
// must outlive every client that was handed it. One mutex guards the store; any thread may
// call. Checkout and Checkin are the RPC client's: their types are internal to rpc.
//
//   RpcConnectionPool& pool = station.rpcPool();
//   CRPCClientW client;
//   client.setConnectionPool(pool);
//   ...
//   DropKeptRpcConnections(pool);  // closes what the pool keeps
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"

namespace qx {

class RpcClientConnection;
struct RpcConnectionKey;

class RpcConnectionPool {
 public:
  static constexpr std::size_t kMaxKeptPerKey = 16;

  RpcConnectionPool();
  ~RpcConnectionPool();
  RpcConnectionPool(const RpcConnectionPool&) = delete;
  RpcConnectionPool& operator=(const RpcConnectionPool&) = delete;

  // A kept connection for key that is still open and idle, or nullptr. Connections found
  // closed by the peer on the way are dropped.
  std::unique_ptr<RpcClientConnection> Checkout(const RpcConnectionKey& key, std::uint32_t idleMs)
      EXCLUDES(mutex_);
  // Keeps connection for idleMs; with idleMs 0 it is closed at once.
  void Checkin(std::unique_ptr<RpcClientConnection> connection, std::uint32_t idleMs)
      EXCLUDES(mutex_);
  // Closes every kept connection.
  void Clear() EXCLUDES(mutex_);

 private:
  void DropExpiredLocked(std::chrono::steady_clock::time_point now, std::uint32_t idleMs)
      REQUIRES(mutex_);

  Mutex mutex_;
  std::vector<std::unique_ptr<RpcClientConnection>> kept_ GUARDED_BY(mutex_);  // oldest first
};

}  // namespace qx
