// POSIX file system calls. EINTR is retried through RetryEintr only.
#include "platform/file_system.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/retry_eintr.h"

namespace drvvzt {
namespace {

using platform_detail::RetryEintr;

EntryType TypeOf(unsigned char d_type) {
  switch (d_type) {
    case DT_REG: return EntryType::kFile;
    case DT_DIR: return EntryType::kDirectory;
    case DT_UNKNOWN: return EntryType::kUnknown;
    default: return EntryType::kOther;
  }
}

class Posix final : public FileSystem {
public:
  int Open(const std::string& path, int flags, mode_t mode) override {
    return RetryEintr([&] { return ::open(path.c_str(), flags, mode); });
  }
  ssize_t Read(int fd, void* buffer, std::size_t size) override {
    return RetryEintr([&] { return ::read(fd, buffer, size); });
  }
  ssize_t Write(int fd, const void* data, std::size_t size) override {
    return RetryEintr([&] { return ::write(fd, data, size); });
  }
  int Fsync(int fd) override { return RetryEintr([&] { return ::fsync(fd); }); }
  int Fchmod(int fd, mode_t mode) override { return ::fchmod(fd, mode); }
  int Close(int fd) override {
    // Not retried on EINTR: on Linux the descriptor is released anyway, and a
    // second close could hit a descriptor another thread has just opened.
    const int result = ::close(fd);
    return result != 0 && errno == EINTR ? 0 : result;
  }
  int Link(const std::string& from, const std::string& to) override {
    return ::link(from.c_str(), to.c_str());
  }
  int Rename(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str());
  }
  int Unlink(const std::string& path) override { return ::unlink(path.c_str()); }
  int Mkdir(const std::string& path, mode_t mode) override { return ::mkdir(path.c_str(), mode); }
  int Stat(const std::string& path, struct stat* info) override {
    return ::stat(path.c_str(), info);
  }
  DIR* OpenDir(const std::string& dir) override { return ::opendir(dir.c_str()); }
  int ReadDir(DIR* handle, DirEntry& entry) override {
    for (;;) {
      errno = 0;
      const dirent* raw = ::readdir(handle);
      if (raw == nullptr) return errno == 0 ? 0 : -1;
      if (std::strcmp(raw->d_name, ".") == 0 || std::strcmp(raw->d_name, "..") == 0) continue;
      entry.name = raw->d_name;
      entry.type = TypeOf(raw->d_type);
      return 1;
    }
  }
  void CloseDir(DIR* handle) override { ::closedir(handle); }
};

}  // namespace

FileSystem& PosixFileSystem() {
  static Posix posix;
  return posix;
}

}  // namespace drvvzt
