// Reading a spool directory for the spool inspector: every spool file (and
// every file set aside by the forwarder), oldest first, each decoded. Which
// files these are is SpoolStore's business (station/spool_store.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "station/station_event.h"

namespace drvvzt {

struct SpoolEntry {
  std::string name;           // file name within the directory
  std::int64_t mtime_ns = 0;  // modification time, for the order
  std::uint64_t size = 0;
  bool set_aside = false;     // a ".bad" file
  std::optional<std::uint32_t> msg_type;    // first four bytes, when there are four
  std::optional<TStationEvent> event;       // when the body is a 22-byte record
  std::string problem;        // empty for a well-formed station event file
};

// Inspects one file's bytes: a well-formed spool file is 26 bytes, type
// mtStationEvent, a record of kind 15.
void InspectSpoolBytes(const std::string& bytes, SpoolEntry& entry);

// The spool files and set-aside files of dir, oldest first (modification
// time, then name).
// Nothing when dir cannot be read, with the call, the path and the system's
// reason in `error`.
std::optional<std::vector<SpoolEntry>> InspectSpoolDirectory(const std::string& dir,
                                                             std::string* error = nullptr);

// One line for an entry.
std::string DescribeSpoolEntry(const SpoolEntry& entry);

}  // namespace drvvzt
