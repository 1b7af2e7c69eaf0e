// Spool files: one station event per file, written while the message server
// cannot take it and forwarded later. Their names, layout and durable writing
// live in SpoolStore (station/spool_store.h); this class decides where a record
// goes.
//
// When the spool location refuses a record (directory missing and not creatable,
// no permission, disk full, a failing medium), the record goes at once to the
// rescue directory, a directory of the working directory, under the same name
// and format. Only when both refuse does it stay in a bounded in-memory backlog,
// retried before every later record.
//
// SpoolWriter is thread-safe: the user-interface thread and the server link
// thread both spool through one instance.
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
#include "platform/file_system.h"
#include "platform/sys_error.h"
#include "station/spool_store.h"
#include "station/station_event.h"

namespace drvvzt {

inline constexpr std::size_t kSpoolBacklogCapacity = 10000;

class SpoolWriter {
public:
  // error_dir receives "error.txt" (codes 11 and 21). Both locations are
  // written through fs.
  SpoolWriter(std::string path_for_soob, std::string error_dir, DateTimeClock& clock,
              std::size_t backlog_capacity = kSpoolBacklogCapacity,
              FileSystem& fs = PosixFileSystem());

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
  // spool name, an incomplete one is removed. Call once at start-up.
  void RecoverLeftovers();

  // The directory the spool files are in ("" = the current directory).
  std::string Directory() const;
  // The prefix of rescue file names (the rescue directory and "/"), "" when none.
  std::string RescuePrefix() const;
  // Why the last record refused by the spool location was refused (the
  // failed call, its path and errno); ok() before any refusal.
  SysError LastFailure() const;

private:
  // Spool location first, then the rescue directory.
  std::optional<std::string> WriteRecordLocked(const StationEventBytes& record);
  std::optional<std::string> WriteAtLocked(SpoolStore& store, const StationEventBytes& record);
  bool WriteBacklogLocked();
  void RecoverLeftoversAtLocked(SpoolStore& store);
  void NoteFailureLocked();
  void NoteLocationLocked(bool primary_failed, bool rescued);
  void NoteDirectorySyncLocked(const SysError& error);
  void KeepLocked(const StationEventBytes& record);
  // Both locations' causes, for the reports of records kept in memory or lost.
  std::string FailureTextLocked() const;

  const std::string error_dir_;
  DateTimeClock& clock_;
  const std::size_t capacity_;
  FileSystem& fs_;

  mutable std::mutex mutex_;
  SpoolStore primary_;
  std::optional<SpoolStore> rescue_;
  std::deque<StationEventBytes> backlog_;
  std::size_t lost_ = 0;
  bool failing_ = false;       // a run of write failures has been logged
  bool overflowing_ = false;   // a run of overflow losses has been logged
  bool rescuing_ = false;      // a run of records written to the rescue directory has been reported
  bool unsynced_ = false;      // a run of directory flush failures has been reported
  SysError last_failure_;      // why the spool location refused the last record it refused
  SysError rescue_failure_;    // why the rescue directory refused the last record it refused
};

}  // namespace drvvzt
