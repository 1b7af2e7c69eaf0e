// The main window: layout, start-up and shut-down, the watchdog, the tray and
// the glue between the station chain, the server link thread and the widgets.
#include "shell/main_window.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <chrono>
#include <filesystem>
#include <random>
#include <span>
#include <utility>

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>

#include "platform/datetime.h"
#include "platform/diagnostics.h"
#include "server/version.h"
#include "platform/error_log.h"
#include "server/server_link.h"
#include "server/spool_forwarder.h"
#include "shell/dialog_window.h"
#include "shell/indicator.h"
#include "shell/log_memo.h"
#include "shell/message_box.h"
#include "shell/pictures.h"
#include "shell/port_list.h"
#include "shell/stop_signals.h"
#include "shell/title_band.h"
#include "station/event_dispatch.h"
#include "station/packet_handler.h"
#include "station/serial_port.h"
#include "station/spool_writer.h"

namespace drvvzt {
namespace {

constexpr int kTitleBandHeight = 57;
constexpr int kToolStripHeight = 81;
constexpr int kPageTop = kTitleBandHeight + kToolStripHeight;
constexpr int kPageHeight = 193;
static_assert(kPageTop + kPageHeight == kClientHeight);
constexpr int kToolBarWidth = 76;
constexpr int kToolBarHeight = 74;
constexpr int kPageButtonWidth = 72;
constexpr int kPageButtonHeight = 54;

constexpr int kTimer2PeriodMs = 200;
constexpr int kTrayWatchMs = 2000;
constexpr int kStopSignalCheckMs = 50;
constexpr int kMemoMaxLines = 5000;  // months unattended must not grow memory without end
constexpr std::int32_t kServerTickLimit = 16;

constexpr char kDevicePrefix[] = "\\\\.\\";

// The positions on the pages are laid out for an 11-pixel sans face; wider
// faces would run the captions into the pictures beside them.
QFont WindowFont() {
  QFont font;
  font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("MS Sans Serif"), QStringLiteral("Arial"),
                    QStringLiteral("Liberation Sans"), QStringLiteral("Nimbus Sans"),
                    QStringLiteral("DejaVu Sans Condensed")});
  font.setPixelSize(11);
  return font;
}

QLabel* PlaceLabel(QWidget* parent, const QString& text, int left, int top) {
  auto* label = new QLabel(text, parent);
  label->move(left, top);
  label->adjustSize();
  return label;
}

QLabel* PlacePicture(QWidget* parent, const char* name, int left, int top) {
  auto* picture = new QLabel(parent);
  picture->setObjectName(QString::fromLatin1(name));
  picture->setGeometry(left, top, kIndicatorSize, kIndicatorSize);
  return picture;
}

}  // namespace

TForm1::TForm1(DateTimeClock& clock, TickClock& tick)
    : QWidget(nullptr),
      clock_(clock),
      tick_(tick),
      tray_available_(QSystemTrayIcon::isSystemTrayAvailable()),
      Form2(std::make_unique<TForm2>()),
      SerialPort1(std::make_unique<TSerialPort>(poll_timer_, tick)) {
  setObjectName(QStringLiteral("Form1"));
  // The title band is the title bar: a frame from the window manager would
  // put a second one above it.
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  SetDialogOwner(this);
  setWindowTitle(QStringLiteral("Драйвер VZT"));
  setWindowIcon(DriverIcon());
  setFixedSize(kClientWidth, kClientHeight);
  setFont(WindowFont());
  createTitleBand();
  createToolBarStrip();
  Notebook1 = new QStackedWidget(this);
  Notebook1->setObjectName(QStringLiteral("Notebook1"));
  Notebook1->setGeometry(0, kPageTop, kClientWidth, kPageHeight);
  Notebook1->addWidget(createStatusPage());
  Notebook1->addWidget(createSettingsPage());
  createTray();
  connectHandlers();
  // Watched from the start: a stop signal must also end a start-up that waits
  // for the operator in a message box.
  stop_signal_timer_->start(kStopSignalCheckMs);
  FormCreate();
  Timer2->start(kTimer2PeriodMs);
  ShowStartUpMessage();
}

void TForm1::ShowStartUpMessage() {
  if (startup_message_.isEmpty()) return;
  const QString text = std::exchange(startup_message_, QString());
  ShowMessageBox(text);
}

