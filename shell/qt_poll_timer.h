// A poll timer on the window's thread: a Qt timer for the period, a socket
// notifier that ticks when the device reports new bytes, and a single-shot Qt
// timer for the wake-ups asked for.
// Not thread-safe: create, start and stop it on the window's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <QSocketNotifier>
#include <QTimer>

#include "station/poll_timer.h"

namespace drvvzt {

class QtPollTimer final : public PollTimer {
public:
  QtPollTimer();
  void Start(std::uint32_t period_ms, std::function<void()> tick) override;
  void WakeIn(std::uint32_t delay_ms) override;
  void CancelWake() override;
  void Stop() override;
  bool WatchArrivals(int fd) override;
  // Started and not stopped: ticks will come on arrivals or wake-ups.
  bool Running() const { return static_cast<bool>(tick_); }

private:
  void Tick();
  void DropArrivals();

  QTimer period_;
  QTimer wake_;
  std::unique_ptr<QSocketNotifier> arrivals_;
  std::function<void()> tick_;
};

}  // namespace drvvzt
