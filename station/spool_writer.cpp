// Writing spool files durably and without overwriting one another.
#include "station/spool_writer.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/bytes.h"
#include "platform/datetime.h"
#include "platform/diagnostics.h"
#include "platform/durable_file.h"
#include "platform/error_log.h"

namespace drvvzt {
namespace {

constexpr char kSpoolSuffix[] = ".dd8";
constexpr char kTempSuffix[] = ".dd8-tmp";
// How many following names are tried before a clash counts as a failure.
constexpr std::uint32_t kMaxNameTries = 1000;

std::string Hex(std::uint32_t n) {
  char text[9];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(n));
  return text;
}

// The base name of the k-th try: the base itself, then its successors. An empty
// base (the time could not be read) continues with 1, 2, ...
std::string Candidate(const std::string& base, std::uint32_t k) {
  if (k == 0) return base;
  const std::uint32_t n = ParseHexDigits(base).value_or(0);
  return Hex(n + k);
}

}  // namespace

std::string SpoolFileName(double t, const std::string& error_dir) {
  const std::optional<DateTimeFields> f = SplitDateTime(t);
  if (!f) {
    WriteErrorLog(error_dir, kErrorSpoolName);
    return "";
  }
  const std::uint32_t n =
      (static_cast<std::uint32_t>(f->day) * 86400u + static_cast<std::uint32_t>(f->hour) * 3600u +
       static_cast<std::uint32_t>(f->minute) * 60u + static_cast<std::uint32_t>(f->second)) *
          1000u +
      static_cast<std::uint32_t>(f->millisecond);
  return Hex(n);
}

bool IsSpoolFileName(const std::string& name, const std::string& prefix) {
  const std::size_t ext = sizeof kSpoolSuffix - 1;
  if (name.size() < prefix.size() + ext || name.compare(0, prefix.size(), prefix) != 0) return false;
  for (std::size_t i = 0; i < ext; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[name.size() - ext + i]);
    if (std::tolower(c) != kSpoolSuffix[i]) return false;
  }
  return true;
}

std::array<std::uint8_t, kSpoolFileSize> SpoolFileContent(const StationEventBytes& record) {
  std::array<std::uint8_t, kSpoolFileSize> content{};
  for (int i = 0; i < 4; ++i) content[i] = static_cast<std::uint8_t>(mtStationEvent >> (8 * i));
  for (std::size_t i = 0; i < kStationEventSize; ++i) content[4 + i] = record[i];
  return content;
}

SpoolWriter::SpoolWriter(std::string path_for_soob, std::string error_dir, DateTimeClock& clock,
                         std::size_t backlog_capacity)
    : path_for_soob_(std::move(path_for_soob)),
      error_dir_(std::move(error_dir)),
      clock_(clock),
      capacity_(backlog_capacity) {}

std::string SpoolWriter::Directory() const { return DirectoryOf(path_for_soob_ + "x"); }

void SpoolWriter::SetRescueDirectory(std::string dir) {
  std::lock_guard lock(mutex_);
  if (!dir.empty() && dir.back() != '/') dir += '/';
  rescue_prefix_ = std::move(dir);
}

std::string SpoolWriter::RescuePrefix() const {
  std::lock_guard lock(mutex_);
  return rescue_prefix_;
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
                                 last_failure_ + ")");
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
      Report(Severity::kInfo, "spool location " + path_for_soob_ + " takes records again");
    }
    failing_ = false;
    return;
  }
  NoteFailureLocked();
  if (rescued && !rescuing_) {
    rescuing_ = true;
    Report(Severity::kWarning, "spool location " + path_for_soob_ + " refuses records (" +
                                   last_failure_ + "); writing them to " + rescue_prefix_);
  }
}

