// The stop signals' handler sets an atomic flag and writes one byte to a
// non-blocking pipe: nothing else is safe to do inside a signal handler. The
// read end wakes the event loop.
#include "shell/stop_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace drvvzt {
namespace {

std::atomic<bool> g_stop_signal{false};
std::atomic<int> g_wake_write_fd{-1};
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnStopSignal(int) {
  const int saved_errno = errno;
  g_stop_signal.store(true);
  const int fd = g_wake_write_fd.load();
  if (fd >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);  // a full pipe already wakes
  }
  errno = saved_errno;
}

// Both ends non-blocking: the handler must never wait, and a drain stops at empty.
int WakePipeReadEnd() {
  static const int read_fd = [] {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    g_wake_write_fd.store(fds[1]);
    return fds[0];
  }();
  return read_fd;
}

}  // namespace

void InstallStopSignals() {
  WakePipeReadEnd();
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
}

bool StopSignalReceived() { return g_stop_signal.load(); }

void ClearStopSignal() {
  g_stop_signal.store(false);
  DrainStopSignalDescriptor();
}

int StopSignalDescriptor() { return WakePipeReadEnd(); }

void DrainStopSignalDescriptor() {
  const int fd = WakePipeReadEnd();
  if (fd < 0) return;
  char buffer[64];
  while (::read(fd, buffer, sizeof buffer) > 0) {
  }
}

}  // namespace drvvzt
