// The driver without its window: the serial component and the station chain,
// the server link thread, spool forwarding, the tick (forwarding, the
// station watchdog, drvvzt.status), start-up, shut-down and the operator's
// port operations. What an operator would see goes to a DriverView: the
// window is one, a run without a display another.
//
// Thread use: everything here runs on the owner's thread (the one that made
// the core and runs its timers), except the LinkHost calls ComPort(),
// PortOpen() and FirstNumber(), which the server link thread makes and which
// are thread-safe, and the LinkReports calls other than LogLine() and
// StepServerTick(), which arrive on the link thread and go straight to the
// forwarder or the spool writer (both thread-safe). The link's log lines and
// indicator steps reach the owner's thread through the post function.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/driver_settings.h"
#include "core/station_chain.h"
#include "core/status_file.h"
#include "platform/clock.h"
#include "platform/ini_snapshot.h"
#include "platform/sys_error.h"
#include "server/link_host.h"
#include "server/link_reports.h"
#include "server/ui_hand_off.h"
#include "station/poll_timer.h"

namespace drvvzt {

class SpoolForwarder;
class TSerialPort;
class cl;

// The period of the driver's tick while something can fall due.
inline constexpr std::uint32_t kDriverTickMs = 200;
// The longest the tick sleeps when nothing is under way: the spool count of
// drvvzt.status (and, with it, spool files that appeared from elsewhere).
inline constexpr std::uint32_t kDriverIdleTickMs = 2000;
// How often start-up tries the configured port again after it failed to open.
inline constexpr std::uint32_t kStartUpRetryMs = 5000;

// What the driver shows. Called on the owner's thread only.
class DriverView {
public:
  virtual ~DriverView() = default;
  virtual void DrawStation(bool alive, std::int32_t tick) = 0;
  virtual void DrawServer(bool link_up, std::int32_t tick) = 0;
  // A line of the operator's log, dated already.
  virtual void AppendLog(const std::string& line) = 0;
  // A message the operator must see; may wait for the operator.
  virtual void ShowMessage(const std::string& text) = 0;
  // Closes the message ShowMessage shows, if it is still up.
  virtual void DismissMessage() {}
  // Asks the operator for the close code; true when it was given right.
  virtual bool AskCloseCode(const std::string& code) = 0;
  // The state of the station, the link (nothing: no link configured) and the spool.
  virtual void ShowHealth(bool station_alive, std::optional<bool> link_up, bool spool_waiting) = 0;

  // The start-up facts: the close code, the start time (days since
  // 1899-12-30), whether the second server caption is shown.
  virtual void ShowStartUp(const std::string& close_code, double start_time, bool second_server) {
    (void)close_code, (void)start_time, (void)second_server;
  }
  // The ports a scan found free (may be none), and the configured name.
  virtual void ShowPortList(const std::vector<std::string>& free_ports) { (void)free_ports; }
  virtual void ShowConfiguredPort(const std::string& name) { (void)name; }
  // The port the operator has chosen in the port list.
  virtual std::string ChosenPort() = 0;
  // The port controls: running (stop offered) or stopped (scan, choose, start).
  virtual void ShowPortRunning(bool running) { (void)running; }
};

// The outcomes of the port operations.
enum class PortChoice { kChosen, kIgnoredWhileRunning, kNotWritten };
enum class PortStart { kStarted, kNotOpened };
enum class PortStop { kStopped, kRefused };

class DriverCore final : public LinkHost, public LinkReports {
public:
  // post runs a call on the owner's thread later (the link thread's reports
  // and lines dated elsewhere come through it). serial_poll and tick_timer
  // are the owner's timers: the serial component's poll and the tick.
  DriverCore(DriverView& view, DateTimeClock& clock, TickClock& tick, PollTimer& serial_poll,
             PollTimer& tick_timer, UiHandOff::PostFn post);
  ~DriverCore() override;
  DriverCore(const DriverCore&) = delete;
  DriverCore& operator=(const DriverCore&) = delete;

  // Start-up in the current directory: close code, port scan, settings,
  // station chain, configured port, server link, then the tick.
  void Start();
  // The message start-up left for the operator (the configured port would not
  // open); shown once the link and the tick run, so they do not wait for it.
  void ShowStartUpMessage();
  // Shut-down, once: the tick stops, the link thread stops (bounded, about
  // 3 s) and spools what it still held, the in-memory backlog is written out,
  // the port is closed.
  void Shutdown();
  // An accepted close: the port is closed at once, and a port operation that
  // waited for the operator ends without effect.
  void Close();
  bool Closing() const { return closing_; }
  // Records that could not be kept (after Shutdown: also those still in memory).
  bool RecordsLost() const;

  // The tick: spool forwarding, the in-memory backlog, the station watchdog,
  // the start-up port retry and drvvzt.status. It comes every 200 ms while
  // something can fall due within that time (a backlog, spool files to
  // forward, the first tick after a packet or a change of the port or the
  // link); otherwise it sleeps until the next thing that is due (the
  // watchdog's verdict, the start-up retry, the spool count), at most 2 s.
  void Tick();
  // The delay Tick() asked for after its last run.
  std::uint32_t NextTickDelayMs() const { return next_tick_delay_ms_; }
  void StationWatchdog();
  void FlushSpoolBacklog();
  void DrawStation();
  void DrawServer();

