// The window the driver's dialogs get from the window manager: a title with a
// close button and nothing else. A modal dialog that could be minimised would
// leave the main window blocked with no visible way back, so it cannot be; it
// stays above the main window and sits in the middle of its screen.
// User-interface thread only.
#pragma once

#include <Qt>

class QDialog;
class QWidget;

namespace drvvzt {

inline constexpr Qt::WindowFlags kDialogWindowFlags =
    Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint;

// Sets the flags and, for every showing of the dialog, the transient parent
// (its parent's window, else the registered main window), the centring and
// the refusal to stay minimised. Call once, from the dialog's constructor.
void MakeDialogWindow(QDialog* dialog);

// The window dialogs without a parent stay above: the main window. Forgotten
// when that window is destroyed.
void SetDialogOwner(QWidget* main_window);

}  // namespace drvvzt
