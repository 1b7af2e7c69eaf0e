// The driver's life cycle and port operations, with no window: start-up,
// the tick, shut-down, the port scan, choice, start and stop.
#include "core/driver_core.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <utility>

#include "platform/datetime.h"
#include "platform/diagnostics.h"
#include "platform/error_log.h"
#include "platform/ini_file.h"
#include "platform/serial_device.h"
#include "platform/serial_port_names.h"
#include "server/server_link.h"
#include "server/spool_forwarder.h"
#include "server/version.h"
#include "server/wire_format.h"
#include "station/serial_port.h"

namespace drvvzt {
namespace {

constexpr int kFirstScannedPort = 1;
constexpr int kLastScannedPort = 32;
constexpr std::uint32_t kStatusRewriteMs = 10000;
constexpr std::uint32_t kSpoolCountMs = 2000;
constexpr std::uint32_t kFragmentReportMs = 60000;

constexpr char kPortBusyAtStartUp[] = "Порт уже занят. Смените его.";
constexpr char kPortBusy[] = "Порт уже занят!";
constexpr char kWrongCodeForStop[] = "Неправильный пароль. В доступе отказано";

std::uint32_t Since(std::uint32_t now, std::uint32_t then) { return static_cast<std::uint32_t>(now - then); }

// Seeded afresh at every start from the system's entropy and the clocks, so
// that two starts do not share a code (the clocks alone would still differ
// when the entropy source is missing).
unsigned CodeSeedEntropy() {
  try {
    std::random_device entropy;
    return entropy();
  } catch (...) {
    return 0;
  }
}

}  // namespace

DriverCore::DriverCore(DriverView& view, DateTimeClock& clock, TickClock& tick, PollTimer& serial_poll,
                       PollTimer& tick_timer, UiHandOff::PostFn post)
    : view_(view),
      clock_(clock),
      tick_(tick),
      tick_timer_(tick_timer),
      post_(std::move(post)),
      serial_(std::make_unique<TSerialPort>(serial_poll, tick)) {
  serial_->SetPortName(std::string(kDeviceNamespacePrefix) + "COM1");
  serial_->SetHwFlow(hfNONE);
  serial_->SetPacketSize(kPacketSize);
  serial_->SetPacketTimeout(100);
  serial_->SetPacketMode(pmPass);
  serial_->SetPollingDelay(5);
  serial_->SetOutputTimeout(80);
  serial_->OnLineLost = [this](TSerialPort&, const SysError& cause) { OnStationLineLost(cause); };
  serial_->OnLineRestored = [this](TSerialPort&) { OnStationLineRestored(); };
  serial_->OnReceivePacket = [this](TSerialPort&, const std::uint8_t* packet, std::uint32_t size) {
    OnDelivery(packet, size);
  };
}

DriverCore::~DriverCore() { Shutdown(); }

// ---- Start-up ------------------------------------------------------------------

void DriverCore::Start() {
  start_dir_ = std::filesystem::current_path().string();
  start_time_ = clock_.Now();
  started_wall_ = std::time(nullptr);
  station_alive_ = false;
  MakeCloseCode();
  Rescan();
  ReadMainSettings();
  CreateStationChain();
  OpenConfiguredPort();
  CreateServerLink();
  view_.ShowStartUp(close_code_, clock_.Now(), settings_.SendT7);
  tick_timer_.Start(0, [this] { Tick(); });
  ticking_ = true;
  next_tick_at_ = tick_.NowTick() + kDriverTickMs;
  tick_timer_.WakeIn(kDriverTickMs);
}

void DriverCore::ShowStartUpMessage() {
  if (startup_message_.empty()) return;
  view_.ShowMessage(std::exchange(startup_message_, std::string()));
}

void DriverCore::MakeCloseCode() {
  const auto wall = std::chrono::system_clock::now().time_since_epoch().count();
  const auto mono = std::chrono::steady_clock::now().time_since_epoch().count();
  std::seed_seq seed{CodeSeedEntropy(), CodeSeedEntropy(), static_cast<unsigned>(tick_.NowTick()),
                     static_cast<unsigned>(wall), static_cast<unsigned>(wall >> 32),
                     static_cast<unsigned>(mono)};
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> draw(0, 89998);
  close_code_ = std::to_string(draw(generator) + 10000);
}

void DriverCore::ReadMainSettings() {
  settings_ = ReadDriverSettings(start_dir_ + "/" + kIniFileName);
  SetComPort(settings_.ComPort);
}

// The station chain, the server link (not yet running) and the forwarder, in
// the order they depend on each other.
void DriverCore::CreateStationChain() {
  ini_ = std::make_shared<IniSnapshot>(start_dir_ + "/" + kIniFileName);
  StationChainSetup setup;
  setup.settings = settings_;
  setup.start_dir = start_dir_;
  setup.ini = ini_;
  setup.send = [this](const std::uint8_t* data, std::uint32_t size) { return serial_->SendData(data, size); };
  setup.redraw_station = [this] { DrawStation(); };
  chain_ = std::make_unique<StationChain>(std::move(setup), clock_);
  if (settings_.SendT8) {
    ServerLinkOptions options;
    options.work_dir = start_dir_;
    options.post = post_;
    options.in_flight = &chain_->InFlight();
    options.ini = ini_;
    link_ = std::make_unique<cl>(*this, *this, MakeServerTransport(tick_), tick_, clock_, std::move(options));
    forwarder_ = std::make_unique<SpoolForwarder>(*link_, chain_->InFlight(), tick_, settings_.PathForSoob,
                                                  start_dir_,
                                                  [this](const std::string& text) { PostLogText(text); });
    forwarder_->AddLocation(chain_->Spool().RescuePrefix());
  }
  chain_->Connect(link_.get());
  chain_->Handler().SetLastPacketTime(start_time_);
}

void DriverCore::CreateServerLink() {
  if (!link_) return;
  link_->Start();
  DrawServer();
}

// ---- Shut-down ---------------------------------------------------------------

// The link thread reads and writes the core's state, so it is stopped first.
// Its stop spools the live events still queued (spool-file messages are queued
// nowhere else: their files are still on disk); then the in-memory backlog is
// written out, so an accepted close loses no event.
void DriverCore::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  ticking_ = false;
  tick_timer_.Stop();
  if (link_) link_->Stop();
  if (chain_ && !chain_->Spool().FlushBacklog()) chain_->Spool().AbandonBacklog();
  if (serial_->Connected()) serial_->Disconnect();
}

