// Text of a system call error.
#include "platform/system_call_error.h"

#include <cstring>

namespace drvvzt {

std::string SystemCallError::Describe() const {
  // strerror() may share one buffer between threads; the GNU strerror_r does not.
  char buffer[256];
  const char* text = ::strerror_r(error, buffer, sizeof buffer);
  return call + " " + path + ": " + text;
}

}  // namespace drvvzt
