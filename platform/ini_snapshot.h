// The last good reading of one INI file, for values that are looked up again
// and again while the driver runs ([Razdels] for every packet, [ServerHost]
// before every connection attempt).
//
// An operator's editor may save the file in place: truncate it, then write it
// in pieces. Reading the file at such a moment gives a part of it, and a
// missing key silently becomes its default (a lost Razdel mapping, a link to
// 127.0.0.1). So a change is taken only once it has settled:
//
//   - the file is known by its identity (device, inode), size, modification
//     and status-change times; while these are unchanged the reading in memory
//     is used and the file is not read again. The stat itself is done at most
//     every 100 ms: it costs more than decoding a packet, and a burst of
//     packets needs no fresher view of a file that only a person edits;
//   - a changed file is read once its modification time is at least a second
//     old on the wall clock, or once the same changed state has been seen for a
//     second (this covers a modification time in the future, and a missing
//     file); until then the last good reading stays in use. The same file
//     changed in place is not settled by its modification time when it was
//     resized under its old time, or when that time is older than its change
//     time: both show a truncation caught half-way (see MidChange), and such a
//     state stays suspect however often it is seen. An edit therefore takes
//     effect about a second after the editor stopped writing;
//   - a file replaced atomically (a new file renamed over it, as WriteIniString
//     does) is a new inode and follows the same rule;
//   - a missing file is a valid reading, all defaults, but only after it has
//     been missing for a second: editors that save by renaming the old file
//     away and writing a new one leave a moment without any file;
//   - the first lookup takes the file as it is (missing or not), since there is
//     no earlier reading to fall back on;
//   - a file that changes while it is read, or cannot be read, leaves the last
//     good reading in place; LastError() keeps the cause, and the next look at
//     the file tries again.
//
// Values follow the rules of ini_file.h and ini_values.h.
//
// Thread-safe: every call may run on any thread at the same time. A lookup
// holds the object's mutex for its stat (and, after a change, the read); the
// values themselves are looked up in an immutable reading outside it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/ini_file.h"
#include "platform/sys_error.h"

namespace drvvzt {

// Nanoseconds since 1970-01-01 UTC; the clock that file modification times use.
using WallClockNs = std::function<std::int64_t()>;
std::int64_t SystemWallClockNs();

class IniSnapshot {
public:
  // How long a change must have rested before it is read.
  static constexpr std::int64_t kSettleNs = 1'000'000'000;
  // The least time between two looks at the file (0: at every lookup).
  static constexpr std::int64_t kStatIntervalNs = 100'000'000;

  explicit IniSnapshot(std::string path, WallClockNs wall_clock = SystemWallClockNs,
                       std::int64_t stat_interval_ns = kStatIntervalNs);
  IniSnapshot(const IniSnapshot&) = delete;
  IniSnapshot& operator=(const IniSnapshot&) = delete;

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& fallback);
  std::int32_t ReadInteger(const std::string& section, const std::string& key,
                           std::int32_t fallback);
  bool ReadBoolean(const std::string& section, const std::string& key, bool fallback);

  // The reading in use after bringing it up to date, for several lookups that
  // must come from one version of the file.
  std::shared_ptr<const IniContent> Current();

  const std::string& Path() const { return path_; }
  // How many times the file was opened for reading (also unsuccessfully).
  std::uint64_t FileReads() const;
  // Why the last attempt to stat or read the file failed; nothing once a
  // reading succeeded again. A missing file is no error.
  std::optional<SysError> LastError() const;

  // What the file looked like when it was last examined.
  struct FileState {
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint32_t type = 0;  // the S_IFMT bits: a reused inode may be another kind of file
    std::int64_t size = 0;
    std::int64_t modified_ns = 0;
    std::int64_t changed_ns = 0;
    bool operator==(const FileState&) const = default;
  };

private:
  void BringUpToDate();
  bool LookedAtRecently(std::int64_t now_ns);
  bool MidChange(const FileState& seen) const;
  bool Settled(const FileState& seen, std::int64_t now_ns, bool mid_change);
  void ReadFile(const FileState& seen);
  void Take(std::shared_ptr<const IniContent> content, const FileState& state);
  void Fail(const char* call, int error);

  const std::string path_;
  const WallClockNs wall_clock_;
  const std::int64_t stat_interval_ns_;

  mutable std::mutex mutex_;
  std::shared_ptr<const IniContent> content_;  // null until the first reading
  FileState content_state_;                    // the file the reading came from
  std::optional<FileState> pending_;           // a change not yet settled
  std::optional<FileState> last_seen_;         // the file at the last look
  std::int64_t pending_since_ns_ = 0;
  bool pending_mid_change_ = false;  // the pending state was caught mid-change
  std::optional<std::int64_t> last_stat_ns_;
  std::uint64_t file_reads_ = 0;
  std::optional<SysError> last_error_;
};

}  // namespace drvvzt