void DriverCore::Close() {
  closing_ = true;
  if (serial_->Connected()) serial_->Disconnect();
}

bool DriverCore::RecordsLost() const { return chain_ && chain_->Spool().LostCount() > 0; }

// ---- The tick -----------------------------------------------------------------

void DriverCore::Tick() {
  bool forwarded = true;
  try {
    if (forwarder_) forwarder_->Step();
  } catch (...) {
    forwarded = false;  // the watchdog waits for the next tick
  }
  FlushSpoolBacklog();
  if (forwarded) StationWatchdog();
  if (startup_retry_ && Since(tick_.NowTick(), last_retry_tick_) >= kStartUpRetryMs) RetryConfiguredPort();
  try {
    UpdateStatus();
  } catch (...) {
    // the status file is for onlookers; the driver goes on without it
  }
  ScheduleTick();
}

// An idle driver must not wake five times a second for nothing: the 200 ms
// pace is kept only while work is under way.
void DriverCore::ScheduleTick() {
  if (!ticking_) return;
  const bool busy = (chain_ && chain_->Spool().BacklogSize() > 0) || (forwarder_ && forwarder_->HasWork()) ||
                    (link_ && link_->IsLinkUp() && !link_->IsRegistered());
  next_tick_delay_ms_ = busy ? kDriverTickMs : IdleTickDelayMs();
  next_tick_at_ = tick_.NowTick() + next_tick_delay_ms_;
  tick_timer_.WakeIn(next_tick_delay_ms_);
}

