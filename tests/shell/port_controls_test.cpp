// The port controls on the settings page: which ports the scan lists, what a
// choice stores, start and stop with their dialogs, and the port-state
// messages each of them sends to the message server.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "platform/error_log.h"
#include "platform/ini_file.h"
#include "server/server_link.h"
#include "server/wire_format.h"
#include "shell/close_code_dialog.h"
#include "shell/main_window.h"
#include "shell/stop_signals.h"
#include "station/poll_timer.h"
#include "station/serial_port.h"
#include "tests/shell/modal_driver.h"
#include "tests/shell/qt_test_main.h"
#include "tests/shell/window_fixture.h"
#include "tests/support/port_bench.h"
#include "tests/support/pty_pair.h"
#include "tools/lib/message_server_emulator.h"

namespace drvvzt {
namespace {

using namespace std::chrono_literals;
using testing::AnswerNextModal;
using testing::MessageBoxCatcher;
using testing::PortBench;
using testing::PtyPair;
using testing::TypeText;
using testing::WindowTest;

const QString kBusyAtStart = QStringLiteral("Порт уже занят!");
const QString kRefused = QStringLiteral("Неправильный пароль. В доступе отказано");

std::vector<QString> Items(const QComboBox& box) {
  std::vector<QString> items;
  for (int i = 0; i < box.count(); ++i) items.push_back(box.itemText(i));
  return items;
}

std::string FileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// ---- Scan and choice -----------------------------------------------------------

struct ScanCase {
  const char* name;
  std::set<int> free_ports;
  std::set<int> held;  // free ports another program holds
  std::vector<QString> listed;
};

TEST_F(WindowTest, ScanListsTheFreePortsAndAChoiceWhileStoppedIsStored) {
  const ScanCase cases[] = {
      {"two free", {3, 7}, {}, {"COM3", "COM7"}},
      {"first and last", {1, 32}, {}, {"COM1", "COM32"}},
      {"one held", {3, 7}, {3}, {"COM7"}},
      {"none free", {}, {}, {}},
  };
  for (const ScanCase& c : cases) {
    SCOPED_TRACE(c.name);
    PortBench bench(c.free_ports);
    ASSERT_TRUE(bench.ok());
    ManualPollTimer other_timer;
    std::vector<std::unique_ptr<TSerialPort>> holders;
    for (int number : c.held) {
      holders.push_back(std::make_unique<TSerialPort>(other_timer));
      holders.back()->SetPortName(bench.Path(number));
      ASSERT_TRUE(holders.back()->Connect());
    }
    auto form = Start("", bench.Section());
    EXPECT_EQ(ReadIniString("drvvzt.ini", "main", "ComPort", "none"), "none") << "the start-up scan stored a choice";
    EXPECT_EQ(Items(*form->ComboBox1), c.listed);
    ASSERT_TRUE(form->Button1->isEnabled());  // COM255: stopped

    form->Button1->click();
    EXPECT_EQ(Items(*form->ComboBox1), c.listed);
    const QString shown = c.listed.empty() ? QStringLiteral("COM255") : c.listed.front();
    EXPECT_EQ(form->ComboBox1->currentText(), shown);
    EXPECT_EQ(form->ComboBox1->currentIndex(), c.listed.empty() ? -1 : 0);
    EXPECT_EQ(ReadIniString("drvvzt.ini", "main", "ComPort", ""), shown.toStdString());
    EXPECT_EQ(form->ComPort(), shown.toStdString());
    EXPECT_FALSE(form->SerialPort().Connected());
    if (!c.listed.empty()) {
      const int first = std::stoi(c.listed.front().mid(3).toStdString());
      const QString tip = form->ComboBox1->itemData(0, Qt::ToolTipRole).toString();
      EXPECT_TRUE(tip.contains(QString::fromStdString(bench.Path(first)))) << tip.toStdString();
      EXPECT_EQ(form->ComboBox1->toolTip(), tip);
    }
  }
}

TEST_F(WindowTest, ARescanThatFindsNothingKeepsTheShownName) {
  PortBench bench({3});
  ASSERT_TRUE(bench.ok());
  auto form = Start("", bench.Section());
  form->Button1->click();
  ASSERT_EQ(form->ComboBox1->currentText(), QStringLiteral("COM3"));
  ManualPollTimer other_timer;
  TSerialPort other(other_timer);
  other.SetPortName(bench.Path(3));
  ASSERT_TRUE(other.Connect());
  form->Button1->click();
  EXPECT_EQ(form->ComboBox1->count(), 0);
  EXPECT_EQ(form->ComboBox1->currentText(), QStringLiteral("COM3"));
  EXPECT_EQ(ReadIniString("drvvzt.ini", "main", "ComPort", ""), "COM3");
}

TEST_F(WindowTest, AChoiceWhileRunningIsIgnoredAndALaterChoiceSurvivesARestart) {
  PortBench bench({3, 7});
  ASSERT_TRUE(bench.ok());
  auto form = Start("ComPort=COM3", bench.Section());
  ASSERT_TRUE(form->SerialPort().Connected());
  const std::string before = FileText(dir.path() / "drvvzt.ini");
  form->ComboBox1->setEditText(QStringLiteral("COM7"));
  form->ComboBox1Select();
  EXPECT_EQ(FileText(dir.path() / "drvvzt.ini"), before);
  EXPECT_EQ(form->ComPort(), "COM3");

  AnswerNextModal<TForm2>([&](TForm2* dialog) {
    TypeText(dialog->Entry(), form->CloseCode());
    dialog->OkButton()->click();
  });
  form->Button2->click();
  ASSERT_EQ(form->Button2->text(), QString::fromUtf8(kCaptionStopped));
  EXPECT_FALSE(form->SerialPort().Connected());
  ASSERT_TRUE(form->ComboBox1->isEnabled());
  form->Button1->click();
  form->ComboBox1->setCurrentIndex(1);
  emit form->ComboBox1->activated(1);  // the operator picks COM7
  EXPECT_EQ(form->ComPort(), "COM7");
  form.reset();

  auto restarted = std::make_unique<TForm1>(clock, tick);
  EXPECT_EQ(restarted->ComboBox1->currentText(), QStringLiteral("COM7"));
  EXPECT_EQ(restarted->Button2->text(), QString::fromUtf8(kCaptionRunning));
  EXPECT_EQ(restarted->SerialPort().DevicePath(), bench.Path(7));
}

TEST_F(WindowTest, StartingAChosenPortOpensItWithoutStoringIt) {
  PortBench bench({3, 7});
  ASSERT_TRUE(bench.ok());
  auto form = Start("", bench.Section());
  form->ComboBox1->setEditText(QStringLiteral("COM7"));  // typed, not chosen
  MessageBoxCatcher catcher;
  form->Button2->click();
  EXPECT_TRUE(catcher.Texts().empty());
  EXPECT_TRUE(form->SerialPort().Connected());
  EXPECT_EQ(form->SerialPort().DevicePath(), bench.Path(7));
  EXPECT_EQ(form->Button2->text(), QString::fromUtf8(kCaptionRunning));
  EXPECT_FALSE(form->Button1->isEnabled());
  EXPECT_FALSE(form->ComboBox1->isEnabled());
  EXPECT_EQ(form->ComPort(), "COM255");
  EXPECT_EQ(ReadIniString("drvvzt.ini", "main", "ComPort", "none"), "none");
}

TEST_F(WindowTest, AnUnwritableConfigurationLogsCode19AndChangesNothing) {
  PortBench bench({3});
  ASSERT_TRUE(bench.ok());
  auto form = Start("", bench.Section());
  ASSERT_TRUE(form->ComboBox1->isEnabled());
  // A directory in the file's place: the write can neither replace nor create it.
  std::filesystem::remove(dir.path() / "drvvzt.ini");
  std::filesystem::create_directory(dir.path() / "drvvzt.ini");
  MessageBoxCatcher catcher;
  form->ComboBox1->setEditText(QStringLiteral("COM3"));
  form->ComboBox1Select();
  EXPECT_EQ(FileText(dir.path() / "error.txt"), ErrorLogLine(kErrorPortWrite));
  EXPECT_EQ(form->ComPort(), "COM255");
  EXPECT_TRUE(catcher.Texts().empty());
}

// A stop signal while the stop or start dialogs wait ends the driver; the
// refusal message must not then hold the closing window open.
TEST_F(WindowTest, AStopSignalDuringTheStopDialogClosesWithoutTheRefusal) {
  InstallStopSignals();
  ClearStopSignal();
  PortBench bench({3});
  ASSERT_TRUE(bench.ok());
  auto form = Start("ComPort=COM3", bench.Section());
  ASSERT_TRUE(form->SerialPort().Connected());
  AnswerNextModal<TForm2>([](TForm2*) { std::raise(SIGTERM); });  // the operator never answers
  MessageBoxCatcher catcher;
  form->Button2->click();
  EXPECT_TRUE(form->CloseAccepted());
  EXPECT_FALSE(form->SerialPort().Connected());
  EXPECT_TRUE(catcher.Texts().empty());
  ClearStopSignal();
}

// ---- Port-state messages ----------------------------------------------------------

struct PortState {
  std::string name;
  bool open = false;
  bool operator==(const PortState&) const = default;
};

using States = std::vector<PortState>;

std::ostream& operator<<(std::ostream& out, const PortState& s) {
  return out << s.name << (s.open ? " open" : " closed");
}

PortState DecodePortState(const Bytes& body) {
  if (body.size() != kPortStateSize || body[kPsNameLength] > kPortNameMax) return {"<bad body>", false};
  return {std::string(body.begin() + kPsName, body.begin() + kPsName + body[kPsNameLength]), body[kPsOpen] == 1};
}

// A window whose link is registered on the emulator. The port-state messages a
// step sends are those the emulator receives between two markers queued
// before and after it: the queue keeps its order, so nothing is missed or
// counted twice, and no waiting for silence is needed.
class PortStateTest : public WindowTest {
protected:
  void SetUp() override {
    WindowTest::SetUp();
    ASSERT_TRUE(server.Start(0));
    window_tick = &SystemTick();
  }

