// The durable file helpers, over a FileSystem.
#include "platform/durable_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace drvvzt {
namespace {

// The failure of the call just made; errno is read before anything can
// allocate and overwrite it.
SysError Failed(const char* call, const std::string& path) {
  const int saved = errno;
  return SysError::Of(saved, call, path);
}

// For the yes-or-no overloads: errno as the failing call left it.
bool Succeeded(const SysError& error) {
  if (error.ok()) return true;
  errno = error.error_number;
  return false;
}

SysError WriteAll(FileSystem& fs, int fd, const std::string& path, const void* data,
                  std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = fs.Write(fd, bytes, size);
    if (n < 0) return Failed("write", path);
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

// Closes after an earlier failure, which stays the one reported.
void CloseQuietly(FileSystem& fs, int fd) { fs.Close(fd); }

void UnlinkQuietly(FileSystem& fs, const std::string& path) { fs.Unlink(path); }

std::string TempNameFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(counter.fetch_add(1));
}

std::string DirectoryName(const std::string& dir) { return dir.empty() ? "." : dir; }

// Writes, optionally gives the permission bits and flushes an open new file,
// then closes it; the file is removed again when any of it fails.
SysError FinishNewFile(FileSystem& fs, int fd, const std::string& path, const void* data,
                       std::size_t size, std::optional<mode_t> mode) {
  SysError error = WriteAll(fs, fd, path, data, size);
  if (error.ok() && mode && fs.Fchmod(fd, *mode) != 0) error = Failed("fchmod", path);
  if (error.ok() && fs.Fsync(fd) != 0) error = Failed("fsync", path);
  if (error.ok()) {
    if (fs.Close(fd) != 0) error = Failed("close", path);
  } else {
    CloseQuietly(fs, fd);
  }
  if (!error.ok()) UnlinkQuietly(fs, path);
  return error;
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

SysError ReadWholeFile(FileSystem& fs, const std::string& path, std::string& content) {
  content.clear();
  const int fd = fs.Open(path, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return Failed("open", path);
  char buffer[8192];
  for (;;) {
    const ssize_t n = fs.Read(fd, buffer, sizeof buffer);
    if (n < 0) {
      SysError error = Failed("read", path);
      CloseQuietly(fs, fd);
      return error;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  fs.Close(fd);  // read-only: nothing can be lost at close
  return {};
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::string content;
  if (!Succeeded(ReadWholeFile(PosixFileSystem(), path, content))) return std::nullopt;
  return content;
}

SysError AppendToFile(FileSystem& fs, const std::string& path, std::span<const std::uint8_t> bytes) {
  const int fd = fs.Open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return Failed("open", path);
  SysError error = WriteAll(fs, fd, path, bytes.data(), bytes.size());
  if (!error.ok()) {
    CloseQuietly(fs, fd);
    return error;
  }
  if (fs.Close(fd) != 0) return Failed("close", path);
  return {};
}

bool AppendToFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  return Succeeded(AppendToFile(PosixFileSystem(), path, bytes));
}

bool AppendToFile(const std::string& path, std::string_view text) {
  return AppendToFile(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

SysError WriteNewFileDurably(FileSystem& fs, const std::string& path,
                             std::span<const std::uint8_t> bytes) {
  const int fd = fs.Open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return Failed("open", path);
  return FinishNewFile(fs, fd, path, bytes.data(), bytes.size(), std::nullopt);
}

bool WriteNewFileDurably(const std::string& path, std::span<const std::uint8_t> bytes) {
  return Succeeded(WriteNewFileDurably(PosixFileSystem(), path, bytes));
}

SysError ReplaceFileAtomically(FileSystem& fs, const std::string& path, std::string_view content) {
  struct stat original {};
  std::optional<mode_t> mode;
  if (fs.Stat(path, &original) == 0) mode = original.st_mode & 07777;
  const std::string temp = TempNameFor(path);
  const int fd = fs.Open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return Failed("open", temp);
  SysError error = FinishNewFile(fs, fd, temp, content.data(), content.size(), mode);
  if (!error.ok()) return error;
  if (fs.Rename(temp, path) != 0) {
    error = Failed("rename", temp);
    UnlinkQuietly(fs, temp);
    return error;
  }
  SyncDirectory(fs, DirectoryOf(path));
  return {};
}

bool ReplaceFileAtomically(const std::string& path, std::string_view content) {
  return Succeeded(ReplaceFileAtomically(PosixFileSystem(), path, content));
}

LinkResult RenameNoReplace(FileSystem& fs, const std::string& from, const std::string& to,
                           SysError& error) {
  // link() refuses an existing target, which is exactly the no-replace rename
  // needed, and works on every local file system.
  if (fs.Link(from, to) != 0) {
    if (errno == EEXIST) return LinkResult::kNameTaken;
    error = Failed("link", from);
    return LinkResult::kFailed;
  }
  if (fs.Unlink(from) != 0) {
    // Both names point at the one file: drop the new name so that the record
    // is not sent twice, and report the failure.
    error = Failed("unlink", from);
    UnlinkQuietly(fs, to);
    return LinkResult::kFailed;
  }
  return LinkResult::kLinked;
}

LinkResult RenameNoReplace(const std::string& from, const std::string& to) {
  SysError error;
  const LinkResult result = RenameNoReplace(PosixFileSystem(), from, to, error);
  if (result == LinkResult::kFailed) errno = error.error_number;
  return result;
}

SysError SyncDirectory(FileSystem& fs, const std::string& dir) {
  const std::string name = DirectoryName(dir);
  const int fd = fs.Open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return Failed("open", name);
  SysError error;
  if (fs.Fsync(fd) != 0) error = Failed("fsync", name);
  fs.Close(fd);
  return error;
}

bool SyncDirectory(const std::string& dir) { return Succeeded(SyncDirectory(PosixFileSystem(), dir)); }

SysError EnsureDirectory(FileSystem& fs, const std::string& dir) {
  if (dir.empty()) return {};
  struct stat info {};
  if (fs.Stat(dir, &info) == 0) {
    if (S_ISDIR(info.st_mode)) return {};
    return SysError::Of(ENOTDIR, "mkdir", dir);
  }
  const std::string parent = DirectoryOf(dir);
  if (!parent.empty() && parent != dir) {
    if (SysError error = EnsureDirectory(fs, parent); !error.ok()) return error;
  }
  if (fs.Mkdir(dir, 0755) != 0 && errno != EEXIST) return Failed("mkdir", dir);
  SyncDirectory(fs, parent);
  return {};
}

bool EnsureDirectory(const std::string& dir) { return Succeeded(EnsureDirectory(PosixFileSystem(), dir)); }

SysError ListFiles(FileSystem& fs, const std::string& dir, std::vector<std::string>& names) {
  names.clear();
  const std::string name = DirectoryName(dir);
  DIR* handle = fs.OpenDir(name);
  if (handle == nullptr) return Failed("opendir", name);
  DirEntry entry;
  int more = 0;
  while ((more = fs.ReadDir(handle, entry)) > 0) {
    if (entry.type == EntryType::kUnknown) {
      // A file removed since the listing saw it is simply left out.
      struct stat info {};
      if (fs.Stat(name + "/" + entry.name, &info) != 0 || !S_ISREG(info.st_mode)) continue;
    } else if (entry.type != EntryType::kFile) {
      continue;
    }
    names.push_back(std::move(entry.name));
  }
  SysError error;
  if (more < 0) error = Failed("readdir", name);
  fs.CloseDir(handle);
  if (!error.ok()) names.clear();
  return error;
}

std::optional<std::vector<std::string>> ListFiles(const std::string& dir) {
  std::vector<std::string> names;
  if (!Succeeded(ListFiles(PosixFileSystem(), dir, names))) return std::nullopt;
  return names;
}

SysError RemoveFile(FileSystem& fs, const std::string& path) {
  if (fs.Unlink(path) != 0 && errno != ENOENT) return Failed("unlink", path);
  return {};
}

bool RemoveFile(const std::string& path) { return Succeeded(RemoveFile(PosixFileSystem(), path)); }

}  // namespace drvvzt
