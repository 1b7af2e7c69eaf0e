// systemd notifications through libsystemd's sd_notify.
#include "shell/system_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace drvvzt {

void NotifyReady() { sd_notify(0, "READY=1"); }

void NotifyStopping() { sd_notify(0, "STOPPING=1"); }

WatchdogKeepAlive::WatchdogKeepAlive(QObject* parent) : QObject(parent) {
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return;
  timer_.setInterval(static_cast<int>(usec / 2000));
  connect(&timer_, &QTimer::timeout, this, [] { sd_notify(0, "WATCHDOG=1"); });
  timer_.start();
}

}  // namespace drvvzt
