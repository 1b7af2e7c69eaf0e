// POSIX implementation of the durable file helpers. EINTR is retried through
// RetryEintr only.
#include "platform/durable_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/retry_eintr.h"

namespace drvvzt {
namespace {

using platform_detail::RetryEintr;

// Closes fd without disturbing the errno of an earlier failure.
void CloseKeepErrno(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = RetryEintr([&] { return ::write(fd, bytes, size); });
    if (n < 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool CloseChecked(int fd) {
  // close() is not retried on EINTR: on Linux the descriptor is gone anyway.
  return ::close(fd) == 0 || errno == EINTR;
}

std::string TempNameFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(counter.fetch_add(1));
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  const int fd = RetryEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return std::nullopt;
  std::string content;
  char buffer[8192];
  for (;;) {
    const ssize_t n = RetryEintr([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) {
      CloseKeepErrno(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return content;
}

bool AppendToFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  const int fd = RetryEintr([&] {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  });
  if (fd < 0) return false;
  if (!WriteAll(fd, bytes.data(), bytes.size())) {
    CloseKeepErrno(fd);
    return false;
  }
  return CloseChecked(fd);
}

bool AppendToFile(const std::string& path, std::string_view text) {
  return AppendToFile(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

bool WriteNewFileDurably(const std::string& path, std::span<const std::uint8_t> bytes) {
  const int fd = RetryEintr([&] {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  });
  if (fd < 0) return false;
  const bool written = WriteAll(fd, bytes.data(), bytes.size()) &&
                       RetryEintr([&] { return ::fsync(fd); }) == 0;
  if (!written) {
    CloseKeepErrno(fd);
    const int saved = errno;
    ::unlink(path.c_str());
    errno = saved;
    return false;
  }
  if (!CloseChecked(fd)) {
    const int saved = errno;
    ::unlink(path.c_str());
    errno = saved;
    return false;
  }
  return true;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view content) {
  struct stat original {};
  const bool had_original = ::stat(path.c_str(), &original) == 0;
  const std::string temp = TempNameFor(path);
  const int fd = RetryEintr([&] {
    return ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  });
  if (fd < 0) return false;
  bool ok = WriteAll(fd, content.data(), content.size());
  if (ok && had_original) ok = ::fchmod(fd, original.st_mode & 07777) == 0;
  if (ok) ok = RetryEintr([&] { return ::fsync(fd); }) == 0;
  if (!ok) {
    CloseKeepErrno(fd);
  } else {
    ok = CloseChecked(fd);
  }
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    const int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    return false;
  }
  // The content is safe already; a failed directory flush only weakens the
  // power-cut guarantee, so it does not turn the write into a failure.
  SyncDirectory(DirectoryOf(path));
  return true;
}

LinkResult RenameNoReplace(const std::string& from, const std::string& to) {
  // link() refuses an existing target, which is exactly the no-replace rename
  // needed, and works on every local file system.
  if (::link(from.c_str(), to.c_str()) != 0) {
    return errno == EEXIST ? LinkResult::kNameTaken : LinkResult::kFailed;
  }
  if (::unlink(from.c_str()) != 0) {
    // Both names point at the one file: drop the new name so that the record
    // is not sent twice, and report the failure.
    const int saved = errno;
    ::unlink(to.c_str());
    errno = saved;
    return LinkResult::kFailed;
  }
  return LinkResult::kLinked;
}

bool SyncDirectory(const std::string& dir) {
  const std::string name = dir.empty() ? "." : dir;
  const int fd = RetryEintr([&] {
    return ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  });
  if (fd < 0) return false;
  const bool ok = RetryEintr([&] { return ::fsync(fd); }) == 0;
  if (!ok) {
    CloseKeepErrno(fd);
    return false;
  }
  ::close(fd);
  return true;
}

bool EnsureDirectory(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat info {};
  if (::stat(dir.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  const std::string parent = DirectoryOf(dir);
  if (!parent.empty() && parent != dir && !EnsureDirectory(parent)) return false;
  if (::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) {
    SyncDirectory(parent);
    return true;
  }
  return false;
}

std::optional<std::vector<std::string>> ListFiles(const std::string& dir) {
  const std::string name = dir.empty() ? "." : dir;
  DIR* handle = ::opendir(name.c_str());
  if (handle == nullptr) return std::nullopt;
  std::vector<std::string> files;
  errno = 0;
  while (const dirent* entry = ::readdir(handle)) {
    const std::string file = entry->d_name;
    struct stat info {};
    const std::string full = name + "/" + file;
    if (::stat(full.c_str(), &info) == 0 && S_ISREG(info.st_mode)) files.push_back(file);
    errno = 0;
  }
  const int saved = errno;
  ::closedir(handle);
  if (saved != 0) {
    errno = saved;
    return std::nullopt;
  }
  return files;
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace drvvzt
