// The settled reading of an INI file: stat per lookup, read only after a
// change has rested for a second.
#include "platform/ini_snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ini_values.h"
#include "platform/retry_eintr.h"

namespace drvvzt {
namespace {

using platform_detail::RetryEintr;

std::int64_t Nanoseconds(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

IniSnapshot::FileState StateOf(const struct stat& st) {
  IniSnapshot::FileState state;
  state.exists = true;
  state.device = static_cast<std::uint64_t>(st.st_dev);
  state.inode = static_cast<std::uint64_t>(st.st_ino);
  state.type = static_cast<std::uint32_t>(st.st_mode & S_IFMT);
  state.size = static_cast<std::int64_t>(st.st_size);
  state.modified_ns = Nanoseconds(st.st_mtim);
  state.changed_ns = Nanoseconds(st.st_ctim);
  return state;
}

// ENOTDIR: a directory on the way has become a file; for us the file is gone.
bool IsMissing(int error) { return error == ENOENT || error == ENOTDIR; }

const std::shared_ptr<const IniContent>& NoFile() {
  static const std::shared_ptr<const IniContent> empty = std::make_shared<IniContent>();
  return empty;
}

std::optional<IniSnapshot::FileState> StateOfOpen(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return StateOf(st);
}

struct OpenFileReading {
  IniSnapshot::FileState before;
  IniSnapshot::FileState after;
  std::string text;
};

// The whole file behind fd with its state before and after the read; nothing
// with errno kept and *failed_call naming the call that failed.
std::optional<OpenFileReading> ReadOpenFile(int fd, const char** failed_call) {
  OpenFileReading reading;
  const auto before = StateOfOpen(fd);
  if (!before) {
    *failed_call = "fstat";
    return std::nullopt;
  }
  reading.before = *before;
  char buffer[8192];
  for (;;) {
    const ssize_t n = RetryEintr([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) {
      *failed_call = "read";
      return std::nullopt;
    }
    if (n == 0) break;
    reading.text.append(buffer, static_cast<std::size_t>(n));
  }
  const auto after = StateOfOpen(fd);
  if (!after) {
    *failed_call = "fstat";
    return std::nullopt;
  }
  reading.after = *after;
  return reading;
}

}  // namespace

std::int64_t SystemWallClockNs() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now);
}

IniSnapshot::IniSnapshot(std::string path, WallClockNs wall_clock, std::int64_t stat_interval_ns)
    : path_(std::move(path)),
      wall_clock_(std::move(wall_clock)),
      stat_interval_ns_(stat_interval_ns) {}

std::string IniSnapshot::ReadString(const std::string& section, const std::string& key,
                                    const std::string& fallback) {
  return Current()->ReadString(section, key, fallback);
}

std::int32_t IniSnapshot::ReadInteger(const std::string& section, const std::string& key,
                                      std::int32_t fallback) {
  return ParseIniInteger(ReadString(section, key, ""), fallback);
}

bool IniSnapshot::ReadBoolean(const std::string& section, const std::string& key, bool fallback) {
  return ParseIniBoolean(ReadString(section, key, ""), fallback);
}

std::shared_ptr<const IniContent> IniSnapshot::Current() {
  std::lock_guard lock(mutex_);
  BringUpToDate();
  return content_ ? content_ : NoFile();
}

std::uint64_t IniSnapshot::FileReads() const {
  std::lock_guard lock(mutex_);
  return file_reads_;
}

std::optional<SysError> IniSnapshot::LastError() const {
  std::lock_guard lock(mutex_);
  return last_error_;
}

void IniSnapshot::BringUpToDate() {
  const std::int64_t now_ns = wall_clock_();
  if (LookedAtRecently(now_ns)) return;
  struct stat st {};
  FileState seen;
  if (::stat(path_.c_str(), &st) == 0) {
    seen = StateOf(st);
  } else if (!IsMissing(errno)) {
    Fail("stat", errno);
    return;
  }
  if (content_ && seen == content_state_) {
    pending_.reset();  // an edit that was undone before it settled
    return;
  }
  const bool mid_change = MidChange(seen);
  last_seen_ = seen;
  if (content_ && !Settled(seen, now_ns, mid_change)) return;
  ReadFile(seen);
}

// A file system shrinking a file publishes the new size before it stamps the
// new modification time (ext4 frees the blocks in between; kernels with
// fine-grained stamps set the change time first). A stat in that moment shows
// an emptied file with its old, long-settled modification time; a writer
// preempted there (a loaded machine) holds that state for milliseconds, and a
// read then gets nothing, consistently. Without this check the driver would
// take an editor's truncation as the settled file. So the modification time of
// a file changed in place is not trusted when the file was resized under its
// old stamp, or when the stamp is older than the change time (which writes
// set together with it; a chmod or a time set by hand only wait their second).
bool IniSnapshot::MidChange(const FileState& seen) const {
  if (!last_seen_ || !seen.exists || !last_seen_->exists || seen.device != last_seen_->device ||
      seen.inode != last_seen_->inode || seen.type != last_seen_->type || seen == *last_seen_) {
    return false;
  }
  const bool resized_unstamped = seen.size != last_seen_->size && seen.modified_ns == last_seen_->modified_ns;
  return resized_unstamped || seen.modified_ns < seen.changed_ns;
}

bool IniSnapshot::LookedAtRecently(std::int64_t now_ns) {
  if (last_stat_ns_) {
    const std::int64_t since = now_ns - *last_stat_ns_;
    // A wall clock set back makes `since` negative: look rather than wait for
    // the clock to catch up.
    if (since >= 0 && since < stat_interval_ns_) return true;
  }
  last_stat_ns_ = now_ns;
  return false;
}

bool IniSnapshot::Settled(const FileState& seen, std::int64_t now_ns, bool mid_change) {
  if (!pending_ || *pending_ != seen) {
    pending_ = seen;
    pending_since_ns_ = now_ns;
    pending_mid_change_ = false;
  }
  // Seen again unchanged, a state caught mid-change is still one: its writer
  // may simply not have been scheduled since.
  pending_mid_change_ = pending_mid_change_ || mid_change;
  if (seen.exists && !pending_mid_change_ && now_ns - seen.modified_ns >= kSettleNs) return true;
  return now_ns - pending_since_ns_ >= kSettleNs;
}

void IniSnapshot::ReadFile(const FileState& seen) {
  ++file_reads_;
  const int fd = RetryEintr([&] { return ::open(path_.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) {
    const int error = errno;
    if (!IsMissing(error)) {
      Fail("open", error);
    } else if (!content_ || !seen.exists) {
      Take(NoFile(), FileState{});
    }
    // Otherwise it was gone between the stat and the open: the missing file
    // rests a second of its own before it counts.
    return;
  }
  const char* failed_call = "";
  const std::optional<OpenFileReading> reading = ReadOpenFile(fd, &failed_call);
  const int error = errno;
  ::close(fd);
  if (!reading) {
    Fail(failed_call, error);
    return;
  }
  const bool steady = reading->before == seen && reading->after == reading->before &&
                      static_cast<std::int64_t>(reading->text.size()) == reading->before.size;
  // A file that changed between the stat and the read, or while it was read,
  // may be half written again: its new state has to settle first. Only the
  // first reading, having nothing to fall back on, takes it as it is; it is
  // filed under the state before the read, so a later change is read again.
  if (content_ && !steady) return;
  Take(std::make_shared<const IniContent>(IniContent::Parse(reading->text)), reading->before);
}

void IniSnapshot::Take(std::shared_ptr<const IniContent> content, const FileState& state) {
  content_ = std::move(content);
  content_state_ = state;
  last_seen_ = state;
  pending_.reset();
  last_error_.reset();
}

void IniSnapshot::Fail(const char* call, int error) {
  last_error_ = SysError::Of(error, call, path_);
}

}  // namespace drvvzt
