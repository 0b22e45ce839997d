// fuzz_fragments.cpp - libFuzzer target for FragmentAssembler, the reassembly of multicast
// datagrams into messages.
//
// The input picks small limits, then is read as a script of steps: a raw datagram, a datagram
// built from a few fields (so that headers which pass the checks are common), or the clock moving
// on (with or without an expiry). Its tail is a text that is split and put together again on a
// fresh assembler, in an order the input picks.
//
// Checks, beyond the sanitizers: the open sets and their bytes never exceed the limits; a message
// handed out is never larger than the message limit; a split message comes back exactly, once,
// from its last datagram, leaves nothing open, and its datagrams sent again count as duplicates.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/little_endian.h"
#include "fuzz_input.h"
#include "messaging/multicast_fragments.h"

namespace {

using Clock = qx::FragmentAssembler::Clock;

using qx::fuzz::Check;
using qx::fuzz::Input;

// A datagram from compact fields: few senders and message ids, so that sets meet.
std::string BuildDatagram(Input& in) {
  qx::FragmentHeader header;
  header.senderId = in.Byte() % 4;
  header.incarnation = in.Byte() % 2;
  header.messageId = in.Byte() % 8;
  header.count = static_cast<std::uint16_t>(in.Byte() % 9);
  header.index = static_cast<std::uint16_t>(in.Byte() % 9);
  header.totalLength = in.U16();
  header.offset = in.U16();
  const std::uint8_t odd = in.Byte();
  if (odd & 0x80) header.flags = odd & 0x03;
  if (odd & 0x40) header.keyId = odd & 0x0F;
  if (odd & 0x20) header.headerBytes = static_cast<std::uint16_t>(40 + (odd & 0x0F));
  const std::size_t payload = in.U16() % 2048;
  std::string datagram(header.headerBytes + payload, static_cast<char>(odd));
  qx::PutFragmentHeader(header, reinterpret_cast<std::uint8_t*>(datagram.data()));
  return datagram;
}

void CheckBounds(const qx::FragmentAssembler& assembler, const qx::AssemblerLimits& limits,
                 const std::optional<std::string>& message) {
  Check(assembler.openSets() <= limits.maxOpenSets);
  Check(assembler.openBytes() <= limits.maxOpenBytes);
  if (message) Check(message->size() <= limits.maxMessageBytes);
}

void RunScript(Input& in) {
  qx::AssemblerLimits limits;
  limits.maxMessageBytes = 1u + in.Byte() * 64u;
  limits.expiry = std::chrono::milliseconds(100 + in.Byte() * 20);
  limits.maxOpenSets = 1u + in.Byte() % 8;
  limits.maxOpenSetsPerSender = 1u + in.Byte() % 4;
  limits.maxOpenBytes = 1u + in.U16();
  limits.maxSenders = 1u + in.Byte() % 8;
  qx::FragmentAssembler assembler(limits);
  Clock::time_point now{};

  for (int step = 0; step < 256 && !in.empty(); ++step) {
    const std::uint8_t op = in.Byte();
    std::optional<std::string> message;
    switch (op % 5) {
      case 0:
        message = assembler.Add(in.Take(in.U16() % 4096), now);
        break;
      case 1:
      case 2:
        message = assembler.Add(BuildDatagram(in), now);
        break;
      case 3:
        now += std::chrono::milliseconds(in.Byte() * 20);
        break;
      case 4:
        now += std::chrono::milliseconds(in.Byte() * 20);
        assembler.Expire(now);
        break;
    }
    CheckBounds(assembler, limits, message);
    if (op == 0xFF) break;  // the rest is the text of the round trip
  }
}

void RoundTrip(Input& in) {
  const std::size_t fragmentPayload = 1u + in.U16() % 1500;
  const std::size_t rotate = in.Byte();
  const std::string_view text =
      in.Take(std::min<std::size_t>(64 * 1024, fragmentPayload * qx::kMaxFragmentsPerMessage));
  const std::vector<std::string> datagrams = qx::SplitMessage(7, 9, 11, text, fragmentPayload);
  Check(!datagrams.empty());

  qx::AssemblerLimits limits;
  qx::FragmentAssembler assembler(limits);
  const Clock::time_point now{};
  for (std::size_t i = 0; i < datagrams.size(); ++i) {
    const std::optional<std::string> message =
        assembler.Add(datagrams[(i + rotate) % datagrams.size()], now);
    if (i + 1 < datagrams.size()) {
      Check(!message);
    } else {
      Check(message && *message == text);
    }
  }
  Check(assembler.openSets() == 0 && assembler.openBytes() == 0);
  Check(assembler.counters().malformed == 0);
  if (datagrams.size() > 1) {
    Check(!assembler.Add(datagrams.front(), now));
    Check(assembler.counters().duplicates == 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  RunScript(in);
  RoundTrip(in);
  return 0;
}
