// The driver without a display: the same core, no window. What a message box
// would say goes to standard error, the port comes from ComPort alone, and a
// stop signal ends the run in order.
#pragma once

namespace drvvzt {

// Runs the driver in the current directory until SIGTERM or SIGINT; the
// program's exit status (0: nothing lost).
int RunHeadless(int argc, char** argv);

}  // namespace drvvzt
