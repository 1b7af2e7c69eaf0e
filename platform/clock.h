// Clocks the driver reads: the 32-bit millisecond tick counter and the local
// date-time value. Both come in through these interfaces so that timing logic
// can be driven by a fake clock in tests.
#pragma once

#include <cstdint>

namespace drvvzt {

// A 32-bit millisecond counter that wraps; callers subtract in unsigned
// 32-bit arithmetic, so the wrap does no harm.
class TickClock {
public:
  virtual ~TickClock() = default;
  virtual std::uint32_t NowTick() = 0;
};

// The local date and time as a date-time value: days since 1899-12-30 00:00,
// the fraction being the elapsed part of the day (see datetime.h).
class DateTimeClock {
public:
  virtual ~DateTimeClock() = default;
  virtual double Now() = 0;
};

// The monotonic clock of the system, cut to 32 bits. Thread-safe.
class SystemTickClock final : public TickClock {
public:
  std::uint32_t NowTick() override;
};

// The system's wall clock in local time. Thread-safe.
class SystemDateTimeClock final : public DateTimeClock {
public:
  double Now() override;
};

// Process-wide instances, for code that is not handed a clock.
TickClock& SystemTick();
DateTimeClock& SystemDateTime();

}  // namespace drvvzt
