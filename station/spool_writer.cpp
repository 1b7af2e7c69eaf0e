// Writing spool files durably and without overwriting one another.
#include "station/spool_writer.h"

#include <unistd.h>

#include <cstdio>
#include <optional>

#include "platform/datetime.h"
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

std::optional<std::uint32_t> ParseBase(const std::string& base) {
  if (base.empty() || base.size() > 8) return std::nullopt;
  std::uint32_t n = 0;
  for (char c : base) {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) return std::nullopt;
    n = (n << 4) | static_cast<std::uint32_t>(d);
  }
  return n;
}

// The base name of the k-th try: the base itself, then its successors. An empty
// base (the time could not be read) continues with 1, 2, ...
std::string Candidate(const std::string& base, std::uint32_t k) {
  if (k == 0) return base;
  const std::uint32_t n = ParseBase(base).value_or(0);
  return Hex(n + k);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
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

bool SpoolWriter::Spool(const StationEventBytes& record) {
  std::lock_guard lock(mutex_);
  // Older records go first, and a directory that still fails them is not tried
  // again for this one.
  if (WriteBacklogLocked() && WriteRecordLocked(record)) {
    failing_ = false;
    return true;
  }
  KeepLocked(record);
  return false;
}

bool SpoolWriter::FlushBacklog() {
  std::lock_guard lock(mutex_);
  if (!WriteBacklogLocked()) return false;
  failing_ = false;
  return true;
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
  backlog_.resize(capacity_);
  if (!overflowing_) {
    overflowing_ = true;
    WriteErrorLog(error_dir_, kErrorSpoolWrite);
  }
}

std::size_t SpoolWriter::BacklogSize() const {
  std::lock_guard lock(mutex_);
  return backlog_.size();
}

bool SpoolWriter::WriteBacklogLocked() {
  while (!backlog_.empty()) {
    if (!WriteRecordLocked(backlog_.front())) {
      NoteFailureLocked();
      return false;
    }
    backlog_.pop_front();
  }
  overflowing_ = false;
  return true;
}

void SpoolWriter::NoteFailureLocked() {
  if (failing_) return;
  failing_ = true;
  WriteErrorLog(error_dir_, kErrorSpoolWrite);
}

void SpoolWriter::KeepLocked(const StationEventBytes& record) {
  NoteFailureLocked();
  if (backlog_.size() < capacity_) {
    backlog_.push_back(record);
    return;
  }
  // The oldest records are kept: they are the ones the operator has not seen
  // for longest, and the order on disk stays the order of arrival.
  if (!overflowing_) {
    overflowing_ = true;
    WriteErrorLog(error_dir_, kErrorSpoolWrite);
  }
}

std::string SpoolWriter::TempPathLocked(const std::string& base) {
  return path_for_soob_ + base + "-" + std::to_string(::getpid()) + "-" +
         std::to_string(temp_counter_++) + kTempSuffix;
}

bool SpoolWriter::WriteRecordLocked(const StationEventBytes& record) {
  if (!path_for_soob_.empty() && path_for_soob_.back() == '/' && !EnsureDirectory(Directory())) {
    return false;
  }
  const std::string base = SpoolFileName(clock_.Now(), error_dir_);
  const std::string temp = TempPathLocked(base);
  const auto content = SpoolFileContent(record);
  if (!WriteNewFileDurably(temp, content)) return false;
  if (PublishLocked(temp, base)) return true;
  RemoveFile(temp);
  return false;
}

bool SpoolWriter::PublishLocked(const std::string& temp, const std::string& base) {
  for (std::uint32_t k = 0; k < kMaxNameTries; ++k) {
    const std::string final_path = path_for_soob_ + Candidate(base, k) + kSpoolSuffix;
    switch (RenameNoReplace(temp, final_path)) {
      case LinkResult::kLinked:
        SyncDirectory(Directory());
        return true;
      case LinkResult::kNameTaken:
        continue;
      case LinkResult::kFailed:
        return false;
    }
  }
  return false;
}

void SpoolWriter::RecoverLeftovers() {
  std::lock_guard lock(mutex_);
  const std::string dir = Directory();
  const auto files = ListFiles(dir);
  if (!files) return;
  // The part of PathForSoob after its directory: every spool name starts with it.
  const std::string prefix = path_for_soob_.substr(path_for_soob_.rfind('/') == std::string::npos
                                                       ? 0
                                                       : path_for_soob_.rfind('/') + 1);
  for (const std::string& name : *files) {
    if (!EndsWith(name, kTempSuffix) || name.compare(0, prefix.size(), prefix) != 0) continue;
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
    if (!PublishLocked(path, base)) WriteErrorLog(error_dir_, kErrorSpoolWrite);
  }
  SyncDirectory(dir);
}

}  // namespace drvvzt