  // Returns once the link has registered.
  std::unique_ptr<TForm1> StartLinked(const std::string& keys, const std::string& more) {
    start_index_ = PortStatesSoFar().size();
    auto form = Start(keys + "\nSendT8=1",
                      more + "[ServerHost]\nAddress=127.0.0.1\nPort=" + std::to_string(server.Port()) + "\n");
    EXPECT_TRUE(SpinUntil([&] { return PortStatesSoFar().size() > start_index_; })) << "no registration";
    return form;
  }

  // Every port state received since the window started, up to now.
  std::vector<PortState> StatesSinceStart(TForm1& form) {
    const PortState now = Mark(form, "N");
    const std::vector<PortState> all = PortStatesSoFar();
    std::vector<PortState> sent;
    for (std::size_t i = start_index_; i < all.size() && all[i] != now; ++i) sent.push_back(all[i]);
    return sent;
  }

  std::vector<PortState> PortStatesSoFar() const {
    std::vector<PortState> states;
    for (const tools::ReceivedMessage& m : server.Messages()) {
      if (m.type == mtPortState) states.push_back(DecodePortState(m.body));
    }
    return states;
  }

  // The port-state messages that step queued.
  std::vector<PortState> StatesSentBy(TForm1& form, const std::function<void()>& step) {
    const PortState before = Mark(form, "B");
    step();
    const PortState after = Mark(form, "A");
    const std::vector<PortState> all = PortStatesSoFar();
    std::vector<PortState> sent;
    bool inside = false;
    for (const PortState& s : all) {
      if (s == after) break;
      if (inside) sent.push_back(s);
      if (s == before) inside = true;
    }
    return sent;
  }

