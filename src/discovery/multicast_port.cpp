// multicast_port.cpp - SendToMulticastPort over the station's multicast component.
#include "discovery/multicast_port.h"

#include <memory>
#include <new>
#include <string>

#include "common/text.h"
#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSource("RemoteServer");

}  // namespace

HRESULT SendToMulticastPort(const Station& station, std::string_view receiver,
                            std::string_view text) {
  const bool group = IEquals(receiver, "*");
  const std::string message(text);
  HRESULT result = E_FAIL;
  try {
    std::unique_ptr<INetQXKomm> component;
    result = station.CreateTransport(&component);
    if (Succeeded(result) && !component) result = E_FAIL;
    if (Failed(result)) {
      TraceError(kSource,
                 "SendToMulticastPort(). CoCreateInstance(CLSID_NetQXKomm, IID_INetQXKomm) "
                 "failed!. hr(%x)",
                 static_cast<unsigned>(result));
    } else {
      result = group ? component->SendToGroup(message) : component->SendToHost(receiver, message);
    }
  } catch (const std::bad_alloc&) {
    result = E_OUTOFMEMORY;
  } catch (...) {
    result = E_FAIL;
  }
  if (result != S_OK) {
    TraceError(kSource, "SendToMulticastPort(%s) failed!. hr(%x)", message.c_str(),
               static_cast<unsigned>(result));
  } else {
    Trace(kSource, group ? "SendMulticast" : "SendUnicast", nullptr, kTraceMulticast, kLevelEvents,
          "%s", message.c_str());
  }
  return result;
}

}  // namespace qx
