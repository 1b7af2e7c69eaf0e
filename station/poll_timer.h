// The periodic timer that drives the serial component's poll, and a hand-driven
// implementation of it for tests and tools.
//
// The component asks for ticks on the thread that created it; the operator
// window implements this with its own toolkit timer, so the station code stays
// free of any toolkit. Calls are made from that one thread only; none of the
// calls here is thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

namespace drvvzt {

class PollTimer {
public:
  virtual ~PollTimer() = default;
  // Starts calling tick every period_ms milliseconds on the caller's thread,
  // replacing any earlier period and callback.
  virtual void Start(std::uint32_t period_ms, std::function<void()> tick) = 0;
  // No more ticks after this returns, from the period or from arrivals.
  // Stopping a stopped timer does nothing.
  virtual void Stop() = 0;
  // Also tick as soon as fd turns readable (the serial device reports newly
  // arrived bytes), so a packet is handled without waiting for the period; -1
  // stops watching. A timer that cannot watch descriptors ignores this and
  // ticks by its period only, which is correct, just slower.
  virtual void WatchArrivals(int fd) { (void)fd; }
};

// Ticks only when Fire() is called: tests and tools decide when time passes.
class ManualPollTimer final : public PollTimer {
public:
  void Start(std::uint32_t period_ms, std::function<void()> tick) override {
    period_ms_ = period_ms;
    tick_ = std::move(tick);
    running_ = true;
    ++starts_;
  }
  void Stop() override {
    running_ = false;
    tick_ = nullptr;
  }

  bool Running() const { return running_; }
  std::uint32_t PeriodMs() const { return period_ms_; }
  // How often Start was called: shows a restart after a period change.
  int Starts() const { return starts_; }

  // Runs one tick when the timer is running; false when it is stopped.
  bool Fire() {
    if (!running_ || !tick_) return false;
    // A copy, so that a tick which stops or restarts the timer stays valid.
    auto tick = tick_;
    tick();
    return true;
  }

private:
  std::function<void()> tick_;
  std::uint32_t period_ms_ = 0;
  bool running_ = false;
  int starts_ = 0;
};

}  // namespace drvvzt
