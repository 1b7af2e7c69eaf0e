// The main window: layout, the tray, the dialogs, and the view of the driver
// core that it holds.
#include "shell/main_window.h"

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
#include <QSocketNotifier>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>

#include "platform/datetime.h"
#include "shell/dialog_window.h"
#include "shell/indicator.h"
#include "shell/log_memo.h"
#include "shell/message_box.h"
#include "shell/pictures.h"
#include "shell/port_list.h"
#include "shell/stop_signals.h"
#include "shell/title_band.h"
#include "station/serial_port.h"

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

constexpr int kTrayWatchMs = 2000;
constexpr int kMemoMaxLines = 5000;  // months unattended must not grow memory without end

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
      tray_available_(QSystemTrayIcon::isSystemTrayAvailable()),
      Form2(std::make_unique<TForm2>()) {
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
  core_ = std::make_unique<DriverCore>(*this, clock, tick, poll_timer_, tick_timer_, [this](UiHandOff::Call call) {
    QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
  });
  FormCreate();
  core_->ShowStartUpMessage();
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
  // Watched from the start: a stop signal must also end a start-up that waits
  // for the operator in a message box.
  if (const int fd = StopSignalDescriptor(); fd >= 0) {
    auto* stop_signal = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(stop_signal, &QSocketNotifier::activated, this, &TForm1::OnStopSignal);
  }
}

// ---- Start-up and shut-down ------------------------------------------------------

void TForm1::FormCreate() { core_->Start(); }

void TForm1::ShowStartUp(const std::string& close_code, double start_time, bool second_server) {
  CloseCodeLabel->setText(QString::fromStdString(close_code));
  CloseCodeLabel->adjustSize();
  ServerCaption2->setVisible(second_server);
  ServerImage2->setVisible(second_server);
  StartTimeLabel->setText(QString::fromStdString(FormatDateTime(start_time)));
  StartTimeLabel->adjustSize();
}

// Runs once, before any of the window's state is released: the core's link
// thread reports to the window until it has stopped.
void TForm1::FormDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  core_->Shutdown();
}

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
  const TCloseCodeResult result = Form2->Ask(CloseCode());
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
  core_->Close();
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

void TForm1::OnStopSignal() {
  DrainStopSignalDescriptor();
  if (StopSignalReceived() && !close_without_code_) CloseWithoutCode();
}

void TForm1::DropModalWindows() {
  for (int guard = 0; guard < 8; ++guard) {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    dialog->reject();
  }
}

// ---- What the core shows -----------------------------------------------------------

void TForm1::DrawStation(bool alive, std::int32_t tick) {
  StationImage->setPixmap(QPixmap::fromImage(DrawIndicator(alive, tick)));
}

void TForm1::DrawServer(bool link_up, std::int32_t tick) {
  ServerImage->setPixmap(QPixmap::fromImage(DrawIndicator(link_up, tick)));
}

void TForm1::AppendLog(const std::string& line) { Memo1->appendPlainText(QString::fromStdString(line)); }

void TForm1::ShowMessage(const std::string& text) { ShowMessageBox(QString::fromStdString(text)); }

void TForm1::DismissMessage() {
  if (auto* box = qobject_cast<TMessageForm*>(QApplication::activeModalWidget())) box->reject();
}

bool TForm1::AskCloseCode(const std::string& code) {
  return Form2->Ask(QString::fromStdString(code)) == TCloseCodeResult::crAccepted;
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

// ---- Page buttons -----------------------------------------------------------------
void TForm1::Button28Click() {
  Notebook1->setCurrentIndex(0);
  Button28->setChecked(true);
}

void TForm1::Button47Click() {
  Notebook1->setCurrentIndex(1);
  Button47->setChecked(true);
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

}  // namespace drvvzt
