// multicast_peers.cpp - the peer list's resolver thread and the relay's targets (see
// multicast_peers.h).
#include "messaging/multicast_peers.h"

#include <algorithm>
#include <utility>

namespace qx {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

MulticastPeers::MulticastPeers(std::vector<std::string> peers, PeerResolver resolve,
                               std::chrono::milliseconds resolvePeriod, PeerUnresolved unresolved,
                               std::function<bool(std::uint32_t address)> accept)
    : peers_(std::move(peers)),
      resolve_(std::move(resolve)),
      resolvePeriod_(std::max(resolvePeriod, std::chrono::milliseconds(1))),
      unresolved_(std::move(unresolved)),
      accept_(std::move(accept)) {
  // The addresses count at once; names join them when the thread has resolved them.
  std::vector<std::optional<std::uint32_t>> literal;
  bool names = false;
  for (const std::string& peer : peers_) {
    literal.push_back(PeerIpv4(peer));
    names = names || !literal.back();
  }
  Publish(literal);
  if (names) thread_ = std::thread([this] { ResolveLoop(); });
}

MulticastPeers::~MulticastPeers() {
  {
    MutexLock lock(&mutex_);
    stopping_ = true;
  }
  wake_.SignalAll();
  if (thread_.joinable()) thread_.join();
}

std::vector<std::uint32_t> MulticastPeers::Addresses() const {
  MutexLock lock(&mutex_);
  return addresses_;
}

void MulticastPeers::ResolveLoop() {
  for (;;) {
    std::vector<std::optional<std::uint32_t>> resolved;
    for (const std::string& peer : peers_) {
      {
        MutexLock lock(&mutex_);
        if (stopping_) return;
      }
      std::optional<std::uint32_t> address = PeerIpv4(peer);
      if (!address && resolve_) {
        try {
          address = resolve_(peer);
        } catch (...) {
          address.reset();  // a resolver that fails is a name that does not resolve
        }
      }
      if (!address && unresolved_) {
        try {
          unresolved_(peer);
        } catch (...) {
          // The owner's failure is its own.
        }
      }
      resolved.push_back(address);
    }
    Publish(resolved);
    const auto next = Clock::now() + resolvePeriod_;
    MutexLock lock(&mutex_);
    while (!stopping_ && Clock::now() < next) wake_.WaitUntil(next);
    if (stopping_) return;
  }
}

void MulticastPeers::Publish(const std::vector<std::optional<std::uint32_t>>& resolved) {
  std::vector<std::uint32_t> addresses;
  for (const std::optional<std::uint32_t>& address : resolved) {
    if (!address || (accept_ && !accept_(*address))) continue;
    if (std::find(addresses.begin(), addresses.end(), *address) == addresses.end()) {
      addresses.push_back(*address);
    }
  }
  MutexLock lock(&mutex_);
  addresses_ = std::move(addresses);
}

RelayTargets RelayTargetsOf(bool fromPeer, std::uint32_t from,
                            const std::vector<std::uint32_t>& peers) {
  RelayTargets targets;
  targets.group = fromPeer;
  for (const std::uint32_t peer : peers) {
    if (peer != from) targets.peers.push_back(peer);
  }
  return targets;
}

}  // namespace qx
