// The station packet builder that the simulator, tests and benchmarks share:
// every field lands at its offset.
#include "tools/lib/station_packet.h"

#include <gtest/gtest.h>

namespace drvvzt::tools {
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
    ASSERT_EQ(text.size(), kStationPacketSize);
    EXPECT_EQ(text, c.expected);
  }
}

}  // namespace
}  // namespace drvvzt::tools