// The earliest of what falls due while nothing is under way.
std::uint32_t DriverCore::IdleTickDelayMs() {
  const std::uint32_t now = tick_.NowTick();
  auto left = [now](std::uint32_t since, std::uint32_t period) {
    const std::uint32_t passed = Since(now, since);
    return passed >= period ? 0u : period - passed;
  };
  std::uint32_t delay = left(last_spool_count_tick_, kSpoolCountMs);
  if (startup_retry_) delay = std::min(delay, left(last_retry_tick_, kStartUpRetryMs));
  if (station_alive_) {
    // Just past the moment the watchdog's verdict turns. The date-time clock
    // may be set meanwhile; the next tick reckons again.
    const double left_ms = (LastPacketTime() + settings_.Attention - clock_.Now()) * kMsPerDay;
    if (left_ms < static_cast<double>(delay)) delay = left_ms > 0 ? static_cast<std::uint32_t>(left_ms) + 1 : 1;
  }
  return std::clamp<std::uint32_t>(delay, 1, kDriverIdleTickMs);
}

// Something the tick shows or writes has changed (a packet, the port, the
// link): the next tick comes within 200 ms, as it would on the fixed pace.
void DriverCore::TickSoon() {
  if (!ticking_) return;
  const std::uint32_t now = tick_.NowTick();
  if (static_cast<std::int32_t>(next_tick_at_ - now) <= static_cast<std::int32_t>(kDriverTickMs)) return;
  next_tick_at_ = now + kDriverTickMs;
  next_tick_delay_ms_ = kDriverTickMs;
  tick_timer_.WakeIn(kDriverTickMs);
}

// Records kept in memory while the disk refused them go out as soon as it
// takes them again, not only when the next event arrives (it may be hours).
void DriverCore::FlushSpoolBacklog() {
  try {
    if (chain_ && chain_->Spool().BacklogSize() > 0) chain_->Spool().FlushBacklog();
  } catch (...) {
    // kept in memory; the next tick tries again
  }
}

void DriverCore::StationWatchdog() {
  try {
    const bool alive = clock_.Now() <= LastPacketTime() + settings_.Attention;
    if (alive != station_alive_) {
      station_alive_ = alive;
      DrawStation();
      if (alive) {
        if (watchdog_reported_) Report(Severity::kInfo, "station alive again");
      } else {
        Report(Severity::kWarning, "station silent: no packet within the watchdog interval");
      }
      watchdog_reported_ = true;
    }
  } catch (...) {
    WriteErrorLog(start_dir_, kErrorWatchdog);
  }
  view_.ShowHealth(station_alive_, LinkUp(), SpoolWaiting());
}

void DriverCore::DrawStation() { view_.DrawStation(station_alive_, StationTick()); }

void DriverCore::DrawServer() {
  if (link_) view_.DrawServer(server_link_state_ == LinkState::kUp, server_tick_);
}

double DriverCore::LastPacketTime() const {
  return chain_ && chain_->Connected() ? chain_->Handler().LastPacketTime() : start_time_;
}

std::int32_t DriverCore::StationTick() const {
  return chain_ && chain_->Connected() ? chain_->Handler().StationTick() : 0;
}

std::optional<bool> DriverCore::LinkUp() const {
  if (!link_) return std::nullopt;
  return link_->IsLinkUp();
}

// ---- Deliveries ------------------------------------------------------------------

void DriverCore::OnDelivery(const std::uint8_t* packet, std::uint32_t size) {
  if (size != kPacketSize) NoteFragment();
  if (chain_ && chain_->Connected()) chain_->Deliver(packet, size);
  TickSoon();
}

// A fragment cut by the packet timeout is the sign of a noisy line: one stray
// byte misaligns every packet of a burst. Reported at most once a minute.
void DriverCore::NoteFragment() {
  ++fragments_;
  ++fragments_unreported_;
  const std::uint32_t now = tick_.NowTick();
  if (fragments_reported_ && Since(now, last_fragment_report_tick_) < kFragmentReportMs) return;
  fragments_reported_ = true;
  last_fragment_report_tick_ = now;
  Report(Severity::kWarning, std::to_string(fragments_unreported_) +
                                 " incomplete delivery(ies) from the station (noisy line?)");
  fragments_unreported_ = 0;
}

