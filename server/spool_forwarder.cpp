// Spool forwarding; see spool_forwarder.h.
#include "server/spool_forwarder.h"

#include <algorithm>
#include <cerrno>

#include "platform/diagnostics.h"
#include "platform/error_log.h"

namespace drvvzt {
namespace {

bool PassOverFor(int error_number) {
  return error_number == ENOENT || error_number == EMFILE || error_number == ENFILE ||
         error_number == ENOMEM;
}

bool Elapsed(std::uint32_t now, std::uint32_t since, std::uint32_t limit) {
  return static_cast<std::uint32_t>(now - since) > limit;
}

}  // namespace

SpoolForwarder::SpoolForwarder(SpoolLink& link, InFlightFiles& in_flight, TickClock& tick,
                               std::string path_for_soob, std::string error_dir, LogFn log,
                               FileSystem& fs)
    : link_(link), in_flight_(in_flight), tick_(tick), error_dir_(std::move(error_dir)),
      log_(std::move(log)), fs_(fs) {
  AddLocation(path_for_soob);
}

void SpoolForwarder::AddLocation(const std::string& prefix) {
  std::lock_guard lock(mutex_);
  locations_.push_back(Location{SpoolStore(prefix, fs_)});
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

bool SpoolForwarder::HasWork() const {
  std::lock_guard lock(mutex_);
  return link_.IsLinkUp() && (in_flight_path_ || !pending_.empty());
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
    const SpoolRead read = locations_[it->location].store.Read(path);
    if (!read.ok()) {
      // Gone since the listing (delivered by the link, moved by an operator) or
      // kept from being read by a shortage of the process, not by the file:
      // passed over until the next listing. Anything else is the file's fault.
      if (!PassOverFor(read.error.error_number)) SetAside(*it, read.Problem(path));
      it = pending_.erase(it);
      continue;
    }
    // A full queue: the same file is tried again at the next step.
    if (!link_.QueueSpoolFile(read.message->type, read.message->body, path)) return true;
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
  for (std::size_t i = 0; i < locations_.size(); ++i) ListLocation(i);
  std::sort(pending_.begin(), pending_.end(), [](const Entry& a, const Entry& b) {
    if (a.demoted != b.demoted) return b.demoted;
    return a.mtime_ns != b.mtime_ns ? a.mtime_ns < b.mtime_ns : a.path < b.path;
  });
}

void SpoolForwarder::ListLocation(std::size_t index) {
  Location& location = locations_[index];
  std::vector<SpoolFile> files;
  const SysError error = location.store.List(files);
  if (!error.ok()) {
    // A spool directory not made yet simply holds nothing.
    if (error.error_number != ENOENT && !location.listing_failed) {
      Report(Severity::kError, "spool files cannot be listed, so they are not forwarded: " +
                                   error.Text());
    }
    location.listing_failed = error.error_number != ENOENT;
    return;
  }
  if (location.listing_failed) {
    location.listing_failed = false;
    Report(Severity::kInfo, "spool files in " + location.store.Prefix() + " can be listed again");
  }
  for (SpoolFile& file : files) {
    if (stuck_.count(file.path) > 0) continue;
    const bool demoted = demoted_.count(file.path) > 0;
    pending_.push_back(Entry{demoted, file.mtime_ns, std::move(file.path), index});
  }
}

void SpoolForwarder::SetAside(const Entry& entry, const std::string& problem) {
  std::string set_aside;
  const SysError error = locations_[entry.location].store.SetAside(entry.path, set_aside);
  WriteErrorLog(error_dir_, kErrorSpoolFileBad);
  if (!error.ok()) {
    stuck_.insert(entry.path);
    Report(Severity::kError, "unreadable spool file (" + problem +
                                 ") cannot be set aside and is skipped until the next start: " +
                                 error.Text());
    return;
  }
  if (log_) log_(kLogSpoolFileBad + entry.path);
  Report(Severity::kWarning, "unreadable spool file (" + problem + ") set aside as " + set_aside);
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