TForm1::~TForm1() { FormDestroy(); }

// ---- Layout ---------------------------------------------------------------

QWidget* TForm1::createTitleBand() {
  auto* band = new TitleBand(this);
  band->setObjectName(QStringLiteral("TitleBand"));
  band->setGeometry(0, 0, kClientWidth, kTitleBandHeight);
  auto* title = new QLabel(QString::fromUtf8(kProductTitle) + QStringLiteral(" - Драйвер VZT"), band);
  QFont font = title->font();
  font.setPixelSize(18);
  font.setBold(true);
  title->setFont(font);
  title->setStyleSheet(QStringLiteral("color: white;"));
  title->move(12, 18);
  title->adjustSize();

  // The band's buttons take no keyboard focus: Space on a focused "_" would
  // hide the window to the tray.
  auto* minimise = new QToolButton(band);
  minimise->setObjectName(QStringLiteral("MinimiseButton"));
  minimise->setFocusPolicy(Qt::NoFocus);
  minimise->setText(QStringLiteral("_"));
  minimise->setToolTip(QStringLiteral("Свернуть"));
  minimise->setGeometry(kClientWidth - 50, 4, 22, 20);
  connect(minimise, &QToolButton::clicked, this, &QWidget::showMinimized);
  auto* close_button = new QToolButton(band);
  close_button->setObjectName(QStringLiteral("CloseButton"));
  close_button->setFocusPolicy(Qt::NoFocus);
  close_button->setText(QStringLiteral("×"));
  close_button->setToolTip(QStringLiteral("Закрыть"));
  close_button->setGeometry(kClientWidth - 26, 4, 22, 20);
  connect(close_button, &QToolButton::clicked, this, &QWidget::close);
  return band;
}

QWidget* TForm1::createToolBarStrip() {
  auto* strip = new QWidget(this);
  strip->setObjectName(QStringLiteral("ToolStrip"));
  strip->setGeometry(0, kTitleBandHeight, kClientWidth, kToolStripHeight);
  strip->setAutoFillBackground(true);
  auto make_bar = [strip](int left, const QString& caption, const QPixmap& picture) {
    auto* bar = new QWidget(strip);
    bar->setGeometry(left, (kToolStripHeight - kToolBarHeight) / 2, kToolBarWidth, kToolBarHeight);
    auto* button = new QToolButton(bar);
    button->setGeometry((kToolBarWidth - kPageButtonWidth) / 2, 2, kPageButtonWidth, kPageButtonHeight);
    button->setIcon(QIcon(picture));
    button->setIconSize(picture.size());
    button->setCheckable(true);
    button->setAutoRaise(true);
    auto* label = new QLabel(caption, bar);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setGeometry(0, 2 + kPageButtonHeight + 1, kToolBarWidth, kToolBarHeight - kPageButtonHeight - 3);
    return button;
  };
  Button28 = make_bar(4, QStringLiteral("Состояние"), StatusPagePicture());
  Button28->setObjectName(QStringLiteral("Button28"));
  Button47 = make_bar(4 + kToolBarWidth + 2, QStringLiteral("Настройки"), SettingsPagePicture());
  Button47->setObjectName(QStringLiteral("Button47"));
  auto* group = new QButtonGroup(this);
  group->setExclusive(true);
  group->addButton(Button28);
  group->addButton(Button47);
  Button28->setChecked(true);
  Button28->setFocus();  // keyboard focus starts where Space does no harm
  return strip;
}

