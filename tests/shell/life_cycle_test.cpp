// The window wired to the station and the server: packets from a serial line
// reach the message server or the spool, the link thread's log lines and
// indicator steps arrive on the window, and every way out (accepted close,
// SIGTERM, destruction with work still queued) keeps the events.
#include <csignal>
#include <filesystem>
#include <string>

#include <QPlainTextEdit>

#include "server/server_link.h"
#include "server/wire_format.h"
#include "shell/close_code_dialog.h"
#include "shell/main_window.h"
#include "shell/stop_signals.h"
#include "station/serial_port.h"
#include "station/station_event.h"
#include "tests/shell/modal_driver.h"
#include "tests/shell/qt_test_main.h"
#include "tests/shell/window_fixture.h"
#include "tests/support/pty_pair.h"
#include "tools/lib/message_server_emulator.h"
#include "tools/lib/spool_inspection.h"
#include "tools/lib/station_packet.h"

namespace drvvzt {
namespace {

using namespace std::chrono_literals;
using testing::AnswerNextModal;
using testing::MessageBoxCatcher;
using testing::PtyPair;
using testing::SpoolFiles;
using testing::StationPacketFor;
using testing::WindowTest;

std::string PortSettings(const PtyPair&) { return "ComPort=COM3\nFirstNumber=0"; }
std::string PortMap(const PtyPair& pty) { return "[ComPorts]\nCOM3=" + pty.slave_path() + "\n"; }

std::string ServerSection(std::uint16_t port) {
  return "[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(port) + "\n";
}

bool MemoHas(const TForm1& form, const char* text) {
  return form.Memo1->toPlainText().contains(QString::fromUtf8(text));
}

TEST_F(WindowTest, PacketsAreAcknowledgedAndForwardedToTheServer) {
  tools::MessageServerEmulator server;
  ASSERT_TRUE(server.Start(0));
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  window_tick = &SystemTick();
  auto form = Start(PortSettings(pty) + "\nSendT8=1", PortMap(pty) + ServerSection(server.Port()));
  ASSERT_TRUE(form->SerialPort().Connected());
  EXPECT_FALSE(form->ServerImage->pixmap().isNull());  // drawn at start-up, link down

  ASSERT_TRUE(SpinUntil([&] { return MemoHas(*form, kLogConnected); })) << form->Memo1->toPlainText().toStdString();
  EXPECT_TRUE(MemoHas(*form, kLogConnecting));
  EXPECT_GT(form->ServerTick(), 0);  // the link thread's steps reached the window

  ASSERT_TRUE(pty.WriteMaster(StationPacketFor(0x1234)));
  std::string ack;
  ASSERT_TRUE(SpinUntil([&] {
    ack += pty.DrainMaster(0);
    return ack.size() >= 4;
  }));
  EXPECT_EQ(ack, "OK\r\n");
  std::optional<tools::ReceivedMessage> event;
  ASSERT_TRUE(SpinUntil([&] { return (event = server.WaitForType(mtStationEvent, 0ms)).has_value(); }));
  EXPECT_EQ(event->body.size(), kStationEventSize);
  // The write-ahead file goes once the link has read the server's answer.
  // Counted by name: the link may delete a file while an inspection reads it.
  EXPECT_TRUE(SpinUntil([&] {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      files += entry.path().extension() == ".dd8";
    }
    return files == 0;
  }));
}

TEST_F(WindowTest, WithoutTheLinkPacketsGoToSpoolFiles) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto form = Start(PortSettings(pty), PortMap(pty));
  ASSERT_TRUE(form->SerialPort().Connected());
  ASSERT_TRUE(pty.WriteMaster(StationPacketFor(1) + StationPacketFor(2)));
  ASSERT_TRUE(SpinUntil([&] { return SpoolFiles(dir.path().string()) == 2; }));
  form.reset();
  EXPECT_EQ(SpoolFiles(dir.path().string()), 2);
}

