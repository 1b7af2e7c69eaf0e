// Encoding and decoding of the transport header, the message header and the
// bodies of the messages the driver sends.
#include "server/wire_format.h"

#include <algorithm>

namespace drvvzt {

std::string_view MessageTypeName(std::uint32_t msg_type) {
  switch (msg_type) {
    case mtPoll: return "mtPoll";
    case mtRegister: return "mtRegister";
    case mtAccepted: return "mtAccepted";
    case mtPing: return "mtPing";
    case mtDenied: return "mtDenied";
    case mtDisconnect: return "mtDisconnect";
    case mtClose: return "mtClose";
    case mtPingReply: return "mtPingReply";
    case mtPortState: return "mtPortState";
    case mtVersion: return "mtVersion";
    case mtFirstNumber: return "mtFirstNumber";
    case mtStationEvent: return "mtStationEvent";
    case mtSpoolAck: return "mtSpoolAck";
    default: return "unknown";
  }
}

TransportHeaderBytes EncodeTransportHeader(const TTransportHeader& header) {
  TransportHeaderBytes bytes{};
  bytes[kThMarker] = header.Marker;
  PutU32(bytes, kThFrameLength, static_cast<std::uint32_t>(header.FrameLength));
  PutU32(bytes, kThFrameLengthCopy, static_cast<std::uint32_t>(header.FrameLengthCopy));
  return bytes;
}

TTransportHeader DecodeTransportHeader(std::span<const std::uint8_t, kTransportHeaderSize> bytes) {
  TTransportHeader header;
  header.Marker = bytes[kThMarker];
  header.FrameLength = static_cast<std::int32_t>(GetU32(bytes, kThFrameLength));
  header.FrameLengthCopy = static_cast<std::int32_t>(GetU32(bytes, kThFrameLengthCopy));
  return header;
}

bool IsFrameMarker(std::uint8_t marker) {
  return marker == kFrameMarker || marker == kFrameMarkerAlt;
}

MessageHeaderBytes EncodeMessageHeader(const TMessageHeader& header) {
  MessageHeaderBytes bytes{};
  bytes[kMhMarker] = header.Marker;
  PutU32(bytes, kMhMsgType, header.MsgType);
  PutU32(bytes, kMhBodyLength, header.BodyLength);
  PutU64(bytes, kMhSequence, header.Sequence);
  bytes[kMhEndMarker] = header.EndMarker;
  return bytes;
}

std::optional<TMessageHeader> DecodeMessageHeader(std::span<const std::uint8_t> message) {
  if (message.size() < kMessageHeaderSize) return std::nullopt;
  TMessageHeader header;
  header.Marker = message[kMhMarker];
  header.MsgType = GetU32(message, kMhMsgType);
  header.BodyLength = GetU32(message, kMhBodyLength);
  header.Sequence = GetU64(message, kMhSequence);
  header.EndMarker = message[kMhEndMarker];
  return header;
}

bool IsValidMessage(std::span<const std::uint8_t> message) {
  return message.size() >= kMessageHeaderSize && message[kMhMarker] == kMessageMarker &&
         message[kMhEndMarker] == kMessageEndMarker;
}

Bytes ReceivedBody(std::span<const std::uint8_t> message) {
  if (message.size() <= kMessageHeaderSize || GetU32(message, kMhBodyLength) == 0) return {};
  return Bytes(message.begin() + kMessageHeaderSize, message.end());
}

Bytes BuildMessage(std::uint32_t msg_type, std::uint64_t sequence,
                   std::span<const std::uint8_t> body) {
  TMessageHeader header;
  header.MsgType = msg_type;
  header.BodyLength = static_cast<std::uint32_t>(body.size());
  header.Sequence = sequence;
  const MessageHeaderBytes head = EncodeMessageHeader(header);
  Bytes message;
  message.reserve(kMessageHeaderSize + body.size());
  message.insert(message.end(), head.begin(), head.end());
  message.insert(message.end(), body.begin(), body.end());
  return message;
}

Bytes PollMessage() { return BuildMessage(mtPoll, 0, {}); }

Bytes EncodeFrame(std::span<const std::uint8_t> message) {
  TTransportHeader header;
  header.FrameLength = static_cast<std::int32_t>(message.size());
  header.FrameLengthCopy = header.FrameLength;
  const TransportHeaderBytes head = EncodeTransportHeader(header);
  Bytes frame;
  frame.reserve(kTransportHeaderSize + message.size());
  frame.insert(frame.end(), head.begin(), head.end());
  frame.insert(frame.end(), message.begin(), message.end());
  return frame;
}

std::array<std::uint8_t, 2> RegisterBody() {
  std::array<std::uint8_t, 2> body{};
  PutU16(body, 0, kClientKind);
  return body;
}

std::array<std::uint8_t, kPortStateSize> PortStateBody(std::string_view port_name, bool open) {
  std::array<std::uint8_t, kPortStateSize> body{};
  const std::size_t count = std::min(port_name.size(), kPortNameMax);
  body[kPsNameLength] = static_cast<std::uint8_t>(count);
  for (std::size_t i = 0; i < count; ++i) body[kPsName + i] = static_cast<std::uint8_t>(port_name[i]);
  body[kPsOpen] = open ? 1 : 0;
  return body;
}

std::array<std::uint8_t, 1> FirstNumberBody(std::int32_t first_number) {
  return {static_cast<std::uint8_t>(static_cast<std::uint32_t>(first_number) & 0xFFu)};
}

std::array<std::uint8_t, kVersionBodySize> VersionBody(const VersionNumbers& version) {
  std::array<std::uint8_t, kVersionBodySize> body{};
  PutU16(body, 0, version.major);
  PutU16(body, 2, version.minor);
  PutU16(body, 4, version.release);
  PutU16(body, 6, version.build);
  return body;
}

}  // namespace drvvzt
