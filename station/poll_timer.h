// The ticks that drive the serial component's poll (and the driver's periodic
// work), and a hand-driven implementation of them for tests and tools.
//
// The owner asks for ticks on the thread that created it; the operator window
// implements this with its own toolkit, so the station code stays free of any
// toolkit. A tick comes by the period, when the watched device reports new
// bytes, or when a wake-up asked for falls due. The serial component runs
// without a period, so an idle line costs no wake-ups at all. Calls are made
// from that one thread only; none of the calls here is thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

namespace drvvzt {

class PollTimer {
public:
  virtual ~PollTimer() = default;
  // From now on tick runs on the caller's thread every period_ms milliseconds
  // (0: never by the period), at every arrival on the watched descriptor and
  // when a wake-up falls due. Replaces an earlier period and callback and
  // drops a pending wake-up.
  virtual void Start(std::uint32_t period_ms, std::function<void()> tick) = 0;
  // One tick after delay_ms milliseconds (0: as soon as the thread is idle),
  // replacing a wake-up still pending. Nothing while stopped.
  virtual void WakeIn(std::uint32_t delay_ms) = 0;
  // Drops the pending wake-up; arrivals still tick.
  virtual void CancelWake() = 0;
  // No more ticks after this returns, from the period, wake-ups or arrivals.
  // Stopping a stopped timer does nothing.
  virtual void Stop() = 0;
  // Also tick as soon as fd turns readable (the serial device reports newly
  // arrived bytes); -1 stops watching. False when this timer cannot watch
  // descriptors: its owner must then ask for wake-ups at its own pace.
  virtual bool WatchArrivals(int fd) = 0;
};

// Ticks only when the test or tool says so: Fire() stands for the period or an
// arrival, FireWake() for the wake-up falling due.
class ManualPollTimer final : public PollTimer {
public:
  // can_watch false plays a timer that cannot watch descriptors.
  explicit ManualPollTimer(bool can_watch = true) : can_watch_(can_watch) {}

  void Start(std::uint32_t period_ms, std::function<void()> tick) override {
    period_ms_ = period_ms;
    tick_ = std::move(tick);
    wake_in_.reset();
    ++starts_;
  }
  void WakeIn(std::uint32_t delay_ms) override {
    if (tick_) wake_in_ = delay_ms;
  }
  void CancelWake() override { wake_in_.reset(); }
  void Stop() override {
    tick_ = nullptr;
    wake_in_.reset();
    watched_fd_ = -1;
  }
  bool WatchArrivals(int fd) override {
    watched_fd_ = can_watch_ ? fd : -1;
    return can_watch_;
  }

  bool Running() const { return static_cast<bool>(tick_); }
  // 0: no period, ticks come from arrivals and wake-ups only.
  std::uint32_t PeriodMs() const { return period_ms_; }
  // The delay of the pending wake-up as it was asked for; empty when none is.
  std::optional<std::uint32_t> WakeDelay() const { return wake_in_; }
  int WatchedFd() const { return watched_fd_; }
  // How often Start was called: shows a restart.
  int Starts() const { return starts_; }

  // Runs one tick as the period or an arrival would; false when the timer is
  // stopped.
  bool Fire() {
    if (!tick_) return false;
    // A copy, so that a tick which stops or restarts the timer stays valid.
    auto tick = tick_;
    tick();
    return true;
  }
  // Runs the pending wake-up's tick; false when none is pending.
  bool FireWake() {
    if (!wake_in_) return false;
    wake_in_.reset();
    return Fire();
  }

private:
  std::function<void()> tick_;
  std::optional<std::uint32_t> wake_in_;
  std::uint32_t period_ms_ = 0;
  int watched_fd_ = -1;
  bool can_watch_;
  int starts_ = 0;
};

}  // namespace drvvzt
