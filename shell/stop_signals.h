// SIGTERM and SIGINT (system shutdown, logout, a service manager) turned into a
// flag that the window polls, so they lead to the same orderly shutdown as an
// accepted close, without the close-code dialog.
//
// InstallStopSignals once from the main thread; StopSignalReceived from any
// thread (the flag is a lock-free atomic, the only thing the handler touches).
#pragma once

namespace drvvzt {

void InstallStopSignals();
bool StopSignalReceived();
// Forgets a received signal (tests run several shutdowns in one process).
void ClearStopSignal();

}  // namespace drvvzt
