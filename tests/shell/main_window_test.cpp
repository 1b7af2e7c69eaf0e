// The main window: layout, start-up states, the watchdog, the close request,
// minimising to the tray and the page buttons.
#include "shell/main_window.h"

#include <set>

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>

#include "platform/datetime.h"
#include "shell/close_code_dialog.h"
#include "station/poll_timer.h"
#include "station/serial_port.h"
#include "tests/shell/modal_driver.h"
#include "tests/shell/qt_test_main.h"
#include "tests/shell/window_fixture.h"
#include "tests/support/pty_pair.h"

namespace drvvzt {
namespace {

using testing::AnswerNextModal;
using testing::MessageBoxCatcher;
using testing::PtyPair;
using testing::TypeText;
using testing::WindowTest;

constexpr QRgb kGreen = qRgb(0, 128, 0) & 0xFFFFFFu;
constexpr QRgb kRed = qRgb(255, 0, 0) & 0xFFFFFFu;

QRgb FramePixel(const QLabel* indicator) {
  return indicator->pixmap().toImage().pixel(0, 3) & 0xFFFFFFu;
}

QAction* TrayItem(const TForm1& form, const char* text) {
  for (QAction* action : form.PopupMenu1->actions()) {
    if (action->text() == QString::fromUtf8(text)) return action;
  }
  ADD_FAILURE() << "no tray menu item " << text;
  return new QAction(form.PopupMenu1);
}

TEST_F(WindowTest, TrayIconCarriesTheHintAndItsMenu) {
  auto form = Start();
  EXPECT_EQ(form->TrayIcon1->toolTip(), QStringLiteral("Драйвер VZT"));
  EXPECT_EQ(form->TrayIcon1->contextMenu(), form->PopupMenu1);
  const QList<QAction*> items = form->PopupMenu1->actions();
  ASSERT_EQ(items.size(), 3);
  EXPECT_EQ(items[0]->text(), QStringLiteral("Восстановить"));
  EXPECT_TRUE(items[1]->isSeparator());
  EXPECT_EQ(items[2]->text(), QStringLiteral("Закрыть"));
}

TEST_F(WindowTest, ElementsSitWhereTheLayoutPutsThem) {
  auto form = Start();
  EXPECT_EQ(form->size(), QSize(447, 331));
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Драйвер VZT"));
  struct Place {
    const char* name;
    QRect where;
  } places[] = {
      {"Notebook1", {0, 138, 447, 193}}, {"StationImage", {176, 8, 16, 16}},
      {"ServerImage", {416, 8, 16, 16}}, {"ServerImage2", {416, 35, 16, 16}},
      {"Memo1", {7, 84, 432, 100}},      {"GroupBox1", {9, 3, 428, 62}},
      {"Button2", {143, 22, 94, 25}},    {"Button1", {243, 22, 170, 25}},
  };
  for (const Place& p : places) {
    auto* widget = form->findChild<QWidget*>(QString::fromLatin1(p.name));
    ASSERT_NE(widget, nullptr) << p.name;
    EXPECT_EQ(widget->geometry(), p.where) << p.name;
  }
  EXPECT_EQ(form->ComboBox1->geometry().topLeft(), QPoint(18, 25));
  EXPECT_EQ(form->ComboBox1->width(), 103);
  EXPECT_EQ(form->ComboBox1->maxVisibleItems(), 8);
  EXPECT_EQ(form->Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(form->Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_EQ(form->Notebook1->currentWidget()->objectName(), QStringLiteral("Default"));
  EXPECT_TRUE(form->Button28->isChecked());
  EXPECT_FALSE(form->Button47->isChecked());
}

TEST_F(WindowTest, StartUpShowsCodeAndStartTime) {
  const double started = EncodeDateTime({2026, 3, 14, 9, 26, 53, 0});
  clock.Set(started);
  auto form = Start();
  // In the system's format, the one the server link's log lines use too.
  EXPECT_EQ(form->StartTimeLabel->text().toStdString(), FormatDateTime(started));
  EXPECT_TRUE(form->StartTimeLabel->text().contains(QStringLiteral("09:26:53")));
  EXPECT_EQ(form->CloseCodeLabel->text(), form->CloseCode());
  EXPECT_EQ(form->StartDir(), dir.path().string());
}

TEST_F(WindowTest, EveryStartDrawsAFiveDigitCodeInRange) {
  std::set<int> codes;
  for (int start = 0; start < 4; ++start) {
    auto form = Start();
    const QString code = form->CloseCode();
    ASSERT_EQ(code.size(), 5) << code.toStdString();
    const int value = code.toInt();
    EXPECT_GE(value, 10000);
    EXPECT_LE(value, 99998);
    codes.insert(value);
  }
  EXPECT_GT(codes.size(), 1u);  // four equal draws of 89999 values: not by chance
}

struct StartCase {
  const char* name;
  const char* port_setting;  // "" for the default, "PTY" for a free pseudo-terminal
  bool hold_port;            // another program has the port open
  const char* caption;
  bool controls_enabled;
  std::vector<QString> messages;
};

TEST_F(WindowTest, StartUpOpensTheConfiguredPortOrStops) {
  const QString busy = QStringLiteral("Порт уже занят. Смените его.");
  const StartCase cases[] = {
      {"default COM255", "", false, "Запустить", true, {}},
      {"COM255 written", "COM255", false, "Запустить", true, {}},
      {"free port", "PTY", false, "Остановить", false, {}},
      {"held port", "PTY", true, "Запустить", true, {busy}},
      {"missing device", "COM3", false, "Запустить", true, {busy}},
  };
  for (const StartCase& c : cases) {
    SCOPED_TRACE(c.name);
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const std::string port = std::string(c.port_setting) == "PTY" ? "COM3" : c.port_setting;
    const std::string keys = port.empty() ? "" : "ComPort=" + port;
    const std::string map = "[ComPorts]\nCOM3=" +
                            (std::string(c.port_setting) == "PTY" ? pty.slave_path() : "/nonexistent/tty") + "\n";
    dir.Write("drvvzt.ini", "");
    ManualPollTimer other_timer;
    TSerialPort other(other_timer);
    if (c.hold_port) {
      other.SetPortName(pty.slave_path());
      ASSERT_TRUE(other.Connect());
    }
    MessageBoxCatcher catcher;
    auto form = Start(keys, map);
    EXPECT_EQ(form->Button2->text(), QString::fromUtf8(c.caption));
    EXPECT_EQ(form->Button1->isEnabled(), c.controls_enabled);
    EXPECT_EQ(form->ComboBox1->isEnabled(), c.controls_enabled);
    EXPECT_EQ(form->ComboBox1->currentText(), QString::fromStdString(port.empty() ? "COM255" : port));
    EXPECT_EQ(form->SerialPort().Connected(), !c.controls_enabled);
    EXPECT_EQ(catcher.Texts(), c.messages);
  }
}

TEST_F(WindowTest, SecondServerCaptionOnlyWithSendT7) {
  for (bool on : {false, true}) {
    auto form = Start(on ? "SendT7=1" : "SendT7=0");
    EXPECT_EQ(!form->ServerCaption2->isHidden(), on);
    EXPECT_EQ(!form->ServerImage2->isHidden(), on);
    EXPECT_TRUE(form->ServerImage2->pixmap().isNull());
  }
}

TEST_F(WindowTest, WithoutSendT8NoLinkAndTheServerIndicatorStaysBlank) {
  auto form = Start("SendT8=0");
  EXPECT_EQ(form->ServerLink(), nullptr);
  for (int i = 0; i < 3; ++i) {
    clock.AdvanceMs(200);
    form->Timer2Timer();
  }
  EXPECT_TRUE(form->ServerImage->pixmap().isNull());
}

TEST_F(WindowTest, WatchdogTurnsGreenOnTheFirstTickAndRedAfterAttention) {
  auto form = Start("Attention=00:01:00");
  EXPECT_TRUE(form->StationImage->pixmap().isNull());  // start-up draws nothing
  clock.AdvanceMs(200);
  form->Timer2Timer();
  EXPECT_TRUE(form->StationAlive());
  EXPECT_EQ(FramePixel(form->StationImage), kGreen);

  clock.Set(form->LastPacketTime() + DurationDays(0, 1, 0));  // exactly at the limit: alive
  form->Timer2Timer();
  EXPECT_TRUE(form->StationAlive());
  clock.AdvanceMs(1);
  form->Timer2Timer();
  EXPECT_FALSE(form->StationAlive());
  EXPECT_EQ(FramePixel(form->StationImage), kRed);
}

TEST_F(WindowTest, ZeroAttentionLeavesTheStationIndicatorBlank) {
  auto form = Start("Attention=00:00:00");
  for (int i = 0; i < 3; ++i) {
    clock.AdvanceMs(200);
    form->Timer2Timer();
  }
  EXPECT_FALSE(form->StationAlive());
  EXPECT_TRUE(form->StationImage->pixmap().isNull());
}

enum class Answer { kCode, kFourDigits, kCancel };

struct CloseCase {
  const char* name;
  Answer answer;
  bool hidden;
  bool closes;
  std::vector<QString> messages;
};

TEST_F(WindowTest, CloseRequestNeedsTheCode) {
  const QString wrong = QStringLiteral("Не правильный пароль.");
  const CloseCase cases[] = {
      {"accepted", Answer::kCode, false, true, {}},
      {"accepted while hidden", Answer::kCode, true, true, {}},
      {"four digits", Answer::kFourDigits, false, false, {wrong}},
      {"wrong while hidden", Answer::kFourDigits, true, false, {wrong}},
      {"cancelled", Answer::kCancel, false, false, {}},
  };
  for (const CloseCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto form = Start();
    int closed = 0;
    QObject::connect(form.get(), &TForm1::Closed, [&closed] { ++closed; });
    if (!c.hidden) form->show();
    const QString code = form->CloseCode();
    AnswerNextModal<TForm2>([&](TForm2* d) {
      d->Entry()->clear();
      if (c.answer == Answer::kCancel) {
        d->CancelButton()->click();
        return;
      }
      TypeText(d->Entry(), c.answer == Answer::kCode ? code : code.left(4));
      d->OkButton()->click();
    });
    MessageBoxCatcher catcher;
    TrayItem(*form, "Закрыть")->trigger();
    EXPECT_EQ(closed, c.closes ? 1 : 0);
    EXPECT_EQ(catcher.Texts(), c.messages);
    if (!c.closes) {
      EXPECT_EQ(form->isVisible(), !c.hidden);  // a refused close changes nothing
    }
  }
}

TEST_F(WindowTest, MinimiseHidesBehindTheTrayAndRestoreBringsItBack) {
  auto form = Start();
  form->SetTrayAvailable(true);
  form->show();
  form->showMinimized();
  EXPECT_TRUE(SpinUntil([&] { return !form->isVisible(); }));
  TrayItem(*form, "Восстановить")->trigger();
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(form->isMinimized());
}

TEST_F(WindowTest, WithoutANotificationAreaMinimiseKeepsTheWindowReachable) {
  auto form = Start();
  form->SetTrayAvailable(false);
  form->show();
  form->showMinimized();
  // The window reacts to minimising from a call queued behind the state change:
  // a call queued now runs after it.
  bool reacted = false;
  QTimer::singleShot(0, [&] { reacted = true; });
  ASSERT_TRUE(SpinUntil([&] { return reacted; }));
  EXPECT_TRUE(form->isVisible());
  EXPECT_TRUE(form->isMinimized());
}

TEST_F(WindowTest, PageButtonsBehaveLikeTabs) {
  auto form = Start();
  form->Button47->click();
  EXPECT_EQ(form->Notebook1->currentWidget()->objectName(), QStringLiteral("setup"));
  EXPECT_TRUE(form->Button47->isChecked());
  EXPECT_FALSE(form->Button28->isChecked());
  form->Button47->click();  // pressing the pressed one keeps it pressed
  EXPECT_TRUE(form->Button47->isChecked());
  form->Button28->click();
  EXPECT_EQ(form->Notebook1->currentWidget()->objectName(), QStringLiteral("Default"));
  EXPECT_TRUE(form->Button28->isChecked());
  EXPECT_FALSE(form->Button47->isChecked());
}

}  // namespace
}  // namespace drvvzt

DRVVZT_QT_TEST_MAIN
