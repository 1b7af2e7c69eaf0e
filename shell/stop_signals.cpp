// The stop signals' handler only sets an atomic flag: nothing else is safe to
// do inside a signal handler, and the window's 50 ms check picks it up.
#include "shell/stop_signals.h"

#include <atomic>
#include <csignal>

namespace drvvzt {
namespace {

std::atomic<bool> g_stop_signal{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnStopSignal(int) { g_stop_signal.store(true); }

}  // namespace

void InstallStopSignals() {
  std::signal(SIGTERM, OnStopSignal);
  std::signal(SIGINT, OnStopSignal);
}

bool StopSignalReceived() { return g_stop_signal.load(); }

void ClearStopSignal() { g_stop_signal.store(false); }

}  // namespace drvvzt
