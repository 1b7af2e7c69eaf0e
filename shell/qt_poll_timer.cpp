// Qt timer behind the serial poll. The wake-up is a precise timer, because a
// fragment's deadline is counted in milliseconds, far below the coarse timers'
// 5 % slack; the socket notifier on the device's arrival descriptor handles a
// packet when its last byte arrives. Between the two the thread sleeps.
#include "shell/qt_poll_timer.h"

#include <limits>
#include <utility>

namespace drvvzt {

QtPollTimer::QtPollTimer() {
  wake_.setTimerType(Qt::PreciseTimer);
  wake_.setSingleShot(true);
  QObject::connect(&wake_, &QTimer::timeout, [this] { Tick(); });
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

bool QtPollTimer::WatchArrivals(int fd) {
  DropArrivals();
  if (fd < 0) return true;
  arrivals_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  QObject::connect(arrivals_.get(), &QSocketNotifier::activated, [this] { Tick(); });
  return true;
}

void QtPollTimer::Start(std::function<void()> tick) {
  tick_ = std::move(tick);
  wake_.stop();
}

void QtPollTimer::WakeIn(std::uint32_t delay_ms) {
  if (!tick_) return;
  constexpr std::uint32_t kLongest = std::numeric_limits<int>::max();
  wake_.start(static_cast<int>(delay_ms < kLongest ? delay_ms : kLongest));
}

void QtPollTimer::CancelWake() { wake_.stop(); }

void QtPollTimer::Stop() {
  wake_.stop();
  DropArrivals();
  tick_ = nullptr;
}

}  // namespace drvvzt
