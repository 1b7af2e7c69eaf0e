// Byte-exact frames of the messages the driver sends, and decoding of what it receives.
#include "server/wire_format.h"

#include <gtest/gtest.h>

#include <string>

namespace drvvzt {
namespace {

Bytes Hex(std::initializer_list<int> values) {
  Bytes bytes;
  for (int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
  return bytes;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(WireFormat, StationEventFrameWithSequence5IsByteExact) {
  Bytes record(22);
  for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<std::uint8_t>(0xA0 + i);

  const Bytes frame = EncodeFrame(BuildMessage(mtStationEvent, 5, record));

  const Bytes expected_head = Hex({0xFF, 0, 0, 0, 0, 0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                   0x28, 0, 0, 0,
                                   0xFF, 0x32, 0, 0, 0x03, 0x16, 0, 0, 0, 0x05, 0, 0, 0, 0, 0,
                                   0, 0, 0xFE});
  ASSERT_EQ(frame.size(), 61u);
  EXPECT_EQ(frame, Concat(expected_head, record));
}

TEST(WireFormat, BareHeaderMessagesAre39BytesOnTheWire) {
  struct Case {
    Bytes message;
    std::uint8_t type_byte0;
    std::uint8_t type_byte3;
    std::uint8_t sequence_byte0;
  };
  const Case cases[] = {
      {PollMessage(), 0x00, 0x02, 0x00},
      {BuildMessage(mtPingReply, 7, {}), 0xFF, 0x02, 0x07},
  };
  for (const Case& c : cases) {
    const Bytes frame = EncodeFrame(c.message);
    ASSERT_EQ(frame.size(), 39u);
    EXPECT_EQ(GetU32(frame, kThFrameLength), 18u);
    EXPECT_EQ(GetU32(frame, kThFrameLengthCopy), 18u);
    const std::span<const std::uint8_t> message = std::span(frame).subspan(kTransportHeaderSize);
    EXPECT_EQ(message[kMhMsgType], c.type_byte0);
    EXPECT_EQ(message[kMhMsgType + 3], c.type_byte3);
    EXPECT_EQ(GetU32(message, kMhBodyLength), 0u);
    EXPECT_EQ(message[kMhSequence], c.sequence_byte0);
    EXPECT_EQ(message[kMhEndMarker], 0xFE);
  }
}

TEST(WireFormat, SequenceSpansBothWordsLowFirst) {
  const Bytes message = BuildMessage(mtRegister, 0x1122334455667788ull, RegisterBody());
  EXPECT_EQ(Bytes(message.begin() + 9, message.begin() + 17),
            Hex({0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(Bytes(message.begin() + 18, message.end()), Hex({0x26, 0x00}));
}

TEST(WireFormat, PortStateBodyCutsTheNameToSixCharacters) {
  struct Case {
    std::string name;
    bool open;
    Bytes expected;
  };
  const Case cases[] = {
      {"COM1", true, Hex({4, 'C', 'O', 'M', '1', 0, 0, 1})},
      {"", false, Hex({0, 0, 0, 0, 0, 0, 0, 0})},
      {"ttyS10", false, Hex({6, 't', 't', 'y', 'S', '1', '0', 0})},
      {"ttyUSB0", true, Hex({6, 't', 't', 'y', 'U', 'S', 'B', 1})},
  };
  for (const Case& c : cases) {
    const auto body = PortStateBody(c.name, c.open);
    EXPECT_EQ(Bytes(body.begin(), body.end()), c.expected) << c.name;
  }
}

TEST(WireFormat, FirstNumberAndVersionBodies) {
  EXPECT_EQ(FirstNumberBody(0x1234)[0], 0x34);
  EXPECT_EQ(FirstNumberBody(-1)[0], 0xFF);
  const auto version = VersionBody({2, 5, 0x0102, 17});
  EXPECT_EQ(Bytes(version.begin(), version.end()), Hex({2, 0, 5, 0, 0x02, 0x01, 17, 0}));
}

TEST(WireFormat, TransportHeaderRoundTripKeepsSignedLength) {
  TTransportHeader header;
  header.Marker = kFrameMarkerAlt;
  header.FrameLength = -2;
  header.FrameLengthCopy = 99;
  const TTransportHeader back = DecodeTransportHeader(EncodeTransportHeader(header));
  EXPECT_EQ(back.Marker, kFrameMarkerAlt);
  EXPECT_EQ(back.FrameLength, -2);
  EXPECT_EQ(back.FrameLengthCopy, 99);
  EXPECT_TRUE(IsFrameMarker(0xFF));
  EXPECT_TRUE(IsFrameMarker(0xF0));
  EXPECT_FALSE(IsFrameMarker(0xFE));
}

TEST(WireFormat, ValidityLooksOnlyAtMarkersAndLength) {
  Bytes good = BuildMessage(0x12345678, 3, Hex({1, 2}));
  EXPECT_TRUE(IsValidMessage(good));

  Bytes bad_start = good;
  bad_start[0] = 0xF0;
  Bytes bad_end = good;
  bad_end[17] = 0xFF;
  const Bytes short_message(good.begin(), good.begin() + 17);
  EXPECT_FALSE(IsValidMessage(bad_start));
  EXPECT_FALSE(IsValidMessage(bad_end));
  EXPECT_FALSE(IsValidMessage(short_message));
  EXPECT_FALSE(DecodeMessageHeader(short_message).has_value());

  const auto header = DecodeMessageHeader(good);
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(header->MsgType, 0x12345678u);
  EXPECT_EQ(header->BodyLength, 2u);
  EXPECT_EQ(header->Sequence, 3u);
}

TEST(WireFormat, ReceivedBodyIgnoresBodyLengthExceptZero) {
  // BodyLength 0 with extra bytes: no body.
  Bytes zero = Concat(BuildMessage(mtPoll, 0, {}), Hex({1, 2, 3}));
  EXPECT_TRUE(ReceivedBody(zero).empty());

  // BodyLength 1 while 3 bytes follow: all of them are the body.
  Bytes mismatch = BuildMessage(mtPoll, 0, Hex({9}));
  mismatch.push_back(8);
  mismatch.push_back(7);
  EXPECT_EQ(ReceivedBody(mismatch), Hex({9, 8, 7}));

  // BodyLength claims more than arrived: only what arrived.
  Bytes bare = BuildMessage(mtAccepted, 0, {});
  PutU32(bare, kMhBodyLength, 40);
  EXPECT_TRUE(ReceivedBody(bare).empty());
}

}  // namespace
}  // namespace drvvzt
