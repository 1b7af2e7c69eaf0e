// The cause of a failed system call as the platform layers hand it up: which
// call, on which path, with which errno. Kept whole until it is reported, so a
// message can say "open /srv/drvvzt/drvvzt.lock: Permission denied" instead of
// only "failed".
#pragma once

#include <string>

namespace drvvzt {

struct SystemCallError {
  std::string call;  // "open", "flock", "read", ...
  std::string path;
  int error = 0;     // errno right after the call

  // "call path: text of errno", for logs and messages.
  std::string Describe() const;
};

}  // namespace drvvzt
