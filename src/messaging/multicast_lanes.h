// multicast_lanes.h - the delivery lanes of the multicast transport: the receive thread puts
// each datagram into the bounded queue of one lane; the lane's thread opens and reassembles
// them (multicast_pipeline.h) and calls the receiver.
//
// A sender's datagrams always take the same lane, chosen by the sender id in the header (not by
// the address they came from, so that a copy replayed from elsewhere meets the same replay
// window): its fragments meet in one assembler and its messages arrive in the order sent, while
// the lanes take in different senders side by side, one lane for each core, at most kMaxLanes.
// A full queue (in datagrams or bytes) drops the datagram and counts it. Each lane also expires
// its unfinished messages a few times a second. The key ring is asked for once a batch.
//
// Ownership and threads: the owner keeps the settings, the key ring source and the foreign-key
// hook alive while the lanes exist; the lanes own their queues, threads and the receiver. Start and
// Stop come from the owner's thread; Enqueue from one receive thread; Counters from any thread. The
// receiver and the foreign-key hook are called on every lane's thread; nothing is called after
// Stop returns.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "messaging/multicast_pipeline.h"
#include "messaging/multicast_transport.h"

namespace qx {

class MulticastLanes {
 public:
  static constexpr unsigned kMaxLanes = 4;
  using ForeignKeyHook = std::function<void(const std::string& from, std::uint32_t keyId)>;
  // A datagram that opened as authentic and new (the sealed bytes as they came), sealed for
  // path, heard from the group or (fromPeer) sent by unicast from the address from (host order).
  using OpenedHook = std::function<void(std::string_view sealed, SealPath path, bool fromPeer,
                                        std::uint32_t from)>;

  // settings, keyRing and foreignKey (which may be empty) must outlive the lanes. With peers or
  // as a relay (settings), a datagram that reaches the station's own address sealed for the group
  // is opened as a group datagram, in the group's replay window, and delivered as one; opened
  // (may be empty) hears of every datagram that opened.
  MulticastLanes(const MulticastSettings& settings, const KeyRingSource& keyRing,
                 MulticastReceiver receiver, const ForeignKeyHook& foreignKey,
                 OpenedHook opened = nullptr);
  ~MulticastLanes();  // Stop()
  MulticastLanes(const MulticastLanes&) = delete;
  MulticastLanes& operator=(const MulticastLanes&) = delete;

  void Start();
  // Ends and joins the lanes' threads; what is still queued is dropped.
  void Stop();

  // Copies one datagram (from: its sender's IPv4 address, host order) into its sender's lane.
  void Enqueue(MulticastDelivery delivery, std::string_view bytes, std::uint32_t from);

  // Adds what the lanes counted to counters (delivered, malformed, unopenable, foreign key,
  // replayed, duplicates, expired and evicted sets, queue drops).
  void AddCounters(MulticastCounters* counters) const;

 private:
  struct Datagram {
    MulticastDelivery delivery;
    std::string bytes;
    std::uint32_t from;
  };
  struct Lane {
    Mutex mutex;
    CondVar changed{&mutex};
    std::deque<Datagram> queue GUARDED_BY(mutex);
    std::size_t queueBytes GUARDED_BY(mutex) = 0;
    bool stopping GUARDED_BY(mutex) = false;
    InboundCounters counters GUARDED_BY(mutex);
    std::thread thread;
  };

  std::size_t LaneOf(std::string_view datagram) const;
  SealPath PathOf(const Datagram& datagram) const;
  void DeliveryLoop(Lane* lane);

  const MulticastSettings& settings_;
  const KeyRingSource& keyRing_;
  const MulticastReceiver receiver_;
  const ForeignKeyHook& foreignKey_;
  const OpenedHook opened_;
  const bool groupByUnicast_;  // peers or relay: group datagrams also come to this station
  std::vector<std::unique_ptr<Lane>> lanes_;  // fixed after construction
  std::size_t laneDatagrams_ = 1;
  std::size_t laneBytes_ = 0;
  std::atomic<std::uint64_t> queueDrops_{0};
};

}  // namespace qx
