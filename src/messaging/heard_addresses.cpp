// heard_addresses.cpp - HeardAddresses: the addresses heard lately, bounded.
#include "messaging/heard_addresses.h"

namespace qx {

void HeardAddresses::Note(std::uint32_t address, Clock::time_point now) {
  MutexLock lock(&mutex_);
  const auto found = heard_.find(address);
  if (found != heard_.end()) {
    if (found->second < now) found->second = now;
    return;
  }
  if (heard_.size() >= kMaxHeardAddresses) {
    std::erase_if(heard_, [&](const auto& entry) { return now - entry.second > window_; });
    if (heard_.size() >= kMaxHeardAddresses) return;
  }
  heard_.emplace(address, now);
}

bool HeardAddresses::HeardWithin(std::uint32_t address, Clock::time_point now) const {
  MutexLock lock(&mutex_);
  const auto found = heard_.find(address);
  return found != heard_.end() && now - found->second <= window_;
}

std::size_t HeardAddresses::size() const {
  MutexLock lock(&mutex_);
  return heard_.size();
}

}  // namespace qx
