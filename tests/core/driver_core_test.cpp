// The driver core without a window: the order of start-up, the configured
// port tried again until it appears, the port operations with their outcomes
// and what the operator is shown, and shut-down.
#include "core/driver_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/ini_file.h"
#include "platform/serial_device.h"
#include "station/serial_port.h"
#include "station/station_packet.h"
#include "tests/support/driver_process.h"
#include "tests/support/fake_clock.h"
#include "tests/support/port_bench.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

using testing::PortBench;

// What the core showed, in order, as short lines.
class RecordingView final : public DriverView {
public:
  void DrawStation(bool, std::int32_t) override {}
  void DrawServer(bool, std::int32_t) override {}
  void AppendLog(const std::string& line) override { events.push_back("log " + line); }
  void ShowMessage(const std::string& text) override { events.push_back("message " + text); }
  void DismissMessage() override { events.push_back("dismiss"); }
  bool AskCloseCode(const std::string& code) override {
    events.push_back("ask");
    return answer(code);
  }
  void ShowHealth(bool, std::optional<bool>, bool) override {}
  void ShowStartUp(const std::string&, double, bool) override { events.push_back("start-up"); }
  void ShowPortList(const std::vector<std::string>& free_ports) override {
    std::string line = "ports";
    for (const std::string& name : free_ports) line += " " + name;
    events.push_back(line);
    if (!free_ports.empty()) chosen = free_ports.front();  // as the window's list does
  }
  void ShowConfiguredPort(const std::string& name) override { events.push_back("configured " + name); }
  std::string ChosenPort() override { return chosen; }
  void ShowPortRunning(bool running) override { events.push_back(running ? "running" : "stopped"); }

  bool Saw(const std::string& event) const {
    return std::find(events.begin(), events.end(), event) != events.end();
  }
  bool SawLogContaining(const std::string& text) const {
    return std::any_of(events.begin(), events.end(), [&](const std::string& e) {
      return e.starts_with("log ") && e.find(text) != std::string::npos;
    });
  }

  std::vector<std::string> events;
  std::string chosen;
  std::function<bool(const std::string&)> answer = [](const std::string&) { return false; };
};

// A port map with COM5 at device and every other COM1..COM32 nowhere, so
// the host's own ports never count.
std::string PortMapWithCom5At(const std::string& device) {
  std::string text = "[ComPorts]\n";
  for (int number = 1; number <= 32; ++number) {
    text += "COM" + std::to_string(number) + "=" +
            (number == 5 ? device : "/nonexistent/tty" + std::to_string(number)) + "\n";
  }
  return text;
}

class DriverCoreTest : public ::testing::Test {
protected:
  void SetUp() override {
    previous_dir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
  }
  void TearDown() override {
    core.reset();
    std::filesystem::current_path(previous_dir_);
  }

  // A core started on "drvvzt.ini" with the [main] keys given (the link off)
  // and the port map of bench.
  void Start(const std::string& main_keys, const std::string& port_map) {
    dir.Write("drvvzt.ini", "[main]\nSendT8=0\n" + main_keys + "\n" + port_map);
    core = std::make_unique<DriverCore>(view, clock, tick, serial_poll, tick_timer,
                                        [this](UiHandOff::Call call) { posted.push_back(std::move(call)); });
    core->Start();
  }
  // Runs what was posted to the owner's thread.
  void RunPosted() {
    for (auto calls = std::exchange(posted, {}); auto& call : calls) call();
  }
  std::string ConfiguredPort() { return ReadIniString(dir.File("drvvzt.ini"), "main", "ComPort", ""); }

  testing::TempDir dir;
  testing::FakeDateTimeClock clock;
  testing::FakeTickClock tick{100000};
  ManualPollTimer serial_poll;
  ManualPollTimer tick_timer;
  RecordingView view;
  std::vector<UiHandOff::Call> posted;
  std::unique_ptr<DriverCore> core;

private:
  std::filesystem::path previous_dir_;
};

