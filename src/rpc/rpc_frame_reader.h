// rpc_frame_reader.h - the input side of a server session without its socket: received bytes
// go in, complete frames come out, within the frame limits and the server's buffer budget.
//
// RpcBufferBudget is what all sessions of one server may hold beyond their read chunks
// (BufferBudgetBytes); one session may hold a quarter of it, and never more than the largest
// frame. It is safe from any thread.
//
// RpcFrameReader holds one session's received bytes. Reads go into kReadChunk bytes; for a
// frame whose header has come, the buffer grows as the frame's bytes arrive: once full, to
// twice its size (at least kReadChunk more), never beyond the frame. What the buffer holds
// beyond kReadChunk is charged to the budget at each step, within the session's share: a
// header alone costs nothing, whatever it announces. A frame that could never fit the share is
// refused at its header. A buffer above kLargeBuffer is given back once nothing is left in it,
// and all of it (with its charge) by Release or the destructor. Freed memory goes back to the
// system at most once a second (LargeBufferFreed).
//
// A frame's body stays in place until the next MakeRoom or Release. The reader belongs to its
// session (one thread at a time: the session's strand, or the worker it handed a request to);
// the budget must outlive it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rpc/rpc_frame.h"

namespace qx {

class RpcBufferBudget {
 public:
  RpcBufferBudget(std::uint32_t budgetBytes, std::uint32_t maxFrameBytes);

  // False when bytes do not fit what is left of the budget.
  bool Reserve(std::size_t bytes);
  void Release(std::size_t bytes) { used_.fetch_sub(bytes); }
  // What one session may hold of the budget.
  std::size_t shareBytes() const { return shareBytes_; }
  std::uint32_t budgetBytes() const { return budgetBytes_; }
  std::uint64_t used() const { return used_.load(); }

 private:
  const std::uint32_t budgetBytes_;
  const std::size_t shareBytes_;
  std::atomic<std::uint64_t> used_{0};
};

// Gives freed heap memory back after a large buffer went, at most once a second.
void LargeBufferFreed();

class RpcFrameReader {
 public:
  // Every read goes into a buffer of this size; what a buffer holds beyond it is charged.
  static constexpr std::size_t kReadChunk = 16 * 1024;
  // A buffer above this size is given back when its frame is done.
  static constexpr std::size_t kLargeBuffer = 1024 * 1024;

  enum class Room { kOk, kOverBudget, kNoMemory };
  enum class Result { kFrame, kNeedMore, kBadHeader, kUnexpectedKind, kTooLarge };

  static constexpr std::uint32_t KindBit(rpc::FrameKind kind) {
    return 1u << static_cast<unsigned>(kind);
  }

  RpcFrameReader(RpcBufferBudget& budget, std::uint32_t maxFrameBytes)
      : budget_(budget), maxFrameBytes_(maxFrameBytes) {}
  ~RpcFrameReader() { ReleaseCharge(); }
  RpcFrameReader(const RpcFrameReader&) = delete;
  RpcFrameReader& operator=(const RpcFrameReader&) = delete;

  // Makes room for the next read at space(), room() bytes. kOverBudget: the step the frame
  // needs is beyond the session's share or what is left of the budget.
  Room MakeRoom();
  std::uint8_t* space() { return in_.data() + inEnd_; }
  std::size_t room() const { return in_.size() - inEnd_; }
  // got bytes were read into space().
  void Received(std::size_t got) { inEnd_ += got; }

  // The next complete frame of a kind in acceptedKinds (KindBit values): kFrame with *header
  // and *body (header->length bytes), kNeedMore until its bytes have come. On kBadHeader
  // *check says what is wrong; on kUnexpectedKind and kTooLarge (beyond kReadChunk and the
  // share) *header is the frame's.
  Result Next(std::uint32_t acceptedKinds, rpc::FrameHeader* header, const std::uint8_t** body,
              rpc::FrameCheck* check);

  // No received byte waits: nothing of a frame has come.
  bool empty() const { return inBegin_ == inEnd_; }
  // The size of the frame whose header has come while its body comes, else 0.
  std::size_t needed() const { return needed_; }
  std::size_t bufferSize() const { return in_.size(); }
  std::size_t charged() const { return charged_; }

  // Gives the buffer and its charge back; what it held is gone.
  void Release();

 private:
  bool Grow(std::size_t size, Room* failure);
  void ReleaseCharge();

  RpcBufferBudget& budget_;
  const std::uint32_t maxFrameBytes_;
  std::vector<std::uint8_t> in_;  // received bytes not yet taken: [inBegin_, inEnd_)
  std::size_t inBegin_ = 0;
  std::size_t inEnd_ = 0;
  std::size_t needed_ = 0;
  std::size_t charged_ = 0;  // bytes of the budget that in_ holds
};

}  // namespace qx
