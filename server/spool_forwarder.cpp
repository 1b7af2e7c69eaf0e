// Spool forwarding; see spool_forwarder.h.
#include "server/spool_forwarder.h"

#include <algorithm>
#include <cctype>
#include <span>
#include <system_error>

#include "platform/datetime.h"
#include "platform/durable_file.h"
#include "platform/error_log.h"
#include "server/wire_format.h"

namespace drvvzt {
namespace {

constexpr std::size_t kTypeBytes = 4;
const double kResendSpacing = DurationDays(0, 0, 3);
constexpr char kSpoolExtension[] = ".dd8";
constexpr char kBadSuffix[] = ".bad";

bool IsSpoolName(const std::string& name, const std::string& prefix) {
  const std::size_t ext = sizeof kSpoolExtension - 1;
  if (name.size() < prefix.size() + ext || name.compare(0, prefix.size(), prefix) != 0) return false;
  for (std::size_t i = 0; i < ext; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[name.size() - ext + i]);
    if (std::tolower(c) != kSpoolExtension[i]) return false;
  }
  return true;
}

}  // namespace

SpoolForwarder::SpoolForwarder(SpoolLink& link, DateTimeClock& clock, std::string path_for_soob,
                               std::string error_dir, LogFn log)
    : link_(link), clock_(clock), error_dir_(std::move(error_dir)), log_(std::move(log)) {
  const std::size_t slash = path_for_soob.rfind('/');
  if (slash == std::string::npos) {
    name_prefix_ = path_for_soob;
  } else {
    dir_part_ = path_for_soob.substr(0, slash + 1);
    name_prefix_ = path_for_soob.substr(slash + 1);
  }
}

std::string SpoolForwarder::SentSpoolPath() const {
  std::lock_guard lock(mutex_);
  return SentSpoolPath_;
}

double SpoolForwarder::LastSpoolSend() const {
  std::lock_guard lock(mutex_);
  return LastSpoolSend_;
}

void SpoolForwarder::Step() {
  std::lock_guard lock(mutex_);
  StepLocked();
}

void SpoolForwarder::StepLocked() {
  if (!link_.IsLinkUp()) return;
  const double now = clock_.Now();
  if (!(now > LastSpoolSend_ + kResendSpacing)) return;
  bool relisted = false;
  for (;;) {
    if (pending_.empty()) {
      if (relisted) return;
      Relist();
      relisted = true;
      continue;
    }
    const std::string path = PathOf(pending_.front());
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
      // Someone else took it; the listing is stale.
      pending_.pop_front();
      if (!relisted) {
        Relist();
        relisted = true;
      }
      continue;
    }
    const std::optional<std::string> content = ReadWholeFile(path);
    if (!content || content->size() < kTypeBytes) {
      SetAside(path);
      pending_.pop_front();
      continue;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(content->data());
    const std::span<const std::uint8_t> all(bytes, content->size());
    const std::uint32_t msg_type = GetU32(all, 0);
    const std::optional<std::uint64_t> sequence =
        link_.QueueSpooledMessage(msg_type, all.subspan(kTypeBytes));
    // A full queue: the same file is tried again at the next step.
    if (!sequence) return;
    SentSpoolPath_ = path;
    sent_sequence_ = sequence;
    sent_written_ = false;
    LastSpoolSend_ = now;
    return;
  }
}

void SpoolForwarder::Relist() {
  pending_.clear();
  const std::optional<std::vector<std::string>> names = ListFiles(dir_part_);
  if (!names) return;
  for (const std::string& name : *names) {
    if (!IsSpoolName(name, name_prefix_)) continue;
    std::error_code ec;
    const auto modified = std::filesystem::last_write_time(dir_part_ + name, ec);
    if (ec) continue;
    pending_.push_back(Entry{modified, name});
  }
  std::sort(pending_.begin(), pending_.end(), [](const Entry& a, const Entry& b) {
    return a.modified != b.modified ? a.modified < b.modified : a.name < b.name;
  });
}

void SpoolForwarder::SetAside(const std::string& path) {
  // Never replace an earlier bad file of the same name.
  std::string target = path + kBadSuffix;
  for (int n = 1; n < 100 && RenameNoReplace(path, target) == LinkResult::kNameTaken; ++n) {
    target = path + "." + std::to_string(n) + kBadSuffix;
  }
  WriteErrorLog(error_dir_, kErrorSpoolFileBad);
  if (log_) log_(kLogSpoolFileBad + path);
}

void SpoolForwarder::OnConnected() {
  std::lock_guard lock(mutex_);
  LastSpoolSend_ = clock_.Now() - 1.0;
  // A message written on the old connection proves nothing about the new one.
  sent_written_ = false;
}

void SpoolForwarder::OnMessageWritten(std::uint64_t sequence) {
  std::lock_guard lock(mutex_);
  if (sent_sequence_ && *sent_sequence_ == sequence) sent_written_ = true;
}

void SpoolForwarder::OnSpoolAck() {
  std::lock_guard lock(mutex_);
  if (!sent_written_) return;
  std::error_code ec;
  if (!std::filesystem::exists(SentSpoolPath_, ec)) return;
  RemoveFile(SentSpoolPath_);
  sent_written_ = false;
  sent_sequence_.reset();
  LastSpoolSend_ = clock_.Now() - 1.0;
  if (!pending_.empty() && PathOf(pending_.front()) == SentSpoolPath_) pending_.pop_front();
  StepLocked();
}

}  // namespace drvvzt
