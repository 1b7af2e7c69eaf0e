// TForm1: the driver's main window. The driver itself (serial component,
// station chain, server link, forwarding, the tick, start-up and shut-down,
// the port operations) is the DriverCore it holds; the window draws what the
// core shows it, passes the operator's actions on under the handler names the
// driver has always had, and keeps the layout, the tray and the dialogs.
//
// Thread use: the window's thread only. The core's link thread reaches this
// thread through queued calls.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QString>
#include <QWidget>

#include "core/driver_core.h"
#include "platform/clock.h"
#include "shell/close_code_dialog.h"
#include "shell/qt_poll_timer.h"
#include "shell/tray_health.h"

class QButtonGroup;
class QCloseEvent;
class QComboBox;
class QGroupBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;
class QSystemTrayIcon;
class QTimer;
class QToolButton;

namespace drvvzt {

class TSerialPort;
class cl;

inline constexpr char kProductTitle[] = "АДВСМ";
inline constexpr int kClientWidth = 447;
inline constexpr int kClientHeight = 331;
// The start/stop button's caption is the port's run state.
inline constexpr char kCaptionRunning[] = "Остановить";
inline constexpr char kCaptionStopped[] = "Запустить";
// The program's exit status when records could not be kept at shut-down.
inline constexpr int kExitRecordsLost = 1;

class TForm1 : public QWidget, public DriverView {
  Q_OBJECT

public:
  // Starts the driver (FormCreate) in the current directory.
  explicit TForm1(DateTimeClock& clock = SystemDateTime(), TickClock& tick = SystemTick());
  ~TForm1() override;

  // Start-up and shut-down.
  void FormCreate();
  void FormDestroy();
  // The shutdown of SIGTERM/SIGINT: like an accepted close, without the dialog.
  void CloseWithoutCode();
  // True once a close has been accepted (also when that happened during
  // start-up, before anybody could connect to Closed()).
  bool CloseAccepted() const { return close_accepted_; }
  // True when records could not be kept (after FormDestroy: also those still
  // in memory at shut-down); the program then ends with a failure status.
  bool RecordsLost() const { return core_->RecordsLost(); }

  // The 200 ms timer: spool forwarding, then the station watchdog.
  void Timer2Timer() { core_->Tick(); }
  void StationWatchdog() { core_->StationWatchdog(); }
  void FlushSpoolBacklog() { core_->FlushSpoolBacklog(); }
  void DrawStationIndicator() { core_->DrawStation(); }
  void DrawServerIndicator() { core_->DrawServer(); }

  // Port controls and page buttons.
  void Button1Click() { core_->Rescan(); }
  void Button2Click() { core_->StartOrStop(); }
  void ComboBox1Select();
  void Button28Click();
  void Button47Click();

  // Tray and minimising.
  void ApplicationEvents1Minimize();
  void N4Click();
  void N6Click();
  // Whether minimising may hide the window behind the tray icon; false keeps
  // it minimised as an ordinary window (no notification area).
  // Also stands in for the desktop's answer from then on (tests).
  void SetTrayAvailable(bool available) {
    tray_available_ = available;
    tray_probe_ = [available] { return available; };
  }
  // One look at the tray host; runs every 2 s while the window is hidden
  // behind the icon, and while the host is missing.
  void CheckTrayHost();
  bool TrayWatchActive() const;
  // Replaces QSystemTrayIcon::isSystemTrayAvailable (tests).
  void SetTrayProbe(std::function<bool()> probe) { tray_probe_ = std::move(probe); }

  // The tray and window icons for the state of the station, the server link
  // (nothing: no link configured) and the spool; redrawn only on a change.
  void ShowHealth(bool station_alive, std::optional<bool> link_up, bool spool_waiting) override;

  // What the server link asks of the driver.
  std::string ComPort() { return core_->ComPort(); }
  bool PortOpen() { return core_->PortOpen(); }
  int FirstNumber() { return core_->FirstNumber(); }
  void LogLine(const std::string& line) { core_->LogLine(line); }
  void StepServerTick(LinkState state) { core_->StepServerTick(state); }

  DriverCore& Core() const { return *core_; }
  const DriverSettings& Settings() const { return core_->Settings(); }
  QString CloseCode() const { return QString::fromStdString(core_->CloseCode()); }
  const std::string& StartDir() const { return core_->StartDir(); }
  bool StationAlive() const { return core_->StationAlive(); }
  std::int32_t ServerTick() const { return core_->ServerTick(); }
  double LastPacketTime() const { return core_->LastPacketTime(); }
  std::int32_t StationTick() const { return core_->StationTick(); }
  cl* ServerLink() const { return core_->ServerLink(); }
  TSerialPort& SerialPort() const { return core_->SerialPort(); }
  TForm2& CloseCodeDialog() const { return *Form2; }

  // Components, named as the handlers expect them.
  QStackedWidget* Notebook1 = nullptr;
  QToolButton* Button28 = nullptr;
  QToolButton* Button47 = nullptr;
  QLabel* StationImage = nullptr;
  QLabel* ServerImage = nullptr;
  QLabel* ServerCaption2 = nullptr;
  QLabel* ServerImage2 = nullptr;
  QLabel* StartTimeLabel = nullptr;
  QLabel* CloseCodeLabel = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QComboBox* ComboBox1 = nullptr;
  QPushButton* Button2 = nullptr;
  QPushButton* Button1 = nullptr;
  QSystemTrayIcon* TrayIcon1 = nullptr;
  QMenu* PopupMenu1 = nullptr;

signals:
  // An accepted close: the program's event loop ends on it.
  void Closed();

protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

private:
  QWidget* createTitleBand();
  QWidget* createToolBarStrip();
  QWidget* createStatusPage();
  QWidget* createSettingsPage();
  void createTray();
  void connectHandlers();

  // DriverView.
  void DrawStation(bool alive, std::int32_t tick) override;
  void DrawServer(bool link_up, std::int32_t tick) override;
  void AppendLog(const std::string& line) override;
  void ShowMessage(const std::string& text) override;
  void DismissMessage() override;
  bool AskCloseCode(const std::string& code) override;
  void ShowStartUp(const std::string& close_code, double start_time, bool second_server) override;
  void ShowPortList(const std::vector<std::string>& free_ports) override;
  void ShowConfiguredPort(const std::string& name) override;
  std::string ChosenPort() override;
  void ShowPortRunning(bool running) override;

  void ShowPortDevice(const QString& name);
  void AcceptClose(QCloseEvent* event);
  void OnStopSignal();
  void DropModalWindows();
  void UpdateTrayWatch();

  bool tray_available_ = true;
  bool centred_ = false;
  bool in_close_request_ = false;
  bool close_without_code_ = false;
  bool close_accepted_ = false;
  bool destroyed_ = false;

  std::unique_ptr<TForm2> Form2;
  QtPollTimer poll_timer_;
  QtPollTimer tick_timer_;
  std::unique_ptr<DriverCore> core_;
  QTimer* tray_watch_ = nullptr;
  std::function<bool()> tray_probe_;
  std::optional<TrayHealth> shown_health_;
};

}  // namespace drvvzt
