// The ways drvvzt.ini changes under a running driver, as tests replay them:
// an editor that saves in place (truncate, then write), a writer that renames
// a new file over the old one, and a wall clock the tests move by hand.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "platform/ini_snapshot.h"

namespace drvvzt::testing {

inline constexpr std::int64_t kNsPerMs = 1'000'000;
inline constexpr std::int64_t kNsPerSecond = 1'000'000'000;

class FakeWallClock {
public:
  // Starts at the real time, so that files written without a chosen
  // modification time count as written just now.
  FakeWallClock() : now_ns_(SystemWallClockNs()) {}
  std::int64_t Now() const { return now_ns_.load(); }
  void AdvanceMs(std::int64_t ms) { now_ns_.fetch_add(ms * kNsPerMs); }
  WallClockNs Function() {
    return [this] { return now_ns_.load(); };
  }

private:
  std::atomic<std::int64_t> now_ns_;
};

inline void SetModificationTime(const std::string& path, std::int64_t modified_ns) {
  const struct timespec times[2] = {
      {0, UTIME_OMIT},
      {static_cast<time_t>(modified_ns / kNsPerSecond), static_cast<long>(modified_ns % kNsPerSecond)}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) throw std::runtime_error("utimensat " + path);
}

// Truncates and writes the existing file (same inode), as an editor saving in
// place does; text may be only the first part of what the editor will write.
inline void RewriteInPlace(const std::string& path, const std::string& text,
                           std::int64_t modified_ns) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("open " + path);
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (!written) throw std::runtime_error("write " + path);
  SetModificationTime(path, modified_ns);
}

// A new file renamed over path: a new inode, complete at once.
inline void ReplaceByRename(const std::string& path, const std::string& text,
                            std::int64_t modified_ns) {
  const std::string temporary = path + ".new";
  std::FILE* out = std::fopen(temporary.c_str(), "wb");
  if (out == nullptr) throw std::runtime_error("fopen " + temporary);
  std::fwrite(text.data(), 1, text.size(), out);
  std::fclose(out);
  SetModificationTime(temporary, modified_ns);
  if (std::rename(temporary.c_str(), path.c_str()) != 0) throw std::runtime_error("rename " + path);
}

}  // namespace drvvzt::testing
