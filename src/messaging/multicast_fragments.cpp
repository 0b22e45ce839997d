// multicast_fragments.cpp - fragment header, splitting and reassembly (see multicast_fragments.h).
#include "messaging/multicast_fragments.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "common/little_endian.h"
#include "trace/counters.h"

namespace qx {
namespace {

// Message ids of finished messages remembered per sender, to recognise late duplicates.
constexpr std::size_t kFinishedRemembered = 64;

}  // namespace

void PutFragmentHeader(const FragmentHeader& header, std::uint8_t* out) {
  PutLe32(out, kFragmentMagic);
  out[4] = header.version;
  out[5] = header.flags;
  PutLe16(out + 6, header.headerBytes);
  PutLe32(out + 8, header.senderId);
  PutLe32(out + 12, header.incarnation);
  PutLe32(out + 16, header.messageId);
  PutLe16(out + 20, header.index);
  PutLe16(out + 22, header.count);
  PutLe32(out + 24, header.totalLength);
  PutLe32(out + 28, header.offset);
  PutLe32(out + 32, header.keyId);
  PutLe32(out + 36, 0);
}

std::optional<FragmentHeader> ParseFragment(std::string_view datagram, std::string_view* payload) {
  if (datagram.size() < kFragmentHeaderBytes) return std::nullopt;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(datagram.data());
  if (GetLe32(bytes) != kFragmentMagic) return std::nullopt;
  FragmentHeader header;
  header.version = bytes[4];
  header.flags = bytes[5];
  header.headerBytes = GetLe16(bytes + 6);
  header.senderId = GetLe32(bytes + 8);
  header.incarnation = GetLe32(bytes + 12);
  header.messageId = GetLe32(bytes + 16);
  header.index = GetLe16(bytes + 20);
  header.count = GetLe16(bytes + 22);
  header.totalLength = GetLe32(bytes + 24);
  header.offset = GetLe32(bytes + 28);
  header.keyId = GetLe32(bytes + 32);
  if (header.version != kFragmentVersion) return std::nullopt;
  if (header.headerBytes < kFragmentHeaderBytes || header.headerBytes > datagram.size()) {
    return std::nullopt;
  }
  if (header.count == 0 || header.count > kMaxFragmentsPerMessage || header.index >= header.count) {
    return std::nullopt;
  }
  const std::string_view rest = datagram.substr(header.headerBytes);
  if (std::uint64_t{header.offset} + rest.size() > header.totalLength) return std::nullopt;
  *payload = rest;
  return header;
}

std::vector<std::string> SplitMessage(std::uint32_t senderId, std::uint32_t incarnation,
                                      std::uint32_t messageId, std::string_view text,
                                      std::size_t fragmentPayload) {
  if (fragmentPayload == 0 || text.size() > std::numeric_limits<std::uint32_t>::max()) return {};
  const std::size_t count =
      std::max<std::size_t>(1, (text.size() + fragmentPayload - 1) / fragmentPayload);
  if (count > kMaxFragmentsPerMessage) return {};
  std::vector<std::string> datagrams;
  datagrams.reserve(count);
  FragmentHeader header;
  header.senderId = senderId;
  header.incarnation = incarnation;
  header.messageId = messageId;
  header.count = static_cast<std::uint16_t>(count);
  header.totalLength = static_cast<std::uint32_t>(text.size());
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t offset = i * fragmentPayload;
    const std::string_view piece = text.substr(offset, fragmentPayload);
    header.index = static_cast<std::uint16_t>(i);
    header.offset = static_cast<std::uint32_t>(offset);
    std::string datagram(kFragmentHeaderBytes + piece.size(), '\0');
    PutFragmentHeader(header, reinterpret_cast<std::uint8_t*>(datagram.data()));
    std::memcpy(datagram.data() + kFragmentHeaderBytes, piece.data(), piece.size());
    datagrams.push_back(std::move(datagram));
  }
  return datagrams;
}

