// The date-time value used throughout the driver: a double counting days since
// 1899-12-30 00:00 local time, the fraction being the elapsed part of the day.
// Durations (the watchdog interval, the spool re-send spacing) use the same unit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace drvvzt {

inline constexpr double kMsPerDay = 86400000.0;

struct DateTimeFields {
  int year = 1899;
  int month = 12;   // 1..12
  int day = 30;     // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// Local wall-clock time now, to the millisecond.
double DateTimeNow();

// Converts milliseconds since the Unix epoch to a local date-time value, using
// the C library's local-time rules (so daylight-saving changes are honoured).
double DateTimeFromUnixMs(std::int64_t unix_ms);

// Calendar fields of a date-time value, rounded to the millisecond; nothing for
// values that are not a valid date-time (NaN, infinite, outside years 1..9999).
std::optional<DateTimeFields> SplitDateTime(double value);

// The date-time value of calendar fields (no range checking beyond arithmetic).
double EncodeDateTime(const DateTimeFields& fields);

// A duration in days from hours, minutes, seconds and milliseconds.
double DurationDays(int hours, int minutes, int seconds, int milliseconds = 0);

// The date and time as the system writes them: the short date and the long
// time of the process's LC_TIME locale (LC_ALL, LC_TIME, LANG), read from the
// environment at the first call and kept for the life of the process. The blank
// and the time are left out when the time, to the second, is 00:00:00. Empty
// for an invalid value. Thread-safe: the window and the server link thread
// both date their log lines through it.
std::string FormatDateTime(double value);

// FormatDateTime in the named locale ("C.UTF-8", "ru_RU.UTF-8"; "" is the
// environment's). Nothing when the system does not have that locale.
std::optional<std::string> FormatDateTimeIn(double value, const std::string& locale_name);

}  // namespace drvvzt
