// The working-directory lock on flock().
//
// Why flock and not fcntl(F_SETLK): a POSIX record lock belongs to the process,
// so a second open of the file in the same process would "get" it as well, and
// closing any descriptor of the file (someone reading the pid, say) silently
// drops it. An flock lock belongs to the open file description: two opens
// conflict even inside one process, and only our own descriptor releases it.
//
// The file is never removed. Removing it on exit would let a starting driver
// lock the old, unlinked inode while a third one creates and locks a new file
// under the name: two holders again.
#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "platform/retry_eintr.h"

namespace drvvzt {
namespace {

using platform_detail::RetryEintr;

}  // namespace

InstanceLock::InstanceLock(const std::string& dir)
    : path_(dir.empty() ? std::string(kInstanceLockName) : dir + "/" + kInstanceLockName) {
  fd_ = OpenLockFile();
  if (fd_ < 0) return;
  if (RetryEintr([&] { return ::flock(fd_, LOCK_EX | LOCK_NB); }) != 0) {
    const int error = errno;
    ::close(fd_);
    fd_ = -1;
    if (error == EWOULDBLOCK) {
      state_ = InstanceLockState::kHeldElsewhere;
    } else {
      error_ = SysError::Of(error, "flock", path_);
    }
    return;
  }
  state_ = InstanceLockState::kHeld;
  WriteOwnPid();
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

// A lock file left by another user (a driver once started as root, say) may
// not be writable for us, yet it can still be locked through a read-only
// descriptor; only the pid is not written then.
int InstanceLock::OpenLockFile() {
  int fd = RetryEintr(
      [&] { return ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644); });
  if (fd >= 0) return fd;
  const int error = errno;
  if (error == EACCES || error == EROFS) {
    fd = RetryEintr([&] { return ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY); });
    if (fd >= 0) return fd;
  }
  // The first error says why: a directory we may not write to gives EACCES
  // there, while the read-only retry would only report the missing file.
  error_ = SysError::Of(error, "open", path_);
  return -1;
}

// Only after the lock is ours: truncating first would wipe the pid of a
// driver that holds it.
void InstanceLock::WriteOwnPid() {
  const std::string text = std::to_string(::getpid()) + "\n";
  // The pid is for people; a lock whose pid could not be written still holds.
  if (::ftruncate(fd_, 0) != 0) return;
  std::string_view rest = text;
  off_t offset = 0;
  while (!rest.empty()) {
    const ssize_t n =
        RetryEintr([&] { return ::pwrite(fd_, rest.data(), rest.size(), offset); });
    if (n <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(n));
    offset += n;
  }
}

}  // namespace drvvzt
