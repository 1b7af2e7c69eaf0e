#include "platform/datetime.h"

#include <langinfo.h>
#include <locale.h>

#include <chrono>
#include <cmath>
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

namespace {

// A locale_t holding only the LC_TIME category; freed with the process.
class TimeLocale {
public:
  explicit TimeLocale(const std::string& name)
      : locale_(newlocale(LC_TIME_MASK, name.c_str(), static_cast<locale_t>(nullptr))) {}
  ~TimeLocale() {
    if (locale_ != static_cast<locale_t>(nullptr)) freelocale(locale_);
  }
  TimeLocale(const TimeLocale&) = delete;
  TimeLocale& operator=(const TimeLocale&) = delete;

  bool ok() const { return locale_ != static_cast<locale_t>(nullptr); }
  locale_t get() const { return locale_; }

private:
  locale_t locale_;
};

// The process's own LC_TIME, taken from the environment once. An environment
// naming a locale the system lacks falls back to "C", as setlocale would.
locale_t ProcessTimeLocale() {
  static const TimeLocale from_environment("");
  static const TimeLocale fallback("C");
  return from_environment.ok() ? from_environment.get() : fallback.get();
}

// The calendar fields as strftime wants them, weekday and day of the year
// included (some locales' short date names the weekday).
std::tm CalendarTm(const DateTimeFields& f) {
  std::tm tm{};
  tm.tm_year = f.year - 1900;
  tm.tm_mon = f.month - 1;
  tm.tm_mday = f.day;
  tm.tm_hour = f.hour;
  tm.tm_min = f.minute;
  tm.tm_sec = f.second;
  const std::int64_t days = DaysFromCivil(f.year, static_cast<unsigned>(f.month), static_cast<unsigned>(f.day));
  tm.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  tm.tm_yday = static_cast<int>(days - DaysFromCivil(f.year, 1, 1));
  tm.tm_isdst = -1;
  return tm;
}

std::string FormatTm(const std::tm& tm, nl_item item, locale_t locale) {
  const char* format = nl_langinfo_l(item, locale);
  char text[128];
  const std::size_t length = strftime_l(text, sizeof text, format, &tm, locale);
  return std::string(text, length);
}

std::string FormatInLocale(double value, locale_t locale) {
  const auto f = SplitDateTime(value);
  if (!f) return {};
  const std::tm tm = CalendarTm(*f);
  std::string text = FormatTm(tm, D_FMT, locale);
  if (f->hour != 0 || f->minute != 0 || f->second != 0) text += " " + FormatTm(tm, T_FMT, locale);
  return text;
}

}  // namespace

std::string FormatDateTime(double value) { return FormatInLocale(value, ProcessTimeLocale()); }

std::optional<std::string> FormatDateTimeIn(double value, const std::string& locale_name) {
  const TimeLocale locale(locale_name);
  if (!locale.ok()) return std::nullopt;
  return FormatInLocale(value, locale.get());
}

}  // namespace drvvzt
