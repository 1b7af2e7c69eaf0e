// The window on a desktop: its own title band as the only title bar, where
// keyboard focus starts, the tray host coming and going, the health shown by
// the icons, the port list that only takes choices and the log box that
// shows whole lines.
#include <QAbstractScrollArea>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QSystemTrayIcon>
#include <QTextCursor>
#include <QToolButton>
#include <QWindow>

#include "platform/ini_file.h"
#include "shell/log_memo.h"
#include "shell/main_window.h"
#include "shell/pictures.h"
#include "shell/title_band.h"
#include "shell/tray_health.h"
#include "tests/shell/modal_driver.h"
#include "tests/shell/qt_test_main.h"
#include "tests/shell/window_fixture.h"
#include "tools/lib/message_server_emulator.h"

namespace drvvzt {
namespace {

using testing::TypeText;
using testing::WindowTest;

QImage IconImage(const QIcon& icon) { return icon.pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32); }

void Press(QWidget* widget, QPoint at, QEvent::Type type = QEvent::MouseButtonPress) {
  const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
  QMouseEvent event(type, at, widget->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
  QApplication::sendEvent(widget, &event);
}

// ---- Title band ---------------------------------------------------------------

TEST_F(WindowTest, TheWindowIsFramelessAndFixedInSize) {
  auto form = Start();
  EXPECT_TRUE(form->windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(form->windowType(), Qt::Window);  // a top-level window with its task-bar entry
  EXPECT_EQ(form->minimumSize(), form->maximumSize());
}

TEST_F(WindowTest, APressInTheBandHandsTheDragToTheWindowManager) {
  auto form = Start();
  form->show();
  auto* band = form->findChild<TitleBand*>(QStringLiteral("TitleBand"));
  ASSERT_NE(band, nullptr);
  std::vector<QWindow*> moves;
  band->SetMoveStarter([&](QWindow* window) {
    moves.push_back(window);
    return true;
  });
  Press(band, QPoint(100, 30));
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0], form->windowHandle());
  EXPECT_NE(moves[0], nullptr);

  // The window buttons sit in the band but are no handle to drag by.
  for (const char* name : {"MinimiseButton", "CloseButton"}) {
    auto* button = band->findChild<QToolButton*>(QString::fromLatin1(name));
    ASSERT_NE(button, nullptr) << name;
    Press(button, QPoint(5, 5));  // no release: a click would minimise or ask for the code
  }
  EXPECT_EQ(moves.size(), 1u);
}

TEST_F(WindowTest, WithoutASystemMoveTheBandDragsTheWindowItself) {
  auto form = Start();
  form->show();
  auto* band = form->findChild<TitleBand*>(QStringLiteral("TitleBand"));
  ASSERT_NE(band, nullptr);
  band->SetMoveStarter([](QWindow*) { return false; });
  const QPoint before = form->pos();
  Press(band, QPoint(100, 30));
  Press(band, QPoint(130, 45), QEvent::MouseMove);
  Press(band, QPoint(130, 45), QEvent::MouseButtonRelease);
  EXPECT_EQ(form->pos(), before + QPoint(30, 15));
  Press(band, QPoint(160, 50), QEvent::MouseMove);  // released: no longer dragging
  EXPECT_EQ(form->pos(), before + QPoint(30, 15));
}

TEST_F(WindowTest, KeyboardFocusStartsAwayFromTheWindowButtons) {
  auto form = Start();
  form->show();
  form->activateWindow();
  ASSERT_TRUE(SpinUntil([&] { return QApplication::focusWidget() != nullptr; }));
  EXPECT_EQ(QApplication::focusWidget(), form->Button28);
  for (const char* name : {"MinimiseButton", "CloseButton"}) {
    auto* button = form->findChild<QToolButton*>(QString::fromLatin1(name));
    ASSERT_NE(button, nullptr) << name;
    EXPECT_EQ(button->focusPolicy(), Qt::NoFocus) << name;
  }
  // Space on the focused widget leaves the window where it is.
  QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
  QApplication::sendEvent(QApplication::focusWidget(), &space);
  QKeyEvent up(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "));
  QApplication::sendEvent(QApplication::focusWidget(), &up);
  SpinUntil([] { return false; }, 50);
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(form->isMinimized());
}

// ---- Tray host ------------------------------------------------------------------

TEST_F(WindowTest, AVanishingTrayHostBringsTheHiddenWindowBackMinimised) {
  auto form = Start();
  bool host = true;
  form->SetTrayAvailable(true);
  form->SetTrayProbe([&] { return host; });
  form->show();
  EXPECT_FALSE(form->TrayWatchActive());  // shown: nothing to watch
  form->showMinimized();
  ASSERT_TRUE(SpinUntil([&] { return form->isHidden(); }));
  EXPECT_TRUE(form->TrayWatchActive());

  form->CheckTrayHost();  // still there
  EXPECT_TRUE(form->isHidden());

  host = false;
  form->CheckTrayHost();
  EXPECT_TRUE(form->isVisible());
  EXPECT_TRUE(form->isMinimized());
  SpinUntil([] { return false; }, 50);
  EXPECT_TRUE(form->isVisible()) << "minimised again into a tray that is gone";
  EXPECT_TRUE(form->TrayWatchActive()) << "nobody watches for the host to return";

  host = true;
  form->CheckTrayHost();
  EXPECT_TRUE(form->TrayIcon1->isVisible());
  EXPECT_FALSE(form->TrayWatchActive());
  EXPECT_TRUE(form->isVisible());  // the operator restores it from the task bar
}

// ---- Health in the icons -----------------------------------------------------------

TEST(TrayHealthTest, DownOutweighsWaitingFiles) {
  struct Case {
    bool station;
    std::optional<bool> link;
    bool spool;
    TrayHealth health;
  } cases[] = {
      {true, true, false, TrayHealth::kHealthy},       {true, std::nullopt, false, TrayHealth::kHealthy},
      {false, true, false, TrayHealth::kDown},         {true, false, false, TrayHealth::kDown},
      {false, std::nullopt, false, TrayHealth::kDown}, {true, false, true, TrayHealth::kDown},
      {true, true, true, TrayHealth::kSpoolWaiting},   {true, std::nullopt, true, TrayHealth::kSpoolWaiting},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HealthOf(c.station, c.link, c.spool), c.health)
        << c.station << " " << (c.link ? (*c.link ? "up" : "down") : "none") << " " << c.spool;
  }
}

TEST(TrayHealthTest, EveryStateHasItsOwnPictureAndHealthyIsTheDriverIcon) {
  const QImage healthy = IconImage(HealthIcon(TrayHealth::kHealthy));
  const QImage down = IconImage(HealthIcon(TrayHealth::kDown));
  const QImage waiting = IconImage(HealthIcon(TrayHealth::kSpoolWaiting));
  EXPECT_EQ(healthy, IconImage(DriverIcon()));
  EXPECT_NE(down, healthy);
  EXPECT_NE(waiting, healthy);
  EXPECT_NE(down, waiting);
  // Told apart by colour in the badge corner, also at the tray's 16 pixels.
  const QColor badge_down = HealthIcon(TrayHealth::kDown).pixmap(16, 16).toImage().pixelColor(12, 9);
  const QColor badge_waiting = HealthIcon(TrayHealth::kSpoolWaiting).pixmap(16, 16).toImage().pixelColor(12, 9);
  EXPECT_GT(badge_down.red(), 180);
  EXPECT_LT(badge_down.green(), 80);
  EXPECT_GT(badge_waiting.red(), 180);
  EXPECT_GT(badge_waiting.green(), 120);
  EXPECT_LT(badge_waiting.blue(), 60);
}

TEST_F(WindowTest, TheIconsFollowTheHealthAndKeepTheHint) {
  auto form = Start();
  struct Step {
    bool station;
    std::optional<bool> link;
    bool spool;
    TrayHealth shown;
  } steps[] = {
      {true, std::nullopt, false, TrayHealth::kHealthy}, {true, false, false, TrayHealth::kDown},
      {true, true, true, TrayHealth::kSpoolWaiting},     {false, true, false, TrayHealth::kDown},
      {true, true, false, TrayHealth::kHealthy},
  };
  for (const Step& s : steps) {
    form->ShowHealth(s.station, s.link, s.spool);
    const QImage expected = IconImage(HealthIcon(s.shown));
    EXPECT_EQ(IconImage(form->TrayIcon1->icon()), expected) << static_cast<int>(s.shown);
    EXPECT_EQ(IconImage(form->windowIcon()), expected) << static_cast<int>(s.shown);
    EXPECT_EQ(form->TrayIcon1->toolTip(), QStringLiteral("Драйвер VZT"));
  }
}

TEST_F(WindowTest, ASilentStationMarksTheIconsAtTheWatchdog) {
  auto form = Start("Attention=00:01:00");
  clock.AdvanceMs(200);
  form->Timer2Timer();
  EXPECT_EQ(IconImage(form->TrayIcon1->icon()), IconImage(HealthIcon(TrayHealth::kHealthy)));
  clock.AdvanceMs(61000);
  form->Timer2Timer();
  EXPECT_EQ(IconImage(form->TrayIcon1->icon()), IconImage(HealthIcon(TrayHealth::kDown)));
}

TEST_F(WindowTest, AServerOutageMarksTheIconsAndAReconnectionClearsThem) {
  tools::MessageServerEmulator server;
  ASSERT_TRUE(server.Start(0));
  const std::uint16_t port = server.Port();
  window_tick = &SystemTick();
  auto form = Start("SendT8=1", "[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(port) + "\n");
  const QImage healthy = IconImage(HealthIcon(TrayHealth::kHealthy));
  const QImage down = IconImage(HealthIcon(TrayHealth::kDown));
  auto shows = [&](const QImage& expected) { return IconImage(form->TrayIcon1->icon()) == expected; };
  clock.AdvanceMs(200);
  ASSERT_TRUE(SpinUntil([&] { return shows(healthy); }, 20000)) << "never healthy with the link up";
  server.Stop();
  EXPECT_TRUE(SpinUntil([&] { return shows(down); }, 20000)) << "the outage is not shown";
  ASSERT_TRUE(server.Start(port));
  EXPECT_TRUE(SpinUntil([&] { return shows(healthy); }, 30000)) << "the reconnection is not shown";
}

// ---- Port list ---------------------------------------------------------------------

TEST_F(WindowTest, TextTypedIntoThePortListIsNeverStored) {
  auto form = Start("", "[ComPorts]\nCOM3=/nonexistent/tty3\n");
  ASSERT_TRUE(form->ComboBox1->isEnabled());  // stopped: a choice would be stored
  form->ComboBox1->addItem(QStringLiteral("COM3"));
  form->ComboBox1->setEditText(QStringLiteral("COM255"));
  int chosen = 0;
  QObject::connect(form->ComboBox1, &QComboBox::activated, [&chosen] { ++chosen; });
  form->show();
  form->Button47->click();
  QLineEdit* field = form->ComboBox1->lineEdit();
  ASSERT_NE(field, nullptr);
  field->setFocus();
  TypeText(field, QStringLiteral("COM3"));
  EXPECT_EQ(form->ComboBox1->currentText(), QStringLiteral("COM255"));
  // Return, then leaving the field: an editable list would take its text as a choice.
  form->ComboBox1->setEditText(QStringLiteral("COM3"));
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(field, &enter);
  form->Button28->setFocus();
  QFocusEvent leave(QEvent::FocusOut, Qt::TabFocusReason);
  QApplication::sendEvent(field, &leave);
  SpinUntil([] { return false; }, 50);
  EXPECT_EQ(chosen, 0);
  EXPECT_EQ(form->ComPort(), "COM255");
  EXPECT_EQ(ReadIniString("drvvzt.ini", "main", "ComPort", "none"), "none");
}

// ---- Log box -------------------------------------------------------------------------

TEST_F(WindowTest, TheLogBoxScrolledToItsNewestLineShowsWholeLines) {
  auto form = Start();
  form->show();
  auto* memo = qobject_cast<LogMemo*>(form->Memo1);
  ASSERT_NE(memo, nullptr);
  EXPECT_EQ(memo->geometry(), QRect(7, 84, 432, 100));
  for (int i = 0; i < 40; ++i) form->LogLine("12/10/26 09:05:07 line " + std::to_string(i));
  QCoreApplication::processEvents();
  const int viewport = memo->viewport()->height();
  QTextCursor end(memo->document());
  end.movePosition(QTextCursor::End);
  const QRect newest = memo->cursorRect(end);
  EXPECT_LE(newest.bottom(), viewport) << "the newest line is cut";
  EXPECT_GE(newest.top(), 0);
  const QRect top = memo->cursorRect(memo->cursorForPosition(QPoint(2, 0)));
  EXPECT_GE(top.top(), 0) << "the top line is cut; viewport " << viewport << ", line " << memo->LineHeight();
}

}  // namespace
}  // namespace drvvzt

DRVVZT_QT_TEST_MAIN
