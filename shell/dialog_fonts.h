// The bold serif face the driver's small dialogs use for their text line.
// Call on the user-interface thread only (QFont needs the application).
#pragma once

#include <QFont>

namespace drvvzt {

// Bold serif, 16 pixels high (12 points at the dialogs' 96 dpi).
QFont DialogTextFont();

}  // namespace drvvzt
