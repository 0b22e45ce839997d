// default_discovery_host.h - a discovery server double that routes every message to the
// default handlers of discovery_handler.h for one station (tests only). Replies go by unicast.
//
//   DefaultDiscoveryHost host(station);
//   host.onReceiveMulticast(joinText);   // the station's tree takes the JOIN
#pragma once

#include <string_view>

#include "discovery/discovery_handler.h"
#include "discovery/discovery_host.h"
#include "station/station.h"

namespace qx::test {

class DefaultDiscoveryHost : public DiscoveryHost {
 public:
  explicit DefaultDiscoveryHost(Station& station) : station_(station) {}
  HRESULT onReceiveMulticast(std::string_view text) override {
    return ReceiveMulticast(*this, text);
  }
  HRESULT onDiscoverEvent(std::string_view text, CXmlElement& message) override {
    return HandleDiscoverEvent(*this, text, message);
  }
  HRESULT onProjectManagerEvent(std::string_view text, const CXmlElement& message) override {
    return HandleProjectManagerEvent(*this, text, message);
  }
  HRESULT onStationEvent(std::string_view text, const CXmlElement& message) override {
    return HandleStationEvent(*this, text, message);
  }
  Station& station() const override { return station_; }
  bool multicastEnabled() const override { return enabled; }
  bool replyWithRpc() const override { return false; }
  HRESULT ForwardRemoteCall(std::string_view) override { return E_NOTIMPL; }
  HRESULT PerformRemoteCall(const CXmlElement&) override { return E_NOTIMPL; }

  bool enabled = true;

 private:
  Station& station_;
};

}  // namespace qx::test
