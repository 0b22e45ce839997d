#include "rpc/rpc_frame_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace qx {
namespace {

using rpc::FrameKind;
using Result = RpcFrameReader::Result;
using Room = RpcFrameReader::Room;

constexpr std::uint32_t kAnyRequest = RpcFrameReader::KindBit(FrameKind::kStringRequest) |
                                      RpcFrameReader::KindBit(FrameKind::kDataRequest);
constexpr std::uint32_t kMaxFrame = 64u << 20;

struct Frame {
  FrameKind kind;
  std::uint32_t dataId;
  std::vector<std::uint8_t> body;
  bool operator==(const Frame&) const = default;
};

std::vector<std::uint8_t> Body(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> body(size);
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<std::uint8_t>(seed + i * 7);
  return body;
}

std::vector<std::uint8_t> Wire(const std::vector<Frame>& frames) {
  std::vector<std::uint8_t> wire;
  for (const Frame& f : frames) {
    const std::vector<std::uint8_t> one =
        rpc::BuildFrame({f.kind, 0, f.dataId}, f.body.data(), f.body.size());
    wire.insert(wire.end(), one.begin(), one.end());
  }
  return wire;
}

// Feeds bytes to the reader as a socket would hand them over, at most chunk bytes a read, and
// takes every complete frame after each read. Stops at the first failure (returned).
struct Feeder {
  RpcFrameReader& reader;
  std::vector<Frame> frames;
  std::size_t peakCharge = 0;