TEST_F(WindowTest, APacketAfterSilenceMovesTheRedBarThenTurnsGreen) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto form = Start(PortSettings(pty) + "\nAttention=00:01:00", PortMap(pty));
  form->Timer2Timer();
  clock.AdvanceMs(2 * 60 * 1000);
  form->Timer2Timer();
  ASSERT_FALSE(form->StationAlive());

  ASSERT_TRUE(pty.WriteMaster(StationPacketFor(5)));
  ASSERT_TRUE(SpinUntil([&] { return form->StationTick() == 1; }));
  const QImage red = form->StationImage->pixmap().toImage();
  EXPECT_EQ(red.pixel(1, 5) & 0xFFFFFFu, 0xFF0000u);  // the bar now starts at column 1
  EXPECT_EQ(red.pixel(5, 5) & 0xFFFFFFu, 0xFF0000u);
  EXPECT_EQ(red.pixel(6, 5) & 0xFFFFFFu, 0xFFFFFFu);

  form->Timer2Timer();
  EXPECT_TRUE(form->StationAlive());
  EXPECT_EQ(form->StationImage->pixmap().toImage().pixel(5, 5) & 0xFFFFFFu, 0x008000u);
}

TEST_F(WindowTest, ShutdownSpoolsLiveEventsStillQueuedButNotSpooledOnes) {
  // Nobody listens on the port: the link stays down and the queue keeps what
  // it is given.
  std::uint16_t dead_port = 0;
  {
    tools::MessageServerEmulator probe;
    ASSERT_TRUE(probe.Start(0));
    dead_port = probe.Port();
  }
  auto form = Start("SendT8=1", ServerSection(dead_port));
  ASSERT_NE(form->ServerLink(), nullptr);
  const StationEventBytes record = EncodeStationEvent(TStationEvent{});
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(form->ServerLink()->PutMessage(mtStationEvent, record));
  // A message forwarded from a spool file: its file is still on disk.
  ASSERT_TRUE(form->ServerLink()->QueueSpoolFile(mtStationEvent, record, dir.File("spooled.dd8")));
  form.reset();
  EXPECT_EQ(SpoolFiles(dir.path().string()), 3);
}

class StopSignalTest : public WindowTest {
protected:
  void SetUp() override {
    WindowTest::SetUp();
    InstallStopSignals();
    ClearStopSignal();
  }
  void TearDown() override {
    ClearStopSignal();
    WindowTest::TearDown();
  }
};

TEST_F(StopSignalTest, SigtermClosesWithoutTheDialog) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto form = Start(PortSettings(pty), PortMap(pty));
  int closed = 0;
  QObject::connect(form.get(), &TForm1::Closed, [&closed] { ++closed; });
  form->show();
  MessageBoxCatcher catcher;
  std::raise(SIGTERM);
  ASSERT_TRUE(SpinUntil([&] { return closed == 1; }));
  EXPECT_FALSE(form->SerialPort().Connected());
  EXPECT_TRUE(catcher.Texts().empty());
}

TEST_F(StopSignalTest, SigintWhileTheCloseDialogWaitsEndsTheRequestAsAccepted) {
  auto form = Start();
  int closed = 0;
  QObject::connect(form.get(), &TForm1::Closed, [&closed] { ++closed; });
  form->show();
  AnswerNextModal<TForm2>([](TForm2*) { std::raise(SIGINT); });  // the operator never answers
  MessageBoxCatcher catcher;
  form->N6Click();
  EXPECT_EQ(closed, 1);
  EXPECT_TRUE(catcher.Texts().empty());
}

TEST_F(StopSignalTest, SigtermDuringTheStartUpMessageStillEndsTheDriver) {
  AnswerNextModal<TMessageForm>([](TMessageForm*) { std::raise(SIGTERM); });
  auto form = Start("ComPort=COM3", "[ComPorts]\nCOM3=/nonexistent/tty\n");
  EXPECT_TRUE(form->CloseAccepted());
}

}  // namespace
}  // namespace drvvzt

DRVVZT_QT_TEST_MAIN