QWidget* TForm1::createStatusPage() {
  auto* page = new QWidget;
  page->setObjectName(QStringLiteral("Default"));
  PlaceLabel(page, QStringLiteral("Контроль связи со станцией"), 8, 10);
  StationImage = PlacePicture(page, "StationImage", 176, 8);
  PlaceLabel(page, QStringLiteral("Связь с сервером сообщений"), 256, 10);
  ServerImage = PlacePicture(page, "ServerImage", 416, 8);

  auto* started = new QLabel(QStringLiteral("Дата и время запуска"), page);
  started->setAlignment(Qt::AlignRight | Qt::AlignTop);
  started->setGeometry(7, 37, 111, started->sizeHint().height());
  StartTimeLabel = PlaceLabel(page, QString(), 124, 37);
  StartTimeLabel->setObjectName(QStringLiteral("StartTimeLabel"));
  ServerCaption2 = PlaceLabel(page, QStringLiteral("Связь с сервером сообщений"), 256, 37);
  ServerCaption2->setObjectName(QStringLiteral("ServerCaption2"));
  ServerImage2 = PlacePicture(page, "ServerImage2", 416, 35);

  PlaceLabel(page, QStringLiteral("Пароль для закрытия"), 7, 65);
  CloseCodeLabel = PlaceLabel(page, QString(), 124, 65);
  CloseCodeLabel->setObjectName(QStringLiteral("CloseCodeLabel"));

  Memo1 = new LogMemo(page);
  Memo1->setObjectName(QStringLiteral("Memo1"));
  Memo1->setGeometry(7, 84, 432, 100);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setMaximumBlockCount(kMemoMaxLines);
  return page;
}

QWidget* TForm1::createSettingsPage() {
  auto* page = new QWidget;
  page->setObjectName(QStringLiteral("setup"));
  GroupBox1 = new QGroupBox(QStringLiteral("Com порт"), page);
  GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
  GroupBox1->setGeometry(9, 3, 428, 62);

  ComboBox1 = new QComboBox(GroupBox1);
  ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
  ComboBox1->setEditable(true);  // shows the configured name even when it is not listed
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);
  MakeChoiceOnlyList(ComboBox1);
  ComboBox1->setMaxVisibleItems(8);
  ComboBox1->setGeometry(18, 25, 103, ComboBox1->sizeHint().height());
  ComboBox1->setEnabled(false);

  Button2 = new QPushButton(QString::fromUtf8(kCaptionRunning), GroupBox1);
  Button2->setObjectName(QStringLiteral("Button2"));
  Button2->setGeometry(143, 22, 94, 25);
  QFont bold = Button2->font();
  bold.setBold(true);
  Button2->setFont(bold);
  Button2->setStyleSheet(QStringLiteral("color: rgb(0, 128, 0);"));

  Button1 = new QPushButton(QStringLiteral("Сканировать заново"), GroupBox1);
  Button1->setObjectName(QStringLiteral("Button1"));
  Button1->setGeometry(243, 22, 170, 25);
  Button1->setEnabled(false);
  return page;
}

void TForm1::createTray() {
  PopupMenu1 = new QMenu(this);
  QAction* n4 = PopupMenu1->addAction(QStringLiteral("Восстановить"));
  PopupMenu1->addSeparator();
  QAction* n6 = PopupMenu1->addAction(QStringLiteral("Закрыть"));
  connect(n4, &QAction::triggered, this, &TForm1::N4Click);
  connect(n6, &QAction::triggered, this, &TForm1::N6Click);
  // Only the context menu is wired: left and double clicks are meant to do nothing.
  TrayIcon1 = new QSystemTrayIcon(DriverIcon(), this);
  TrayIcon1->setToolTip(QStringLiteral("Драйвер VZT"));
  TrayIcon1->setContextMenu(PopupMenu1);
  TrayIcon1->show();
  tray_probe_ = &QSystemTrayIcon::isSystemTrayAvailable;
  tray_watch_ = new QTimer(this);
  tray_watch_->setInterval(kTrayWatchMs);
  connect(tray_watch_, &QTimer::timeout, this, &TForm1::CheckTrayHost);
}

void TForm1::connectHandlers() {
  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  connect(ComboBox1, &QComboBox::activated, this, &TForm1::ComboBox1Select);
  connect(ComboBox1, &QComboBox::currentTextChanged, this, &TForm1::ShowPortDevice);
  connect(Button28, &QToolButton::clicked, this, &TForm1::Button28Click);
  connect(Button47, &QToolButton::clicked, this, &TForm1::Button47Click);
  Timer2 = new QTimer(this);
  connect(Timer2, &QTimer::timeout, this, &TForm1::Timer2Timer);
  stop_signal_timer_ = new QTimer(this);
  connect(stop_signal_timer_, &QTimer::timeout, this, &TForm1::CheckStopSignal);

  SerialPort1->SetPortName(std::string(kDevicePrefix) + "COM1");
  SerialPort1->SetHwFlow(hfNONE);
  SerialPort1->SetPacketSize(38);
  SerialPort1->SetPacketTimeout(100);
  SerialPort1->SetPacketMode(pmPass);
  SerialPort1->SetPollingDelay(5);
  SerialPort1->SetOutputTimeout(80);
  SerialPort1->OnLineLost = [this](TSerialPort&, const SysError& cause) { OnStationLineLost(cause); };
  SerialPort1->OnLineRestored = [this](TSerialPort&) { OnStationLineRestored(); };
  startup_retry_ = new QTimer(this);
  connect(startup_retry_, &QTimer::timeout, this, &TForm1::RetryConfiguredPort);
  SerialPort1->OnReceivePacket = [this](TSerialPort&, const std::uint8_t* packet, std::uint32_t size) {
    if (size != kPacketSize) NoteFragment();
    if (handler_) handler_->SerialPort1ReceivePacket(packet, size);
  };
}

