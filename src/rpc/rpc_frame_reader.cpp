// rpc_frame_reader.cpp - RpcBufferBudget and RpcFrameReader: a session's input buffer, its
// growth and charge, and the frames cut from it.
#include "rpc/rpc_frame_reader.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "platform/heap_memory.h"

namespace qx {
namespace {

constexpr auto kTrimInterval = std::chrono::seconds(1);

}  // namespace

void LargeBufferFreed() {
  using SteadyClock = std::chrono::steady_clock;
  static std::atomic<std::int64_t> lastTrim{0};
  const std::int64_t now = SteadyClock::now().time_since_epoch().count();
  std::int64_t last = lastTrim.load(std::memory_order_relaxed);
  if (now - last < std::chrono::duration_cast<SteadyClock::duration>(kTrimInterval).count()) return;
  if (!lastTrim.compare_exchange_strong(last, now, std::memory_order_relaxed)) return;
  ReturnFreeHeapMemory();
}

RpcBufferBudget::RpcBufferBudget(std::uint32_t budgetBytes, std::uint32_t maxFrameBytes)
    : budgetBytes_(budgetBytes),
      shareBytes_(std::min<std::size_t>(budgetBytes / 4, maxFrameBytes)) {}

bool RpcBufferBudget::Reserve(std::size_t bytes) {
  std::uint64_t used = used_.load();
  do {
    if (used + bytes > budgetBytes_) return false;
  } while (!used_.compare_exchange_weak(used, used + bytes));
  return true;
}

RpcFrameReader::Room RpcFrameReader::MakeRoom() {
  if (inBegin_ == inEnd_) {
    inBegin_ = inEnd_ = 0;
    if (in_.size() > kLargeBuffer) {
      Release();
      LargeBufferFreed();
    }
  } else if (inBegin_ != 0 && (needed_ > in_.size() - inBegin_ || inEnd_ == in_.size())) {
    std::memmove(in_.data(), in_.data() + inBegin_, inEnd_ - inBegin_);
    inEnd_ -= inBegin_;
    inBegin_ = 0;
  }
  if (inEnd_ < in_.size()) return Room::kOk;
  std::size_t want = std::max(kReadChunk, inEnd_ + 1);
  if (needed_ > 0)
    want =
        std::max(want, std::min(inBegin_ + needed_, std::max(2 * in_.size(), inEnd_ + kReadChunk)));
  Room failure = Room::kOk;
  Grow(want, &failure);
  return failure;
}

bool RpcFrameReader::Grow(std::size_t size, Room* failure) {
  const std::size_t charge = size > kReadChunk ? size - kReadChunk : 0;
  if (charge > charged_) {
    if (charge > budget_.shareBytes() || !budget_.Reserve(charge - charged_)) {
      *failure = Room::kOverBudget;
      return false;
    }
    charged_ = charge;
  }
  try {
    std::vector<std::uint8_t> bigger;
    bigger.reserve(size);  // exactly what is charged, not what the vector's growth would take
    bigger.assign(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(inEnd_));
    bigger.resize(size);
    in_.swap(bigger);
  } catch (const std::bad_alloc&) {
    *failure = Room::kNoMemory;
    return false;
  }
  return true;
}

RpcFrameReader::Result RpcFrameReader::Next(std::uint32_t acceptedKinds, rpc::FrameHeader* header,
                                            const std::uint8_t** body, rpc::FrameCheck* check) {
  needed_ = 0;
  if (inEnd_ - inBegin_ < rpc::kFrameHeaderSize) return Result::kNeedMore;
  *check = rpc::DecodeHeader(in_.data() + inBegin_, maxFrameBytes_, header);
  if (*check != rpc::FrameCheck::kOk) return Result::kBadHeader;
  if ((acceptedKinds & KindBit(header->kind)) == 0) return Result::kUnexpectedKind;
  const std::size_t total = rpc::kFrameHeaderSize + header->length;
  if (total > kReadChunk + budget_.shareBytes()) return Result::kTooLarge;  // never complete
  if (inEnd_ - inBegin_ < total) {
    needed_ = total;
    return Result::kNeedMore;
  }
  *body = in_.data() + inBegin_ + rpc::kFrameHeaderSize;
  inBegin_ += total;
  return Result::kFrame;
}

void RpcFrameReader::Release() {
  std::vector<std::uint8_t>().swap(in_);
  inBegin_ = inEnd_ = 0;
  ReleaseCharge();
}

void RpcFrameReader::ReleaseCharge() {
  if (charged_ == 0) return;
  budget_.Release(charged_);
  charged_ = 0;
}

}  // namespace qx
