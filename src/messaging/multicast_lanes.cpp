// multicast_lanes.cpp - the delivery lanes' queues and threads (see multicast_lanes.h).
#include "messaging/multicast_lanes.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "common/little_endian.h"
#include "platform/network_interfaces.h"
#include "trace/counters.h"

namespace qx {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kQueueBytes = 64u << 20;  // all lanes together
constexpr auto kExpiryTick = std::chrono::milliseconds(250);

std::size_t LaneCount() {
  return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, MulticastLanes::kMaxLanes);
}

}  // namespace

MulticastLanes::MulticastLanes(const MulticastSettings& settings, const KeyRingSource& keyRing,
                               MulticastReceiver receiver, const ForeignKeyHook& foreignKey,
                               OpenedHook opened)
    : settings_(settings),
      keyRing_(keyRing),
      receiver_(std::move(receiver)),
      foreignKey_(foreignKey),
      opened_(std::move(opened)),
      groupByUnicast_(!settings.peers.empty() || settings.relay) {
  const std::size_t lanes = LaneCount();
  for (std::size_t i = 0; i < lanes; ++i) lanes_.push_back(std::make_unique<Lane>());
  laneDatagrams_ = std::max<std::size_t>(1, settings_.queueDatagrams / lanes);
  laneBytes_ = kQueueBytes / lanes;
}

MulticastLanes::~MulticastLanes() { Stop(); }

void MulticastLanes::Start() {
  for (const auto& lane : lanes_) {
    Lane* one = lane.get();
    one->thread = std::thread([this, one] { DeliveryLoop(one); });
  }
}

void MulticastLanes::Stop() {
  for (const auto& lane : lanes_) {
    {
      MutexLock lock(&lane->mutex);
      lane->stopping = true;
    }
    lane->changed.SignalAll();
    if (lane->thread.joinable()) lane->thread.join();
  }
}

void MulticastLanes::Enqueue(MulticastDelivery delivery, std::string_view bytes,
                             std::uint32_t from) {
  Lane& lane = *lanes_[LaneOf(bytes)];
  {
    MutexLock lock(&lane.mutex);
    if (lane.queue.size() >= laneDatagrams_ || lane.queueBytes + bytes.size() > laneBytes_) {
      ++queueDrops_;
      metrics::Add(Metric::kDroppedQueueFull);
      return;
    }
    lane.queueBytes += bytes.size();
    lane.queue.push_back(Datagram{delivery, std::string(bytes), from});
  }
  lane.changed.Signal();
}

void MulticastLanes::AddCounters(MulticastCounters* counters) const {
  for (const auto& lane : lanes_) {
    MutexLock lock(&lane->mutex);
    const InboundCounters one = lane->counters;
    counters->malformed += one.assembled.malformed + one.notSealed;
    counters->unopenable += one.unopenable;
    counters->foreignKey += one.foreignKey;
    counters->replayed += one.replayed;
    counters->duplicates += one.assembled.duplicates + one.copies;
    counters->expiredSets += one.assembled.expiredSets;
    counters->evictedSets += one.assembled.evictedSets;
    counters->messagesDelivered += one.delivered;
  }
  counters->queueDrops += queueDrops_.load();
}

// By the sender id the datagram names (a datagram too short for one is dropped on lane 0).
std::size_t MulticastLanes::LaneOf(std::string_view datagram) const {
  constexpr std::size_t kSenderIdAt = 8;
  if (datagram.size() < kSenderIdAt + 4) return 0;
  const std::uint32_t hash = GetLe32(datagram.data() + kSenderIdAt) * 2654435761u;  // Knuth's
  return (hash >> 16) % lanes_.size();
}

// The path a datagram is opened for: the group's for what the group socket took; for what came
// to this station's own address, the station's, unless peers or a relay send it group datagrams
// and its (authenticated) header says it was sealed for the group.
SealPath MulticastLanes::PathOf(const Datagram& datagram) const {
  if (datagram.delivery == MulticastDelivery::kGroup) return SealPath::kGroup;
  if (!groupByUnicast_) return SealPath::kStation;
  const std::optional<SealedHeader> header = ReadSealedHeader(datagram.bytes);
  return header ? header->path : SealPath::kStation;
}

void MulticastLanes::DeliveryLoop(Lane* lane) {
  AssemblerLimits limits;
  limits.maxMessageBytes = settings_.maxMessageBytes;
  limits.expiry = std::chrono::milliseconds(settings_.incompleteExpiryMs);
  MulticastInbound::ForeignSender foreignSender;
  if (foreignKey_) {
    foreignSender = [this](std::uint32_t from, std::uint32_t keyId) {
      foreignKey_(Ipv4Text(from), keyId);
    };
  }
  MulticastInbound inbound(limits, std::move(foreignSender));
  if (groupByUnicast_) inbound.ExpectGroupCopies();
  auto nextExpiry = Clock::now() + kExpiryTick;
  std::deque<Datagram> batch;
  for (;;) {
    {
      MutexLock lock(&lane->mutex);
      while (!lane->stopping && lane->queue.empty() && Clock::now() < nextExpiry) {
        lane->changed.WaitUntil(nextExpiry);
      }
      if (lane->stopping) return;
      batch.swap(lane->queue);
      lane->queueBytes = 0;
    }
    const auto now = Clock::now();
    const std::shared_ptr<const KeyRing> ring = batch.empty() ? nullptr : keyRing_();
    for (Datagram& datagram : batch) {
      const bool unicast = datagram.delivery == MulticastDelivery::kUnicast;
      const SealPath path = PathOf(datagram);
      bool opened = false;
      std::optional<std::string> text =
          inbound.Take(ring.get(), datagram.bytes, path, datagram.from, now, &opened);
      if (opened && opened_) {
        try {
          opened_(datagram.bytes, path, unicast, datagram.from);
        } catch (...) {
          // A forward that fails is the owner's to count; the datagram is still delivered.
        }
      }
      if (!text) continue;
      MulticastMessage message{
          path == SealPath::kGroup ? MulticastDelivery::kGroup : MulticastDelivery::kUnicast,
          std::move(*text), Ipv4Text(datagram.from)};
      try {
        receiver_(message);
      } catch (...) {
        // The receiver's failure is its own; the next message still comes.
      }
    }
    batch.clear();
    if (now >= nextExpiry) {
      inbound.Expire(now);
      nextExpiry = now + kExpiryTick;
    }
    MutexLock lock(&lane->mutex);
    lane->counters = inbound.counters();
  }
}

}  // namespace qx
