// Spool files: one station event per file, written while the message server
// cannot take it and forwarded later.
//
// File name: PathForSoob + base name + ".dd8", PathForSoob being a plain prefix
// (a directory only when it ends with "/"). Content, 26 bytes:
//   offset  width  content
//   0       4      mtStationEvent, little-endian (32 00 00 03)
//   4       22     the station event record
//
// A record is first written under a temporary name that does not end in ".dd8"
// (PathForSoob + base + "-<pid>-<n>.dd8-tmp"), flushed to disk, then given its
// final name without replacing any existing file, and the directory is flushed.
// When the name is taken, the next values of the base name are tried in the same
// hexadecimal form. Records that cannot be written stay in a bounded in-memory
// backlog, retried before every later record.
//
// SpoolWriter is thread-safe: the user-interface thread and the server link
// thread both spool through one instance. SpoolFileName is thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "station/station_event.h"

namespace drvvzt {

inline constexpr std::size_t kSpoolFileSize = 4 + kStationEventSize;
static_assert(kSpoolFileSize == 26);
inline constexpr std::size_t kSpoolBacklogCapacity = 10000;

// Milliseconds since the start of the month plus one day, in uppercase
// hexadecimal without leading zeros ("5265C00" .. "A4CB7FFF"). For a value that
// is not a valid date-time: code 11 to error_dir's "error.txt" and "".
std::string SpoolFileName(double t, const std::string& error_dir);

// The 26 bytes of a spool file for a record.
std::array<std::uint8_t, kSpoolFileSize> SpoolFileContent(const StationEventBytes& record);

class SpoolWriter {
public:
  // error_dir receives "error.txt" (codes 11 and 21).
  SpoolWriter(std::string path_for_soob, std::string error_dir, DateTimeClock& clock,
              std::size_t backlog_capacity = kSpoolBacklogCapacity);

  // Writes the backlog (oldest first), then the record. True when the record is
  // on disk; false when it was kept in the backlog or, with the backlog full,
  // lost (both logged as code 21, once per run of failures).
  bool Spool(const StationEventBytes& record);

  // Writes out what the backlog holds. True when the backlog is empty afterwards.
  bool FlushBacklog();

  // Hands the whole backlog to the caller (oldest first) and empties it.
  std::vector<StationEventBytes> TakeBacklog();
  // Puts records the caller could not pass on back at the front of the backlog.
  void ReturnToBacklog(std::span<const StationEventBytes> records);
  std::size_t BacklogSize() const;

  // Finishes temporary files a crash left behind: a complete one gets a free
  // ".dd8" name, an incomplete one is removed. Call once at start-up.
  void RecoverLeftovers();

  // The directory the spool files are in ("" = the current directory).
  std::string Directory() const;

private:
  bool WriteRecordLocked(const StationEventBytes& record);
  bool WriteBacklogLocked();
  bool PublishLocked(const std::string& temp, const std::string& base);
  void NoteFailureLocked();
  void KeepLocked(const StationEventBytes& record);
  std::string TempPathLocked(const std::string& base);

  const std::string path_for_soob_;
  const std::string error_dir_;
  DateTimeClock& clock_;
  const std::size_t capacity_;

  mutable std::mutex mutex_;
  std::deque<StationEventBytes> backlog_;
  bool failing_ = false;      // a run of write failures has been logged
  bool overflowing_ = false;  // a run of overflow losses has been logged
  unsigned temp_counter_ = 0;
};

}  // namespace drvvzt
