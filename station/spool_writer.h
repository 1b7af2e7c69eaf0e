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
// hexadecimal form.
//
// When the spool location refuses a record (directory missing and not creatable,
// no permission, disk full), the record goes at once to the rescue directory, a
// directory of the working directory, under the same name and format. Only when
// both refuse does it stay in a bounded in-memory backlog, retried before every
// later record.
//
// SpoolWriter is thread-safe: the user-interface thread and the server link
// thread both spool through one instance. SpoolFileName is thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "station/station_event.h"

namespace drvvzt {

inline constexpr std::size_t kSpoolFileSize = 4 + kStationEventSize;
static_assert(kSpoolFileSize == 26);
inline constexpr std::size_t kSpoolBacklogCapacity = 10000;
// The rescue directory's name inside the working directory.
inline constexpr char kRescueDirName[] = "rescue";

// Milliseconds since the start of the month plus one day, in uppercase
// hexadecimal without leading zeros ("5265C00" .. "A4CB7FFF"). For a value that
// is not a valid date-time: code 11 to error_dir's "error.txt" and "".
std::string SpoolFileName(double t, const std::string& error_dir);

// True for a spool file's name under a name prefix: the prefix, anything, and
// ".dd8" in any letter case (files copied from other systems keep theirs).
bool IsSpoolFileName(const std::string& name, const std::string& prefix);

// The 26 bytes of a spool file for a record.
std::array<std::uint8_t, kSpoolFileSize> SpoolFileContent(const StationEventBytes& record);

class SpoolWriter {
public:
  // error_dir receives "error.txt" (codes 11 and 21).
  SpoolWriter(std::string path_for_soob, std::string error_dir, DateTimeClock& clock,
              std::size_t backlog_capacity = kSpoolBacklogCapacity);

  // Where records go when the spool location refuses them ("" = nowhere).
  void SetRescueDirectory(std::string dir);

  // Writes the backlog (oldest first), then the record. True when the record is
  // on disk; false when it was kept in the backlog or, with the backlog full,
  // lost (both logged as code 21, once per run of failures).
  bool Spool(const StationEventBytes& record);
  // Like Spool, and the path of the file that holds the record; nothing when it
  // is only in memory or lost.
  std::optional<std::string> SpoolToFile(const StationEventBytes& record);
  // Writes the record to a file of its own (spool location, else the rescue
  // directory) and nothing else: the backlog is neither written nor grown. The
  // path, or nothing when both locations refused it.
  std::optional<std::string> WriteAhead(const StationEventBytes& record);

  // Writes out what the backlog holds. True when the backlog is empty afterwards.
  bool FlushBacklog();

  // Hands the whole backlog to the caller (oldest first) and empties it.
  std::vector<StationEventBytes> TakeBacklog();
  // Puts records the caller could not pass on back at the front of the backlog.
  void ReturnToBacklog(std::span<const StationEventBytes> records);
  std::size_t BacklogSize() const;
  // Records lost since start because the backlog was full.
  std::size_t LostCount() const;
  // Empties the backlog for good at shut-down, once nothing can take it: the
  // number of records thrown away (each logged as code 21 and counted lost).
  std::size_t AbandonBacklog();

  // Finishes temporary files a crash left behind: a complete one gets a free
  // ".dd8" name, an incomplete one is removed. Call once at start-up.
  void RecoverLeftovers();

  // The directory the spool files are in ("" = the current directory).
  std::string Directory() const;
  // The prefix of rescue file names (the rescue directory and "/"), "" when none.
  std::string RescuePrefix() const;

private:
  // Spool location first, then the rescue directory.
  std::optional<std::string> WriteRecordLocked(const StationEventBytes& record);
  std::optional<std::string> WriteAtLocked(const std::string& prefix, const StationEventBytes& record);
  bool WriteBacklogLocked();
  std::optional<std::string> PublishLocked(const std::string& prefix, const std::string& temp,
                                           const std::string& base);
  void RecoverLeftoversAtLocked(const std::string& prefix);
  void NoteFailureLocked();
  void NoteLocationLocked(bool primary_failed, bool rescued);
  void KeepLocked(const StationEventBytes& record);
  std::string TempPathLocked(const std::string& prefix, const std::string& base);

  const std::string path_for_soob_;
  const std::string error_dir_;
  DateTimeClock& clock_;
  const std::size_t capacity_;

  mutable std::mutex mutex_;
  std::string rescue_prefix_;
  std::deque<StationEventBytes> backlog_;
  std::size_t lost_ = 0;
  bool failing_ = false;      // a run of write failures has been logged
  bool overflowing_ = false;  // a run of overflow losses has been logged
  bool rescuing_ = false;     // a run of records written to the rescue directory has been reported
  std::string last_failure_;  // the cause of the last refused write
  unsigned temp_counter_ = 0;
};

}  // namespace drvvzt