// ---- Port operations ---------------------------------------------------------------

// A port that cannot be opened, for whatever reason, is simply not usable.
bool DriverCore::ConnectPort(const std::string& name) {
  try {
    serial_->SetPortName(std::string(kDeviceNamespacePrefix) + name);
    return serial_->Connect();
  } catch (...) {
    return false;
  }
}

void DriverCore::SetComPort(const std::string& name) {
  settings_.ComPort = name;
  std::lock_guard lock(com_port_mutex_);
  com_port_ = name;
}

// Start-up: the driver starts in its running look; the configured port either
// makes that true or the controls go to the stopped state. No port-state
// message: the server link reports the port when it registers.
void DriverCore::OpenConfiguredPort() {
  view_.ShowConfiguredPort(settings_.ComPort);
  if (settings_.ComPort == kNoComPort) {
    port_running_ = false;
    view_.ShowPortRunning(false);
    return;
  }
  if (ConnectPort(settings_.ComPort)) {
    ReportPortOpened(settings_.ComPort);
    return;
  }
  ReportOpenFailure(settings_.ComPort);
  startup_message_ = kPortBusyAtStartUp;
  port_running_ = false;
  view_.ShowPortRunning(false);
  // An adapter plugged in late is taken when it appears.
  startup_retry_ = true;
  last_retry_tick_ = tick_.NowTick();
}

// Goes to the running state exactly as a successful start-up opening would
// have, and closes the start-up message if it is still up.
void DriverCore::RetryConfiguredPort() {
  last_retry_tick_ = tick_.NowTick();
  if (port_running_ || !ConnectPort(settings_.ComPort)) return;
  StopStartUpRetries();
  port_running_ = true;
  view_.ShowPortRunning(true);
  SendPortStateOrLog();
  PostLogText("Порт " + settings_.ComPort + " открыт.");
  ReportPortOpened(settings_.ComPort);
  startup_message_.clear();
  view_.DismissMessage();
}

// Each free port is opened with the line settings and closed again at once,
// so the scan runs only while the driver's own port is closed.
std::vector<std::string> DriverCore::ScanPorts() {
  std::vector<std::string> free_ports;
  for (int number = kFirstScannedPort; number <= kLastScannedPort; ++number) {
    const std::string name = "COM" + std::to_string(number);
    if (!ConnectPort(name)) continue;
    serial_->Disconnect();
    free_ports.push_back(name);
  }
  return free_ports;
}

void DriverCore::Rescan() {
  StopStartUpRetries();
  view_.ShowPortList(ScanPorts());
  ChoosePort(view_.ChosenPort());
}

// A choice counts only while stopped: the running port is not swapped under
// the station's feet. A failure is logged as code 19 and nothing else happens.
PortChoice DriverCore::ChoosePort(const std::string& name) {
  StopStartUpRetries();
  try {
    if (port_running_) return PortChoice::kIgnoredWhileRunning;
    if (!WriteIniString(start_dir_ + "/" + kIniFileName, "main", "ComPort", name)) {
      WriteErrorLog(start_dir_, kErrorPortWrite);
      return PortChoice::kNotWritten;
    }
    SetComPort(name);
    SendPortStateOrLog();
    TickSoon();
    return PortChoice::kChosen;
  } catch (...) {
    WriteErrorLog(start_dir_, kErrorPortWrite);
    return PortChoice::kNotWritten;
  }
}

// Start or stop, then the port-state message in every case, a refused stop
// and a failed start included.
void DriverCore::StartOrStop() {
  StopStartUpRetries();
  if (port_running_) {
    StopPort();
  } else {
    StartPort(view_.ChosenPort());
  }
  // A stop signal that arrived while the operator was asked has closed the driver.
  if (closing_) return;
  SendPortStateOrLog();
  TickSoon();
}

