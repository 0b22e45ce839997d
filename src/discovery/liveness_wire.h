// liveness_wire.h - the texts of the liveness extension: heartbeat, probe, probe answer and
// details request, and the incarnation and content version that stamp an announcement.
//
// One element with attributes, kept small so that a heartbeat fits a short datagram:
//
//   <QXLIVE H="host" D="domain" A="10.0.0.5" I="<incarnation hex>" V="<version hex>"
//           T="<period ms>"/>                                  to the group: a beat, K="BEAT"
//                                                              left out, and D when empty
//   <QXLIVE K="PROBE" ...the sender's fields... TO="target host" N="<nonce hex>"/>   to one station
//   <QXLIVE K="ACK"   ...the answerer's fields... TO="prober host" N="<the probe's nonce>"/>
//   <QXLIVE K="FETCH" ...the sender's fields... TO="target host"/>: answered by an UPDATE
//
// Stations speaking only the original protocol ignore the unknown root tag. Every text comes
// from a peer: ParseLivenessMessage refuses texts beyond kMaxLivenessText, fields beyond
// kMaxLivenessField, a missing host or incarnation, an address that is no dotted IPv4 text (the
// answers go there; no name is ever resolved for a peer), and numbers that are not hex of 64
// bits.
// JOIN, UPDATE and LEAVE of a station that speaks the extension carry INCARNATION and VERSION
// children (hex); they are taken out before the tree sees the announcement. No state; any
// thread may call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "discovery/liveness.h"
#include "xml/xml_element.h"

namespace qx {

inline constexpr std::string_view kLivenessRoot = "QXLIVE";
inline constexpr std::size_t kMaxLivenessText = 2048;
inline constexpr std::size_t kMaxLivenessField = 255;

enum class LivenessKind : std::uint8_t { kBeat = 1, kProbe = 2, kAck = 3, kFetch = 4 };

struct LivenessMessage {
  LivenessKind kind = LivenessKind::kBeat;
  PeerBeat sender;
  std::string to;           // PROBE, ACK, FETCH: the station it is meant for
  std::uint64_t nonce = 0;  // PROBE, ACK
};

std::string BuildLivenessMessage(const LivenessMessage& message);
// A liveness text of textBytes as a datagram on the wire: in one fragment, sealed, in UDP, IPv4
// and an Ethernet frame; in bits.
std::uint32_t LivenessDatagramBits(std::size_t textBytes);
std::optional<LivenessMessage> ParseLivenessMessage(std::string_view text);

// Appends INCARNATION and VERSION to an announcement text (<QXDISCOVER>...</QXDISCOVER>);
// false (text unchanged) when it does not end with the closing tag.
bool StampAnnouncement(std::uint64_t incarnation, std::uint64_t version, std::string* text);
// Takes INCARNATION and VERSION out of a parsed announcement: 0 for one missing or not hex.
void TakeAnnouncementStamp(CXmlElement* message, std::uint64_t* incarnation,
                           std::uint64_t* version);

// FNV-1a of text, 64 bits: the content version of this station's details.
std::uint64_t ContentDigest(std::string_view text);

}  // namespace qx
