// SIGTERM and SIGINT (system shutdown, logout, a service manager) turned into a
// flag and a readable descriptor, so that they lead to the same orderly
// shutdown as an accepted close, without the close-code dialog. The event loop
// watches the descriptor: nothing wakes the driver until a signal comes.
//
// InstallStopSignals once from the main thread; StopSignalReceived from any
// thread (the flag is a lock-free atomic, the handler touches only it and a
// write to the pipe).
#pragma once

namespace drvvzt {

void InstallStopSignals();
bool StopSignalReceived();
// Forgets a received signal (tests run several shutdowns in one process).
void ClearStopSignal();
// Readable once a stop signal has arrived; -1 when the pipe could not be
// made (then only the flag tells). Call DrainStopSignalDescriptor when it
// turned readable.
int StopSignalDescriptor();
void DrainStopSignalDescriptor();

}  // namespace drvvzt
