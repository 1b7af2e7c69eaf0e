// Qt timer behind the serial poll. A precise timer, because the poll period
// (5 ms) is far below the coarse timers' 5 % slack granularity.
#include "shell/qt_poll_timer.h"

#include <utility>

namespace drvvzt {

QtPollTimer::QtPollTimer() {
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    // A copy: the tick may stop or restart this timer.
    auto tick = tick_;
    if (!tick) return;
    // An exception must not cross Qt's event loop (that ends the process); the
    // poll has already delivered what it could, the next tick goes on.
    try {
      tick();
    } catch (...) {
    }
  });
}

void QtPollTimer::Start(std::uint32_t period_ms, std::function<void()> tick) {
  tick_ = std::move(tick);
  timer_.start(static_cast<int>(period_ms));
}

void QtPollTimer::Stop() {
  timer_.stop();
  tick_ = nullptr;
}

}  // namespace drvvzt
