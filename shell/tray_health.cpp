#include "shell/tray_health.h"

namespace drvvzt {

TrayHealth HealthOf(bool station_alive, std::optional<bool> link_up, bool spool_waiting) {
  if (!station_alive || link_up == false) return TrayHealth::kDown;
  return spool_waiting ? TrayHealth::kSpoolWaiting : TrayHealth::kHealthy;
}

}  // namespace drvvzt
