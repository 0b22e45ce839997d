#include "rpc/rpc_frame.h"

#include <gtest/gtest.h>

namespace qx::rpc {
namespace {

TEST(RpcFrameTest, HeaderSurvivesEncodingWithEveryField) {
  const FrameHeader in{FrameKind::kStringAnswer, kFlagAnswerPresent | kFlagHandlerTrue, 777,
                       static_cast<std::int32_t>(0x80004001u), 12345};
  std::uint8_t raw[kFrameHeaderSize];
  EncodeHeader(in, raw);
  FrameHeader out;
  ASSERT_EQ(DecodeHeader(raw, 1u << 20, &out), FrameCheck::kOk);
  EXPECT_EQ(out.kind, in.kind);
  EXPECT_EQ(out.flags, in.flags);
  EXPECT_EQ(out.dataId, 777u);
  EXPECT_EQ(out.result, in.result);
  EXPECT_EQ(out.length, 12345u);
  // Little-endian on the wire whatever the machine.
  EXPECT_EQ(raw[0], 'Q');
  EXPECT_EQ(raw[8], 777 & 0xFF);
  EXPECT_EQ(raw[9], 777 >> 8);
}

TEST(RpcFrameTest, DecodeRefusesDamagedHeaders) {
  struct Case {
    const char* name;
    std::size_t offset;
    std::uint8_t value;
    std::uint32_t maxBody;
    FrameCheck expected;
  };
  const Case cases[] = {
      {"magic", 0, 'X', 4096, FrameCheck::kBadMagic},
      {"version", 4, 2, 4096, FrameCheck::kBadVersion},
      {"kind zero", 5, 0, 4096, FrameCheck::kBadKind},
      {"kind past the last", 5, 9, 4096, FrameCheck::kBadKind},
      {"length one above the maximum", 16, 0x01, 0x1000, FrameCheck::kTooLong},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint8_t raw[kFrameHeaderSize];
    EncodeHeader({FrameKind::kDataRequest, 0, 779, 0, 0x1000}, raw);
    raw[c.offset] = c.value;
    FrameHeader out;
    out.dataId = 42;
    EXPECT_EQ(DecodeHeader(raw, c.maxBody, &out), c.expected);
    EXPECT_EQ(out.dataId, 42u) << "a refused header leaves the output alone";
  }
  std::uint8_t raw[kFrameHeaderSize];
  EncodeHeader({FrameKind::kHello, 0, 0, 0, kMaxHelloBytes + 1}, raw);
  FrameHeader out;
  EXPECT_EQ(DecodeHeader(raw, 1u << 20, &out), FrameCheck::kTooLong);
}

TEST(RpcFrameTest, HelloBodyRoundTripAndMalformedBodies) {
  const std::vector<std::uint8_t> frame = BuildHello("D41CAB86", "/usr/bin/qxagent");
  FrameHeader header;
  ASSERT_EQ(DecodeHeader(frame.data(), 1024, &header), FrameCheck::kOk);
  ASSERT_EQ(header.kind, FrameKind::kHello);
  ASSERT_EQ(header.length, frame.size() - kFrameHeaderSize);
  std::string service, client;
  ASSERT_TRUE(ParseHello(frame.data() + kFrameHeaderSize, header.length, &service, &client));
  EXPECT_EQ(service, "D41CAB86");
  EXPECT_EQ(client, "/usr/bin/qxagent");

  const std::uint8_t tooShort[] = {5};
  const std::uint8_t serviceBeyondBody[] = {10, 0, 'a', 'b'};
  EXPECT_FALSE(ParseHello(tooShort, sizeof tooShort, &service, &client));
  EXPECT_FALSE(ParseHello(serviceBeyondBody, sizeof serviceBeyondBody, &service, &client));
  const std::uint8_t noClientName[] = {1, 0, 'S'};
  ASSERT_TRUE(ParseHello(noClientName, sizeof noClientName, &service, &client));
  EXPECT_EQ(service, "S");
  EXPECT_EQ(client, "");
}

}  // namespace
}  // namespace qx::rpc