  Result Feed(const std::vector<std::uint8_t>& bytes, std::size_t chunk,
              std::uint32_t kinds = kAnyRequest, Room* room = nullptr) {
    std::size_t at = 0;
    while (at < bytes.size()) {
      const Room made = reader.MakeRoom();
      if (room != nullptr) *room = made;
      if (made != Room::kOk) return Result::kNeedMore;
      const std::size_t n = std::min({chunk, reader.room(), bytes.size() - at});
      std::memcpy(reader.space(), bytes.data() + at, n);
      reader.Received(n);
      at += n;
      peakCharge = std::max(peakCharge, reader.charged());
      for (;;) {
        rpc::FrameHeader header;
        const std::uint8_t* body = nullptr;
        rpc::FrameCheck check = rpc::FrameCheck::kOk;
        const Result next = reader.Next(kinds, &header, &body, &check);
        if (next == Result::kNeedMore) break;
        if (next != Result::kFrame) return next;
        frames.push_back({header.kind, header.dataId, {body, body + header.length}});
      }
    }
    return Result::kNeedMore;
  }
};

TEST(RpcFrameReaderTest, FramesComeOutWholeHoweverTheirBytesArrive) {
  const std::vector<Frame> small = {{FrameKind::kStringRequest, 1, Body(5, 1)},
                                    {FrameKind::kDataRequest, 2, {}},
                                    {FrameKind::kDataRequest, 3, Body(300, 3)}};
  const std::vector<Frame> withLarge = {{FrameKind::kDataRequest, 4, Body(10, 4)},
                                        {FrameKind::kDataRequest, 5, Body(200 * 1024, 5)},
                                        {FrameKind::kStringRequest, 6, Body(3, 6)}};
  struct Case {
    const char* name;
    const std::vector<Frame>* frames;
    std::size_t chunk;
  };
  const Case cases[] = {
      {"several frames in one read", &small, 1 << 20},
      {"byte by byte", &small, 1},
      {"split inside headers and bodies", &small, 7},
      {"split at the header's edge", &small, rpc::kFrameHeaderSize},
      {"a large frame between small ones, in one read each", &withLarge, 1 << 20},
      {"a large frame in odd pieces", &withLarge, 4099},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RpcBufferBudget budget(64u << 20, kMaxFrame);
    {
      RpcFrameReader reader(budget, kMaxFrame);
      Feeder feeder{reader, {}, 0};
      EXPECT_EQ(feeder.Feed(Wire(*c.frames), c.chunk), Result::kNeedMore);
      EXPECT_EQ(feeder.frames, *c.frames);
      EXPECT_TRUE(reader.empty());
      EXPECT_EQ(reader.needed(), 0u);
      EXPECT_EQ(budget.used(), reader.charged());
    }
    EXPECT_EQ(budget.used(), 0u) << "the reader's end gives its charge back";
  }
}

TEST(RpcFrameReaderTest, RefusesFramesAtTheirHeader) {
  const std::uint32_t hello = RpcFrameReader::KindBit(FrameKind::kHello);
  struct Case {
    const char* name;
    rpc::FrameHeader header;
    std::uint32_t kinds;
    std::uint32_t maxFrame;
    Result expected;
    rpc::FrameCheck check;
  };
  const Case cases[] = {
      {"body above the frame maximum",
       {FrameKind::kDataRequest, 0, 1, 0, 4097},
       kAnyRequest,
       4096,
       Result::kBadHeader,
       rpc::FrameCheck::kTooLong},
      {"HELLO body above its maximum",
       {FrameKind::kHello, 0, 1, 0, rpc::kMaxHelloBytes + 1},
       hello,
       kMaxFrame,
       Result::kBadHeader,
       rpc::FrameCheck::kTooLong},
      {"a request where HELLO must come",
       {FrameKind::kStringRequest, 0, 1, 0, 4},
       hello,
       kMaxFrame,
       Result::kUnexpectedKind,
       rpc::FrameCheck::kOk},
      {"an answer where requests come",
       {FrameKind::kDataAnswer, 0, 1, 0, 4},
       kAnyRequest,
       kMaxFrame,
       Result::kUnexpectedKind,
       rpc::FrameCheck::kOk},
      // Budget 4 MiB: the share is 1 MiB, so a frame beyond 1 MiB and a read chunk never fits.
      {"a frame beyond the connection's share",
       {FrameKind::kDataRequest, 0, 1, 0,
        (1u << 20) + RpcFrameReader::kReadChunk - rpc::kFrameHeaderSize + 1},
       kAnyRequest,
       kMaxFrame,
       Result::kTooLarge,
       rpc::FrameCheck::kOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RpcBufferBudget budget(4u << 20, c.maxFrame);
    RpcFrameReader reader(budget, c.maxFrame);
    ASSERT_EQ(reader.MakeRoom(), Room::kOk);
    std::uint8_t raw[rpc::kFrameHeaderSize];
    rpc::EncodeHeader(c.header, raw);
    std::memcpy(reader.space(), raw, sizeof raw);
    reader.Received(sizeof raw);
    rpc::FrameHeader header;
    const std::uint8_t* body = nullptr;
    rpc::FrameCheck check = rpc::FrameCheck::kOk;
    EXPECT_EQ(reader.Next(c.kinds, &header, &body, &check), c.expected);
    EXPECT_EQ(check, c.check);
    EXPECT_EQ(budget.used(), 0u) << "a refused header costs nothing";
  }

  // The largest frame that fits the share is taken.
  RpcBufferBudget budget(4u << 20, kMaxFrame);
  RpcFrameReader reader(budget, kMaxFrame);
  Feeder feeder{reader, {}, 0};
  const std::size_t fits = (1u << 20) + RpcFrameReader::kReadChunk - rpc::kFrameHeaderSize;
  const std::vector<Frame> largest = {{FrameKind::kDataRequest, 9, Body(fits, 9)}};
  EXPECT_EQ(feeder.Feed(Wire(largest), 64 * 1024), Result::kNeedMore);
  EXPECT_EQ(feeder.frames, largest);
  EXPECT_EQ(feeder.peakCharge, budget.shareBytes());
}

TEST(RpcFrameReaderTest, ChargesTheBudgetAsBytesArriveAndGivesItBack) {
  RpcBufferBudget budget(64u << 20, kMaxFrame);
  RpcFrameReader reader(budget, kMaxFrame);
  Feeder feeder{reader, {}, 0};
  const std::size_t bodySize = 3u << 20;  // above kLargeBuffer
  const std::vector<std::uint8_t> wire = Wire({{FrameKind::kDataRequest, 1, Body(bodySize, 1)}});

  // A header alone costs nothing, whatever it announces.
  EXPECT_EQ(feeder.Feed({wire.begin(), wire.begin() + rpc::kFrameHeaderSize}, 1 << 20),
            Result::kNeedMore);
  EXPECT_EQ(reader.needed(), wire.size());
  EXPECT_EQ(budget.used(), 0u);

  // The charge grows with the bytes, never beyond the frame, and is what the buffer holds
  // beyond one read chunk.
  const std::size_t half = wire.size() / 2;
  EXPECT_EQ(feeder.Feed({wire.begin() + rpc::kFrameHeaderSize, wire.begin() + half}, 64 * 1024),
            Result::kNeedMore);
  EXPECT_GT(budget.used(), 0u);
  EXPECT_LT(budget.used(), wire.size());
  EXPECT_EQ(budget.used(), reader.bufferSize() - RpcFrameReader::kReadChunk);
  EXPECT_EQ(feeder.Feed({wire.begin() + half, wire.end()}, 64 * 1024), Result::kNeedMore);
  ASSERT_EQ(feeder.frames.size(), 1u);
  EXPECT_EQ(budget.used(), wire.size() - RpcFrameReader::kReadChunk);

  // Once the large frame is taken, the next read gives the buffer and its charge back.
  ASSERT_EQ(reader.MakeRoom(), Room::kOk);
  EXPECT_EQ(budget.used(), 0u);
  EXPECT_EQ(reader.bufferSize(), RpcFrameReader::kReadChunk);

  // A smaller large frame keeps its buffer for the next one, until Release.
  EXPECT_EQ(feeder.Feed(Wire({{FrameKind::kDataRequest, 2, Body(100 * 1024, 2)}}), 1 << 20),
            Result::kNeedMore);
  EXPECT_EQ(feeder.frames.size(), 2u);
  ASSERT_EQ(reader.MakeRoom(), Room::kOk);
  EXPECT_GT(budget.used(), 0u);
  reader.Release();
  EXPECT_EQ(budget.used(), 0u);
}

TEST(RpcFrameReaderTest, AStepBeyondWhatIsLeftOfTheBudgetFails) {
  // Share 1 MiB of 4 MiB: four readers holding a frame of 1 MiB but one byte take nearly all
  // of it, and the fifth finds too little left on its way.
  RpcBufferBudget budget(4u << 20, kMaxFrame);
  const std::size_t bodySize = (1u << 20) - rpc::kFrameHeaderSize;
  const std::vector<std::uint8_t> wire = Wire({{FrameKind::kDataRequest, 1, Body(bodySize, 1)}});
  const std::vector<std::uint8_t> partial(wire.begin(), wire.end() - 1);
  std::vector<std::unique_ptr<RpcFrameReader>> readers;
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    readers.push_back(std::make_unique<RpcFrameReader>(budget, kMaxFrame));
    Feeder feeder{*readers.back(), {}, 0};
    Room room = Room::kOk;
    feeder.Feed(partial, 64 * 1024, kAnyRequest, &room);
    EXPECT_EQ(room, i < 4 ? Room::kOk : Room::kOverBudget);
    EXPECT_LE(budget.used(), budget.budgetBytes());
    std::uint64_t charged = 0;
    for (const auto& reader : readers) charged += reader->charged();
    EXPECT_EQ(budget.used(), charged) << "a failed step keeps nothing it could not reserve";
  }
  readers.clear();
  EXPECT_EQ(budget.used(), 0u);
}

}  // namespace
}  // namespace qx