void SpoolWriter::KeepLocked(const StationEventBytes& record) {
  if (backlog_.size() < capacity_) {
    if (backlog_.empty()) {
      Report(Severity::kError, "event records kept in memory: no directory takes them (" +
                                   last_failure_ + ")");
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

std::string SpoolWriter::TempPathLocked(const std::string& prefix, const std::string& base) {
  return prefix + base + "-" + std::to_string(::getpid()) + "-" + std::to_string(temp_counter_++) +
         kTempSuffix;
}

std::optional<std::string> SpoolWriter::WriteRecordLocked(const StationEventBytes& record) {
  if (std::optional<std::string> path = WriteAtLocked(path_for_soob_, record)) {
    NoteLocationLocked(false, false);
    return path;
  }
  std::optional<std::string> rescued;
  if (!rescue_prefix_.empty() && rescue_prefix_ != path_for_soob_) {
    const std::string primary_failure = last_failure_;
    rescued = WriteAtLocked(rescue_prefix_, record);
    if (rescued) last_failure_ = primary_failure;
  }
  NoteLocationLocked(true, rescued.has_value());
  return rescued;
}

std::optional<std::string> SpoolWriter::WriteAtLocked(const std::string& prefix,
                                                      const StationEventBytes& record) {
  const bool names_directory = !prefix.empty() && prefix.back() == '/';
  if (names_directory && !EnsureDirectory(DirectoryOf(prefix + "x"))) {
    last_failure_ = "create directory " + DirectoryOf(prefix + "x") + ": " + std::strerror(errno);
    return std::nullopt;
  }
  const std::string base = SpoolFileName(clock_.Now(), error_dir_);
  const std::string temp = TempPathLocked(prefix, base);
  const auto content = SpoolFileContent(record);
  if (!WriteNewFileDurably(temp, content)) {
    last_failure_ = "write " + temp + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (std::optional<std::string> path = PublishLocked(prefix, temp, base)) return path;
  last_failure_ = "link " + temp + ": " + std::strerror(errno);
  RemoveFile(temp);
  return std::nullopt;
}

std::optional<std::string> SpoolWriter::PublishLocked(const std::string& prefix,
                                                      const std::string& temp,
                                                      const std::string& base) {
  for (std::uint32_t k = 0; k < kMaxNameTries; ++k) {
    const std::string final_path = prefix + Candidate(base, k) + kSpoolSuffix;
    switch (RenameNoReplace(temp, final_path)) {
      case LinkResult::kLinked:
        SyncDirectory(DirectoryOf(final_path));
        return final_path;
      case LinkResult::kNameTaken:
        continue;
      case LinkResult::kFailed:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

void SpoolWriter::RecoverLeftovers() {
  std::lock_guard lock(mutex_);
  RecoverLeftoversAtLocked(path_for_soob_);
  if (!rescue_prefix_.empty() && rescue_prefix_ != path_for_soob_) {
    RecoverLeftoversAtLocked(rescue_prefix_);
  }
}

void SpoolWriter::RecoverLeftoversAtLocked(const std::string& location) {
  const std::string dir = DirectoryOf(location + "x");
  const auto files = ListFiles(dir);
  if (!files) return;
  // The part of the location after its directory: every spool name starts with it.
  const std::size_t slash = location.rfind('/');
  const std::string prefix = location.substr(slash == std::string::npos ? 0 : slash + 1);
  for (const std::string& name : *files) {
    if (!name.ends_with(kTempSuffix) || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string path = (dir.empty() ? "" : dir + "/") + name;
    const auto content = ReadWholeFile(path);
    const bool complete = content && content->size() == kSpoolFileSize &&
                          content->compare(0, 4, "\x32\x00\x00\x03", 4) == 0;
    if (!complete) {
      RemoveFile(path);
      continue;
    }
    const std::string rest = name.substr(prefix.size());
    const std::string base = rest.substr(0, rest.find('-'));
    if (!PublishLocked(location, path, base)) WriteErrorLog(error_dir_, kErrorSpoolWrite);
  }
  SyncDirectory(dir);
}

}  // namespace drvvzt
