// heartbeat_protocol.cpp - periodic group heartbeats with a fixed timeout.
#include "heartbeat_protocol.h"

namespace qx::sim {

void HeartbeatProtocol::Start(SimContext& context) {
  lastHeardUs_.assign(static_cast<std::size_t>(context.Stations()), -1);
  const std::int64_t period = settings_.periodUs > 0 ? settings_.periodUs : 1;
  nextSendUs_ = context.NowUs() +
                static_cast<std::int64_t>(context.Random() % static_cast<std::uint64_t>(period));
}

void HeartbeatProtocol::OnDatagram(SimContext& context, int from,
                                   std::span<const std::uint8_t> bytes) {
  // A heartbeat carries its sender's index in its first four bytes; anything else is ignored.
  if (bytes.size() < 4 || from < 0 || static_cast<std::size_t>(from) >= lastHeardUs_.size()) {
    return;
  }
  const std::uint32_t sender =
      static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
      static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  if (sender != static_cast<std::uint32_t>(from)) return;
  lastHeardUs_[static_cast<std::size_t>(from)] = context.NowUs();
}

void HeartbeatProtocol::Tick(SimContext& context) {
  const std::int64_t now = context.NowUs();
  if (now >= nextSendUs_) {
    Datagram heartbeat(settings_.payloadBytes < 4 ? 4 : settings_.payloadBytes, 0);
    const auto self = static_cast<std::uint32_t>(context.Self());
    for (int i = 0; i < 4; ++i) heartbeat[i] = static_cast<std::uint8_t>(self >> (8 * i));
    context.Send(kGroup, std::move(heartbeat));
    nextSendUs_ += settings_.periodUs > 0 ? settings_.periodUs : 1;
    if (nextSendUs_ <= now) nextSendUs_ = now + settings_.periodUs;
  }
  for (std::size_t station = 0; station < lastHeardUs_.size(); ++station) {
    if (lastHeardUs_[station] >= 0 && now - lastHeardUs_[station] > settings_.timeoutUs) {
      lastHeardUs_[station] = -1;
      context.Removed(static_cast<int>(station));
    }
  }
}

bool HeartbeatProtocol::Knows(int station) const {
  return station >= 0 && static_cast<std::size_t>(station) < lastHeardUs_.size() &&
         lastHeardUs_[static_cast<std::size_t>(station)] >= 0;
}

}  // namespace qx::sim
