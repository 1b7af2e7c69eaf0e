// Decoding of one 38-byte station packet (layout in station_packet.h) into a
// station event record.
//
// Malformed text never fails: a field that does not convert reads as 0.
// DecodePacket looks up [Razdels] in the settings' configuration snapshot for
// every packet (no file read per packet: see ini_snapshot.h) and is otherwise
// pure; it is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/ini_snapshot.h"
#include "station/station_event.h"
#include "station/station_packet.h"

namespace drvvzt {

struct DecoderSettings {
  std::int32_t FirstNumber = 4;  // FirstNumber x 10000 is added to every object number
  bool Razdel = false;           // add the hexadecimal section digits to the object number
  // "drvvzt.ini" for the [Razdels] replacements; none: no replacement.
  std::shared_ptr<IniSnapshot> Ini;
};

// The configuration file in dir (the current directory when dir is empty).
std::string IniPathIn(const std::string& dir);

// Unsigned hexadecimal value of the characters; 0 when any is not a hex digit.
std::uint32_t PacketHexValue(std::string_view chars);
// Optional leading blanks and one sign, then decimal digits to the end; 0 otherwise.
std::int32_t PacketDecimalValue(std::string_view chars);

// What the class table yields for a packet.
struct ClassResult {
  TEventCode Code;
  std::uint16_t Zone = 0;
  std::int32_t SectionNumber = 0;
};

// Applies the class table to the packet's class digits. section_number is the
// decimal value of the section digits, kept unless the row replaces it.
ClassResult ClassifyPacket(std::span<const std::uint8_t, kPacketSize> packet,
                           std::int32_t section_number);

// Decodes a packet; now is the date-time value stored as the record's Time.
TStationEvent DecodePacket(std::span<const std::uint8_t, kPacketSize> packet,
                           const DecoderSettings& settings, double now);

}  // namespace drvvzt
