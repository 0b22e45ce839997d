// multicast_fragments.h - splitting a multicast message into datagrams and putting it together
// again on the receiving side. The fragment header's layout and the reassembly rules:
// docs/multicast-protocol.md.
//
// This is the plain form of a datagram; what travels is sealed (datagram_seal.h), and the
// opener hands the assembler the plain form again (the assembler itself takes no sealed
// datagram: it could not check the seal). The assembler keeps unfinished messages per sender
// incarnation, bounded in number and bytes, and drops and counts whatever does not fit.
//
// Ownership and threads: a FragmentAssembler belongs to one thread (a delivery lane's);
// SplitMessage is a pure function.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx {

inline constexpr std::uint32_t kFragmentMagic = 0x314D5851u;
inline constexpr std::uint8_t kFragmentVersion = 1;
inline constexpr std::uint8_t kFragmentSealedFlag = 0x01;
inline constexpr std::size_t kFragmentHeaderBytes = 40;
inline constexpr std::uint32_t kMaxFragmentsPerMessage = 4096;

struct FragmentHeader {
  std::uint8_t version = kFragmentVersion;
  std::uint8_t flags = 0;
  std::uint16_t headerBytes = kFragmentHeaderBytes;
  std::uint32_t senderId = 0;
  std::uint32_t incarnation = 0;
  std::uint32_t messageId = 0;
  std::uint16_t index = 0;
  std::uint16_t count = 1;
  std::uint32_t totalLength = 0;
  std::uint32_t offset = 0;
  std::uint32_t keyId = 0;
};

// Writes the header into the first kFragmentHeaderBytes of out.
void PutFragmentHeader(const FragmentHeader& header, std::uint8_t* out);
// Reads and checks a datagram's header: the magic, the version, a header length within the
// datagram, index below count, count within kMaxFragmentsPerMessage, and the payload within the
// total length at its offset. Nullopt for anything else; *payload is the bytes after the header.
std::optional<FragmentHeader> ParseFragment(std::string_view datagram, std::string_view* payload);

// The datagrams of one message: fragmentPayload bytes of text each (the last one less), at
// least one datagram also for an empty text. Empty when the text needs more than
// kMaxFragmentsPerMessage fragments or fragmentPayload is 0.
std::vector<std::string> SplitMessage(std::uint32_t senderId, std::uint32_t incarnation,
                                      std::uint32_t messageId, std::string_view text,
                                      std::size_t fragmentPayload);

struct AssemblerLimits {
  std::uint32_t maxMessageBytes = 1u << 20;
  std::chrono::milliseconds expiry{2000};
  std::size_t maxOpenSets = 256;
  std::size_t maxOpenSetsPerSender = 16;
  std::size_t maxOpenBytes = 64u << 20;
  std::size_t maxSenders = 4096;  // senders remembered for late duplicates
};

struct AssemblerCounters {
  std::uint64_t malformed = 0;
  std::uint64_t duplicates = 0;
  std::uint64_t expiredSets = 0;
  std::uint64_t evictedSets = 0;
};

class FragmentAssembler {
 public:
  using Clock = std::chrono::steady_clock;

  explicit FragmentAssembler(AssemblerLimits limits) : limits_(limits) {}

  // Takes one datagram; the whole message when this datagram completes one.
  std::optional<std::string> Add(std::string_view datagram, Clock::time_point now);
  // Gives up unfinished sets older than the expiry and forgets idle senders.
  void Expire(Clock::time_point now);

  const AssemblerCounters& counters() const { return counters_; }
  std::size_t openSets() const { return openSets_; }
  std::size_t openBytes() const { return openBytes_; }

 private:
  struct Set {
    // The payloads received so far, in arrival order: a set holds the bytes that came, not the
    // length its first fragment claims. stored[i] is where fragment i's payload lies in it.
    std::string data;
    std::vector<std::uint32_t> offsets;
    std::vector<std::uint32_t> lengths;
    std::vector<std::uint32_t> stored;
    std::vector<bool> present;
    std::size_t received = 0;
    std::size_t bytes = 0;  // counted in openBytes_
    Clock::time_point started;
  };
  struct Sender {
    std::map<std::uint32_t, Set> open;   // by message id
    std::deque<std::uint32_t> finished;  // recent message ids, for late duplicates
    Clock::time_point lastSeen;
  };
  using SenderKey = std::uint64_t;  // sender id and incarnation

  bool MakeRoom(SenderKey key, Sender& sender, std::size_t bytes);
  bool EvictOldest(std::optional<SenderKey> onlySender);
  void DropSet(Sender& sender, std::map<std::uint32_t, Set>::iterator set);
  void RememberFinished(Sender& sender, std::uint32_t messageId);

  const AssemblerLimits limits_;
  std::map<SenderKey, Sender> senders_;
  std::size_t openSets_ = 0;
  std::size_t openBytes_ = 0;
  AssemblerCounters counters_;
};

}  // namespace qx
