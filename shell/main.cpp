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
  // Stopped by a signal while starting, or else at the end of the event loop.
  if (!form.CloseAccepted()) {
    QObject::connect(&form, &drvvzt::TForm1::Closed, &app, &QApplication::quit, Qt::QueuedConnection);
    form.show();
    app.exec();
  }
  form.FormDestroy();
  // Status 0 promises that every acknowledged event was kept.
  return form.RecordsLost() ? drvvzt::kExitRecordsLost : 0;
}
