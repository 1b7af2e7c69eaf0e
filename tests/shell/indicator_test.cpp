// Indicator pictures compared pixel by pixel with hand-drawn expectations.
#include "shell/indicator.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace drvvzt {
namespace {

// Rows 5..11 are the only ones the bar changes; '#' is ink, '.' is white.
std::vector<std::string> ExpectedPicture(const std::string& bar_row) {
  const std::string blank(16, '.');
  const std::string full(16, '#');
  const std::string sides = "##............##";
  std::vector<std::string> rows = {blank, blank, blank, full, full};
  for (int y = 5; y < 12; ++y) rows.push_back(bar_row);
  rows.insert(rows.end(), {sides, full, full, blank});
  return rows;
}

struct TickCase {
  int tick;
  const char* bar_row;
};

void PrintTo(const TickCase& c, std::ostream* os) { *os << "tick " << c.tick; }

class IndicatorTest : public ::testing::TestWithParam<TickCase> {};

TEST_P(IndicatorTest, MatchesPixelsInBothColours) {
  const TickCase& c = GetParam();
  const std::vector<std::string> expected = ExpectedPicture(c.bar_row);
  for (bool up : {true, false}) {
    const QImage image = DrawIndicator(up, c.tick);
    ASSERT_EQ(image.size(), QSize(16, 16));
    const QRgb ink = up ? qRgb(0, 128, 0) : qRgb(255, 0, 0);
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) {
        const QRgb want = expected[y][x] == '#' ? ink : qRgb(255, 255, 255);
        EXPECT_EQ(image.pixel(x, y) & 0xFFFFFFu, want & 0xFFFFFFu)
            << "tick " << c.tick << (up ? " green" : " red") << " at " << x << "," << y;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ticks, IndicatorTest,
    ::testing::Values(TickCase{0, "#####.........##"},    // column 0 lies on the frame
                      TickCase{5, "##...#####....##"},
                      TickCase{12, "##..........####"},   // 16 is outside, 14/15 on the frame
                      TickCase{13, "##...........###"},   // 13, 14, 15, 16 and wrapped 1
                      TickCase{14, "###...........##"},   // wrapped 1 and 2
                      TickCase{16, "#####.........##"}),
    [](const ::testing::TestParamInfo<TickCase>& info) {
      return "tick_" + std::to_string(info.param.tick);
    });  // 16 invisible, then 1..4

}  // namespace
}  // namespace drvvzt
