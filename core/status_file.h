// The status file "drvvzt.status": how the driver is, for anybody outside the
// window (drvvzt-status, a monitoring system, an administrator with cat).
//
// UTF-8 text, one key=value per line, times in ISO 8601 local time with their
// offset, an empty value for "not known" or "never". Keys:
//   version, pid, started, updated
//   station.port, station.device, station.open, station.last_packet,
//   station.alive, station.fragments
//   server.enabled, server.address, server.link (up|down|denied),
//   server.since, server.registered
//   spool.files, spool.oldest, spool.rescue_files, spool.memory, spool.lost
// The file is replaced atomically, so a reader never sees half of it.
//
// Plain values and free functions: thread-safe.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>

namespace drvvzt {

inline constexpr char kStatusFileName[] = "drvvzt.status";

struct DriverStatus {
  std::string version;
  long pid = 0;
  std::time_t started = 0;
  std::time_t updated = 0;

  std::string station_port;
  std::string station_device;
  bool station_open = false;
  std::optional<std::time_t> station_last_packet;
  bool station_alive = false;
  std::size_t station_fragments = 0;

  bool server_enabled = false;
  std::string server_address;
  std::string server_link = "down";  // up | down | denied
  std::optional<std::time_t> server_since;
  bool server_registered = false;

  std::size_t spool_files = 0;
  std::optional<std::time_t> spool_oldest;
  std::size_t spool_rescue_files = 0;
  std::size_t spool_memory = 0;
  std::size_t spool_lost = 0;

  // Everything but `updated`: a change here is worth a rewrite at once.
  bool SameStateAs(const DriverStatus& other) const;
};

std::string FormatDriverStatus(const DriverStatus& status);

// Writes dir/drvvzt.status atomically; false (errno kept) when it cannot.
bool WriteDriverStatus(const std::string& dir, const DriverStatus& status);

// Waiting spool files under a prefix (a directory only when it ends with "/"):
// how many, and the modification time of the oldest when asked for it.
struct SpoolCount {
  std::size_t files = 0;
  std::optional<std::time_t> oldest;
};
SpoolCount CountSpoolFiles(const std::string& prefix, bool with_oldest);

}  // namespace drvvzt
