// A file system for tests that does what the real one does, except for the
// calls it has been told to fail: FailNth("fsync", 2, EIO) makes the second
// fsync() fail with EIO, FailEvery("write", ENOSPC, dir) every write() to a
// file below dir, as a full disk would.
//
// Operation names are those of the system calls: "open", "read", "write",
// "fsync", "fchmod", "close", "link", "rename", "unlink", "mkdir", "stat",
// "opendir", "readdir". A call made on a descriptor counts under the path that
// descriptor was opened with (a directory's fsync under the directory); link
// and rename count under their source. A failed close() still closes.
//
// Thread-safe: the spool is written from two threads.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace drvvzt::testing {

class FaultyFileSystem final : public FileSystem {
public:
  // The nth call (from 1) of op on a path starting with `under` fails with
  // error; calls are counted from the moment the fault is set.
  void FailNth(const std::string& op, int nth, int error, const std::string& under = "");
  // Every call of op on a path starting with `under` fails with error.
  void FailEvery(const std::string& op, int error, const std::string& under = "");
  // Every call of op on exactly this path (a directory, not what is in it).
  void FailOn(const std::string& op, int error, const std::string& path);
  // The file system works again.
  void Heal();
  // How many calls of op were made (failed ones included).
  int Calls(const std::string& op) const;

  int Open(const std::string& path, int flags, mode_t mode) override;
  ssize_t Read(int fd, void* buffer, std::size_t size) override;
  ssize_t Write(int fd, const void* data, std::size_t size) override;
  int Fsync(int fd) override;
  int Fchmod(int fd, mode_t mode) override;
  int Close(int fd) override;
  int Link(const std::string& from, const std::string& to) override;
  int Rename(const std::string& from, const std::string& to) override;
  int Unlink(const std::string& path) override;
  int Mkdir(const std::string& path, mode_t mode) override;
  int Stat(const std::string& path, struct stat* info) override;
  DIR* OpenDir(const std::string& dir) override;
  int ReadDir(DIR* handle, DirEntry& entry) override;
  void CloseDir(DIR* handle) override;

private:
  struct Fault {
    std::string op;
    std::string under;
    bool exact = false;  // `under` is the whole path
    int nth = 0;         // 0: every call
    int error = 0;
    int seen = 0;
  };
  // True (errno set) when this call is to fail.
  bool Fails(const std::string& op, const std::string& path);
  std::string PathOf(int fd) const;

  FileSystem& real_ = PosixFileSystem();
  mutable std::mutex mutex_;
  std::vector<Fault> faults_;
  std::map<std::string, int> calls_;
  std::map<int, std::string> open_paths_;
  std::map<DIR*, std::string> open_dirs_;
};

}  // namespace drvvzt::testing
