// The drvvzt program: the operator window of the station driver. It takes no
// command-line arguments; everything comes from "drvvzt.ini" in the working
// directory.
#include <QApplication>

#include "shell/main_window.h"
#include "shell/stop_signals.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // The task bar names the program after its desktop entry, "Драйвер VZT".
  QApplication::setApplicationName(QStringLiteral("drvvzt"));
  QGuiApplication::setDesktopFileName(QStringLiteral("drvvzt"));
  // The window spends its life hidden in the tray, so closing the last visible
  // dialog must not end the program: only an accepted close does.
  app.setQuitOnLastWindowClosed(false);
  drvvzt::InstallStopSignals();

  drvvzt::TForm1 form;  // runs the start-up sequence
  if (form.CloseAccepted()) return 0;  // stopped by a signal while starting
  QObject::connect(&form, &drvvzt::TForm1::Closed, &app, &QApplication::quit, Qt::QueuedConnection);
  form.show();
  return app.exec();
}
