// Byte encoding of the station event record (layout in station_event.h).
#include "station/station_event.h"

#include <bit>
#include <limits>

#include "platform/bytes.h"

namespace drvvzt {
namespace {

constexpr std::size_t kOffKind = 0;
constexpr std::size_t kOffObjectNumber = 1;
constexpr std::size_t kOffCodeLength = 5;
constexpr std::size_t kOffCodeChars = 6;
constexpr std::size_t kOffZone = 10;
constexpr std::size_t kOffDigit3 = 12;
constexpr std::size_t kOffDigit5 = 13;
constexpr std::size_t kOffTime = 14;
constexpr std::size_t kEnd = kOffTime + 8;
static_assert(kEnd == kStationEventSize, "the record is 22 bytes");
static_assert(sizeof(double) == 8 && std::numeric_limits<double>::is_iec559);

}  // namespace

StationEventBytes EncodeStationEvent(const TStationEvent& event) {
  StationEventBytes out{};
  out[kOffKind] = event.Kind;
  PutU32(out, kOffObjectNumber, static_cast<std::uint32_t>(event.ObjectNumber));
  out[kOffCodeLength] = event.Code.Length;
  for (std::size_t i = 0; i < 4; ++i) out[kOffCodeChars + i] = static_cast<std::uint8_t>(event.Code.Chars[i]);
  PutU16(out, kOffZone, event.Zone);
  out[kOffDigit3] = event.Digit3;
  out[kOffDigit5] = event.Digit5;
  PutU64(out, kOffTime, std::bit_cast<std::uint64_t>(event.Time));
  return out;
}

std::optional<TStationEvent> DecodeStationEvent(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kStationEventSize) return std::nullopt;
  TStationEvent event;
  event.Kind = bytes[kOffKind];
  event.ObjectNumber = static_cast<std::int32_t>(GetU32(bytes, kOffObjectNumber));
  event.Code.Length = bytes[kOffCodeLength];
  for (std::size_t i = 0; i < 4; ++i) event.Code.Chars[i] = static_cast<char>(bytes[kOffCodeChars + i]);
  event.Zone = GetU16(bytes, kOffZone);
  event.Digit3 = bytes[kOffDigit3];
  event.Digit5 = bytes[kOffDigit5];
  event.Time = std::bit_cast<double>(GetU64(bytes, kOffTime));
  return event;
}

}  // namespace drvvzt
