// Spool forwarding; see spool_forwarder.h.
#include "server/spool_forwarder.h"

#include <algorithm>
#include <cctype>
#include <span>
#include <system_error>

#include "platform/diagnostics.h"
#include "platform/durable_file.h"
#include "station/spool_writer.h"
#include "platform/error_log.h"
#include "server/wire_format.h"

namespace drvvzt {
namespace {

constexpr std::size_t kTypeBytes = 4;
constexpr char kBadSuffix[] = ".bad";

bool Elapsed(std::uint32_t now, std::uint32_t since, std::uint32_t limit) {
  return static_cast<std::uint32_t>(now - since) > limit;
}

}  // namespace

SpoolForwarder::SpoolForwarder(SpoolLink& link, InFlightFiles& in_flight, TickClock& tick,
                               std::string path_for_soob, std::string error_dir, LogFn log)
    : link_(link), in_flight_(in_flight), tick_(tick), error_dir_(std::move(error_dir)),
      log_(std::move(log)) {
  AddLocation(path_for_soob);
}

void SpoolForwarder::AddLocation(const std::string& prefix) {
  std::lock_guard lock(mutex_);
  const std::size_t slash = prefix.rfind('/');
  Location location;
  if (slash == std::string::npos) {
    location.name_prefix = prefix;
  } else {
    location.dir_part = prefix.substr(0, slash + 1);
    location.name_prefix = prefix.substr(slash + 1);
  }
  locations_.push_back(std::move(location));
  pending_.clear();
}

std::string SpoolForwarder::SentSpoolPath() const {
  std::lock_guard lock(mutex_);
  return sent_path_;
}

std::optional<std::string> SpoolForwarder::InFlightPath() const {
  std::lock_guard lock(mutex_);
  return in_flight_path_;
}

void SpoolForwarder::Step() {
  std::lock_guard lock(mutex_);
  StepLocked();
}

void SpoolForwarder::StepLocked() {
  if (!link_.IsLinkUp() || in_flight_path_) return;
  if (!send_now_ && !Elapsed(tick_.NowTick(), last_send_tick_, kSpoolResendSpacingMs)) return;
  if (SendFirstLocked()) return;
  Relist();
  SendFirstLocked();
}

bool SpoolForwarder::SendFirstLocked() {
  for (auto it = pending_.begin(); it != pending_.end();) {
    const std::string path = it->path;
    // Checked under the hold: a file written and handed to the link a moment
    // ago is registered as in flight before the hold is released.
    auto hold = in_flight_.Hold();
    if (in_flight_.Contains(path)) {
      ++it;
      continue;
    }
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
      it = pending_.erase(it);
      continue;
    }
    const std::optional<std::string> content = ReadWholeFile(path);
    if (!content || content->size() < kTypeBytes) {
      SetAside(path);
      it = pending_.erase(it);
      continue;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(content->data());
    const std::span<const std::uint8_t> all(bytes, content->size());
    // A full queue: the same file is tried again at the next step.
    if (!link_.QueueSpoolFile(GetU32(all, 0), all.subspan(kTypeBytes), path)) return true;
    sent_path_ = path;
    in_flight_path_ = path;
    last_send_tick_ = tick_.NowTick();
    send_now_ = false;
    return true;
  }
  return false;
}

void SpoolForwarder::Relist() {
  pending_.clear();
  for (const Location& location : locations_) {
    const std::optional<std::vector<std::string>> names = ListFiles(location.dir_part);
    if (!names) continue;
    for (const std::string& name : *names) {
      if (!IsSpoolFileName(name, location.name_prefix)) continue;
      const std::string path = location.dir_part + name;
      std::error_code ec;
      const auto modified = std::filesystem::last_write_time(path, ec);
      if (ec) continue;
      pending_.push_back(Entry{demoted_.count(path) > 0, modified, path});
    }
  }
  std::sort(pending_.begin(), pending_.end(), [](const Entry& a, const Entry& b) {
    if (a.demoted != b.demoted) return b.demoted;
    return a.modified != b.modified ? a.modified < b.modified : a.path < b.path;
  });
}

void SpoolForwarder::SetAside(const std::string& path) {
  // Never replace an earlier bad file of the same name.
  std::string target = path + kBadSuffix;
  for (int n = 1; n < 100 && RenameNoReplace(path, target) == LinkResult::kNameTaken; ++n) {
    target = path + "." + std::to_string(n) + kBadSuffix;
  }
  WriteErrorLog(error_dir_, kErrorSpoolFileBad);
  Report(Severity::kWarning, "unreadable spool file set aside as " + target);
  if (log_) log_(kLogSpoolFileBad + path);
}

void SpoolForwarder::OnConnected() {
  std::lock_guard lock(mutex_);
  send_now_ = true;
}

void SpoolForwarder::OnSpoolFileSettled(const std::string& path, SpoolFate fate) {
  std::lock_guard lock(mutex_);
  if (in_flight_path_ == path) in_flight_path_.reset();
  switch (fate) {
    case SpoolFate::kAcknowledged:
      refusals_.erase(path);
      demoted_.erase(path);
      if (!pending_.empty() && pending_.front().path == path) pending_.pop_front();
      send_now_ = true;
      StepLocked();
      return;
    case SpoolFate::kRefused:
      NoteRefusalLocked(path);
      return;
    case SpoolFate::kUnanswered:
      return;
  }
}

void SpoolForwarder::NoteRefusalLocked(const std::string& path) {
  if (++refusals_[path] < kSpoolRefusalLimit) return;
  refusals_.erase(path);
  if (demoted_.insert(path).second) {
    Report(Severity::kWarning, "spool file " + path + " was sent " +
                                   std::to_string(kSpoolRefusalLimit) +
                                   " times without the server's acknowledgement; it is now "
                                   "retried after the other files");
  }
  // The others go first, starting now.
  for (Entry& entry : pending_) {
    if (entry.path == path) entry.demoted = true;
  }
  std::stable_partition(pending_.begin(), pending_.end(), [](const Entry& e) { return !e.demoted; });
  send_now_ = true;
}

}  // namespace drvvzt