// ---- Start-up ---------------------------------------------------------------

void TForm1::FormCreate() {
  StartDir_ = std::filesystem::current_path().string();
  start_time_ = clock_.Now();
  started_wall_ = std::time(nullptr);
  StationAlive_ = false;
  MakeCloseCode();
  ComboBox1->clear();
  ComboBox1->setCurrentIndex(0);
  Button1Click();  // the port scan
  ReadMainSettings();
  CreateStationChain();
  ServerCaption2->setVisible(settings_.SendT7);
  ServerImage2->setVisible(settings_.SendT7);
  OpenConfiguredPort();
  CreateServerLink();
  ShowStartTime();
}

// Seeded afresh at every start from the system's entropy and the clocks, so
// that two starts do not share a code (the clocks alone would still differ
// when the entropy source is missing).
static unsigned CodeSeedEntropy() {
  try {
    std::random_device entropy;
    return entropy();
  } catch (...) {
    return 0;
  }
}

void TForm1::MakeCloseCode() {
  const auto wall = std::chrono::system_clock::now().time_since_epoch().count();
  const auto mono = std::chrono::steady_clock::now().time_since_epoch().count();
  std::seed_seq seed{CodeSeedEntropy(), CodeSeedEntropy(), static_cast<unsigned>(tick_.NowTick()),
                     static_cast<unsigned>(wall), static_cast<unsigned>(wall >> 32),
                     static_cast<unsigned>(mono)};
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> draw(0, 89998);
  CloseCode_ = QString::number(draw(generator) + 10000);
  CloseCodeLabel->setText(CloseCode_);
  CloseCodeLabel->adjustSize();
}

void TForm1::ReadMainSettings() {
  settings_ = ReadDriverSettings(StartDir_ + "/drvvzt.ini");
  SetComPort(settings_.ComPort);
}

// The spool writer, the server link (not yet running), the forwarder, the
// dispatch and the packet handler, in the order they depend on each other.
void TForm1::CreateStationChain() {
  ini_ = std::make_shared<IniSnapshot>(StartDir_ + "/drvvzt.ini");
  spool_ = std::make_unique<SpoolWriter>(settings_.PathForSoob, StartDir_, clock_);
  spool_->SetRescueDirectory(StartDir_ + "/" + kRescueDirName + "/");
  spool_->RecoverLeftovers();
  if (settings_.SendT8) {
    ServerLinkOptions options;
    options.work_dir = StartDir_;
    options.post = [this](UiHandOff::Call call) {
      QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
    };
    options.spool = SpoolThrough(*spool_);
    options.in_flight = &in_flight_;
    options.ini = ini_;
    link_ = std::make_unique<cl>(*this, tick_, clock_, std::move(options));
    forwarder_ = std::make_unique<SpoolForwarder>(*link_, in_flight_, tick_, settings_.PathForSoob,
                                                  StartDir_,
                                                  [this](const std::string& text) { PostLogText(text); });
    forwarder_->AddLocation(spool_->RescuePrefix());
    link_->SetObserver(forwarder_.get());
  }
  dispatch_ = std::make_unique<EventDispatch>(link_.get(), settings_.NotSendToDiskT8, *spool_,
                                              in_flight_);
  PacketHandlerSettings handler_settings;
  handler_settings.Log = settings_.Log;
  handler_settings.FirstNumber = settings_.FirstNumber;
  handler_settings.Razdel = settings_.Razdel;
  handler_settings.StartDir = StartDir_;
  handler_settings.Ini = ini_;
  handler_ = std::make_unique<PacketHandler>(
      handler_settings, clock_,
      [this](const std::uint8_t* data, std::uint32_t size) { return SerialPort1->SendData(data, size); },
      [this] { DrawStationIndicator(); }, *dispatch_);
  handler_->SetLastPacketTime(start_time_);
}

