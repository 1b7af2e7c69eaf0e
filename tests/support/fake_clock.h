// Hand-driven clocks for timing tests.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/clock.h"

namespace drvvzt::testing {

class FakeTickClock final : public TickClock {
public:
  explicit FakeTickClock(std::uint32_t start = 1000) : now_(start) {}
  std::uint32_t NowTick() override { return now_.load(); }
  void Set(std::uint32_t tick) { now_.store(tick); }
  void Advance(std::uint32_t ms) { now_.fetch_add(ms); }

private:
  std::atomic<std::uint32_t> now_;
};

class FakeDateTimeClock final : public DateTimeClock {
public:
  explicit FakeDateTimeClock(double start = 46000.5) : now_(start) {}
  double Now() override { return now_.load(); }
  void Set(double value) { now_.store(value); }
  void AdvanceMs(double ms) { now_.store(now_.load() + ms / 86400000.0); }

private:
  std::atomic<double> now_;
};

}  // namespace drvvzt::testing
