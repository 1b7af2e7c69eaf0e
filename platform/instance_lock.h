// One driver per working directory. Two drivers in one directory would both
// forward the same spool files (every event twice) and push each other's
// server connection off. The first thing the program does is take this lock;
// a second driver finds it held and stops.
//
// The lock is flock() on "drvvzt.lock" in the directory, taken without waiting
// and held by an open descriptor for the life of the object; the kernel drops
// it when the process ends, however it ends, so a crash leaves no stale lock.
// The file holds the holder's pid as text, for a person who wants to know which
// process it is; the lock, not the file's content, is what counts.
//
// Not thread-safe; made once at start-up.
#pragma once

#include <optional>
#include <string>

#include "platform/sys_error.h"

namespace drvvzt {

inline constexpr char kInstanceLockName[] = "drvvzt.lock";

enum class InstanceLockState {
  kHeld,           // this object holds the lock
  kHeldElsewhere,  // another process (or another object here) holds it
  kFailed,         // the lock file could not be opened or locked: see Error()
};

class InstanceLock {
public:
  // Tries once to lock dir + "/drvvzt.lock" (the working directory's when dir
  // is empty), creating the file (mode 0644) when it is missing.
  explicit InstanceLock(const std::string& dir);
  ~InstanceLock();  // releases the lock
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  InstanceLockState State() const { return state_; }
  bool Held() const { return state_ == InstanceLockState::kHeld; }
  const std::string& Path() const { return path_; }
  // The failed call with its path and errno; set only in state kFailed.
  const std::optional<SysError>& Error() const { return error_; }

private:
  int OpenLockFile();
  void WriteOwnPid();

  std::string path_;
  int fd_ = -1;
  InstanceLockState state_ = InstanceLockState::kFailed;
  std::optional<SysError> error_;
};

}  // namespace drvvzt
