// The station event record: one decoded station packet, 22 bytes on the wire and
// in spool files, little-endian and byte-packed.
//
//   offset  width  field
//   0       1      Kind           always 15
//   1       4      ObjectNumber   signed 32-bit
//   5       1      Code length    4, or 3 for the code "700"
//   6       4      Code chars     ASCII; bytes past the length are kept as decoded
//   10      2      Zone           unsigned 16-bit
//   12      1      Digit3         0..15
//   13      1      Digit5         0..9
//   14      8      Time           IEEE 754 double, date-time value (local time)
//
// Plain values and pure functions: thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace drvvzt {

inline constexpr std::size_t kStationEventSize = 22;
// Message type of a station event, also the first four bytes of a spool file.
inline constexpr std::uint32_t mtStationEvent = 0x03000032;

inline constexpr std::uint8_t kStationEventKind = 15;

// A length-prefixed string of capacity 4.
struct TEventCode {
  std::uint8_t Length = 0;
  std::array<char, 4> Chars{};
  bool operator==(const TEventCode&) const = default;
};

struct TStationEvent {
  std::uint8_t Kind = kStationEventKind;
  std::int32_t ObjectNumber = 0;
  TEventCode Code;
  std::uint16_t Zone = 0;
  std::uint8_t Digit3 = 0;
  std::uint8_t Digit5 = 0;
  double Time = 0.0;
  bool operator==(const TStationEvent&) const = default;
};

using StationEventBytes = std::array<std::uint8_t, kStationEventSize>;

StationEventBytes EncodeStationEvent(const TStationEvent& event);
// Nothing when bytes is not exactly kStationEventSize long.
std::optional<TStationEvent> DecodeStationEvent(std::span<const std::uint8_t> bytes);

}  // namespace drvvzt
