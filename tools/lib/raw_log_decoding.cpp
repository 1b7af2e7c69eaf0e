#include "tools/lib/raw_log_decoding.h"

#include <cstdio>
#include <sstream>

#include "platform/ini_values.h"
#include "tools/lib/event_text.h"

namespace drvvzt {

DecoderSettings DecoderSettingsForDirectory(const std::string& dir) {
  DecoderSettings settings;
  const std::string ini = IniPathIn(dir);
  settings.FirstNumber = ReadIniInteger(ini, "main", "FirstNumber", 4);
  settings.Razdel = ReadIniBoolean(ini, "main", "Razdel", false);
  settings.Ini = std::make_shared<IniSnapshot>(ini);
  return settings;
}

std::vector<RawLogItem> DecodeRawLog(const std::string& content, const DecoderSettings& settings) {
  std::vector<RawLogItem> items;
  for (std::size_t offset = 0; offset < content.size(); offset += kPacketSize) {
    RawLogItem item;
    item.offset = offset;
    item.bytes = content.substr(offset, kPacketSize);
    item.fragment = item.bytes.size() < kPacketSize;
    if (!item.fragment) {
      item.acknowledged = item.bytes[kAckFlagOffset] != '0';
      if (item.acknowledged) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(item.bytes.data());
        // The log keeps no time; the record's time is left at zero.
        item.event = DecodePacket(std::span<const std::uint8_t, kPacketSize>(data, kPacketSize),
                                  settings, 0.0);
      }
    }
    items.push_back(std::move(item));
  }
  return items;
}

std::string PrintableBytes(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      text += static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    }
  }
  return text;
}

std::string DescribeRawLogItem(const RawLogItem& item) {
  std::ostringstream out;
  out << "@" << item.offset << " ";
  if (item.fragment) {
    out << "fragment of " << item.bytes.size() << " bytes: \"" << PrintableBytes(item.bytes) << "\"";
    return out.str();
  }
  out << "\"" << PrintableBytes(item.bytes) << "\" ";
  if (!item.event) return out.str() + "not acknowledged, not decoded ('0' at offset 2)";
  const TStationEvent& e = *item.event;
  out << "object=" << e.ObjectNumber << " code=\"" << EventCodeText(e.Code) << "\" zone=" << e.Zone
      << " digit3=" << static_cast<int>(e.Digit3) << " digit5=" << static_cast<int>(e.Digit5);
  return out.str();
}

}  // namespace drvvzt
