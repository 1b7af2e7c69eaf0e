// The station packet builder that the simulator, tests and benchmarks share:
// every field lands at its offset, and the decoder reads it back from there.
#include "station/station_packet.h"

#include <gtest/gtest.h>

#include "station/packet_decoder.h"

namespace drvvzt {
namespace {

TEST(StationPacket, FieldsLandAtTheirOffsets) {
  StationPacketFields full;
  full.digit3 = 0xB;
  full.digit5 = 7;
  full.object_number = 0x00A1;
  full.section = "12";
  full.class_chars = "1302";
  full.zone_high = "05";
  StationPacketFields unacknowledged = full;
  unacknowledged.acknowledge = false;
  StationPacketFields short_texts = full;
  short_texts.section = "1";
  short_texts.class_chars = "13";
  short_texts.zone_high = "0512";

  struct Case {
    const char* name;
    StationPacketFields fields;
    std::string expected;
  };
  const Case cases[] = {
      {"all fields", full, "001B070000A100120130502000000000000000"},
      {"no acknowledgement", unacknowledged, "000B070000A100120130502000000000000000"},
      {"short and long texts", short_texts, "001B070000A100100130500000000000000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = StationPacketText(c.fields);
    ASSERT_EQ(text.size(), kPacketSize);
    EXPECT_EQ(text, c.expected);
  }
}

// Built and decoded through the same offsets, every field comes back: a class
// without a row of its own takes its zone from the zone and low class digits.
TEST(StationPacket, DecoderReadsTheBuiltFieldsBack) {
  StationPacketFields fields;
  fields.digit3 = 0xB;
  fields.digit5 = 7;
  fields.object_number = 0x00A1;
  fields.section = "12";
  fields.class_chars = "9901";
  fields.zone_high = "05";
  DecoderSettings settings;
  settings.FirstNumber = 0;
  settings.Razdel = true;
  const TStationEvent event = DecodePacket(BuildStationPacket(fields), settings, 1.5);
  EXPECT_EQ(event.ObjectNumber, 0xA1 + 0x12) << "object digits plus the section's Razdel addend";
  EXPECT_EQ(event.Code, (TEventCode{4, {'9', '9', '0', '1'}}));
  EXPECT_EQ(event.Zone, 0x0501);
  EXPECT_EQ(event.Digit3, 0xB);
  EXPECT_EQ(event.Digit5, 7);
}

}  // namespace
}  // namespace drvvzt
