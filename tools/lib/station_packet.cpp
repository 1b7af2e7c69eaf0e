// Station packet builder.
#include "tools/lib/station_packet.h"

#include <string_view>

namespace drvvzt::tools {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void Put(StationPacket& packet, std::size_t offset, std::string_view text, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i)
    packet[offset + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : kFiller);
}

}  // namespace

StationPacket BuildStationPacket(const StationPacketFields& f) {
  StationPacket packet;
  packet.fill(static_cast<std::uint8_t>(kFiller));
  packet[kAckFlagOffset] = f.acknowledge ? '1' : '0';
  packet[kDigit3Offset] = static_cast<std::uint8_t>(kHexDigits[f.digit3 & 0x0F]);
  packet[kDigit5Offset] = static_cast<std::uint8_t>('0' + f.digit5 % 10);
  for (std::size_t i = 0; i < 4; ++i)
    packet[kObjectOffset + i] =
        static_cast<std::uint8_t>(kHexDigits[(f.object_number >> (12 - 4 * i)) & 0x0F]);
  Put(packet, kSectionOffset, f.section, 2);
  std::string_view cls = f.class_chars;
  Put(packet, kClassHighOffset, cls.substr(0, 2), 2);
  Put(packet, kClassLowOffset, cls.size() > 2 ? cls.substr(2, 2) : std::string_view(), 2);
  Put(packet, kZoneHighOffset, f.zone_high, 2);
  return packet;
}

std::string StationPacketText(const StationPacketFields& fields) {
  StationPacket packet = BuildStationPacket(fields);
  return std::string(packet.begin(), packet.end());
}

}  // namespace drvvzt::tools
