// Qt timers behind the serial poll and the driver's tick. Both timers are
// precise, because a fragment's deadline is counted in milliseconds, far below
// the coarse timers' 5 % slack; the socket notifier on the device's arrival
// descriptor handles a packet when its last byte arrives. The serial poll runs
// without a period: between arrivals and wake-ups the thread sleeps.
#include "shell/qt_poll_timer.h"

#include <limits>
#include <utility>

namespace drvvzt {

QtPollTimer::QtPollTimer() {
  period_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&period_, &QTimer::timeout, [this] { Tick(); });
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

void QtPollTimer::Start(std::uint32_t period_ms, std::function<void()> tick) {
  tick_ = std::move(tick);
  wake_.stop();
  if (period_ms > 0) {
    period_.start(static_cast<int>(period_ms));
  } else {
    period_.stop();
  }
}

void QtPollTimer::WakeIn(std::uint32_t delay_ms) {
  if (!tick_) return;
  constexpr std::uint32_t kLongest = std::numeric_limits<int>::max();
  wake_.start(static_cast<int>(delay_ms < kLongest ? delay_ms : kLongest));
}

void QtPollTimer::CancelWake() { wake_.stop(); }

void QtPollTimer::Stop() {
  period_.stop();
  wake_.stop();
  DropArrivals();
  tick_ = nullptr;
}

}  // namespace drvvzt
