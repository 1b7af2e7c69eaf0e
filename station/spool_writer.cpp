// Choosing where each record goes: spool location, rescue directory, memory.
#include "station/spool_writer.h"

#include "platform/diagnostics.h"
#include "platform/error_log.h"

namespace drvvzt {

SpoolWriter::SpoolWriter(std::string path_for_soob, std::string error_dir, DateTimeClock& clock,
                         std::size_t backlog_capacity, FileSystem& fs)
    : error_dir_(std::move(error_dir)),
      clock_(clock),
      capacity_(backlog_capacity),
      fs_(fs),
      primary_(std::move(path_for_soob), fs) {}

std::string SpoolWriter::Directory() const { return primary_.Directory(); }

void SpoolWriter::SetRescueDirectory(std::string dir) {
  std::lock_guard lock(mutex_);
  if (!dir.empty() && dir.back() != '/') dir += '/';
  // A rescue directory that is the spool location itself would only retry
  // what has just failed.
  if (dir.empty() || dir == primary_.Prefix()) {
    rescue_.reset();
  } else {
    rescue_.emplace(std::move(dir), fs_);
  }
}

std::string SpoolWriter::RescuePrefix() const {
  std::lock_guard lock(mutex_);
  return rescue_ ? rescue_->Prefix() : std::string();
}

SysError SpoolWriter::LastFailure() const {
  std::lock_guard lock(mutex_);
  return last_failure_;
}

bool SpoolWriter::Spool(const StationEventBytes& record) { return SpoolToFile(record).has_value(); }

std::optional<std::string> SpoolWriter::SpoolToFile(const StationEventBytes& record) {
  std::lock_guard lock(mutex_);
  // Older records go first, and locations that still refuse them are not tried
  // again for this one.
  if (WriteBacklogLocked()) {
    if (std::optional<std::string> path = WriteRecordLocked(record)) return path;
    NoteFailureLocked();
  }
  KeepLocked(record);
  return std::nullopt;
}

std::optional<std::string> SpoolWriter::WriteAhead(const StationEventBytes& record) {
  std::lock_guard lock(mutex_);
  std::optional<std::string> path = WriteRecordLocked(record);
  if (!path) NoteFailureLocked();
  return path;
}

bool SpoolWriter::FlushBacklog() {
  std::lock_guard lock(mutex_);
  return WriteBacklogLocked();
}

std::vector<StationEventBytes> SpoolWriter::TakeBacklog() {
  std::lock_guard lock(mutex_);
  std::vector<StationEventBytes> taken(backlog_.begin(), backlog_.end());
  backlog_.clear();
  return taken;
}

void SpoolWriter::ReturnToBacklog(std::span<const StationEventBytes> records) {
  std::lock_guard lock(mutex_);
  backlog_.insert(backlog_.begin(), records.begin(), records.end());
  if (backlog_.size() <= capacity_) return;
  // Records that arrived while these were away are the ones that do not fit.
  const std::size_t dropped = backlog_.size() - capacity_;
  backlog_.resize(capacity_);
  lost_ += dropped;
  Report(Severity::kError, std::to_string(dropped) +
                               " event record(s) lost: the in-memory backlog is full");
  if (!overflowing_) {
    overflowing_ = true;
    WriteErrorLog(error_dir_, kErrorSpoolWrite);
  }
}

std::size_t SpoolWriter::BacklogSize() const {
  std::lock_guard lock(mutex_);
  return backlog_.size();
}

std::size_t SpoolWriter::LostCount() const {
  std::lock_guard lock(mutex_);
  return lost_;
}

std::size_t SpoolWriter::AbandonBacklog() {
  std::lock_guard lock(mutex_);
  const std::size_t count = backlog_.size();
  for (std::size_t i = 0; i < count; ++i) WriteErrorLog(error_dir_, kErrorSpoolWrite);
  backlog_.clear();
  lost_ += count;
  if (count > 0) {
    Report(Severity::kError, std::to_string(count) +
                                 " event record(s) lost at shut-down: neither the spool "
                                 "directory nor the rescue directory took them (last cause: " +
                                 FailureTextLocked() + ")");
  }
  return count;
}

bool SpoolWriter::WriteBacklogLocked() {
  const std::size_t before = backlog_.size();
  while (!backlog_.empty()) {
    if (!WriteRecordLocked(backlog_.front())) {
      NoteFailureLocked();
      return false;
    }
    backlog_.pop_front();
  }
  if (before > 0) {
    Report(Severity::kInfo, std::to_string(before) + " event record(s) kept in memory are now on disk");
  }
  overflowing_ = false;
  return true;
}

void SpoolWriter::NoteFailureLocked() {
  if (failing_) return;
  failing_ = true;
  WriteErrorLog(error_dir_, kErrorSpoolWrite);
}

// Reports the start of a run of records in the rescue directory, and the end of
// the run once the spool location takes records again.
void SpoolWriter::NoteLocationLocked(bool primary_failed, bool rescued) {
  if (!primary_failed) {
    if (rescuing_) {
      rescuing_ = false;
      Report(Severity::kInfo, "spool location " + primary_.Prefix() + " takes records again");
    }
    failing_ = false;
    return;
  }
  NoteFailureLocked();
  if (rescued && !rescuing_) {
    rescuing_ = true;
    Report(Severity::kWarning, "spool location " + primary_.Prefix() + " refuses records (" +
                                   last_failure_.Text() + "); writing them to " + rescue_->Prefix());
  }
}

void SpoolWriter::KeepLocked(const StationEventBytes& record) {
  if (backlog_.size() < capacity_) {
    if (backlog_.empty()) {
      Report(Severity::kError, "event records kept in memory: no directory takes them (" +
                                   FailureTextLocked() + ")");
    }
    backlog_.push_back(record);
    return;
  }
  // The oldest records are kept: they are the ones the operator has not seen
  // for longest, and the order on disk stays the order of arrival.
  ++lost_;
  Report(Severity::kError, "event record lost: the in-memory backlog of " +
                               std::to_string(capacity_) + " records is full");
  if (!overflowing_) {
    overflowing_ = true;
    WriteErrorLog(error_dir_, kErrorSpoolWrite);
  }
}

std::string SpoolWriter::FailureTextLocked() const {
  if (!rescue_) return last_failure_.Text();
  return last_failure_.Text() + "; rescue directory: " + rescue_failure_.Text();
}

// A directory that cannot be flushed leaves the records on disk but their
// names at risk from a power cut: worth a line, not a detour to the rescue
// directory, which would only double every record on such a file system.
void SpoolWriter::NoteDirectorySyncLocked(const SysError& error) {
  if (error.ok()) {
    unsynced_ = false;
    return;
  }
  if (unsynced_) return;
  unsynced_ = true;
  Report(Severity::kWarning, "spool file names may not survive a power cut: " + error.Text());
}

std::optional<std::string> SpoolWriter::WriteRecordLocked(const StationEventBytes& record) {
  if (std::optional<std::string> path = WriteAtLocked(primary_, record)) {
    NoteLocationLocked(false, false);
    return path;
  }
  std::optional<std::string> rescued;
  if (rescue_) {
    // The spool location's cause is the one an operator has to act on; the
    // rescue directory's is kept beside it.
    const SysError primary_failure = last_failure_;
    rescued = WriteAtLocked(*rescue_, record);
    if (!rescued) rescue_failure_ = last_failure_;
    last_failure_ = primary_failure;
  }
  NoteLocationLocked(true, rescued.has_value());
  return rescued;
}

std::optional<std::string> SpoolWriter::WriteAtLocked(SpoolStore& store,
                                                      const StationEventBytes& record) {
  const SpoolPut put = store.Put(SpoolFileName(clock_.Now(), error_dir_), record);
  if (!put.ok()) {
    last_failure_ = put.error;
    return std::nullopt;
  }
  NoteDirectorySyncLocked(put.directory_sync);
  return put.path;
}

void SpoolWriter::RecoverLeftovers() {
  std::lock_guard lock(mutex_);
  RecoverLeftoversAtLocked(primary_);
  if (rescue_) RecoverLeftoversAtLocked(*rescue_);
}

void SpoolWriter::RecoverLeftoversAtLocked(SpoolStore& store) {
  const SpoolRecovery recovery = store.RecoverLeftovers();
  for (const SysError& failure : recovery.failures) {
    WriteErrorLog(error_dir_, kErrorSpoolWrite);
    Report(Severity::kError, "a spool file left by a crash could not be finished: " + failure.Text());
  }
}

}  // namespace drvvzt