void TForm1::CreateServerLink() {
  if (!link_) return;
  link_->Start();
  DrawServerIndicator();
}

void TForm1::ShowStartTime() {
  StartTimeLabel->setText(QString::fromStdString(FormatDateTime(clock_.Now())));
  StartTimeLabel->adjustSize();
}

// ---- Shut-down ----------------------------------------------------------------

// Runs once, before any of the window's state is released: the link thread
// reads and writes that state, so it is stopped (bounded, about 3 s) first. Its
// stop spools the live events still queued (spool-file messages stay queued
// nowhere: their files are still on disk); then the in-memory spool backlog is
// written out, so an accepted close loses no event.
void TForm1::FormDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  if (Timer2) Timer2->stop();
  if (stop_signal_timer_) stop_signal_timer_->stop();
  if (link_) link_->Stop();
  if (spool_ && !spool_->FlushBacklog()) spool_->AbandonBacklog();
  if (SerialPort1 && SerialPort1->Connected()) SerialPort1->Disconnect();
}

bool TForm1::RecordsLost() const { return spool_ && spool_->LostCount() > 0; }

void TForm1::closeEvent(QCloseEvent* event) {
  if (destroyed_ || close_without_code_) {
    AcceptClose(event);
    return;
  }
  if (in_close_request_ || Form2->isVisible()) {  // the dialog is already up (close or port stop)
    event->ignore();
    return;
  }
  in_close_request_ = true;
  const TCloseCodeResult result = Form2->Ask(CloseCode_);
  if (result == TCloseCodeResult::crWrongCode && !close_without_code_) {
    ShowMessageBox(QStringLiteral("Не правильный пароль."));
  }
  in_close_request_ = false;
  if (result != TCloseCodeResult::crAccepted && !close_without_code_) {
    event->ignore();
    return;
  }
  AcceptClose(event);
}

void TForm1::AcceptClose(QCloseEvent* event) {
  if (SerialPort1->Connected()) SerialPort1->Disconnect();
  close_accepted_ = true;
  event->accept();
  emit Closed();
}

void TForm1::CloseWithoutCode() {
  close_without_code_ = true;
  DropModalWindows();
  // A close request waiting in its dialog finishes the close itself.
  if (!in_close_request_) close();
}

void TForm1::CheckStopSignal() {
  if (StopSignalReceived() && !close_without_code_) CloseWithoutCode();
}

void TForm1::DropModalWindows() {
  for (int guard = 0; guard < 8; ++guard) {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    dialog->reject();
  }
}

// ---- Timer, watchdog and indicators ------------------------------------------

void TForm1::Timer2Timer() {
  bool forwarded = true;
  try {
    if (forwarder_) forwarder_->Step();
  } catch (...) {
    forwarded = false;  // the watchdog waits for the next tick
  }
  FlushSpoolBacklog();
  if (forwarded) StationWatchdog();
  try {
    UpdateStatus();
  } catch (...) {
    // the status file is for onlookers; the driver goes on without it
  }
}

// Records kept in memory while the disk refused them go out as soon as it
// takes them again, not only when the next event arrives (it may be hours).
void TForm1::FlushSpoolBacklog() {
  try {
    if (spool_ && spool_->BacklogSize() > 0) spool_->FlushBacklog();
  } catch (...) {
    // kept in memory; the next tick tries again
  }
}

void TForm1::StationWatchdog() {
  try {
    const bool alive = clock_.Now() <= LastPacketTime() + settings_.Attention;
    if (alive != StationAlive_) {
      StationAlive_ = alive;
      DrawStationIndicator();
      if (alive) {
        if (watchdog_reported_) Report(Severity::kInfo, "station alive again");
      } else {
        Report(Severity::kWarning, "station silent: no packet within the watchdog interval");
      }
      watchdog_reported_ = true;
    }
  } catch (...) {
    WriteErrorLog(StartDir_, kErrorWatchdog);
  }
  ShowHealth(StationAlive_, LinkUp(), spool_count_.files + rescue_count_.files > 0);
}

