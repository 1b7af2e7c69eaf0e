// The class table and the object-number rules of station packets.
#include "station/packet_decoder.h"

#include <cstdint>

#include "platform/bytes.h"

namespace drvvzt {
namespace {

using Packet = std::span<const std::uint8_t, kPacketSize>;

std::string_view Field(Packet packet, std::size_t offset, std::size_t width) {
  return {reinterpret_cast<const char*>(packet.data()) + offset, width};
}

// How a row of the class table forms the zone and the section number.
enum class ZoneRule {
  kZero,       // zone 0, code as received
  kFromFirst,  // zone = class - first value, constant code
  kLowByte,    // zone = class mod 256, section = (class - first) / 256, constant code
};

struct ClassRow {
  std::uint16_t first;
  std::uint16_t last;
  const char* code;  // nullptr: the code as received
  ZoneRule rule;
};

constexpr ClassRow kClassTable[] = {
    {0x0300, 0x031F, nullptr, ZoneRule::kZero},
    {0x0320, 0x032F, "0320", ZoneRule::kFromFirst},
    {0x0330, 0x033F, "0330", ZoneRule::kFromFirst},
    {0x0340, 0x035F, "0340", ZoneRule::kFromFirst},
    {0x0360, 0x037F, "0360", ZoneRule::kFromFirst},
    {0x0380, 0x03FF, "0380", ZoneRule::kFromFirst},
    {0x0400, 0x043F, "0400", ZoneRule::kFromFirst},
    {0x0440, 0x047F, "0440", ZoneRule::kFromFirst},
    {0x0480, 0x04BF, "0480", ZoneRule::kFromFirst},
    {0x04C0, 0x04FF, "04C0", ZoneRule::kFromFirst},
    {0x0500, 0x053F, "0500", ZoneRule::kFromFirst},
    {0x0540, 0x057F, "0540", ZoneRule::kFromFirst},
    {0x0600, 0x06FF, "0600", ZoneRule::kFromFirst},
    {0x0700, 0x46FF, "700", ZoneRule::kLowByte},
    {0x4700, 0x47FF, "4700", ZoneRule::kFromFirst},
    {0x4800, 0x87FF, "4800", ZoneRule::kLowByte},
};

// Writes a constant code over the received one. A three-character code keeps
// the received fourth character behind its length.
void OverwriteCode(TEventCode& code, const char* text) {
  std::uint8_t length = 0;
  while (text[length] != '\0') {
    code.Chars[length] = text[length];
    ++length;
  }
  code.Length = length;
}

}  // namespace

std::string IniPathIn(const std::string& dir) {
  return dir.empty() ? std::string("drvvzt.ini") : dir + "/drvvzt.ini";
}

std::uint32_t PacketHexValue(std::string_view chars) { return ParseHexDigits(chars).value_or(0); }

std::int32_t PacketDecimalValue(std::string_view chars) {
  while (!chars.empty() && chars.front() == ' ') chars.remove_prefix(1);
  bool negative = false;
  if (!chars.empty() && (chars.front() == '+' || chars.front() == '-')) {
    negative = chars.front() == '-';
    chars.remove_prefix(1);
  }
  if (chars.empty()) return 0;
  std::int64_t value = 0;
  for (char c : chars) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
    if (value > INT32_MAX) return 0;
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

ClassResult ClassifyPacket(Packet packet, std::int32_t section_number) {
  ClassResult result;
  result.SectionNumber = section_number;
  const std::string code_chars = std::string(Field(packet, kClassHighOffset, kClassPartWidth)) +
                                 std::string(Field(packet, kClassLowOffset, kClassPartWidth));
  result.Code.Length = 4;
  for (std::size_t i = 0; i < 4; ++i) result.Code.Chars[i] = code_chars[i];
  const std::uint32_t value = PacketHexValue(code_chars);
  for (const ClassRow& row : kClassTable) {
    if (value < row.first || value > row.last) continue;
    if (row.code != nullptr) OverwriteCode(result.Code, row.code);
    switch (row.rule) {
      case ZoneRule::kZero:
        result.Zone = 0;
        break;
      case ZoneRule::kFromFirst:
        result.Zone = static_cast<std::uint16_t>(value - row.first);
        break;
      case ZoneRule::kLowByte:
        result.Zone = static_cast<std::uint16_t>(value & 0xFF);
        result.SectionNumber = static_cast<std::int32_t>((value - row.first) >> 8);
        break;
    }
    return result;
  }
  result.Zone = static_cast<std::uint16_t>(PacketHexValue(Field(packet, kZoneHighOffset, 2 * kClassPartWidth)));
  return result;
}

TStationEvent DecodePacket(Packet packet, const DecoderSettings& settings, double now) {
  TStationEvent event;
  event.Kind = kStationEventKind;
  std::uint32_t object = PacketHexValue(Field(packet, kObjectOffset, kObjectWidth));
  const ClassResult cls =
      ClassifyPacket(packet, PacketDecimalValue(Field(packet, kSectionOffset, kSectionWidth)));
  event.Code = cls.Code;
  event.Zone = cls.Zone;

  if (settings.Ini) {
    const std::string key = std::to_string(object) + "_" + std::to_string(cls.SectionNumber);
    const std::int32_t replacement = settings.Ini->ReadInteger("Razdels", key, -1);
    if (replacement != -1) object = static_cast<std::uint32_t>(replacement);
  }
  // 32-bit arithmetic that wraps, done unsigned so that the wrap is defined.
  object += static_cast<std::uint32_t>(settings.FirstNumber) * 10000u;
  if (settings.Razdel) object += PacketHexValue(Field(packet, kSectionOffset, kSectionWidth));
  event.ObjectNumber = static_cast<std::int32_t>(object);

  event.Digit3 = static_cast<std::uint8_t>(PacketHexValue(Field(packet, kDigit3Offset, 1)));
  event.Digit5 = static_cast<std::uint8_t>(PacketDecimalValue(Field(packet, kDigit5Offset, 1)) & 0xFF);
  event.Time = now;
  return event;
}

}  // namespace drvvzt
