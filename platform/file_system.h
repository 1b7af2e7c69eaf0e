// The file-system calls that the durable file helpers (and through them the
// spool) make, behind one table, so that a test can make any single call fail
// with the errno a full disk, a failing medium or a lost permission would give,
// and watch that nothing is lost on the way.
//
// Every operation behaves like the system call it is named after: -1 (or
// nullptr) with errno set on failure. The driver uses PosixFileSystem(); tests
// wrap it (tests/support/faulty_file_system.h).
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace drvvzt {

// One entry of a directory listing. kUnknown: the file system did not say, a
// stat() is needed to tell.
enum class EntryType { kFile, kDirectory, kOther, kUnknown };

struct DirEntry {
  std::string name;
  EntryType type = EntryType::kUnknown;
};

class FileSystem {
public:
  virtual ~FileSystem() = default;

  virtual int Open(const std::string& path, int flags, mode_t mode) = 0;
  virtual ssize_t Read(int fd, void* buffer, std::size_t size) = 0;
  virtual ssize_t Write(int fd, const void* data, std::size_t size) = 0;
  virtual int Fsync(int fd) = 0;
  virtual int Fchmod(int fd, mode_t mode) = 0;
  // The descriptor is gone afterwards even when -1 is returned (as on Linux).
  virtual int Close(int fd) = 0;
  virtual int Link(const std::string& from, const std::string& to) = 0;
  virtual int Rename(const std::string& from, const std::string& to) = 0;
  virtual int Unlink(const std::string& path) = 0;
  virtual int Mkdir(const std::string& path, mode_t mode) = 0;
  virtual int Stat(const std::string& path, struct stat* info) = 0;

  virtual DIR* OpenDir(const std::string& dir) = 0;
  // 1 with the next entry ("." and ".." are skipped), 0 at the end, -1 on error.
  virtual int ReadDir(DIR* handle, DirEntry& entry) = 0;
  virtual void CloseDir(DIR* handle) = 0;
};

// The real system calls; EINTR is retried. Stateless, so thread-safe.
FileSystem& PosixFileSystem();

}  // namespace drvvzt
