#include "shell/headless_run.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include "core/driver_core.h"
#include "platform/diagnostics.h"
#include "shell/main_window.h"
#include "shell/qt_poll_timer.h"
#include "shell/stop_signals.h"
#include "shell/system_notify.h"

namespace drvvzt {
namespace {

// Nobody looks at a screen: the log lines already reach standard error from
// the core, and there is no operator to ask.
class HeadlessView final : public DriverView {
public:
  explicit HeadlessView(const DriverCore* core = nullptr) : core_(core) {}
  void SetCore(const DriverCore* core) { core_ = core; }

  void DrawStation(bool, std::int32_t) override {}
  void DrawServer(bool, std::int32_t) override {}
  void AppendLog(const std::string&) override {}
  void ShowMessage(const std::string& text) override { Report(Severity::kWarning, "message: " + text); }
  bool AskCloseCode(const std::string&) override { return false; }
  void ShowHealth(bool, std::optional<bool>, bool) override {}
  std::string ChosenPort() override { return core_ != nullptr ? core_->Settings().ComPort : std::string(); }

private:
  const DriverCore* core_;
};

}  // namespace

int RunHeadless(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("drvvzt"));
  InstallStopSignals();
  Report(Severity::kInfo, "no display: running without the window");

  HeadlessView view;
  QtPollTimer serial_poll;
  QtPollTimer tick_timer;
  DriverCore core(view, SystemDateTime(), SystemTick(), serial_poll, tick_timer, [&app](UiHandOff::Call call) {
    QMetaObject::invokeMethod(&app, std::move(call), Qt::QueuedConnection);
  });
  view.SetCore(&core);
  QSocketNotifier stop_signal(StopSignalDescriptor(), QSocketNotifier::Read);
  QObject::connect(&stop_signal, &QSocketNotifier::activated, &app, [] {
    DrainStopSignalDescriptor();
    if (StopSignalReceived()) QCoreApplication::quit();
  });
  core.Start();
  core.ShowStartUpMessage();
  NotifyReady();
  WatchdogKeepAlive keep_alive;
  if (!StopSignalReceived()) app.exec();
  NotifyStopping();
  core.Close();
  core.Shutdown();
  if (core.RecordsLost()) return kExitRecordsLost;
  Report(Severity::kInfo, "stopped; nothing lost");
  return 0;
}

}  // namespace drvvzt
