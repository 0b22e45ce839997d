// fuzz_rpc_frame_reader.cpp - libFuzzer target for the server's frame reader (RpcFrameReader):
// the bytes of a peer that has proved its key, as the session hands them over read by read.
//
// Input: byte 0 picks the largest frame and the buffer budget, byte 1 the kinds accepted, byte 2
// the size of each read; the rest is the peer's byte stream. Reading stops at the first frame
// refused, or when the budget says no.
//
// Checks, beyond the sanitizers: a frame comes out whole (its body is exactly the announced
// length, never above the largest frame) and of an accepted kind, BuildFrame rebuilds its bytes
// from header and body, the reader never holds more of the budget than one session's share,
// and every byte of the budget is back once the reader is gone.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "rpc/rpc_frame.h"
#include "rpc/rpc_frame_reader.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using qx::RpcFrameReader;
  if (size < 3) return 0;
  static constexpr std::uint32_t kMaxima[] = {16, 8192, 65536, 1u << 20};
  static constexpr std::uint32_t kBudgets[] = {64 * 1024, 256 * 1024, 4u << 20};
  const std::uint32_t maxFrame = kMaxima[data[0] % 4];
  const std::uint32_t budgetBytes = kBudgets[(data[0] >> 2) % 3];
  const std::uint32_t accepted = static_cast<std::uint32_t>(data[1]) << 1;  // kinds 1..8
  const std::size_t readSize = 1 + static_cast<std::size_t>(data[2]) * 97;
  const std::uint8_t* stream = data + 3;
  std::size_t left = size - 3;

  qx::RpcBufferBudget budget(budgetBytes, maxFrame);
  {
    RpcFrameReader reader(budget, maxFrame);
    bool refused = false;
    while (!refused && left > 0) {
      if (reader.MakeRoom() != RpcFrameReader::Room::kOk) break;
      const std::size_t got = std::min({reader.room(), readSize, left});
      Check(got > 0);
      std::memcpy(reader.space(), stream, got);
      reader.Received(got);
      stream += got;
      left -= got;
      Check(reader.charged() <= budget.shareBytes());
      Check(budget.used() <= budget.budgetBytes());
      for (;;) {
        qx::rpc::FrameHeader header;
        const std::uint8_t* body = nullptr;
        qx::rpc::FrameCheck check = qx::rpc::FrameCheck::kOk;
        const RpcFrameReader::Result result = reader.Next(accepted, &header, &body, &check);
        if (result == RpcFrameReader::Result::kNeedMore) break;
        if (result != RpcFrameReader::Result::kFrame) {
          refused = true;
          break;
        }
        Check(header.length <= maxFrame);
        Check((accepted & RpcFrameReader::KindBit(header.kind)) != 0);
        const std::vector<std::uint8_t> again = qx::rpc::BuildFrame(header, body, header.length);
        Check(again.size() == qx::rpc::kFrameHeaderSize + header.length);
        Check(header.length == 0 ||
              std::memcmp(again.data() + qx::rpc::kFrameHeaderSize, body, header.length) == 0);
      }
    }
  }
  Check(budget.used() == 0);
  return 0;
}
