// Qt timer behind the serial poll. A precise timer, because the poll period
// (5 ms) is far below the coarse timers' 5 % slack granularity; and a socket
// notifier on the device's arrival descriptor, so a packet is handled when its
// last byte arrives rather than at the next period.
#include "shell/qt_poll_timer.h"

#include <utility>

namespace drvvzt {

QtPollTimer::QtPollTimer() {
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
}

void QtPollTimer::Tick() {
  // A copy: the tick may stop or restart this timer.
  auto tick = tick_;
  if (!tick) return;
  // An exception must not cross Qt's event loop (that ends the process); the
  // poll has already delivered what it could, the next tick goes on.
  try {
    tick();
  } catch (...) {
  }
}

// The notifier may be dropped from inside its own signal (a tick that closes
// the port): it is disabled at once and deleted once control is back in the loop.
void QtPollTimer::DropArrivals() {
  if (!arrivals_) return;
  arrivals_->setEnabled(false);
  arrivals_.release()->deleteLater();
}

void QtPollTimer::WatchArrivals(int fd) {
  DropArrivals();
  if (fd < 0) return;
  arrivals_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  QObject::connect(arrivals_.get(), &QSocketNotifier::activated, [this] { Tick(); });
}

void QtPollTimer::Start(std::uint32_t period_ms, std::function<void()> tick) {
  tick_ = std::move(tick);
  timer_.start(static_cast<int>(period_ms));
}

void QtPollTimer::Stop() {
  timer_.stop();
  DropArrivals();
  tick_ = nullptr;
}

}  // namespace drvvzt
