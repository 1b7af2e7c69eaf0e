// TForm1: the driver's main window and the holder of its state on the
// user-interface thread. It owns the serial component, the packet handler and
// dispatch, the spool writer and forwarder, the 200 ms timer, the tray icon, the
// dialogs and the server link thread, and runs start-up and shut-down.
//
// Thread use: everything here belongs to the user-interface thread except the
// LinkHost calls ComPort(), PortOpen() and FirstNumber(), which the server link
// thread makes and which are thread-safe. LogLine() and StepServerTick() reach
// this thread through UiHandOff.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <QString>
#include <QWidget>

#include "platform/clock.h"
#include "server/link_host.h"
#include "shell/close_code_dialog.h"
#include "shell/driver_settings.h"
#include "shell/qt_poll_timer.h"
#include "station/in_flight_files.h"
#include "core/status_file.h"
#include "platform/ini_snapshot.h"
#include "platform/sys_error.h"
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

class EventDispatch;
class PacketHandler;
class SpoolForwarder;
class SpoolWriter;
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

class TForm1 : public QWidget, public LinkHost {
  Q_OBJECT

public:
  // Runs the start-up sequence (FormCreate) in the current directory.
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
  bool RecordsLost() const;

  // The 200 ms timer: spool forwarding, then the station watchdog.
  void Timer2Timer();
  void StationWatchdog();
  void FlushSpoolBacklog();
  void DrawStationIndicator();
  void DrawServerIndicator();

  // Port controls and page buttons.
  void Button1Click();
  void Button2Click();
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
  void ShowHealth(bool station_alive, std::optional<bool> link_up, bool spool_waiting);

  // LinkHost.
  std::string ComPort() override;
  bool PortOpen() override;
  int FirstNumber() override;
  void LogLine(const std::string& line) override;
  void StepServerTick() override;

  const DriverSettings& Settings() const { return settings_; }
  const QString& CloseCode() const { return CloseCode_; }
  const std::string& StartDir() const { return StartDir_; }
  bool StationAlive() const { return StationAlive_; }
  std::int32_t ServerTick() const { return ServerTick_; }
  double LastPacketTime() const;
  std::int32_t StationTick() const;
  cl* ServerLink() const { return link_.get(); }
  TSerialPort& SerialPort() const { return *SerialPort1; }
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
  QTimer* Timer2 = nullptr;

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

  void ReadMainSettings();
  void CreateStationChain();
  void CreateServerLink();
  void OpenConfiguredPort();
  void ShowStartUpMessage();
  // Start-up could not open the configured port: it is tried again every 5 s
  // until it opens or the operator uses the port controls.
  void RetryConfiguredPort();
  void StopStartUpRetries();
  void ReportOpenFailure(const std::string& name);
  // The serial component lost its device, or has it back.
  void OnStationLineLost(const SysError& cause);
  void OnStationLineRestored();
  std::string RunningPortName() const;
  // drvvzt.status: rewritten when something changes, and every 10 s.
  void UpdateStatus();
  void NoteFragment();
  void EnterStoppedState();
  void EnterRunningState();
  bool PortRunning() const;
  bool ConnectPort(const std::string& name);
  void StopOnRequest();
  void StartChosenPort();
  bool SendPortState();
  void ShowPortDevice(const QString& name);
  void ShowStartTime();
  void MakeCloseCode();
  void SetComPort(const std::string& name);
  void AcceptClose(QCloseEvent* event);
  void CheckStopSignal();
  void DropModalWindows();
  void PostLogText(const std::string& text);
  std::optional<bool> LinkUp() const;
  void UpdateTrayWatch();

  DateTimeClock& clock_;
  TickClock& tick_;
  DriverSettings settings_;
  std::string StartDir_;
  QString CloseCode_;
  QString startup_message_;  // shown once start-up has finished
  std::shared_ptr<IniSnapshot> ini_;
  QTimer* startup_retry_ = nullptr;
  DriverStatus last_status_;
  std::uint32_t last_status_write_tick_ = 0;
  std::uint32_t last_spool_count_tick_ = 0;
  bool status_written_ = false;
  SpoolCount spool_count_;
  SpoolCount rescue_count_;
  std::string link_state_;
  std::time_t link_since_ = 0;
  std::time_t started_wall_ = 0;
  std::size_t fragments_ = 0;  // deliveries that were not a whole packet
  std::size_t fragments_unreported_ = 0;
  bool watchdog_reported_ = false;  // the first verdict at start-up is no news
  bool fragments_reported_ = false;
  std::uint32_t last_fragment_report_tick_ = 0;
  double start_time_ = 0.0;
  bool StationAlive_ = false;
  std::int32_t ServerTick_ = 0;
  bool tray_available_ = true;
  bool centred_ = false;
  bool in_close_request_ = false;
  bool close_without_code_ = false;
  bool close_accepted_ = false;
  bool destroyed_ = false;

  // The port name read by the link thread for its handshake.
  mutable std::mutex com_port_mutex_;
  std::string com_port_;

  std::unique_ptr<TForm2> Form2;
  QtPollTimer poll_timer_;
  std::unique_ptr<TSerialPort> SerialPort1;
  std::unique_ptr<SpoolWriter> spool_;
  InFlightFiles in_flight_;
  std::unique_ptr<cl> link_;
  std::unique_ptr<SpoolForwarder> forwarder_;
  std::unique_ptr<EventDispatch> dispatch_;
  std::unique_ptr<PacketHandler> handler_;
  QTimer* stop_signal_timer_ = nullptr;
  QTimer* tray_watch_ = nullptr;
  std::function<bool()> tray_probe_;
  std::optional<TrayHealth> shown_health_;
};

}  // namespace drvvzt
