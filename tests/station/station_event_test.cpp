// The 22 bytes of a station event record.
#include "station/station_event.h"

#include <gtest/gtest.h>

#include <bit>
#include <vector>

namespace drvvzt {
namespace {

TEST(StationEvent, ByteLayout) {
  TStationEvent e;
  e.ObjectNumber = -2;
  e.Code = {3, {'7', '0', '0', 'B'}};
  e.Zone = 0xA3C0;
  e.Digit3 = 15;
  e.Digit5 = 9;
  e.Time = 46000.5;
  const StationEventBytes b = EncodeStationEvent(e);
  const std::uint64_t t = std::bit_cast<std::uint64_t>(46000.5);
  std::vector<std::uint8_t> expected = {0x0F, 0xFE, 0xFF, 0xFF, 0xFF, 3, '7', '0', '0', 'B',
                                        0xC0, 0xA3, 15,   9};
  for (int i = 0; i < 8; ++i) expected.push_back(static_cast<std::uint8_t>(t >> (8 * i)));
  EXPECT_EQ(std::vector<std::uint8_t>(b.begin(), b.end()), expected);
  EXPECT_EQ(DecodeStationEvent(b), e);
  EXPECT_FALSE(DecodeStationEvent(std::span(b).first(21)));
}

}  // namespace
}  // namespace drvvzt