void TForm1::DrawStationIndicator() {
  StationImage->setPixmap(QPixmap::fromImage(DrawIndicator(StationAlive_, StationTick())));
}

void TForm1::DrawServerIndicator() {
  if (!link_) return;
  ServerImage->setPixmap(QPixmap::fromImage(DrawIndicator(link_->IsLinkUp(), ServerTick_)));
}

double TForm1::LastPacketTime() const { return handler_ ? handler_->LastPacketTime() : start_time_; }

std::int32_t TForm1::StationTick() const { return handler_ ? handler_->StationTick() : 0; }

// ---- Port controls and page buttons -------------------------------------------

void TForm1::Button28Click() {
  Notebook1->setCurrentIndex(0);
  Button28->setChecked(true);
}

void TForm1::Button47Click() {
  Notebook1->setCurrentIndex(1);
  Button47->setChecked(true);
}

void TForm1::SetComPort(const std::string& name) {
  settings_.ComPort = name;
  std::lock_guard lock(com_port_mutex_);
  com_port_ = name;
}

// ---- Tray and minimising -------------------------------------------------------

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized()) {
    // Hiding from inside the state change confuses some window managers.
    QTimer::singleShot(0, this, &TForm1::ApplicationEvents1Minimize);
  }
}

void TForm1::ApplicationEvents1Minimize() {
  // Without a notification area there would be no way back: stay minimised.
  if (!tray_available_ || !isMinimized()) return;
  hide();
  UpdateTrayWatch();  // the icon is now the only way back
}

// While the window hides behind the tray icon, the tray host may go away
// (a panel restarted or closed): the window then comes back as an ordinary
// minimised one. A host that returns has never seen the icon, so it is shown
// to it again.
void TForm1::CheckTrayHost() {
  const bool available = tray_probe_();
  if (available != tray_available_) {
    tray_available_ = available;
    if (!available && isHidden()) showMinimized();
    if (available) {
      TrayIcon1->hide();
      TrayIcon1->show();
    }
  }
  UpdateTrayWatch();
}

// Watched while hidden, and while the host is missing so that the icon
// returns with it. (A window minimised by the window manager receives
// spontaneous show events while it stays hidden: hence the look at isHidden.)
void TForm1::UpdateTrayWatch() {
  const bool wanted = isHidden() || !tray_available_;
  if (wanted && !tray_watch_->isActive()) tray_watch_->start();
  if (!wanted) tray_watch_->stop();
}

bool TForm1::TrayWatchActive() const { return tray_watch_->isActive(); }

void TForm1::N4Click() {
  showNormal();
  raise();
  activateWindow();
}

void TForm1::N6Click() { close(); }

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  UpdateTrayWatch();
  if (centred_) return;
  centred_ = true;
  if (QScreen* where = screen()) move(where->availableGeometry().center() - rect().center());
}

// ---- LinkHost -----------------------------------------------------------------

std::string TForm1::ComPort() {
  std::lock_guard lock(com_port_mutex_);
  return com_port_;
}

// Open for the server means started and with its device there.
bool TForm1::PortOpen() { return SerialPort1->Connected() && SerialPort1->LineUp(); }

int TForm1::FirstNumber() { return settings_.FirstNumber; }

void TForm1::LogLine(const std::string& line) {
  Memo1->appendPlainText(QString::fromStdString(line));
  Report(Severity::kInfo, "log: " + line);
}

// A fragment cut by the packet timeout is the sign of a noisy line: one stray
// byte misaligns every packet of a burst. Reported at most once a minute.
void TForm1::NoteFragment() {
  ++fragments_;
  ++fragments_unreported_;
  const std::uint32_t now = tick_.NowTick();
  if (fragments_reported_ && static_cast<std::uint32_t>(now - last_fragment_report_tick_) < 60000) return;
  fragments_reported_ = true;
  last_fragment_report_tick_ = now;
  Report(Severity::kWarning, std::to_string(fragments_unreported_) +
                                 " incomplete delivery(ies) from the station (noisy line?)");
  fragments_unreported_ = 0;
}

