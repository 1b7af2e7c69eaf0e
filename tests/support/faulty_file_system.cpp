// A file system that fails on request; see faulty_file_system.h.
#include "tests/support/faulty_file_system.h"

#include <cerrno>

namespace drvvzt::testing {

void FaultyFileSystem::FailNth(const std::string& op, int nth, int error, const std::string& under) {
  std::lock_guard lock(mutex_);
  faults_.push_back(Fault{op, under, false, nth, error, 0});
}

void FaultyFileSystem::FailOn(const std::string& op, int error, const std::string& path) {
  std::lock_guard lock(mutex_);
  faults_.push_back(Fault{op, path, true, 0, error, 0});
}

void FaultyFileSystem::FailEvery(const std::string& op, int error, const std::string& under) {
  FailNth(op, 0, error, under);
}

void FaultyFileSystem::Heal() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

int FaultyFileSystem::Calls(const std::string& op) const {
  std::lock_guard lock(mutex_);
  const auto it = calls_.find(op);
  return it == calls_.end() ? 0 : it->second;
}

bool FaultyFileSystem::Fails(const std::string& op, const std::string& path) {
  int error = 0;
  {
    std::lock_guard lock(mutex_);
    ++calls_[op];
    for (Fault& fault : faults_) {
      const bool matches = fault.exact ? path == fault.under
                                       : path.compare(0, fault.under.size(), fault.under) == 0;
      if (fault.op != op || !matches) continue;
      ++fault.seen;
      if (error == 0 && (fault.nth == 0 || fault.seen == fault.nth)) error = fault.error;
    }
  }
  errno = error;
  return error != 0;
}

std::string FaultyFileSystem::PathOf(int fd) const {
  std::lock_guard lock(mutex_);
  const auto it = open_paths_.find(fd);
  return it == open_paths_.end() ? std::string() : it->second;
}

int FaultyFileSystem::Open(const std::string& path, int flags, mode_t mode) {
  if (Fails("open", path)) return -1;
  const int fd = real_.Open(path, flags, mode);
  if (fd >= 0) {
    std::lock_guard lock(mutex_);
    open_paths_[fd] = path;
  }
  return fd;
}

ssize_t FaultyFileSystem::Read(int fd, void* buffer, std::size_t size) {
  if (Fails("read", PathOf(fd))) return -1;
  return real_.Read(fd, buffer, size);
}

ssize_t FaultyFileSystem::Write(int fd, const void* data, std::size_t size) {
  if (Fails("write", PathOf(fd))) return -1;
  return real_.Write(fd, data, size);
}

int FaultyFileSystem::Fsync(int fd) {
  if (Fails("fsync", PathOf(fd))) return -1;
  return real_.Fsync(fd);
}

int FaultyFileSystem::Fchmod(int fd, mode_t mode) {
  if (Fails("fchmod", PathOf(fd))) return -1;
  return real_.Fchmod(fd, mode);
}

int FaultyFileSystem::Close(int fd) {
  const bool fails = Fails("close", PathOf(fd));
  {
    std::lock_guard lock(mutex_);
    open_paths_.erase(fd);
  }
  const int saved = errno;
  const int result = real_.Close(fd);
  if (!fails) return result;
  errno = saved;
  return -1;
}

int FaultyFileSystem::Link(const std::string& from, const std::string& to) {
  if (Fails("link", from)) return -1;
  return real_.Link(from, to);
}

int FaultyFileSystem::Rename(const std::string& from, const std::string& to) {
  if (Fails("rename", from)) return -1;
  return real_.Rename(from, to);
}

int FaultyFileSystem::Unlink(const std::string& path) {
  if (Fails("unlink", path)) return -1;
  return real_.Unlink(path);
}

int FaultyFileSystem::Mkdir(const std::string& path, mode_t mode) {
  if (Fails("mkdir", path)) return -1;
  return real_.Mkdir(path, mode);
}

int FaultyFileSystem::Stat(const std::string& path, struct stat* info) {
  if (Fails("stat", path)) return -1;
  return real_.Stat(path, info);
}

DIR* FaultyFileSystem::OpenDir(const std::string& dir) {
  if (Fails("opendir", dir)) return nullptr;
  DIR* handle = real_.OpenDir(dir);
  if (handle != nullptr) {
    std::lock_guard lock(mutex_);
    open_dirs_[handle] = dir;
  }
  return handle;
}

int FaultyFileSystem::ReadDir(DIR* handle, DirEntry& entry) {
  std::string dir;
  {
    std::lock_guard lock(mutex_);
    dir = open_dirs_[handle];
  }
  if (Fails("readdir", dir)) return -1;
  return real_.ReadDir(handle, entry);
}

void FaultyFileSystem::CloseDir(DIR* handle) {
  {
    std::lock_guard lock(mutex_);
    open_dirs_.erase(handle);
  }
  real_.CloseDir(handle);
}

}  // namespace drvvzt::testing
