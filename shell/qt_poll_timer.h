// The serial component's poll timer on the window's thread: a socket notifier
// that ticks when the device reports new bytes, and a single-shot Qt timer for
// the wake-ups the component asks for.
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
  void Start(std::function<void()> tick) override;
  void WakeIn(std::uint32_t delay_ms) override;
  void CancelWake() override;
  void Stop() override;
  bool WatchArrivals(int fd) override;
  // Started and not stopped: ticks will come on arrivals or wake-ups.
  bool Running() const { return static_cast<bool>(tick_); }

private:
  void Tick();
  void DropArrivals();

  QTimer wake_;
  std::unique_ptr<QSocketNotifier> arrivals_;
  std::function<void()> tick_;
};

}  // namespace drvvzt