TEST_F(DriverCoreTest, StartUpScansOpensTheConfiguredPortAndThenRunsTheTick) {
  PortBench bench({3, 7});
  ASSERT_TRUE(bench.ok());
  Start("ComPort=COM7", bench.Section());
  // The scan runs while the driver's own port is still closed, so the
  // configured port is listed too; its opening leaves the running look as it is.
  const std::vector<std::string> expected = {"ports COM3 COM7", "configured COM7", "start-up"};
  EXPECT_EQ(view.events, expected);
  EXPECT_TRUE(core->PortRunning());
  EXPECT_TRUE(core->SerialPort().Connected());
  EXPECT_EQ(core->ComPort(), "COM7");
  EXPECT_TRUE(tick_timer.Running());
  EXPECT_EQ(tick_timer.WakeDelay(), kDriverTickMs);
  const int code = std::stoi(core->CloseCode());
  EXPECT_GE(code, 10000);
  EXPECT_LE(code, 99998);
  // Nothing for the operator: the port opened.
  core->ShowStartUpMessage();
  EXPECT_FALSE(view.Saw("message Порт уже занят. Смените его."));
}

TEST_F(DriverCoreTest, ConfiguredPortThatWillNotOpenIsTakenWhenItAppears) {
  const std::string late_device = dir.File("late-tty");
  Start("ComPort=COM5", PortMapWithCom5At(late_device));
  EXPECT_FALSE(core->PortRunning());
  EXPECT_TRUE(view.Saw("stopped"));
  EXPECT_TRUE(core->StartUpRetryActive());
  core->ShowStartUpMessage();
  EXPECT_TRUE(view.Saw("message Порт уже занят. Смените его."));
  RunPosted();
  EXPECT_TRUE(view.SawLogContaining("Порт COM5 не открыт"));

  testing::PtyPair adapter;
  ASSERT_TRUE(adapter.ok());
  ASSERT_TRUE(adapter.LinkAt(late_device));
  tick.Advance(kStartUpRetryMs - 1);
  core->Tick();
  EXPECT_FALSE(core->PortRunning());  // tried every 5 s, not at every tick
  EXPECT_EQ(core->NextTickDelayMs(), 1u) << "an idle tick wakes for the retry";
  tick.Advance(1);
  core->Tick();
  EXPECT_TRUE(core->PortRunning());
  EXPECT_TRUE(core->SerialPort().Connected());
  EXPECT_TRUE(view.Saw("running"));
  EXPECT_TRUE(view.Saw("dismiss"));
  EXPECT_FALSE(core->StartUpRetryActive());
  RunPosted();
  EXPECT_TRUE(view.SawLogContaining("Порт COM5 открыт."));
}

TEST_F(DriverCoreTest, AnOperatorsPortActionEndsTheStartUpRetries) {
  const std::vector<std::function<void(DriverCore&)>> actions = {
      [](DriverCore& c) { c.Rescan(); },
      [](DriverCore& c) { c.ChoosePort("COM5"); },
      [](DriverCore& c) { c.StartOrStop(); },
  };
  for (std::size_t i = 0; i < actions.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string late_device = dir.File("late-tty" + std::to_string(i));
    Start("ComPort=COM5", PortMapWithCom5At(late_device));
    view.chosen = "COM9";  // not there: a start attempt fails
    actions[i](*core);
    EXPECT_FALSE(core->StartUpRetryActive());
    testing::PtyPair adapter;
    ASSERT_TRUE(adapter.LinkAt(late_device));
    tick.Advance(kStartUpRetryMs);
    core->Tick();
    EXPECT_FALSE(core->SerialPort().Connected()) << "the operator's choice was overridden";
    core.reset();
  }
}

