// multicast_pipeline.cpp - fragmenting and sealing, opening and reassembling (see
// multicast_pipeline.h).
#include "messaging/multicast_pipeline.h"

#include <vector>

#include "messaging/multicast_transport.h"
#include "trace/counters.h"

namespace qx {

std::size_t MulticastFragmentPayload(std::uint32_t datagramBytes) {
  return datagramBytes - kSealedHeaderBytes - kSealTagBytes;
}

HRESULT MulticastOutbound::Seal(const ClusterKey& key, SealPath path, std::string_view text,
                                const Put& put) {
  const std::vector<std::string> datagrams = SplitMessage(
      sealer_.senderId(), sealer_.incarnationLow(), nextMessageId_++, text, fragmentPayload_);
  if (datagrams.empty()) return E_INVALIDARG;
  std::string sealed;
  for (const std::string& datagram : datagrams) {
    if (!sealer_.Seal(key, datagram, path, &sealed)) return E_FAIL;
    if (!put(sealed)) return E_FAIL;
  }
  return S_OK;
}

std::optional<std::string> MulticastInbound::Take(const KeyRing* ring, std::string_view datagram,
                                                  SealPath path, std::uint32_t from,
                                                  Clock::time_point now, bool* opened) {
  const OpenStatus status =
      ring ? opener_.Open(*ring, datagram, path, &plain_) : OpenStatus::kForeignKey;
  if (opened != nullptr) *opened = status == OpenStatus::kOpened;
  switch (status) {
    case OpenStatus::kOpened:
      break;
    case OpenStatus::kMalformed:
      ++counters_.notSealed;
      metrics::Add(Metric::kDroppedMalformed);
      break;
    case OpenStatus::kUnopenable:
      ++counters_.unopenable;
      metrics::Add(Metric::kDroppedUnopenable);
      break;
    case OpenStatus::kForeignKey:
      ++counters_.foreignKey;
      metrics::Add(Metric::kDroppedForeignKey);
      NoteForeignSender(from, datagram);
      break;
    case OpenStatus::kReplayed:
      if (expectGroupCopies_ && path == SealPath::kGroup) {
        ++counters_.copies;
      } else {
        ++counters_.replayed;
        metrics::Add(Metric::kDroppedReplayed);
      }
      break;
  }
  if (status != OpenStatus::kOpened) return std::nullopt;
  const std::uint64_t malformed = assembler_.counters().malformed;
  std::optional<std::string> message = assembler_.Add(plain_, now);
  metrics::Add(Metric::kDroppedMalformed, assembler_.counters().malformed - malformed);
  if (message) ++counters_.delivered;
  return message;
}

InboundCounters MulticastInbound::counters() const {
  InboundCounters counters = counters_;
  counters.assembled = assembler_.counters();
  return counters;
}

void MulticastInbound::NoteForeignSender(std::uint32_t from, std::string_view datagram) {
  if (!foreignSender_) return;
  const std::pair<std::uint32_t, std::uint32_t> pair{from, SealedKeyId(datagram)};
  if (foreignSenders_.count(pair) > 0) return;
  if (foreignSenders_.size() >= kForeignSendersRemembered) foreignSenders_.clear();
  foreignSenders_.insert(pair);
  try {
    foreignSender_(pair.first, pair.second);
  } catch (...) {
    // The owner's failure is its own.
  }
}

}  // namespace qx
