// The station's 38-byte packet: where its fields sit, the acknowledgement it
// asks for, and a builder of packets from their fields (for the simulator,
// tests and benchmarks).
//
// Layout (0-based offsets, ASCII text; bytes the driver does not read are '0'
// in built packets):
//   2      acknowledgement flag ('0': neither acknowledged nor decoded)
//   3      digit3, one hexadecimal digit
//   5      digit5, one decimal digit
//   8-11   object number, four hexadecimal digits
//   14-15  section characters: decimal for the section number, hexadecimal
//          for the Razdel addend
//   17-18  class characters 1-2 (high digits of the class value)
//   19-20  zone high characters, for classes without a row of their own
//   21-22  class characters 3-4 (low digits of the class value and the zone)
//
// Plain values and pure functions: thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace drvvzt {

inline constexpr std::size_t kPacketSize = 38;
inline constexpr std::size_t kAckFlagOffset = 2;
inline constexpr std::size_t kDigit3Offset = 3;
inline constexpr std::size_t kDigit5Offset = 5;
inline constexpr std::size_t kObjectOffset = 8;
inline constexpr std::size_t kObjectWidth = 4;
inline constexpr std::size_t kSectionOffset = 14;
inline constexpr std::size_t kSectionWidth = 2;
inline constexpr std::size_t kClassHighOffset = 17;
inline constexpr std::size_t kZoneHighOffset = 19;
inline constexpr std::size_t kClassLowOffset = 21;
inline constexpr std::size_t kClassPartWidth = 2;
static_assert(kClassLowOffset + kClassPartWidth <= kPacketSize);

// What the driver answers on the line for every packet whose flag is not '0'.
inline constexpr std::string_view kAcknowledgement = "OK\r\n";
static_assert(kAcknowledgement.size() == 4);

using StationPacket = std::array<std::uint8_t, kPacketSize>;

struct StationPacketFields {
  bool acknowledge = true;          // false puts '0' at the flag offset
  std::uint8_t digit3 = 1;          // 0-15, written as one hex digit
  std::uint8_t digit5 = 1;          // 0-9 (larger values wrap modulo 10)
  std::uint16_t object_number = 1;  // written as four hex digits
  std::string section = "01";       // two characters, as sent
  std::string class_chars = "1301"; // four characters: offsets 17,18,21,22
  std::string zone_high = "00";     // two characters at 19-20
};

// The packet for the fields. Strings shorter than their width are padded with
// '0', longer ones are cut.
StationPacket BuildStationPacket(const StationPacketFields& fields);
std::string StationPacketText(const StationPacketFields& fields);

}  // namespace drvvzt
