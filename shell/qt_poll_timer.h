// The serial component's poll timer on the window's thread, as a Qt timer.
// Not thread-safe: create, start and stop it on the window's thread.
#pragma once

#include <cstdint>
#include <functional>

#include <QTimer>

#include "station/poll_timer.h"

namespace drvvzt {

class QtPollTimer final : public PollTimer {
public:
  QtPollTimer();
  void Start(std::uint32_t period_ms, std::function<void()> tick) override;
  void Stop() override;
  bool Running() const { return timer_.isActive(); }

private:
  QTimer timer_;
  std::function<void()> tick_;
};

}  // namespace drvvzt