// ---- Status file -----------------------------------------------------------------

namespace {
constexpr std::uint32_t kStatusRewriteMs = 10000;
constexpr std::uint32_t kSpoolCountMs = 2000;
}  // namespace

void TForm1::UpdateStatus() {
  const std::uint32_t now_tick = tick_.NowTick();
  const std::time_t now = std::time(nullptr);
  if (!status_written_ || static_cast<std::uint32_t>(now_tick - last_spool_count_tick_) >= kSpoolCountMs) {
    last_spool_count_tick_ = now_tick;
    const bool had_files = spool_count_.files + rescue_count_.files > 0;
    // A stat per file is paid only when the status file is about to be
    // rewritten anyway: a spool of 100,000 files must not cost a core.
    const bool with_oldest = !status_written_ ||
        static_cast<std::uint32_t>(now_tick - last_status_write_tick_) + kSpoolCountMs >= kStatusRewriteMs;
    const SpoolCount spool_before = spool_count_;
    const SpoolCount rescue_before = rescue_count_;
    spool_count_ = CountSpoolFiles(settings_.PathForSoob.empty() ? StartDir_ + "/" : settings_.PathForSoob, with_oldest);
    rescue_count_ = spool_ ? CountSpoolFiles(spool_->RescuePrefix(), with_oldest) : SpoolCount{};
    if (!with_oldest) {
      if (spool_count_.files > 0) spool_count_.oldest = spool_before.oldest;
      if (rescue_count_.files > 0) rescue_count_.oldest = rescue_before.oldest;
    }
    const bool has_files = spool_count_.files + rescue_count_.files > 0;
    if (has_files && !had_files) Report(Severity::kWarning, "events are waiting in spool files");
    if (!has_files && had_files) Report(Severity::kInfo, "spool emptied: every spooled event was delivered");
  }
  DriverStatus status;
  status.version = std::string(VersionText());
  status.pid = static_cast<long>(::getpid());
  status.started = started_wall_;
  status.updated = now;
  status.station_port = settings_.ComPort;
  status.station_device = SerialPort1->LineUp() ? SerialPort1->DevicePath() : std::string();
  status.station_open = SerialPort1->Connected() && SerialPort1->LineUp();
  if (handler_ && LastPacketTime() != start_time_) {
    status.station_last_packet = now - static_cast<std::time_t>((clock_.Now() - LastPacketTime()) * 86400.0);
  }
  status.station_alive = StationAlive_;
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
  status.spool_memory = spool_ ? spool_->BacklogSize() : 0;
  status.spool_lost = spool_ ? spool_->LostCount() : 0;
  const bool due = !status_written_ || !status.SameStateAs(last_status_) ||
                   static_cast<std::uint32_t>(now_tick - last_status_write_tick_) >= kStatusRewriteMs;
  if (!due) return;
  if (!WriteDriverStatus(StartDir_, status) && status_written_) return;
  status_written_ = true;
  last_status_ = status;
  last_status_write_tick_ = now_tick;
}

void TForm1::StepServerTick() {
  ServerTick_ = ServerTick_ >= kServerTickLimit ? 0 : ServerTick_ + 1;
  DrawServerIndicator();
  ShowHealth(StationAlive_, LinkUp(), spool_count_.files + rescue_count_.files > 0);
}

std::optional<bool> TForm1::LinkUp() const {
  if (!link_) return std::nullopt;
  return link_->IsLinkUp();
}

// Both icons are redrawn only on a change: the tray host repaints on every
// new icon, and this runs on every watchdog tick and link event.
void TForm1::ShowHealth(bool station_alive, std::optional<bool> link_up, bool spool_waiting) {
  const TrayHealth health = HealthOf(station_alive, link_up, spool_waiting);
  if (shown_health_ == health) return;
  shown_health_ = health;
  const QIcon icon = HealthIcon(health);
  setWindowIcon(icon);
  TrayIcon1->setIcon(icon);
}

// The forwarder reports from either thread; the line is dated here and appended
// on the window's thread.
void TForm1::PostLogText(const std::string& text) {
  const std::string line = FormatDateTime(clock_.Now()) + " " + text;
  QMetaObject::invokeMethod(this, [this, line] { LogLine(line); }, Qt::QueuedConnection);
}

}  // namespace drvvzt
