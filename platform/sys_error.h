// SysError: a failed system call as the platform layers report it, with the
// call, the path it worked on and errno, so that whoever finally reports it
// (standard error, the journal, the window's log) can say what went wrong
// where, long after errno itself has been overwritten.
//
// A plain value: copy it freely between threads.
#pragma once

#include <string>
#include <string_view>

namespace drvvzt {

struct SysError {
  int error_number = 0;  // errno of the failed call; 0: nothing failed
  std::string call;      // the system call, e.g. "open", "tcsetattr"
  std::string path;      // the file or device it was made on; may be empty

  // Built from an errno the caller saved right after the failing call: the
  // string copies below may allocate, and allocation may touch errno.
  static SysError Of(int saved_errno, std::string_view call, std::string_view path);

  bool ok() const { return error_number == 0; }
  // "open /dev/ttyUSB0: Permission denied"; "" when ok().
  std::string Text() const;
};

// The system's text for an error number ("Permission denied"). Thread-safe.
std::string ErrnoText(int error_number);

}  // namespace drvvzt