  // Port operations. Rescan: the free ports to the view, then the view's
  // choice. StartOrStop: stops the running port (asking for the close code)
  // or starts the chosen one (rescanning when it will not open); either way
  // the server hears the port's state.
  void Rescan();
  std::vector<std::string> ScanPorts();
  PortChoice ChoosePort(const std::string& name);
  void StartOrStop();
  PortStart StartPort(const std::string& name);
  PortStop StopPort();
  bool PortRunning() const { return port_running_; }
  bool StartUpRetryActive() const { return startup_retry_; }

  // LinkHost.
  std::string ComPort() override;
  bool PortOpen() override;
  int FirstNumber() override { return settings_.FirstNumber; }

  // LinkReports.
  void LogLine(const std::string& line) override;
  void StepServerTick(LinkState state) override;
  void Connected() override;
  void MessageWritten(std::uint32_t msg_type, std::uint64_t sequence) override;
  void SpoolFileSettled(const std::string& path, SpoolFate fate) override;
  bool SpoolRecord(std::span<const std::uint8_t> record) override;

  const DriverSettings& Settings() const { return settings_; }
  const std::string& CloseCode() const { return close_code_; }
  const std::string& StartDir() const { return start_dir_; }
  bool StationAlive() const { return station_alive_; }
  std::int32_t ServerTick() const { return server_tick_; }
  double LastPacketTime() const;
  std::int32_t StationTick() const;
  std::optional<bool> LinkUp() const;
  cl* ServerLink() const { return link_.get(); }
  TSerialPort& SerialPort() const { return *serial_; }
  StationChain* Chain() const { return chain_.get(); }

private:
  void MakeCloseCode();
  void ReadMainSettings();
  void CreateStationChain();
  void CreateServerLink();
  void OpenConfiguredPort();
  void RetryConfiguredPort();
  void StopStartUpRetries() { startup_retry_ = false; }
  bool ConnectPort(const std::string& name);
  void SetComPort(const std::string& name);
  bool SendPortState();
  void SendPortStateOrLog();
  void ReportOpenFailure(const std::string& name);
  void ReportPortOpened(const std::string& name);
  void OnStationLineLost(const SysError& cause);
  void OnStationLineRestored();
  std::string RunningPortName() const;
  void OnDelivery(const std::uint8_t* packet, std::uint32_t size);
  void NoteFragment();
  void ScheduleTick();
  std::uint32_t IdleTickDelayMs();
  void TickSoon();
  void UpdateStatus();
  void CountSpool(std::uint32_t now_tick);
  DriverStatus CurrentStatus(std::time_t now);
  bool SpoolWaiting() const { return spool_count_.files + rescue_count_.files > 0; }
  void PostLogText(const std::string& text);

  DriverView& view_;
  DateTimeClock& clock_;
  TickClock& tick_;
  PollTimer& tick_timer_;
  const UiHandOff::PostFn post_;

  DriverSettings settings_;
  std::string start_dir_;
  std::string close_code_;
  std::string startup_message_;
  std::shared_ptr<IniSnapshot> ini_;
  double start_time_ = 0.0;
  std::time_t started_wall_ = 0;
  bool station_alive_ = false;
  std::int32_t server_tick_ = 0;
  // The link's state as its last indicator step gave it.
  LinkState server_link_state_ = LinkState::kDown;
  bool port_running_ = true;  // start-up begins in the running look
  bool startup_retry_ = false;
  std::uint32_t last_retry_tick_ = 0;
  bool closing_ = false;
  bool shut_down_ = false;
  bool ticking_ = false;
  std::uint32_t next_tick_at_ = 0;
  std::uint32_t next_tick_delay_ms_ = kDriverTickMs;

  // drvvzt.status and the lines on standard error.
  DriverStatus last_status_;
  std::uint32_t last_status_write_tick_ = 0;
  std::uint32_t last_spool_count_tick_ = 0;
  bool status_written_ = false;
  SpoolCount spool_count_;
  SpoolCount rescue_count_;
  std::string link_state_;
  std::time_t link_since_ = 0;
  std::size_t fragments_ = 0;  // deliveries that were not a whole packet
  std::size_t fragments_unreported_ = 0;
  bool fragments_reported_ = false;
  std::uint32_t last_fragment_report_tick_ = 0;
  bool watchdog_reported_ = false;  // the first verdict at start-up is no news

  // The port name read by the link thread for its handshake.
  mutable std::mutex com_port_mutex_;
  std::string com_port_;

  std::unique_ptr<TSerialPort> serial_;
  std::unique_ptr<StationChain> chain_;
  std::unique_ptr<cl> link_;
  std::unique_ptr<SpoolForwarder> forwarder_;
};

}  // namespace drvvzt
