// multicast_port.cpp - SendToMulticastPort over the station's multicast component.
#include "discovery/multicast_port.h"

#include <chrono>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "common/text.h"
#include "messaging/netqxkomm_station.h"
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

HRESULT SendToMulticastPortRetrying(const Station& station, std::string_view receiver,
                                    std::string_view text) {
  constexpr std::chrono::milliseconds kBackoff[] = {std::chrono::milliseconds(10),
                                                    std::chrono::milliseconds(40)};
  HRESULT result = SendToMulticastPort(station, receiver, text);
  for (const auto pause : kBackoff) {
    if (Succeeded(result) || result == E_INVALIDARG || result == E_ACCESSDENIED ||
        result == kMulticastNoKey || result == kClassNotRegistered) {
      break;
    }
    std::this_thread::sleep_for(pause);
    result = SendToMulticastPort(station, receiver, text);
  }
  return result;
}

HRESULT RaiseLivenessEvent(const Station& station, std::string_view kind, std::string_view host,
                           std::string_view domain, std::string_view address) {
  try {
    const bool failed = IEquals(kind, "FAILED");
    std::string event = std::string(kRaiseEventOpen) + "<QXDISCOVER><EVENT>" +
                        (failed ? "LEAVE" : "RECOVERED") + "</EVENT><HOST>" + XmlEscape(host) +
                        "</HOST><DOMAIN>" + XmlEscape(domain) + "</DOMAIN><IP>" +
                        XmlEscape(address) + "</IP><REASON>" + XmlEscape(kind) +
                        "</REASON></QXDISCOVER>" + std::string(kRaiseEventClose);
    std::unique_ptr<INetQXKomm> component;
    HRESULT result = station.CreateTransport(&component);
    if (Succeeded(result) && !component) result = E_FAIL;
    if (Failed(result)) return result;
    return component->LocalRequest(event, nullptr);
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace qx
