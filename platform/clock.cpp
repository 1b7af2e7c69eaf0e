#include "platform/clock.h"

#include <chrono>

#include "platform/datetime.h"

namespace drvvzt {

std::uint32_t SystemTickClock::NowTick() {
  const auto since_boot = std::chrono::steady_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_boot).count();
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms));
}

double SystemDateTimeClock::Now() { return DateTimeNow(); }

TickClock& SystemTick() {
  static SystemTickClock clock;
  return clock;
}

DateTimeClock& SystemDateTime() {
  static SystemDateTimeClock clock;
  return clock;
}

}  // namespace drvvzt