std::optional<std::string> FragmentAssembler::Add(std::string_view datagram,
                                                  Clock::time_point now) {
  std::string_view payload;
  const std::optional<FragmentHeader> header = ParseFragment(datagram, &payload);
  // A sealed datagram cannot be checked here, so it is not trusted.
  if (!header || header->flags != 0 || header->keyId != 0 ||
      header->totalLength > limits_.maxMessageBytes) {
    ++counters_.malformed;
    return std::nullopt;
  }
  if (header->count == 1) {
    if (header->offset != 0 || payload.size() != header->totalLength) {
      ++counters_.malformed;
      return std::nullopt;
    }
    return std::string(payload);
  }

  const SenderKey key = (SenderKey{header->senderId} << 32) | header->incarnation;
  auto found = senders_.find(key);
  if (found == senders_.end()) {
    if (senders_.size() >= limits_.maxSenders) Expire(now);
    if (senders_.size() >= limits_.maxSenders) {
      // Forget the idle sender seen longest ago; with none idle, refuse the new one.
      auto oldest = senders_.end();
      for (auto it = senders_.begin(); it != senders_.end(); ++it) {
        if (it->second.open.empty() &&
            (oldest == senders_.end() || it->second.lastSeen < oldest->second.lastSeen)) {
          oldest = it;
        }
      }
      if (oldest == senders_.end()) {
        ++counters_.evictedSets;
        return std::nullopt;
      }
      senders_.erase(oldest);
    }
    found = senders_.emplace(key, Sender{}).first;
  }
  Sender& sender = found->second;
  sender.lastSeen = now;
  if (std::find(sender.finished.begin(), sender.finished.end(), header->messageId) !=
      sender.finished.end()) {
    ++counters_.duplicates;
    return std::nullopt;
  }

  auto set = sender.open.find(header->messageId);
  if (set == sender.open.end()) {
    if (!MakeRoom(key, sender, header->totalLength)) {
      ++counters_.evictedSets;
      return std::nullopt;
    }
    Set fresh;
    fresh.offsets.resize(header->count);
    fresh.lengths.resize(header->count);
    fresh.stored.resize(header->count);
    fresh.present.resize(header->count);
    fresh.started = now;
    fresh.bytes = header->totalLength;
    set = sender.open.emplace(header->messageId, std::move(fresh)).first;
    ++openSets_;
    openBytes_ += header->totalLength;
  } else if (set->second.present.size() != header->count ||
             set->second.bytes != header->totalLength) {
    ++counters_.malformed;  // disagrees with the set's first fragment
    return std::nullopt;
  }

  Set& parts = set->second;
  const std::uint16_t index = header->index;
  if (parts.present[index]) {
    if (parts.offsets[index] == header->offset && parts.lengths[index] == payload.size()) {
      ++counters_.duplicates;
    } else {
      ++counters_.malformed;
    }
    return std::nullopt;
  }
  if (parts.data.size() + payload.size() > parts.bytes) {
    ++counters_.malformed;  // more bytes than the message has: the fragments cannot tile it
    return std::nullopt;
  }
  parts.stored[index] = static_cast<std::uint32_t>(parts.data.size());
  parts.data.append(payload);
  parts.present[index] = true;
  parts.offsets[index] = header->offset;
  parts.lengths[index] = static_cast<std::uint32_t>(payload.size());
  if (++parts.received < parts.present.size()) return std::nullopt;

  // Complete: the fragments must cover the message exactly, in index order.
  std::uint64_t position = 0;
  bool tiles = true;
  for (std::size_t i = 0; i < parts.present.size() && tiles; ++i) {
    tiles = parts.offsets[i] == position;
    position += parts.lengths[i];
  }
  tiles = tiles && position == parts.bytes;
  std::string message;
  if (tiles) {
    message.reserve(parts.bytes);
    for (std::size_t i = 0; i < parts.present.size(); ++i) {
      message.append(parts.data, parts.stored[i], parts.lengths[i]);
    }
  }
  DropSet(sender, set);
  RememberFinished(sender, header->messageId);
  if (!tiles) {
    ++counters_.malformed;
    return std::nullopt;
  }
  metrics::Add(Metric::kFragmentedMessagesReassembled);
  return message;
}

void FragmentAssembler::Expire(Clock::time_point now) {
  for (auto sender = senders_.begin(); sender != senders_.end();) {
    for (auto set = sender->second.open.begin(); set != sender->second.open.end();) {
      if (now - set->second.started >= limits_.expiry) {
        ++counters_.expiredSets;
        metrics::Add(Metric::kFragmentSetsExpired);
        const auto next = std::next(set);
        DropSet(sender->second, set);
        set = next;
      } else {
        ++set;
      }
    }
    if (sender->second.open.empty() && now - sender->second.lastSeen >= limits_.expiry) {
      sender = senders_.erase(sender);
    } else {
      ++sender;
    }
  }
}

bool FragmentAssembler::MakeRoom(SenderKey key, Sender& sender, std::size_t bytes) {
  if (bytes > limits_.maxOpenBytes) return false;
  while (sender.open.size() >= limits_.maxOpenSetsPerSender) {
    if (!EvictOldest(key)) return false;
  }
  while (openSets_ >= limits_.maxOpenSets || openBytes_ + bytes > limits_.maxOpenBytes) {
    if (!EvictOldest(std::nullopt)) return false;
  }
  return true;
}

bool FragmentAssembler::EvictOldest(std::optional<SenderKey> onlySender) {
  Sender* oldestSender = nullptr;
  std::map<std::uint32_t, Set>::iterator oldestSet;
  for (auto& [key, sender] : senders_) {
    if (onlySender && key != *onlySender) continue;
    for (auto set = sender.open.begin(); set != sender.open.end(); ++set) {
      if (oldestSender == nullptr || set->second.started < oldestSet->second.started) {
        oldestSender = &sender;
        oldestSet = set;
      }
    }
  }
  if (oldestSender == nullptr) return false;
  ++counters_.evictedSets;
  DropSet(*oldestSender, oldestSet);
  return true;
}

void FragmentAssembler::DropSet(Sender& sender, std::map<std::uint32_t, Set>::iterator set) {
  --openSets_;
  openBytes_ -= set->second.bytes;
  sender.open.erase(set);
}

void FragmentAssembler::RememberFinished(Sender& sender, std::uint32_t messageId) {
  sender.finished.push_back(messageId);
  if (sender.finished.size() > kFinishedRemembered) sender.finished.pop_front();
}

}  // namespace qx
