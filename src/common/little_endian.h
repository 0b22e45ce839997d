// little_endian.h - the one codec for little-endian integers in frames and blocks.
//
// Every wire format of the station (RPC frames, the local sockets' headers, the UTF-16LE
// request blocks) stores integers least significant byte first, whatever the machine's order.
//
//   std::uint8_t header[4];
//   PutLe32(header, length);
//   std::uint32_t back = GetLe32(header);
#pragma once

#include <cstdint>
#include <string>

namespace qx {

inline void PutLe16(void* out, std::uint16_t value) {
  auto* bytes = static_cast<std::uint8_t*>(out);
  bytes[0] = static_cast<std::uint8_t>(value);
  bytes[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void PutLe32(void* out, std::uint32_t value) {
  auto* bytes = static_cast<std::uint8_t*>(out);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint16_t GetLe16(const void* in) {
  const auto* bytes = static_cast<const std::uint8_t*>(in);
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline std::uint32_t GetLe32(const void* in) {
  const auto* bytes = static_cast<const std::uint8_t*>(in);
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= std::uint32_t{bytes[i]} << (8 * i);
  return value;
}

inline void AppendLe32(std::string* out, std::uint32_t value) {
  char bytes[4];
  PutLe32(bytes, value);
  out->append(bytes, sizeof bytes);
}

}  // namespace qx