// The port keeps running (and acknowledging packets) while the operator is asked.
PortStop DriverCore::StopPort() {
  const bool accepted = view_.AskCloseCode(close_code_);
  if (closing_) return PortStop::kRefused;
  if (!accepted) {
    view_.ShowMessage(kWrongCodeForStop);
    return PortStop::kRefused;
  }
  if (serial_->Connected()) serial_->Disconnect();
  port_running_ = false;
  view_.ShowPortRunning(false);
  return PortStop::kStopped;
}

// Starting opens the chosen name; it does not change ComPort or the file.
PortStart DriverCore::StartPort(const std::string& name) {
  if (ConnectPort(name)) {
    serial_->SetDTR(true);
    port_running_ = true;
    view_.ShowPortRunning(true);
    return PortStart::kStarted;
  }
  ReportOpenFailure(name);
  view_.ShowMessage(kPortBusy);
  if (!closing_) Rescan();
  return PortStart::kNotOpened;
}

// The operator's texts stay as they are; the log and standard error say why.
void DriverCore::ReportOpenFailure(const std::string& name) {
  const SysError& cause = serial_->LastError();
  Report(Severity::kError, "station port " + name + " cannot be opened: " + OpenFailureMessage(cause));
  PostLogText("Порт " + name + " не открыт: " + OpenCauseTextRu(OpenCauseOf(cause)) + ".");
}

void DriverCore::ReportPortOpened(const std::string& name) {
  Report(Severity::kInfo, "station port " + name + " opened (" + serial_->DevicePath() + ")");
}

std::string DriverCore::RunningPortName() const {
  std::string name = serial_->PortName();
  if (name.starts_with(kDeviceNamespacePrefix)) name.erase(0, kDeviceNamespacePrefix.size());
  return name;
}

void DriverCore::OnStationLineLost(const SysError& cause) {
  const std::string name = RunningPortName();
  PostLogText("Связь с портом " + name + " потеряна.");
  Report(Severity::kError, "station port " + name + " lost: " + cause.Text() + "; reopening every 2 s");
  SendPortStateOrLog();
  TickSoon();
}

void DriverCore::OnStationLineRestored() {
  const std::string name = RunningPortName();
  PostLogText("Связь с портом " + name + " восстановлена.");
  Report(Severity::kInfo, "station port " + name + " back (" + serial_->DevicePath() + ")");
  SendPortStateOrLog();
  TickSoon();
}

// Queued whether or not the link is up; without a link thread there is nobody
// to tell. False when the message could not be queued.
bool DriverCore::SendPortState() {
  if (!link_) return true;
  try {
    return link_->PutMessage(mtPortState, PortStateBody(settings_.ComPort, PortOpen()));
  } catch (...) {
    return false;
  }
}

void DriverCore::SendPortStateOrLog() {
  if (!SendPortState()) WriteErrorLog(start_dir_, kErrorPortWrite);
}

// ---- LinkHost ------------------------------------------------------------------

std::string DriverCore::ComPort() {
  std::lock_guard lock(com_port_mutex_);
  return com_port_;
}

// Open for the server means started and with its device there.
bool DriverCore::PortOpen() { return serial_->Connected() && serial_->LineUp(); }

void DriverCore::LogLine(const std::string& line) {
  view_.AppendLog(line);
  Report(Severity::kInfo, "log: " + line);
}

void DriverCore::StepServerTick(LinkState state) {
  if (state != server_link_state_) TickSoon();
  server_link_state_ = state;
  server_tick_ = server_tick_ >= kIndicatorTickLimit ? 0 : server_tick_ + 1;
  DrawServer();
  view_.ShowHealth(station_alive_, state == LinkState::kUp, SpoolWaiting());
}

// The link thread's reports below go to objects that are safe from any thread.
void DriverCore::Connected() {
  if (forwarder_) forwarder_->OnConnected();
}

void DriverCore::MessageWritten(std::uint32_t, std::uint64_t) {}

void DriverCore::SpoolFileSettled(const std::string& path, SpoolFate fate) {
  if (forwarder_) forwarder_->OnSpoolFileSettled(path, fate);
}

bool DriverCore::SpoolRecord(std::span<const std::uint8_t> record) {
  return chain_ && SpoolRecordTo(chain_->Spool(), record);
}

