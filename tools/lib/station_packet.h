// Builds 38-byte station packets from their fields, for the station
// simulator, tests and benchmarks.
//
// Layout (0-based offsets, ASCII text; bytes the driver does not read are '0'):
//   2      acknowledgement flag ('0': neither acknowledged nor decoded)
//   3      digit3, one hexadecimal digit
//   5      digit5, one decimal digit
//   8-11   object number, four hexadecimal digits
//   14-15  section characters
//   17-18  class characters 1-2 (high digits of the class value)
//   19-20  zone high characters
//   21-22  class characters 3-4 (low digits of class value and zone)
// All functions are thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace drvvzt::tools {

inline constexpr std::size_t kStationPacketSize = 38;
inline constexpr std::size_t kAckFlagOffset = 2;
inline constexpr std::size_t kDigit3Offset = 3;
inline constexpr std::size_t kDigit5Offset = 5;
inline constexpr std::size_t kObjectOffset = 8;
inline constexpr std::size_t kSectionOffset = 14;
inline constexpr std::size_t kClassHighOffset = 17;
inline constexpr std::size_t kZoneHighOffset = 19;
inline constexpr std::size_t kClassLowOffset = 21;
inline constexpr char kFiller = '0';

using StationPacket = std::array<std::uint8_t, kStationPacketSize>;

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

// The acknowledgement the driver sends for every acknowledged packet.
inline constexpr char kAcknowledgement[] = "OK\r\n";
inline constexpr std::size_t kAcknowledgementSize = 4;

}  // namespace drvvzt::tools
