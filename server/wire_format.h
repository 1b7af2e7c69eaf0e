// The bytes exchanged with the message server: the 21-byte transport header that
// starts every frame, the 18-byte message header that starts every message, the
// message type codes, and the bodies of every message the driver sends.
//
// TTransportHeader, 21 bytes (integers little-endian):
//   off  size  field
//    0    1    Marker           0xFF when sent; 0xFF or 0xF0 accepted
//    1    4    spare            zero when sent, ignored when read
//    5    4    FrameLength      signed: bytes of message that follow
//    9    8    spare            zero when sent, ignored when read
//   17    4    FrameLengthCopy  = FrameLength when sent, never read
//
// TMessageHeader, 18 bytes:
//   off  size  field
//    0    1    Marker           0xFF
//    1    4    MsgType          unsigned
//    5    4    BodyLength       unsigned
//    9    8    Sequence         unsigned 64-bit (low word first)
//   17    1    EndMarker        0xFE
//
// Everything here is pure and thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/bytes.h"  // the little-endian helpers every format here is written with
#include "server/version.h"
#include "station/station_event.h"  // mtStationEvent lives with the record it carries

namespace drvvzt {

using Bytes = std::vector<std::uint8_t>;

// Message type codes.
inline constexpr std::uint32_t mtPoll = 0x02000000;
inline constexpr std::uint32_t mtRegister = 0x02000001;
inline constexpr std::uint32_t mtAccepted = 0x02000003;
inline constexpr std::uint32_t mtPing = 0x02000004;
inline constexpr std::uint32_t mtDenied = 0x02000005;
inline constexpr std::uint32_t mtDisconnect = 0x02FFFFFD;
inline constexpr std::uint32_t mtClose = 0x02FFFFFE;
inline constexpr std::uint32_t mtPingReply = 0x02FFFFFF;
inline constexpr std::uint32_t mtPortState = 0x02200062;
inline constexpr std::uint32_t mtVersion = 0x02200063;
inline constexpr std::uint32_t mtFirstNumber = 0x02200065;
inline constexpr std::uint32_t mtSpoolAck = 0x03000033;

// Name of a message type for logs and the emulator ("mtPoll"); "unknown" otherwise.
std::string_view MessageTypeName(std::uint32_t msg_type);

// --- Transport header ---------------------------------------------------------

inline constexpr std::size_t kTransportHeaderSize = 21;
inline constexpr std::size_t kThMarker = 0;
inline constexpr std::size_t kThFrameLength = 5;
inline constexpr std::size_t kThFrameLengthCopy = 17;
static_assert(kThFrameLengthCopy + 4 == kTransportHeaderSize);

inline constexpr std::uint8_t kFrameMarker = 0xFF;
inline constexpr std::uint8_t kFrameMarkerAlt = 0xF0;

struct TTransportHeader {
  std::uint8_t Marker = kFrameMarker;
  std::int32_t FrameLength = 0;
  std::int32_t FrameLengthCopy = 0;
};

using TransportHeaderBytes = std::array<std::uint8_t, kTransportHeaderSize>;
TransportHeaderBytes EncodeTransportHeader(const TTransportHeader& header);
TTransportHeader DecodeTransportHeader(std::span<const std::uint8_t, kTransportHeaderSize> bytes);
// True for the two markers a received frame may start with.
bool IsFrameMarker(std::uint8_t marker);

// --- Message header -----------------------------------------------------------

inline constexpr std::size_t kMessageHeaderSize = 18;
inline constexpr std::size_t kMhMarker = 0;
inline constexpr std::size_t kMhMsgType = 1;
inline constexpr std::size_t kMhBodyLength = 5;
inline constexpr std::size_t kMhSequence = 9;
inline constexpr std::size_t kMhEndMarker = 17;
static_assert(kMhEndMarker + 1 == kMessageHeaderSize);

inline constexpr std::uint8_t kMessageMarker = 0xFF;
inline constexpr std::uint8_t kMessageEndMarker = 0xFE;

struct TMessageHeader {
  std::uint8_t Marker = kMessageMarker;
  std::uint32_t MsgType = 0;
  std::uint32_t BodyLength = 0;
  std::uint64_t Sequence = 0;
  std::uint8_t EndMarker = kMessageEndMarker;
};

using MessageHeaderBytes = std::array<std::uint8_t, kMessageHeaderSize>;
MessageHeaderBytes EncodeMessageHeader(const TMessageHeader& header);
// The header fields of a received message; nothing when it is shorter than a header.
std::optional<TMessageHeader> DecodeMessageHeader(std::span<const std::uint8_t> message);

// A received message the driver acts on: at least a full header, Marker 0xFF and
// EndMarker 0xFE. Nothing else in the header is examined.
bool IsValidMessage(std::span<const std::uint8_t> message);

// The body of a valid received message: every byte after the header, or nothing
// when its BodyLength is 0 (whatever the frame carried). BodyLength is never
// compared with the byte count.
Bytes ReceivedBody(std::span<const std::uint8_t> message);

// --- Messages and frames --------------------------------------------------------

// Header followed by body, BodyLength set from the body.
Bytes BuildMessage(std::uint32_t msg_type, std::uint64_t sequence,
                   std::span<const std::uint8_t> body);
// The idle poll: a bare header, Sequence 0.
Bytes PollMessage();
// Transport header (spares zero, both lengths = message size) followed by the message.
Bytes EncodeFrame(std::span<const std::uint8_t> message);

// --- Bodies of the messages the driver sends --------------------------------------

inline constexpr std::uint16_t kClientKind = 38;
inline constexpr std::size_t kPortNameMax = 6;
inline constexpr std::size_t kPortStateSize = 8;
inline constexpr std::size_t kPsNameLength = 0;
inline constexpr std::size_t kPsName = 1;
inline constexpr std::size_t kPsOpen = 7;
static_assert(kPsName + kPortNameMax == kPsOpen && kPsOpen + 1 == kPortStateSize);
inline constexpr std::size_t kVersionBodySize = 8;

// mtRegister: ClientKind as 16 bits (26 00).
std::array<std::uint8_t, 2> RegisterBody();
// mtPortState: count byte, the first (at most 6) characters of the name, zero
// padding, then 1 when the port is open.
std::array<std::uint8_t, kPortStateSize> PortStateBody(std::string_view port_name, bool open);
// mtFirstNumber: the low 8 bits of the setting.
std::array<std::uint8_t, 1> FirstNumberBody(std::int32_t first_number);
// mtVersion: major, minor, release, build as 16-bit numbers.
std::array<std::uint8_t, kVersionBodySize> VersionBody(const VersionNumbers& version);

}  // namespace drvvzt
