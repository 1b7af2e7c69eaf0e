// The driver's status file ("drvvzt.status" in its working directory) read
// back, and the monitoring check made of it for drvvzt-status.
//
// The file is UTF-8 text, one "key=value" per line; keys this reader does not
// know are skipped, so a newer driver can add some. Times are ISO 8601 local
// time with a numeric offset ("2026-12-10T17:43:38+01:00"); an empty value
// means not known, or never. The driver rewrites the file whenever something
// changes and at least every 10 s, so its age tells whether the driver still
// runs.
//
// The evaluation takes "now" and the process probe from its caller, so a test
// sets the clock and the process table it wants. Everything here is pure apart
// from ReadStatusDirectory, and every call is thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drvvzt::tools {

constexpr char kStatusFileName[] = "drvvzt.status";

// Seconds since the epoch of an ISO 8601 date-time with a numeric offset or
// "Z" ("2026-12-10T17:43:38+01:00", fractions of a second allowed); nothing
// for anything else, an empty text included.
std::optional<std::int64_t> ParseIsoTime(std::string_view text);

// The keys of a status file; keys not listed are ignored. A value that is
// empty or does not parse stays unset.
struct DriverStatus {
  std::string version;
  std::optional<long> pid;
  std::optional<std::int64_t> started;
  bool has_updated = false;             // the key is there, whatever its value
  std::optional<std::int64_t> updated;  // when the driver wrote this
  std::string station_port;             // "COM5"; "COM255": none chosen
  std::string station_device;
  std::optional<bool> station_open;
  std::optional<std::int64_t> station_last_packet;
  std::optional<bool> station_alive;
  std::optional<long> station_fragments;
  std::optional<bool> server_enabled;
  std::string server_address;
  std::string server_link;  // "up", "down", "denied"
  std::optional<std::int64_t> server_since;
  std::optional<bool> server_registered;
  std::optional<long> spool_files;
  std::optional<std::int64_t> spool_oldest;
  std::optional<long> spool_rescue_files;
  std::optional<long> spool_memory;
  std::optional<long> spool_lost;
};

DriverStatus ParseStatusText(std::string_view text);

// One directory's status file as found on disk.
struct StatusReading {
  std::string dir;
  bool readable = false;
  std::string error;  // why not: the call, the path and the reason
  DriverStatus status;
  std::optional<std::int64_t> mtime;  // the file's modification time
};

StatusReading ReadStatusDirectory(const std::string& dir);

// Limits in seconds.
struct StatusThresholds {
  std::int64_t stale = 30;
  std::int64_t link_down_warning = 60;
  std::int64_t link_down_critical = 300;
  std::int64_t spool_age_warning = 600;
  std::int64_t spool_age_critical = 3600;
  std::int64_t silence_warning = 600;
  std::int64_t silence_critical = 3600;
};

// The monitoring-plugin exit statuses.
enum class CheckState { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };

std::string_view CheckStateName(CheckState state);  // "OK", "WARNING", ...
// The graver of two states: OK < WARNING < UNKNOWN < CRITICAL. A driver known to
// be in trouble outranks one that cannot be judged, so one missing directory
// among several does not hide a critical one.
CheckState Worse(CheckState a, CheckState b);

struct Finding {
  CheckState state = CheckState::kOk;
  std::string text;
};

struct StatusCheck {
  std::string dir;
  CheckState state = CheckState::kOk;
  std::vector<Finding> findings;     // what is wrong, worst first
  std::vector<std::string> summary;  // readable lines: driver, station, server, spool
  std::string perfdata;              // "label=value[unit];warn;crit ..."
};

// True when a process with this id exists.
using ProcessProbe = std::function<bool(long pid)>;

StatusCheck EvaluateStatus(const StatusReading& reading, const StatusThresholds& limits,
                           std::int64_t now, const ProcessProbe& process_exists);

// "45 s", "12 min", "3 h 5 min", "2 d 4 h".
std::string DurationText(std::int64_t seconds);

// The plugin output for the checks of one or more directories: the first line
// "DRVVZT <STATE> - ..." (with performance data after "|" for one directory),
// then a block per directory.
std::string CheckReport(const std::vector<StatusCheck>& checks);
CheckState OverallState(const std::vector<StatusCheck>& checks);

}  // namespace drvvzt::tools
