// The one place where a system call interrupted by a signal is retried. For the
// platform layers only.
#pragma once

#include <cerrno>

namespace drvvzt::platform_detail {

// Runs call until it returns anything but -1 with errno EINTR; the result and
// errno of the last call are kept for the caller.
template <typename Call>
auto RetryEintr(Call call) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

}  // namespace drvvzt::platform_detail
