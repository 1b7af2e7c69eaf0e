#include "platform/datetime.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace drvvzt {
namespace {

// Days from 0001-01-01 style civil date arithmetic (Howard Hinnant's algorithm),
// relative to 1970-01-01.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

// 1899-12-30 relative to 1970-01-01.
const std::int64_t kEpochDays = DaysFromCivil(1899, 12, 30);

}  // namespace

double DateTimeNow() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return DateTimeFromUnixMs(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

double DateTimeFromUnixMs(std::int64_t unix_ms) {
  std::int64_t seconds = unix_ms / 1000;
  std::int64_t ms = unix_ms % 1000;
  if (ms < 0) {
    ms += 1000;
    seconds -= 1;
  }
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return 0.0;
  DateTimeFields f;
  f.year = local.tm_year + 1900;
  f.month = local.tm_mon + 1;
  f.day = local.tm_mday;
  f.hour = local.tm_hour;
  f.minute = local.tm_min;
  f.second = local.tm_sec > 59 ? 59 : local.tm_sec;  // a leap second reads as :59
  f.millisecond = static_cast<int>(ms);
  return EncodeDateTime(f);
}

double EncodeDateTime(const DateTimeFields& f) {
  const std::int64_t days = DaysFromCivil(f.year, static_cast<unsigned>(f.month),
                                          static_cast<unsigned>(f.day)) - kEpochDays;
  const double day_ms = ((f.hour * 60.0 + f.minute) * 60.0 + f.second) * 1000.0 + f.millisecond;
  return static_cast<double>(days) + day_ms / kMsPerDay;
}

double DurationDays(int hours, int minutes, int seconds, int milliseconds) {
  return (((hours * 60.0 + minutes) * 60.0 + seconds) * 1000.0 + milliseconds) / kMsPerDay;
}

std::optional<DateTimeFields> SplitDateTime(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  // Years 1..9999, the range a date-time value is defined for.
  constexpr double kMin = -693593.0;
  constexpr double kMax = 2958466.0;
  if (value < kMin || value >= kMax) return std::nullopt;
  // Whole milliseconds since the epoch; a value before the epoch still counts
  // its fraction forward from the start of its day, as the format defines.
  double whole_days = std::trunc(value);
  double fraction = std::fabs(value - whole_days);
  std::int64_t day_ms = std::llround(fraction * kMsPerDay);
  if (day_ms >= static_cast<std::int64_t>(kMsPerDay)) {
    day_ms -= static_cast<std::int64_t>(kMsPerDay);
    whole_days += value < 0 ? -1.0 : 1.0;
  }
  DateTimeFields f;
  CivilFromDays(static_cast<std::int64_t>(whole_days) + kEpochDays, f.year, f.month, f.day);
  f.millisecond = static_cast<int>(day_ms % 1000);
  std::int64_t s = day_ms / 1000;
  f.second = static_cast<int>(s % 60);
  s /= 60;
  f.minute = static_cast<int>(s % 60);
  f.hour = static_cast<int>(s / 60);
  return f;
}

std::string FormatDateTime(double value) {
  const auto f = SplitDateTime(value);
  if (!f) return {};
  char text[32];
  if (f->hour == 0 && f->minute == 0 && f->second == 0) {
    std::snprintf(text, sizeof text, "%02d.%02d.%04d", f->day, f->month, f->year);
  } else {
    std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d", f->day, f->month, f->year,
                  f->hour, f->minute, f->second);
  }
  return text;
}

}  // namespace drvvzt
