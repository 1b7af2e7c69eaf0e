// Text of a failed system call.
#include "platform/sys_error.h"

#include <string.h>

namespace drvvzt {

SysError SysError::Of(int saved_errno, std::string_view call, std::string_view path) {
  return SysError{saved_errno, std::string(call), std::string(path)};
}

std::string ErrnoText(int error_number) {
  // strerror() may share one buffer between threads; the GNU strerror_r
  // returns either our buffer or a constant string.
  char buffer[128];
  return ::strerror_r(error_number, buffer, sizeof buffer);
}

std::string SysError::Text() const {
  if (ok()) return {};
  std::string text = call;
  if (!path.empty()) {
    if (!text.empty()) text += ' ';
    text += path;
  }
  if (!text.empty()) text += ": ";
  return text + ErrnoText(error_number);
}

}  // namespace drvvzt
