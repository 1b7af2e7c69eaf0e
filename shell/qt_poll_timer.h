// The serial component's poll timer on the window's thread, as a Qt timer that
// also ticks when the device reports new bytes.
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
  void Stop() override;
  void WatchArrivals(int fd) override;
  bool Running() const { return timer_.isActive(); }

private:
  void Tick();
  void DropArrivals();

  QTimer timer_;
  std::unique_ptr<QSocketNotifier> arrivals_;
  std::function<void()> tick_;
};

}  // namespace drvvzt
