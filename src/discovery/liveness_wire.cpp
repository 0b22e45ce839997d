// liveness_wire.cpp - building and checking the liveness extension's texts.
#include "discovery/liveness_wire.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "common/text.h"
#include "messaging/datagram_seal.h"
#include "messaging/multicast_fragments.h"
#include "platform/network_interfaces.h"
#include "xml/xml_element.h"

namespace qx {
namespace {

constexpr std::string_view kKinds[] = {"", "BEAT", "PROBE", "ACK", "FETCH"};

std::string Hex(std::uint64_t value) {
  return Format("%llx", static_cast<unsigned long long>(value));
}

std::optional<std::uint64_t> ParseHex(std::string_view text) {
  if (text.empty() || text.size() > 16) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

void Attribute(std::string* out, const char* name, std::string_view value) {
  *out += ' ';
  *out += name;
  *out += "=\"";
  *out += XmlEscape(value);
  *out += '"';
}

}  // namespace

std::string BuildLivenessMessage(const LivenessMessage& message) {
  // The beat is the one text every station receives from every other: nothing it can do without.
  std::string text = "<QXLIVE";
  if (message.kind != LivenessKind::kBeat) {
    Attribute(&text, "K", kKinds[static_cast<int>(message.kind)]);
  }
  Attribute(&text, "H", message.sender.host);
  if (!message.sender.domain.empty()) Attribute(&text, "D", message.sender.domain);
  Attribute(&text, "A", message.sender.address);
  Attribute(&text, "I", Hex(message.sender.incarnation));
  Attribute(&text, "V", Hex(message.sender.version));
  Attribute(&text, "T", std::to_string(message.sender.intervalMs));
  if (message.kind != LivenessKind::kBeat) Attribute(&text, "TO", message.to);
  if (message.kind == LivenessKind::kProbe || message.kind == LivenessKind::kAck) {
    Attribute(&text, "N", Hex(message.nonce));
  }
  return text + "/>";
}

std::optional<LivenessMessage> ParseLivenessMessage(std::string_view text) {
  if (text.size() > kMaxLivenessText) return std::nullopt;
  CXmlElement root;
  if (!root.LoadXml(text) || !IEquals(root.GetName(), kLivenessRoot)) return std::nullopt;
  auto field = [&](const char* name, std::string* out) {
    std::string value = root.GetAttribute(name);
    if (value.size() > kMaxLivenessField) return false;
    *out = std::move(value);
    return true;
  };
  LivenessMessage message;
  std::string kind, incarnation, version, interval, nonce;
  if (!field("K", &kind) || !field("H", &message.sender.host) ||
      !field("D", &message.sender.domain) || !field("A", &message.sender.address) ||
      !field("I", &incarnation) || !field("V", &version) || !field("T", &interval) ||
      !field("TO", &message.to) || !field("N", &nonce)) {
    return std::nullopt;
  }
  bool known = kind.empty();  // a beat
  for (int i = 1; i <= 4; ++i) {
    if (IEquals(kind, kKinds[i])) {
      message.kind = static_cast<LivenessKind>(i);
      known = true;
    }
  }
  const auto parsedIncarnation = ParseHex(incarnation);
  const auto parsedVersion = ParseHex(version);
  std::uint32_t period = 0;
  const auto [end, error] =
      std::from_chars(interval.data(), interval.data() + interval.size(), period);
  if (!known || message.sender.host.empty() || !parsedIncarnation || *parsedIncarnation == 0 ||
      !parsedVersion || error != std::errc() || end != interval.data() + interval.size()) {
    return std::nullopt;
  }
  message.sender.incarnation = *parsedIncarnation;
  message.sender.version = *parsedVersion;
  message.sender.intervalMs = period;
  if (message.kind != LivenessKind::kBeat && message.to.empty()) return std::nullopt;
  // Answers go to this address: a dotted IPv4 text only, never a name to resolve.
  if (!ParseIpv4Text(message.sender.address)) return std::nullopt;
  if (message.kind == LivenessKind::kProbe || message.kind == LivenessKind::kAck) {
    const auto parsedNonce = ParseHex(nonce);
    if (!parsedNonce || *parsedNonce == 0) return std::nullopt;
    message.nonce = *parsedNonce;
  }
  return message;
}

std::uint32_t LivenessDatagramBits(std::size_t textBytes) {
  constexpr std::size_t kFrameBytes = 14 + 20 + 8;  // Ethernet, IPv4, UDP
  const std::size_t bytes =
      kFrameBytes + kFragmentHeaderBytes + kSealedHeaderBytes + textBytes + kSealTagBytes;
  return static_cast<std::uint32_t>(std::min<std::size_t>(bytes, 1u << 20) * 8);
}

bool StampAnnouncement(std::uint64_t incarnation, std::uint64_t version, std::string* text) {
  constexpr std::string_view kClose = "</QXDISCOVER>";
  if (text->size() < kClose.size() ||
      std::string_view(*text).substr(text->size() - kClose.size()) != kClose) {
    return false;
  }
  text->insert(
      text->size() - kClose.size(),
      "<INCARNATION>" + Hex(incarnation) + "</INCARNATION><VERSION>" + Hex(version) + "</VERSION>");
  return true;
}

void TakeAnnouncementStamp(CXmlElement* message, std::uint64_t* incarnation,
                           std::uint64_t* version) {
  *incarnation = ParseHex(message->GetSubText("INCARNATION")).value_or(0);
  *version = ParseHex(message->GetSubText("VERSION")).value_or(0);
  while (message->RemoveChildByTag("INCARNATION")) {
  }
  while (message->RemoveChildByTag("VERSION")) {
  }
}

std::uint64_t ContentDigest(std::string_view text) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

}  // namespace qx