// Lines from the forwarder and the port operations are dated here and
// appended on the owner's thread, after what is running now.
void DriverCore::PostLogText(const std::string& text) {
  const std::string line = FormatDateTime(clock_.Now()) + " " + text;
  if (post_) {
    post_([this, line] { LogLine(line); });
  } else {
    LogLine(line);
  }
}

// ---- drvvzt.status -------------------------------------------------------------

void DriverCore::UpdateStatus() {
  const std::uint32_t now_tick = tick_.NowTick();
  const std::time_t now = std::time(nullptr);
  if (!status_written_ || Since(now_tick, last_spool_count_tick_) >= kSpoolCountMs) CountSpool(now_tick);
  const DriverStatus status = CurrentStatus(now);
  const bool due = !status_written_ || !status.SameStateAs(last_status_) ||
                   Since(now_tick, last_status_write_tick_) >= kStatusRewriteMs;
  if (!due) return;
  if (!WriteDriverStatus(start_dir_, status) && status_written_) return;
  status_written_ = true;
  last_status_ = status;
  last_status_write_tick_ = now_tick;
}

// A stat per file is paid only when the status file is about to be rewritten
// anyway: a spool of 100,000 files must not cost a core.
void DriverCore::CountSpool(std::uint32_t now_tick) {
  last_spool_count_tick_ = now_tick;
  const bool had_files = SpoolWaiting();
  const bool with_oldest =
      !status_written_ || Since(now_tick, last_status_write_tick_) + kSpoolCountMs >= kStatusRewriteMs;
  const SpoolCount spool_before = spool_count_;
  const SpoolCount rescue_before = rescue_count_;
  spool_count_ = CountSpoolFiles(settings_.PathForSoob.empty() ? start_dir_ + "/" : settings_.PathForSoob,
                                 with_oldest);
  rescue_count_ = chain_ ? CountSpoolFiles(chain_->Spool().RescuePrefix(), with_oldest) : SpoolCount{};
  if (!with_oldest) {
    if (spool_count_.files > 0) spool_count_.oldest = spool_before.oldest;
    if (rescue_count_.files > 0) rescue_count_.oldest = rescue_before.oldest;
  }
  const bool has_files = SpoolWaiting();
  if (has_files && !had_files) Report(Severity::kWarning, "events are waiting in spool files");
  if (!has_files && had_files) Report(Severity::kInfo, "spool emptied: every spooled event was delivered");
}

DriverStatus DriverCore::CurrentStatus(std::time_t now) {
  DriverStatus status;
  status.version = std::string(VersionText());
  status.pid = static_cast<long>(::getpid());
  status.started = started_wall_;
  status.updated = now;
  status.station_port = settings_.ComPort;
  status.station_device = serial_->LineUp() ? serial_->DevicePath() : std::string();
  status.station_open = PortOpen();
  if (chain_ && chain_->Connected() && LastPacketTime() != start_time_) {
    status.station_last_packet = now - static_cast<std::time_t>((clock_.Now() - LastPacketTime()) * 86400.0);
  }
  status.station_alive = station_alive_;
  status.station_fragments = fragments_;
  status.server_enabled = link_ != nullptr;
  if (link_) {
    status.server_address = link_->ServerAddress();
    const std::string state = link_->IsDenied() ? "denied" : link_->IsLinkUp() ? "up" : "down";
    if (state != link_state_) {
      link_state_ = state;
      link_since_ = now;
    }
    status.server_link = state;
    status.server_since = link_since_;
    status.server_registered = link_->IsLinkUp() && link_->IsRegistered();
  }
  status.spool_files = spool_count_.files;
  status.spool_oldest = spool_count_.oldest;
  if (rescue_count_.oldest && (!status.spool_oldest || *rescue_count_.oldest < *status.spool_oldest)) {
    status.spool_oldest = rescue_count_.oldest;
  }
  status.spool_rescue_files = rescue_count_.files;
  status.spool_memory = chain_ ? chain_->Spool().BacklogSize() : 0;
  status.spool_lost = chain_ ? chain_->Spool().LostCount() : 0;
  return status;
}

}  // namespace drvvzt
