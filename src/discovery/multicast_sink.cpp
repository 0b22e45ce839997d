// multicast_sink.cpp - CMulticastSink over the component's subscription.
#include "discovery/multicast_sink.h"

#include <string>

#include "messaging/netqxkomm.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSinkSource("Multisink");

}  // namespace

std::uint32_t CMulticastSink::Init(DiscoveryHost* server) {
  Trace(kSinkSource, nullptr, nullptr, kTraceMulticast, kLevelMain, "Init()");
  if (server == nullptr) return 0;
  return AdviseNetQXKomm([server](MulticastDelivery /*delivery*/, const std::string& text) {
    try {
      server->onReceiveMulticast(text);
    } catch (...) {
      // The receive handler reports its own failures; none may end the subscription's thread.
    }
  });
}

HRESULT CMulticastSink::Cleaup(std::uint32_t cookie) {
  const HRESULT result = UnadviseNetQXKomm(cookie);
  Trace(kSinkSource, nullptr, nullptr, kTraceMulticast, kLevelMain, "Cleaup() hr(%x)",
        static_cast<unsigned>(result));
  return result;
}

}  // namespace qx
