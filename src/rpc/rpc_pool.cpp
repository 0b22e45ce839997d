// rpc_pool.cpp - RpcConnectionPool: the idle client connections kept for reuse (rpc_pool.h).
//
// What Checkout passes over, what Checkin pushes out and what Clear takes are closed after the
// mutex is released; only connections past their idle time are closed under it.
#include "rpc/rpc_pool.h"

#include <algorithm>

#include "rpc/rpc.h"
#include "rpc/rpc_internal.h"
#include "rpc/rpc_resolve.h"

namespace qx {

RpcConnectionPool::RpcConnectionPool() = default;

RpcConnectionPool::~RpcConnectionPool() { Clear(); }

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

void DropKeptRpcConnections(RpcConnectionPool& pool) {
  pool.Clear();
  ClearRpcClientCaches();
}

}  // namespace qx
