// The status file; see status_file.h.
#include "core/status_file.h"

#include <cctype>

#include "platform/diagnostics.h"
#include "platform/durable_file.h"
#include "station/spool_store.h"

namespace drvvzt {
namespace {

std::string Time(const std::optional<std::time_t>& t) { return t ? IsoLocalTime(*t) : ""; }
std::string Flag(bool on) { return on ? "1" : "0"; }

}  // namespace

bool DriverStatus::SameStateAs(const DriverStatus& o) const {
  return station_port == o.station_port && station_device == o.station_device &&
         station_open == o.station_open && station_alive == o.station_alive &&
         server_link == o.server_link && server_registered == o.server_registered &&
         (spool_files > 0) == (o.spool_files > 0) && spool_rescue_files == o.spool_rescue_files &&
         spool_memory == o.spool_memory && spool_lost == o.spool_lost;
}

std::string FormatDriverStatus(const DriverStatus& s) {
  std::string out;
  auto line = [&out](const char* key, const std::string& value) {
    out += key;
    out += '=';
    out += value;
    out += '\n';
  };
  line("version", s.version);
  line("pid", std::to_string(s.pid));
  line("started", IsoLocalTime(s.started));
  line("updated", IsoLocalTime(s.updated));
  line("station.port", s.station_port);
  line("station.device", s.station_device);
  line("station.open", Flag(s.station_open));
  line("station.last_packet", Time(s.station_last_packet));
  line("station.alive", Flag(s.station_alive));
  line("station.fragments", std::to_string(s.station_fragments));
  line("server.enabled", Flag(s.server_enabled));
  line("server.address", s.server_address);
  line("server.link", s.server_link);
  line("server.since", Time(s.server_since));
  line("server.registered", Flag(s.server_registered));
  line("spool.files", std::to_string(s.spool_files));
  line("spool.oldest", Time(s.spool_oldest));
  line("spool.rescue_files", std::to_string(s.spool_rescue_files));
  line("spool.memory", std::to_string(s.spool_memory));
  line("spool.lost", std::to_string(s.spool_lost));
  return out;
}

bool WriteDriverStatus(const std::string& dir, const DriverStatus& status) {
  const std::string path = dir.empty() ? kStatusFileName : dir + "/" + kStatusFileName;
  return ReplaceFileAtomically(path, FormatDriverStatus(status));
}

SpoolCount CountSpoolFiles(const std::string& prefix, bool with_oldest) {
  SpoolCount count;
  // A location that cannot be listed counts as empty: the forwarder reports it.
  SpoolStore(prefix).Count(with_oldest, count.files, count.oldest);
  return count;
}

}  // namespace drvvzt
