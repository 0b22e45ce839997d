// rpc_pool.cpp - the process-wide store of idle client connections kept for reuse.
//
// A client that disconnects with nothing pending hands its connection here; the next client for
// the same (address, port, service, client name) takes the most recently used one after a
// non-blocking look tells that the peer has neither closed it nor sent CLOSE. Connections idle
// longer than idleConnectionMs are dropped; the server closes its side later than that, so a
// kept connection is normally closed by the client first. One mutex guards the store; any
// thread may call. The store is never destroyed (a thread may use it while the process exits);
// DropKeptRpcConnections closes what it keeps, at module unload among others.
#include <algorithm>

#include "rpc/rpc.h"
#include "rpc/rpc_internal.h"

namespace qx {

RpcConnectionPool& RpcConnectionPool::Instance() {
  static RpcConnectionPool& pool = *std::make_unique<RpcConnectionPool>().release();
  return pool;
}

void RpcConnectionPool::DropExpiredLocked(RpcClock::time_point now, std::uint32_t idleMs) {
  const auto limit = std::chrono::milliseconds(idleMs);
  std::erase_if(kept_, [&](const std::unique_ptr<RpcClientConnection>& connection) {
    return now - connection->lastUsed >= limit;
  });
}

std::unique_ptr<RpcClientConnection> RpcConnectionPool::Checkout(const RpcConnectionKey& key,
                                                                 std::uint32_t idleMs) {
  std::vector<std::unique_ptr<RpcClientConnection>> closed;  // closed outside the lock
  std::unique_ptr<RpcClientConnection> found;
  {
    MutexLock lock(&mutex_);
    DropExpiredLocked(RpcClock::now(), idleMs);
    for (auto it = kept_.end(); it != kept_.begin();) {
      --it;
      if (!((*it)->key() == key)) continue;
      std::unique_ptr<RpcClientConnection> candidate = std::move(*it);
      it = kept_.erase(it);
      if (candidate->IsIdleAndOpen()) {
        found = std::move(candidate);
        break;
      }
      closed.push_back(std::move(candidate));
    }
  }
  return found;
}

void RpcConnectionPool::Checkin(std::unique_ptr<RpcClientConnection> connection,
                                std::uint32_t idleMs) {
  if (!connection || idleMs == 0) return;
  std::unique_ptr<RpcClientConnection> dropped;  // closed outside the lock
  MutexLock lock(&mutex_);
  const auto now = RpcClock::now();
  connection->lastUsed = now;
  DropExpiredLocked(now, idleMs);
  const auto sameKey = [&](const std::unique_ptr<RpcClientConnection>& kept) {
    return kept->key() == connection->key();
  };
  if (static_cast<std::size_t>(std::count_if(kept_.begin(), kept_.end(), sameKey)) >=
      kMaxKeptPerKey) {
    auto oldest = std::find_if(kept_.begin(), kept_.end(), sameKey);
    dropped = std::move(*oldest);
    kept_.erase(oldest);
  }
  kept_.push_back(std::move(connection));
}

void RpcConnectionPool::Clear() {
  std::vector<std::unique_ptr<RpcClientConnection>> dropped;  // closed outside the lock
  MutexLock lock(&mutex_);
  dropped.swap(kept_);
}

void DropKeptRpcConnections() {
  RpcConnectionPool::Instance().Clear();
  ClearRpcClientCaches();
}

}  // namespace qx
