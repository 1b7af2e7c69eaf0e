// Station packet builder.
#include "station/station_packet.h"

#include "platform/bytes.h"

namespace drvvzt {
namespace {

constexpr char kFiller = '0';

void Put(StationPacket& packet, std::size_t offset, std::string_view text, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i)
    packet[offset + i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : kFiller);
}

}  // namespace

StationPacket BuildStationPacket(const StationPacketFields& f) {
  StationPacket packet;
  packet.fill(static_cast<std::uint8_t>(kFiller));
  packet[kAckFlagOffset] = f.acknowledge ? '1' : '0';
  packet[kDigit3Offset] = static_cast<std::uint8_t>(HexDigitChar(f.digit3));
  packet[kDigit5Offset] = static_cast<std::uint8_t>('0' + f.digit5 % 10);
  for (std::size_t i = 0; i < kObjectWidth; ++i)
    packet[kObjectOffset + i] =
        static_cast<std::uint8_t>(HexDigitChar(f.object_number >> (4 * (kObjectWidth - 1 - i))));
  Put(packet, kSectionOffset, f.section, kSectionWidth);
  const std::string_view cls = f.class_chars;
  Put(packet, kClassHighOffset, cls.substr(0, kClassPartWidth), kClassPartWidth);
  Put(packet, kClassLowOffset,
      cls.size() > kClassPartWidth ? cls.substr(kClassPartWidth, kClassPartWidth) : std::string_view(),
      kClassPartWidth);
  Put(packet, kZoneHighOffset, f.zone_high, kClassPartWidth);
  return packet;
}

std::string StationPacketText(const StationPacketFields& fields) {
  const StationPacket packet = BuildStationPacket(fields);
  return std::string(packet.begin(), packet.end());
}

}  // namespace drvvzt
