// netqxkomm_wire.h - the frames on the component's socket, shared by its client and serving sides.
//
// All integers little-endian, texts UTF-8 without terminator:
//
//   request:  u32 magic 0x314B5851 ("QXK1")   u8 kind   u8[3] zero
//             u32 receiverLength   u32 textLength   receiver bytes   text bytes
//   answer:   u32 magic   u8 kind | 0x80   u8 hasAnswer (0 or 1)   u8[2] zero
//             i32 HRESULT   u32 answerLength   answer bytes
//   event:    u32 magic   u8 kEvent   u8 delivery (1 group, 2 unicast)   u8[2] zero
//             u32 cookie   u32 textLength   text bytes
//
//   kind 1  group send      (receiver empty)            answer: HRESULT, no text
//   kind 2  local request   (receiver empty)            answer: HRESULT and, when hasAnswer,
//                                                               the result string
//   kind 3  unicast send    (receiver: host name or IPv4 text)   answer: HRESULT, no text
//   kind 4  advise          (both empty)                answer: HRESULT and the cookie (u32);
//                                                               after S_OK only events follow
//   kind 5  unadvise        (text: the cookie, u32)     answer: HRESULT, no text
//
// A subscribed connection ends the subscription with any byte it sends or by closing.
// Only the component's own files include this header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::netqxkomm_wire {

inline constexpr std::uint32_t kMagic = 0x314B5851u;
inline constexpr std::size_t kMaxBody = 16u << 20;
inline constexpr std::size_t kMaxReceiver = 1024;  // a host name or an IPv4 text
inline constexpr std::size_t kHeaderBytes = 16;    // request, answer and event alike
inline constexpr std::uint8_t kKindGroupSend = 1;
inline constexpr std::uint8_t kKindLocalRequest = 2;
inline constexpr std::uint8_t kKindUnicastSend = 3;
inline constexpr std::uint8_t kKindAdvise = 4;
inline constexpr std::uint8_t kKindUnadvise = 5;
inline constexpr std::uint8_t kKindEvent = 6;
inline constexpr std::uint8_t kAnswerBit = 0x80;
inline constexpr const char* kSocketName = "netqxkomm.sock";

}  // namespace qx::netqxkomm_wire
