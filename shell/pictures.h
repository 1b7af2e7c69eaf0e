// The driver's own pictures, drawn at run time: the window and tray icon and
// the two page buttons' pictures. User-interface thread only (QPixmap).
#pragma once

#include <QIcon>
#include <QPixmap>

#include "shell/tray_health.h"

namespace drvvzt {

// A radio mast with waves: the window's and the tray's icon.
QIcon DriverIcon();
// The driver icon for a health state: as it is when healthy, with a red
// cross badge when something is down, an amber badge while files wait.
QIcon HealthIcon(TrayHealth health);
// The "Состояние" button: a monitor with a pulse line.
QPixmap StatusPagePicture();
// The "Настройки" button: a serial connector and its cable.
QPixmap SettingsPagePicture();

}  // namespace drvvzt
