// What the tray icon and the window icon tell at a glance: whether the
// station and the server link are alive, and whether events wait on disk.
// Pure; safe from any thread.
#pragma once

#include <optional>

namespace drvvzt {

enum class TrayHealth {
  kHealthy,       // station alive, server link up or not configured
  kDown,          // the station is silent or the server link is down
  kSpoolWaiting,  // both alive, but events still wait in spool files
};

// `link_up` is nothing when the driver runs without a server link. A link or
// station that is down outweighs waiting files: those follow from it anyway.
TrayHealth HealthOf(bool station_alive, std::optional<bool> link_up, bool spool_waiting);

}  // namespace drvvzt