// The operator sees "port busy" whatever the cause; standard error (the
// journal) must tell the causes apart, with the call, the device and errno.
TEST_F(DriverCoreTest, StandardErrorTellsWhyTheConfiguredPortWouldNotOpen) {
  testing::PtyPair free_tty;
  testing::PtyPair held_tty;
  ASSERT_TRUE(free_tty.ok() && held_tty.ok());
  ManualPollTimer holder_timer;
  TSerialPort holder(holder_timer);
  holder.SetPortName(held_tty.slave_path());
  ASSERT_TRUE(holder.Connect());
  struct Case {
    const char* what;
    std::string device;
    int injected_open_error;
    std::vector<std::string> said;
  };
  const Case cases[] = {
      {"no permission", free_tty.slave_path(), EACCES, {"Permission denied", "open", free_tty.slave_path()}},
      {"no device", dir.File("no-such-tty"), 0, {"No such file or directory", dir.File("no-such-tty")}},
      {"held by another program", held_tty.slave_path(), 0, {held_tty.slave_path()}},
  };
  std::vector<std::string> lines;
  SetDiagnosticSink([&](Severity severity, const std::string& text) {
    if (severity == Severity::kError) lines.push_back(text);
  });
  std::set<std::string> distinct;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lines.clear();
    // Every open fails: the port scan at start-up opens the device too.
    if (c.injected_open_error != 0) serial_faults::Fail("open", c.injected_open_error, 0, 1000);
    Start("ComPort=COM5", PortMapWithCom5At(c.device));
    serial_faults::Clear();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("station port COM5 cannot be opened: ")) << lines[0];
    for (const std::string& part : c.said) EXPECT_NE(lines[0].find(part), std::string::npos) << lines[0];
    distinct.insert(lines[0].substr(0, lines[0].find(" (")));
    core.reset();
  }
  SetDiagnosticSink({});
  EXPECT_EQ(distinct.size(), std::size(cases)) << "each cause has a text of its own";
}

TEST_F(DriverCoreTest, StopNeedsTheCloseCodeAndAChoiceCountsOnlyWhileStopped) {
  PortBench bench({3, 7});
  Start("ComPort=COM3", bench.Section());
  EXPECT_EQ(core->ChoosePort("COM7"), PortChoice::kIgnoredWhileRunning);
  EXPECT_EQ(ConfiguredPort(), "COM3");

  EXPECT_EQ(core->StopPort(), PortStop::kRefused);
  EXPECT_TRUE(view.Saw("message Неправильный пароль. В доступе отказано"));
  EXPECT_TRUE(core->SerialPort().Connected());  // the station is served while the operator is asked

  view.answer = [this](const std::string& code) { return code == core->CloseCode(); };
  EXPECT_EQ(core->StopPort(), PortStop::kStopped);
  EXPECT_FALSE(core->SerialPort().Connected());
  EXPECT_FALSE(core->PortRunning());

  EXPECT_EQ(core->ChoosePort("COM7"), PortChoice::kChosen);
  EXPECT_EQ(ConfiguredPort(), "COM7");
  EXPECT_EQ(core->ComPort(), "COM7");
}

TEST_F(DriverCoreTest, StartThatCannotOpenTellsTheOperatorAndScansAgain) {
  PortBench bench({3});
  Start("ComPort=COM255", bench.Section());
  ASSERT_FALSE(core->PortRunning());
  view.events.clear();
  view.chosen = "COM9";
  core->StartOrStop();
  const std::vector<std::string> expected = {"message Порт уже занят!", "ports COM3"};
  EXPECT_EQ(view.events, expected);
  EXPECT_FALSE(core->PortRunning());
  EXPECT_EQ(ConfiguredPort(), "COM3");  // the scan's first free port is the choice now

  EXPECT_EQ(core->StartPort("COM3"), PortStart::kStarted);
  EXPECT_TRUE(core->PortRunning());
  EXPECT_TRUE(core->SerialPort().Connected());
}

TEST_F(DriverCoreTest, ACloseWhileTheOperatorIsAskedEndsTheStopQuietly) {
  PortBench bench({3});
  Start("ComPort=COM3", bench.Section());
  view.answer = [this](const std::string&) {
    core->Close();  // a stop signal arrived while the dialog was up
    return false;
  };
  view.events.clear();
  core->StartOrStop();
  const std::vector<std::string> expected = {"ask"};
  EXPECT_EQ(view.events, expected);
  EXPECT_TRUE(core->Closing());
  EXPECT_FALSE(core->SerialPort().Connected());
}

