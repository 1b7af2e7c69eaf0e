#include "platform/datetime.h"

#include <cstdlib>
#include <ctime>
#include <limits>

#include <gtest/gtest.h>

namespace drvvzt {
namespace {

TEST(DateTime, SplitsAndEncodesCalendarFields) {
  struct Case {
    DateTimeFields fields;
    double value;
  };
  const Case cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
      {{1900, 1, 1, 0, 0, 0, 0}, 2.0},
      {{2000, 1, 1, 12, 0, 0, 0}, 36526.5},
      {{2026, 12, 5, 10, 20, 30, 456}, 46361.0 + (((10 * 60 + 20) * 60 + 30) * 1000 + 456) / 86400000.0},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(EncodeDateTime(c.fields), c.value, 1e-9);
    const auto split = SplitDateTime(c.value);
    ASSERT_TRUE(split);
    EXPECT_EQ(split->year, c.fields.year);
    EXPECT_EQ(split->month, c.fields.month);
    EXPECT_EQ(split->day, c.fields.day);
    EXPECT_EQ(split->hour, c.fields.hour);
    EXPECT_EQ(split->minute, c.fields.minute);
    EXPECT_EQ(split->second, c.fields.second);
    EXPECT_EQ(split->millisecond, c.fields.millisecond);
  }
}

TEST(DateTime, RejectsValuesThatAreNoDate) {
  EXPECT_FALSE(SplitDateTime(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(SplitDateTime(std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(SplitDateTime(1e12));
}

TEST(DateTime, MillisecondJustBelowMidnightStaysOnItsDay) {
  const double v = EncodeDateTime({2026, 3, 31, 23, 59, 59, 999});
  const auto f = SplitDateTime(v);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->day, 31);
  EXPECT_EQ(f->millisecond, 999);
}

TEST(DateTime, LocalConversionFollowsDaylightSaving) {
  // Central Europe leaves summer time on 2026-10-25 at 03:00 local (01:00 UTC).
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const std::int64_t before_ms = 1792890000000LL - 1;  // 2026-10-25 00:59:59.999 UTC
  const auto summer = SplitDateTime(DateTimeFromUnixMs(before_ms));
  const auto winter = SplitDateTime(DateTimeFromUnixMs(before_ms + 1));
  ASSERT_TRUE(summer && winter);
  EXPECT_EQ(summer->hour, 2);
  EXPECT_EQ(summer->minute, 59);
  EXPECT_EQ(winter->hour, 2);
  EXPECT_EQ(winter->minute, 0);
  unsetenv("TZ");
  tzset();
}

struct LocaleCase {
  const char* locale;
  const char* with_time;  // 2026-12-10 09:05:07.300
  const char* midnight;   // 2026-12-10 00:00:00.400: the time is left out
};

void PrintTo(const LocaleCase& c, std::ostream* os) { *os << c.locale; }

class DateTimeFormatTest : public ::testing::TestWithParam<LocaleCase> {};

// The short date and the long time follow the locale, not a fixed pattern.
TEST_P(DateTimeFormatTest, WritesTheLocalesShortDateAndLongTime) {
  const LocaleCase& c = GetParam();
  const auto with_time = FormatDateTimeIn(EncodeDateTime({2026, 12, 10, 9, 5, 7, 300}), c.locale);
  if (!with_time) GTEST_SKIP() << "the locale " << c.locale << " is not installed (scripts/install-deps.sh makes it)";
  EXPECT_EQ(*with_time, c.with_time);
  EXPECT_EQ(FormatDateTimeIn(EncodeDateTime({2026, 12, 10, 0, 0, 0, 400}), c.locale), c.midnight);
  // One second past midnight is a time again.
  EXPECT_NE(FormatDateTimeIn(EncodeDateTime({2026, 12, 10, 0, 0, 1, 0}), c.locale), c.midnight);
}

INSTANTIATE_TEST_SUITE_P(Locales, DateTimeFormatTest,
                         ::testing::Values(LocaleCase{"C.UTF-8", "12/10/26 09:05:07", "12/10/26"},
                                           LocaleCase{"ru_RU.UTF-8", "10.12.2026 09:05:07", "10.12.2026"}),
                         [](const auto& info) { return info.index == 0 ? "C" : "Russian"; });

TEST(DateTime, AnUnknownLocaleOrAnInvalidValueGivesNoText) {
  EXPECT_FALSE(FormatDateTimeIn(0.0, "xx_NOWHERE.UTF-8"));
  EXPECT_EQ(FormatDateTimeIn(std::numeric_limits<double>::quiet_NaN(), "C"), "");
  EXPECT_EQ(FormatDateTime(std::numeric_limits<double>::quiet_NaN()), "");
}

// The process's own format is that of its environment.
TEST(DateTime, TheProcessFormatIsTheEnvironments) {
  const double value = EncodeDateTime({2026, 12, 10, 9, 5, 7, 300});
  EXPECT_EQ(FormatDateTime(value), FormatDateTimeIn(value, ""));
}

}  // namespace
}  // namespace drvvzt
