// rpc_connection_slots.cpp - RpcConnectionSlots and the caps that follow the descriptor limit.
#include "rpc/rpc_connection_slots.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <memory>

namespace qx {
namespace {

constexpr std::uint64_t kMinHeadroom = 32;
constexpr std::size_t kMinConnections = 8;
constexpr std::uint64_t kUnreadableLimit = 1024;

std::uint64_t OpenDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  std::uint64_t count = 0;
  while (::readdir(dir) != nullptr) ++count;
  ::closedir(dir);
  return count > 3 ? count - 3 : 0;  // ".", ".." and the directory's own descriptor
}

}  // namespace

RpcConnectionCaps CapsForDescriptors(std::uint64_t limit, std::uint64_t open) {
  const std::uint64_t free = limit > open ? limit - open : 0;
  const std::uint64_t headroom = std::max(kMinHeadroom, free / 4);
  RpcConnectionCaps caps;
  caps.connections = std::max<std::size_t>(
      kMinConnections, static_cast<std::size_t>(free > headroom ? free - headroom : 0));
  caps.pending = std::max<std::size_t>(4, caps.connections / 2);
  caps.pendingPerSource = std::max<std::size_t>(2, caps.pending / 2);
  return caps;
}

RpcConnectionCaps CapsForThisProcess() {
  rlimit limit{};
  std::uint64_t soft = kUnreadableLimit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    soft = limit.rlim_cur;
  return CapsForDescriptors(soft, OpenDescriptors());
}

RpcConnectionSlots& RpcConnectionSlots::Instance() {
  static RpcConnectionSlots& slots = *std::make_unique<RpcConnectionSlots>().release();
  return slots;
}

void RpcConnectionSlots::SetCaps(const RpcConnectionCaps& caps) {
  MutexLock lock(&mutex_);
  caps_ = caps;
  exhaustedCap_ = 0;
}

std::size_t RpcConnectionSlots::ConnectionCapLocked() {
  if (exhaustedCap_ != 0 && std::chrono::steady_clock::now() >= exhaustedUntil_) exhaustedCap_ = 0;
  return exhaustedCap_ != 0 ? std::min(exhaustedCap_, caps_.connections) : caps_.connections;
}

bool RpcConnectionSlots::Admit(const void* owner, std::uint32_t source, HasSpoken hasSpoken,
                               Evict evict, std::uint64_t* ticket, std::size_t* evicted) {
  MutexLock lock(&mutex_);
  *evicted = 0;
  for (auto it = bySource_.find(source);
       it != bySource_.end() && it->second.size() >= caps_.pendingPerSource;
       it = bySource_.find(source))
    *evicted += EvictLocked(VictimLocked(it->second)) ? 1 : 0;
  const std::size_t cap = ConnectionCapLocked();
  while (!order_.empty() && (pending_.size() >= caps_.pending || open_.size() >= cap))
    *evicted += EvictLocked(VictimLocked(order_)) ? 1 : 0;
  if (open_.size() >= cap) return false;
  const bool spoke = hasSpoken && hasSpoken();
  *ticket = nextTicket_++;
  open_.insert(*ticket);
  pending_.emplace(*ticket, Pending{owner, source, spoke, std::move(hasSpoken), std::move(evict)});
  order_.emplace(spoke, *ticket);
  bySource_[source].emplace(spoke, *ticket);
  return true;
}

std::uint64_t RpcConnectionSlots::VictimLocked(const std::set<Rank>& ranks) {
  // Each connection is re-ranked at most once, so the loop ends.
  for (;;) {
    const Rank first = *ranks.begin();
    const auto it = pending_.find(first.second);
    if (first.first || it == pending_.end() || !it->second.hasSpoken || !it->second.hasSpoken())
      return first.second;
    MarkSpokenLocked(it);
  }
}

void RpcConnectionSlots::MarkSpokenLocked(std::map<std::uint64_t, Pending>::iterator it) {
  const std::uint64_t ticket = it->first;
  order_.erase({false, ticket});
  order_.emplace(true, ticket);
  std::set<Rank>& ofSource = bySource_[it->second.source];
  ofSource.erase({false, ticket});
  ofSource.emplace(true, ticket);
  it->second.spoke = true;
}

void RpcConnectionSlots::Spoke(std::uint64_t ticket) {
  MutexLock lock(&mutex_);
  const auto it = pending_.find(ticket);
  if (it != pending_.end() && !it->second.spoke) MarkSpokenLocked(it);
}

bool RpcConnectionSlots::EvictLocked(std::uint64_t ticket) {
  const auto it = pending_.find(ticket);
  if (it == pending_.end()) return false;
  Evict evict = std::move(it->second.evict);
  DropPendingLocked(it);
  open_.erase(ticket);  // on its way out: the slot is free for the new connection
  try {
    if (evict) evict();
  } catch (...) {  // no memory to hand the eviction over: the handshake deadline ends it
  }
  return true;
}

void RpcConnectionSlots::DropPendingLocked(std::map<std::uint64_t, Pending>::iterator it) {
  const Rank rank{it->second.spoke, it->first};
  const auto source = bySource_.find(it->second.source);
  if (source != bySource_.end()) {
    source->second.erase(rank);
    if (source->second.empty()) bySource_.erase(source);
  }
  order_.erase(rank);
  pending_.erase(it);
}

void RpcConnectionSlots::Authenticated(std::uint64_t ticket) {
  MutexLock lock(&mutex_);
  const auto it = pending_.find(ticket);
  if (it != pending_.end()) DropPendingLocked(it);
}

void RpcConnectionSlots::Release(std::uint64_t ticket) {
  MutexLock lock(&mutex_);
  const auto it = pending_.find(ticket);
  if (it != pending_.end()) DropPendingLocked(it);
  open_.erase(ticket);
}

std::size_t RpcConnectionSlots::DescriptorsExhausted() {
  MutexLock lock(&mutex_);
  const std::size_t wasOpen = open_.size();
  std::size_t evicted = 0;
  while (evicted < kEvictBatch && !order_.empty())
    evicted += EvictLocked(VictimLocked(order_)) ? 1 : 0;
  exhaustedCap_ = std::max(kMinConnections, wasOpen > kEvictBatch ? wasOpen - kEvictBatch : 0);
  exhaustedUntil_ = std::chrono::steady_clock::now() + kExhaustedHold;
  return evicted;
}

void RpcConnectionSlots::ForgetOwner(const void* owner) {
  MutexLock lock(&mutex_);
  for (auto it = pending_.begin(); it != pending_.end();) {
    const auto next = std::next(it);
    if (it->second.owner == owner) {
      open_.erase(it->first);
      DropPendingLocked(it);
    }
    it = next;
  }
}

RpcConnectionCaps RpcConnectionSlots::caps() const {
  MutexLock lock(&mutex_);
  return caps_;
}

std::size_t RpcConnectionSlots::open() const {
  MutexLock lock(&mutex_);
  return open_.size();
}

std::size_t RpcConnectionSlots::pending() const {
  MutexLock lock(&mutex_);
  return pending_.size();
}

}  // namespace qx
