// rpc_frame.h - the frames of the station-to-station RPC protocol: header codec and builders.
//
// Every frame is a fixed 20-byte header (little-endian) followed by `length` body bytes; the
// layout, the kinds and the order of frames on a connection: docs/rpc-protocol.md. DecodeHeader
// checks the body length against the reader's maximum before anyone allocates for it.
//
// Pure functions, no state; any thread may call.
//
//   std::vector<std::uint8_t> frame = BuildFrame({FrameKind::kStringRequest, 0, 777}, text);
//   FrameHeader header;
//   if (DecodeHeader(bytes, maxBody, &header) != FrameCheck::kOk) CloseConnection();
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/little_endian.h"

namespace qx::rpc {

inline constexpr std::uint32_t kFrameMagic = 0x50525851u;  // "QXRP" in wire order
inline constexpr std::uint8_t kFrameVersion = 1;
inline constexpr std::size_t kFrameHeaderSize = 20;
// A HELLO body is small; a larger one is refused whatever the frame maximum.
inline constexpr std::uint32_t kMaxHelloBytes = 8192;

enum class FrameKind : std::uint8_t {
  kHello = 1,
  kHelloAck = 2,
  kHelloRefused = 3,
  kStringRequest = 4,
  kDataRequest = 5,
  kStringAnswer = 6,
  kDataAnswer = 7,
  kClose = 8,
};

// Answer flags.
inline constexpr std::uint16_t kFlagAnswerPresent = 0x1;  // the handler wrote an answer
inline constexpr std::uint16_t kFlagHandlerTrue = 0x2;    // the handler returned true

struct FrameHeader {
  FrameKind kind = FrameKind::kClose;
  std::uint16_t flags = 0;
  std::uint32_t dataId = 0;
  std::int32_t result = 0;
  std::uint32_t length = 0;
};

enum class FrameCheck { kOk, kBadMagic, kBadVersion, kBadKind, kTooLong };

inline const char* FrameCheckText(FrameCheck check) {
  switch (check) {
    case FrameCheck::kOk:
      return "ok";
    case FrameCheck::kBadMagic:
      return "bad frame magic";
    case FrameCheck::kBadVersion:
      return "unsupported frame version";
    case FrameCheck::kBadKind:
      return "unknown frame kind";
    case FrameCheck::kTooLong:
      return "frame body above the maximum";
  }
  return "?";
}

inline void EncodeHeader(const FrameHeader& header, std::uint8_t* out) {
  PutLe32(out, kFrameMagic);
  out[4] = kFrameVersion;
  out[5] = static_cast<std::uint8_t>(header.kind);
  PutLe16(out + 6, header.flags);
  PutLe32(out + 8, header.dataId);
  PutLe32(out + 12, static_cast<std::uint32_t>(header.result));
  PutLe32(out + 16, header.length);
}

// Checks and decodes kFrameHeaderSize bytes. maxBody bounds the body length.
inline FrameCheck DecodeHeader(const std::uint8_t* in, std::uint32_t maxBody, FrameHeader* out) {
  if (GetLe32(in) != kFrameMagic) return FrameCheck::kBadMagic;
  if (in[4] != kFrameVersion) return FrameCheck::kBadVersion;
  if (in[5] < static_cast<std::uint8_t>(FrameKind::kHello) ||
      in[5] > static_cast<std::uint8_t>(FrameKind::kClose))
    return FrameCheck::kBadKind;
  FrameHeader header;
  header.kind = static_cast<FrameKind>(in[5]);
  header.flags = GetLe16(in + 6);
  header.dataId = GetLe32(in + 8);
  header.result = static_cast<std::int32_t>(GetLe32(in + 12));
  header.length = GetLe32(in + 16);
  if (header.length > maxBody) return FrameCheck::kTooLong;
  if (header.kind == FrameKind::kHello && header.length > kMaxHelloBytes)
    return FrameCheck::kTooLong;
  *out = header;
  return FrameCheck::kOk;
}

// One frame: the header (its length field is set from size) and the body.
inline std::vector<std::uint8_t> BuildFrame(FrameHeader header, const void* body,
                                            std::size_t size) {
  std::vector<std::uint8_t> frame(kFrameHeaderSize + size);
  header.length = static_cast<std::uint32_t>(size);
  EncodeHeader(header, frame.data());
  if (size != 0) std::memcpy(frame.data() + kFrameHeaderSize, body, size);
  return frame;
}
inline std::vector<std::uint8_t> BuildFrame(FrameHeader header, std::string_view body = {}) {
  return BuildFrame(header, body.data(), body.size());
}

inline std::vector<std::uint8_t> BuildHello(std::string_view service, std::string_view clientName) {
  std::string body;
  const std::size_t serviceSize = service.size() > 0xFFFF ? 0xFFFF : service.size();
  char size[2];
  PutLe16(size, static_cast<std::uint16_t>(serviceSize));
  body.append(size, sizeof size);
  body.append(service.substr(0, serviceSize));
  body.append(clientName);
  return BuildFrame({FrameKind::kHello}, body);
}

// False when the body is not a well-formed HELLO body.
inline bool ParseHello(const std::uint8_t* body, std::size_t size, std::string* service,
                       std::string* clientName) {
  if (size < 2) return false;
  const std::size_t serviceSize = GetLe16(body);
  if (serviceSize > size - 2) return false;
  service->assign(reinterpret_cast<const char*>(body + 2), serviceSize);
  clientName->assign(reinterpret_cast<const char*>(body + 2 + serviceSize), size - 2 - serviceSize);
  return true;
}

}  // namespace qx::rpc
