// discovery_handler.h - the handling of every discovery message and the group membership.
//
// ReceiveMulticast parses a message and routes it by its root tag (ignoring case) to the host's
// receive handlers; HandleDiscoverEvent, HandleProjectManagerEvent and HandleStationEvent are
// what those handlers do by default: they keep the host's station's network tree and the
// local project's state record up to date and answer a joining station with an UPDATE.
// Join/LeaveMulticastGroup announce this station to the group.
//
// No state and no lock of its own: the tree and the state record guard themselves. Any thread
// may call; handlers run on the thread that delivers the message. Failures of the tree are
// traced by the tree and do not change a handler's S_OK. Nothing throws out of these functions.
//
//   HRESULT hr = ReceiveMulticast(server, text);   // server: a DiscoveryHost
#pragma once

#include <string_view>

#include "common/hresult.h"
#include "discovery/discovery_host.h"
#include "station/station.h"
#include "xml/xml_element.h"

namespace qx {

// Parses text and hands it to the host's handler for its root tag: E_FAIL when it is not XML,
// S_OK for a tag that is not discovery's.
HRESULT ReceiveMulticast(DiscoveryHost& host, std::string_view text);

HRESULT HandleDiscoverEvent(DiscoveryHost& host, std::string_view text, CXmlElement& message);
HRESULT HandleProjectManagerEvent(DiscoveryHost& host, std::string_view text,
                                  const CXmlElement& message);
HRESULT HandleStationEvent(DiscoveryHost& host, std::string_view text, const CXmlElement& message);

// Sends this station's UPDATE to a joining station: by RPC to its host name when the host
// replies with RPC, else by unicast to its address.
HRESULT ReplyUpdate(const DiscoveryHost& host, std::string_view joiner, std::string_view address);
// Answers a TestMulticast request with ReplyTestMulticast to the request's IP.
HRESULT AnswerTestMulticast(const Station& station, const CXmlElement& request);

// Sends the JOIN to the group and passes it to the host's own receive handler, so that this
// station enters its own tree; E_NOTIMPL while multicast is not enabled.
HRESULT JoinMulticastGroup(DiscoveryHost& host);
// Sends the LEAVE to the group and empties the station's network tree (it is created anew).
HRESULT LeaveMulticastGroup(Station& station);
// The same, the LEAVE stamped with host's incarnation, whose liveness peers are forgotten.
HRESULT LeaveMulticastGroup(const DiscoveryHost& host);

// Writes a received message to the trace; portName "MulticastPort" or "RPCPort".
void TraceReceived(std::string_view portName, std::string_view text, const CXmlElement& message);

}  // namespace qx