  tools::MessageServerEmulator server;

private:
  PortState Mark(TForm1& form, const std::string& name) {
    const PortState mark{name + std::to_string(marks_++ % 1000), false};  // six characters at most
    EXPECT_TRUE(form.ServerLink()->PutMessage(mtPortState, PortStateBody(mark.name, false)));
    EXPECT_TRUE(SpinUntil([&] {
      const auto states = PortStatesSoFar();
      return std::find(states.begin(), states.end(), mark) != states.end();
    }));
    return mark;
  }

  int marks_ = 0;
  std::size_t start_index_ = 0;
};

struct StartUpCase {
  const char* name;
  const char* com_port;  // nullptr: no key
  bool held;
  PortState registered;  // what the registration reports
};

// The start-up opening sends nothing itself; the registration reports the state.
TEST_F(PortStateTest, StartUpLeavesTheReportToTheRegistration) {
  const StartUpCase cases[] = {
      {"no key", nullptr, false, {"COM255", false}},
      {"free port", "COM3", false, {"COM3", true}},
      {"held port", "COM3", true, {"COM3", false}},
  };
  for (const StartUpCase& c : cases) {
    SCOPED_TRACE(c.name);
    PortBench bench({3});
    ASSERT_TRUE(bench.ok());
    ManualPollTimer other_timer;
    TSerialPort other(other_timer);
    if (c.held) {
      other.SetPortName(bench.Path(3));
      ASSERT_TRUE(other.Connect());
    }
    MessageBoxCatcher catcher;
    auto form = StartLinked(c.com_port ? std::string("ComPort=") + c.com_port : "", bench.Section());
    EXPECT_EQ(StatesSinceStart(*form), States{c.registered});
    EXPECT_EQ(catcher.Texts().size(), c.held ? 1u : 0u);
  }
}

TEST_F(PortStateTest, AFailedStartSendsTwoClosedStatesAfterTheRescan) {
  PortBench bench({3, 7});
  ASSERT_TRUE(bench.ok());
  auto form = StartLinked("", bench.Section());
  form->ComboBox1->setEditText(QStringLiteral("COM5"));  // no such device
  MessageBoxCatcher catcher;
  const auto sent = StatesSentBy(*form, [&] { form->Button2->click(); });
  EXPECT_EQ(catcher.Texts(), std::vector<QString>{kBusyAtStart});
  EXPECT_EQ(sent, (States{{"COM3", false}, {"COM3", false}}));
  EXPECT_EQ(form->Button2->text(), QString::fromUtf8(kCaptionStopped));
  EXPECT_EQ(ReadIniString("drvvzt.ini", "main", "ComPort", ""), "COM3");
}

struct StopCase {
  const char* name;
  std::function<void(TForm2*, const QString& code)> answer;
  std::vector<QString> messages;
  bool still_open;
};

TEST_F(PortStateTest, StopNeedsTheCodeAndEveryOutcomeIsReported) {
  const StopCase cases[] = {
      {"right code", [](TForm2* d, const QString& code) { TypeText(d->Entry(), code); d->OkButton()->click(); }, {}, false},
      {"four digits", [](TForm2* d, const QString& code) { TypeText(d->Entry(), code.left(4)); d->OkButton()->click(); },
       {kRefused}, true},
      {"cancelled", [](TForm2* d, const QString&) { d->CancelButton()->click(); }, {kRefused}, true},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.name);
    PortBench bench({3});
    ASSERT_TRUE(bench.ok());
    auto form = StartLinked("ComPort=COM3", bench.Section());
    ASSERT_TRUE(form->SerialPort().Connected());
    const QString code = form->CloseCode();
    AnswerNextModal<TForm2>([&](TForm2* dialog) { c.answer(dialog, code); });
    MessageBoxCatcher catcher;
    const auto sent = StatesSentBy(*form, [&] { form->Button2->click(); });
    EXPECT_EQ(catcher.Texts(), c.messages);
    EXPECT_EQ(sent, (States{{"COM3", c.still_open}}));
    EXPECT_EQ(form->SerialPort().Connected(), c.still_open);
    EXPECT_EQ(form->Button2->text(), QString::fromUtf8(c.still_open ? kCaptionRunning : kCaptionStopped));
    EXPECT_EQ(form->Button1->isEnabled(), !c.still_open);
    EXPECT_EQ(form->ComboBox1->isEnabled(), !c.still_open);
  }
}

TEST_F(PortStateTest, AChoiceWhileStoppedIsReportedWithTheNameCutToSixCharacters) {
  auto form = StartLinked("", "");
  const auto sent = StatesSentBy(*form, [&] {
    form->ComboBox1->setEditText(QStringLiteral("COM1234"));
    form->ComboBox1Select();
  });
  EXPECT_EQ(sent, (States{{"COM123", false}}));
  EXPECT_EQ(ReadIniString("drvvzt.ini", "main", "ComPort", ""), "COM1234");
}

TEST_F(PortStateTest, AStartIsReportedOpen) {
  PortBench bench({3});
  ASSERT_TRUE(bench.ok());
  auto form = StartLinked("", bench.Section());
  form->ComboBox1->setEditText(QStringLiteral("COM3"));
  form->ComboBox1Select();
  const auto sent = StatesSentBy(*form, [&] { form->Button2->click(); });
  EXPECT_EQ(sent, (States{{"COM3", true}}));
}

TEST_F(PortStateTest, AnUnwritableConfigurationSendsNothing) {
  PortBench bench({3});
  ASSERT_TRUE(bench.ok());
  auto form = StartLinked("", bench.Section());
  std::filesystem::remove(dir.path() / "drvvzt.ini");
  std::filesystem::create_directory(dir.path() / "drvvzt.ini");
  const auto sent = StatesSentBy(*form, [&] {
    form->ComboBox1->setEditText(QStringLiteral("COM3"));
    form->ComboBox1Select();
  });
  EXPECT_TRUE(sent.empty());
  EXPECT_EQ(FileText(dir.path() / "error.txt"), ErrorLogLine(kErrorPortWrite));
}

}  // namespace
}  // namespace drvvzt

DRVVZT_QT_TEST_MAIN
