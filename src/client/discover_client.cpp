// discover_client.cpp - SendMulticast: one group send through a fresh multicast component.
#include "client/discover_client.h"

#include <memory>
#include <new>
#include <string>

#include "trace/trace.h"

namespace qx {
namespace {

const CTraceSource kSource("DiscoverClient");

}  // namespace

HRESULT SendMulticast(const Station& station, std::string_view text) {
  const std::string message(text);
  Trace(kSource, "SendMulticast", nullptr, kTraceMulticast, kLevelText, "%s", message.c_str());
  std::unique_ptr<INetQXKomm> component;
  HRESULT result = E_FAIL;
  try {
    if (Succeeded(station.CreateTransport(&component)) && component) {
      result = component->SendToGroup(message);
    } else {
      component.reset();
      result = E_FAIL;
    }
  } catch (const std::bad_alloc&) {
    result = E_OUTOFMEMORY;
  } catch (...) {
    result = E_FAIL;
  }
  if (result != S_OK) {
    TraceError(kSource, "SendToGroup(%s) failed. hr(%x) pComp(%p) failed!", message.c_str(),
               static_cast<unsigned>(result), static_cast<const void*>(component.get()));
  }
  return result;
}

}  // namespace qx
