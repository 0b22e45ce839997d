// station.cpp - Station: its parts, made from StationParts or the real ones.
#include "station/station.h"

#include <utility>

namespace qx {
namespace {

// The process's station registry, borrowed: it lives as long as the process.
std::shared_ptr<RegistryStore> ProcessRegistry() {
  return std::shared_ptr<RegistryStore>(std::shared_ptr<RegistryStore>(), &Registry());
}

}  // namespace

Station::Station(StationParts parts)
    : registry_(parts.registry ? std::move(parts.registry) : ProcessRegistry()),
      hostPlatform_(std::move(parts.hostPlatform)),
      transport_(parts.transport != nullptr ? parts.transport : &CreateNetQXKomm),
      clock_(parts.clock != nullptr ? parts.clock : &SystemMonotonicClock()),
      localHost_(hostPlatform_.get()) {}

Station::~Station() = default;

HostPlatform& Station::hostPlatform() const { return hostPlatform_ ? *hostPlatform_ : Host(); }

HRESULT Station::CreateTransport(std::unique_ptr<INetQXKomm>* component) const {
  return transport_(component);
}

}  // namespace qx
