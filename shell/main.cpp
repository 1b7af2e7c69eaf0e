// The drvvzt program: the station driver with its operator window. Everything
// comes from "drvvzt.ini" in the working directory; the only options are
// --help and --version, which answer without starting anything.
//
// Without a display (neither DISPLAY nor WAYLAND_DISPLAY set) the driver runs
// the same way with no window: what a message box would say goes to standard
// error, and the port comes from ComPort alone.
//
// Exit status: 0 stopped in order with nothing lost; 1 records could not be
// kept at shut-down; 2 usage error; 3 another driver holds the working
// directory (or its lock file could not be made).
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <QApplication>

#include "platform/diagnostics.h"
#include "platform/instance_lock.h"
#include "server/version.h"
#include "shell/headless_run.h"
#include "shell/main_window.h"
#include "shell/message_box.h"
#include "shell/stop_signals.h"
#include "shell/system_notify.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitAlreadyRunning = 3;
constexpr char kAlreadyRunning[] = "Драйвер уже запущен в этой папке.";

constexpr char kUsage[] =
    "Usage: drvvzt [--help] [--version]\n"
    "Protocol driver between a radio receiving station on a serial port and the\n"
    "message server. Works in its current directory: drvvzt.ini, spool files,\n"
    "error.txt, drvvzt.status, drvvzt.lock. Without a display it runs without its\n"
    "window and reports on standard error. SIGTERM or SIGINT stops it in order.\n"
    "Exit status: 0 nothing lost, 1 records lost at shut-down, 2 usage error,\n"
    "3 another driver runs in this directory. See drvvzt(1).\n";

bool HaveDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  // A platform chosen on purpose (offscreen, vnc...) needs no display.
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  return platform != nullptr && *platform != '\0';
}

// --help and --version answer; anything else is a usage error. Nothing when
// the driver is to start.
std::optional<int> ParseOptions(int argc, char** argv) {
  static const option kOptions[] = {{"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, 'V'},
                                    {nullptr, 0, nullptr, 0}};
  opterr = 0;
  for (;;) {
    const int opt = getopt_long(argc, argv, "hV", kOptions, nullptr);
    if (opt == -1) break;
    if (opt == 'h') {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (opt == 'V') {
      std::printf("drvvzt %s\n", std::string(drvvzt::VersionText()).c_str());
      return 0;
    }
    std::fprintf(stderr, "drvvzt: unknown option '%s'; try 'drvvzt --help'\n", argv[optind - 1]);
    return kExitUsage;
  }
  if (optind < argc) {
    std::fprintf(stderr, "drvvzt: unexpected argument '%s'; try 'drvvzt --help'\n", argv[optind]);
    return kExitUsage;
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  if (const std::optional<int> answered = ParseOptions(argc, argv)) return *answered;
  const bool headless = !HaveDisplay();

  // Before anything else touches the working directory: a second driver here
  // would forward the first one's spool files and push its link off.
  drvvzt::InstanceLock instance_lock("");
  if (!instance_lock.Held()) {
    if (instance_lock.State() == drvvzt::InstanceLockState::kHeldElsewhere) {
      drvvzt::Report(drvvzt::Severity::kError,
                     "another driver already runs in this directory (" + instance_lock.Path() + " is locked)");
    } else {
      drvvzt::Report(drvvzt::Severity::kError, "cannot lock the working directory: " +
                                                   instance_lock.Error()->Text());
    }
    if (!headless) {
      QApplication app(argc, argv);
      drvvzt::ShowMessageBox(QString::fromUtf8(kAlreadyRunning));
    } else {
      std::fprintf(stderr, "%s\n", kAlreadyRunning);
    }
    return kExitAlreadyRunning;
  }

  if (headless) return drvvzt::RunHeadless(argc, argv);

  QApplication app(argc, argv);
  // The task bar names the program after its desktop entry, "Драйвер VZT".
  QApplication::setApplicationName(QStringLiteral("drvvzt"));
  QGuiApplication::setDesktopFileName(QStringLiteral("drvvzt"));
  // The window spends its life hidden in the tray, so closing the last visible
  // dialog must not end the program: only an accepted close does.
  app.setQuitOnLastWindowClosed(false);
  drvvzt::InstallStopSignals();

  drvvzt::TForm1 form;  // runs the start-up sequence
  drvvzt::NotifyReady();
  drvvzt::WatchdogKeepAlive keep_alive;
  // Stopped by a signal while starting, or else at the end of the event loop.
  if (!form.CloseAccepted()) {
    QObject::connect(&form, &drvvzt::TForm1::Closed, &app, &QApplication::quit, Qt::QueuedConnection);
    form.show();
    app.exec();
  }
  drvvzt::NotifyStopping();
  form.FormDestroy();
  // Status 0 promises that every acknowledged event was kept.
  if (form.RecordsLost()) return drvvzt::kExitRecordsLost;
  drvvzt::Report(drvvzt::Severity::kInfo, "stopped; nothing lost");
  return 0;
}