// Records the disk refused wait in memory: they reach disk at the first tick
// after the directory can be made again, or at shut-down at the latest.
TEST_F(DriverCoreTest, RecordsKeptInMemoryReachDiskAtTheNextTickOrAtShutdown) {
  for (const bool at_shutdown : {false, true}) {
    SCOPED_TRACE(at_shutdown ? "at shut-down" : "at the tick");
    testing::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    std::filesystem::remove_all(dir.path() / "spool");
    // Plain files where both directories belong: nothing can be written.
    dir.Write("spool", "");
    dir.Write("rescue", "");
    Start("ComPort=COM5\nPathForSoob=spool/", PortMapWithCom5At(pty.slave_path()));
    StationPacketFields fields;
    fields.object_number = 7;
    std::string packets = StationPacketText(fields);
    fields.object_number = 8;
    packets += StationPacketText(fields);
    ASSERT_TRUE(pty.WriteMaster(packets));
    ASSERT_TRUE(pty.WaitSlaveQueued(packets.size(), 2000));
    serial_poll.Fire();
    EXPECT_EQ(pty.ReadMaster(8, 2000), "OK\r\nOK\r\n");
    core->Tick();
    EXPECT_EQ(core->Chain()->Spool().BacklogSize(), 2u) << "the disk still refuses";
    EXPECT_EQ(core->NextTickDelayMs(), kDriverTickMs) << "tried again at every tick";

    std::filesystem::remove(dir.path() / "spool");
    std::filesystem::remove(dir.path() / "rescue");
    if (at_shutdown) {
      core->Shutdown();
    } else {
      core->Tick();
    }
    EXPECT_EQ(testing::SpoolObjectNumbers(dir.File("spool")), (std::multiset<std::int32_t>{40007, 40008}));
    EXPECT_FALSE(core->RecordsLost());
    core.reset();
  }
}

// Left alone, the tick wakes only for what falls due: the spool count every
// 2 s and the watchdog's verdict just after it turns. A packet or a change of
// the link brings the next tick within 200 ms, as the fixed pace did.
TEST_F(DriverCoreTest, AnIdleTickSleepsUntilSomethingFallsDue) {
  testing::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  Start("ComPort=COM5\nAttention=00:00:05", PortMapWithCom5At(pty.slave_path()));
  auto wake = [this] {
    const std::uint32_t delay = tick_timer.WakeDelay().value_or(0);
    tick.Advance(delay);
    clock.AdvanceMs(delay);
    return tick_timer.FireWake();
  };
  ASSERT_TRUE(wake());
  EXPECT_TRUE(core->StationAlive());
  EXPECT_EQ(tick_timer.PeriodMs(), 0u);
  EXPECT_EQ(tick_timer.WakeDelay(), kDriverIdleTickMs) << "the spool count is due first";
  ASSERT_TRUE(wake());
  ASSERT_TRUE(wake());
  // 4.2 s after the start: the watchdog's 5 s end before the next count.
  ASSERT_TRUE(tick_timer.WakeDelay());
  EXPECT_NEAR(*tick_timer.WakeDelay(), 801, 2);
  ASSERT_TRUE(wake());
  EXPECT_FALSE(core->StationAlive());
  EXPECT_NEAR(*tick_timer.WakeDelay(), 2000 - 801, 2) << "the next count";

  core->StepServerTick(LinkState::kDown);
  EXPECT_GT(*tick_timer.WakeDelay(), kDriverTickMs) << "an indicator step alone changes nothing";
  core->StepServerTick(LinkState::kUp);
  EXPECT_EQ(tick_timer.WakeDelay(), kDriverTickMs);
  ASSERT_TRUE(wake());
  EXPECT_GT(*tick_timer.WakeDelay(), kDriverTickMs) << "asleep again";

  const std::string packet = StationPacketText(StationPacketFields{});
  ASSERT_TRUE(pty.WriteMaster(packet));
  ASSERT_TRUE(pty.WaitSlaveQueued(packet.size(), 2000));
  serial_poll.Fire();
  ASSERT_EQ(pty.ReadMaster(4, 2000), "OK\r\n");
  EXPECT_EQ(tick_timer.WakeDelay(), kDriverTickMs);
  ASSERT_TRUE(wake());
  EXPECT_TRUE(core->StationAlive()) << "alive again at the tick after the packet";
}

TEST_F(DriverCoreTest, ShutdownStopsTheTickAndClosesThePortOnce) {
  PortBench bench({3});
  Start("ComPort=COM3", bench.Section());
  core->Shutdown();
  EXPECT_FALSE(tick_timer.Running());
  EXPECT_FALSE(core->SerialPort().Connected());
  EXPECT_FALSE(core->RecordsLost());
  core->Shutdown();  // and again from the destructor: nothing more happens
}

}  // namespace
}  // namespace drvvzt
