// TSerialPort on a real pseudo-terminal, with a hand-driven timer and a fake
// millisecond tick: packet cutting, timeouts, opening and why it fails,
// writing, a device that goes away and comes back, setters.
#include "station/serial_port.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/serial_device.h"
#include "tests/support/fake_clock.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

using testing::FakeTickClock;
using testing::PtyPair;
using testing::TempDir;

// Distinct bytes, so that order, splitting and merging all show.
std::string Stream(std::size_t size) {
  std::string s;
  for (std::size_t i = 0; i < size; ++i) s.push_back(static_cast<char>('A' + i % 26 + (i / 26) % 2 * 32));
  return s;
}

// A tick that moves on by one millisecond every time it is read, so a busy
// wait on the clock ends without sleeping.
class SteppingTickClock final : public TickClock {
public:
  std::uint32_t NowTick() override { return now_++; }

private:
  std::uint32_t now_ = 5000;
};

// The component as the driver configures it, on COM5 mapped to a pty.
class SerialPortTest : public ::testing::Test {
protected:
  explicit SerialPortTest(TickClock* clock = nullptr)
      : port_(timer_, clock ? *clock : clock_, dir_.File("drvvzt.ini")) {
    dir_.Write("drvvzt.ini", "[ComPorts]\nCOM5=" + pty_.slave_path() + "\n");
    port_.SetPortName("\\\\.\\COM5");
    port_.SetHwFlow(hfNONE);
    port_.SetPacketSize(38);
    port_.SetPacketTimeout(100);
    port_.SetPacketMode(pmPass);
    port_.SetPollingDelay(5);
    port_.SetOutputTimeout(80);
    port_.OnReceivePacket = [this](TSerialPort& sender, const std::uint8_t* packet,
                                   std::uint32_t size) {
      EXPECT_EQ(&sender, &port_);
      events_.emplace_back(reinterpret_cast<const char*>(packet), size);
    };
  }

  // Writes bytes on the station's side and waits until they are queued.
  void Feed(const std::string& bytes) {
    std::size_t expected = pty_.SlaveQueued() + bytes.size();
    ASSERT_TRUE(pty_.WriteMaster(bytes));
    ASSERT_TRUE(pty_.WaitSlaveQueued(expected, 2000));
  }

  ~SerialPortTest() override { serial_faults::Clear(); }

  TempDir dir_;
  PtyPair pty_;
  FakeTickClock clock_{1000};
  ManualPollTimer timer_;
  TSerialPort port_;
  std::vector<std::string> events_;
};

TEST_F(SerialPortTest, ConnectOpensTheMappedDeviceAndStartsPolling) {
  ASSERT_TRUE(port_.Connect());
  EXPECT_TRUE(port_.Connected());
  EXPECT_EQ(port_.DevicePath(), pty_.slave_path());
  EXPECT_TRUE(timer_.Running());
  EXPECT_EQ(timer_.PeriodMs(), 0u) << "no period";
  EXPECT_GE(timer_.WatchedFd(), 0) << "arrivals tick the poll";
  EXPECT_EQ(timer_.WakeDelay(), std::nullopt) << "an idle line asks for no wake-up";

  port_.Disconnect();
  EXPECT_FALSE(port_.Connected());
  EXPECT_FALSE(timer_.Running());
  port_.Disconnect();  // already closed: nothing
  EXPECT_TRUE(port_.Connect()) << "the port can be opened again";
}

TEST_F(SerialPortTest, ConnectFailsWithoutAUsableDeviceAndKeepsTheCause) {
  ManualPollTimer holder_timer;
  TSerialPort holder(holder_timer, clock_, dir_.File("drvvzt.ini"));
  holder.SetPortName(pty_.slave_path());
  ASSERT_TRUE(holder.Connect());
  PtyPair free_pty;
  ASSERT_TRUE(free_pty.ok());

  struct Case {
    const char* what;
    std::string port_name;
    std::string device;       // [ComPorts] COM5; empty: no entry
    const char* armed_call;   // a system call made to fail, or nullptr
    int armed_errno;
    SerialOpenCause cause;
    std::string error_path;
  };
  const Case cases[] = {
      {"missing device", "\\\\.\\COM5", dir_.File("no-such-tty"), nullptr, 0,
       SerialOpenCause::kNoDevice, dir_.File("no-such-tty")},
      {"COM port without a device", "\\\\.\\COM99", "", nullptr, 0,
       SerialOpenCause::kNoDevice, "COM99"},
      {"no permission", "\\\\.\\COM5", free_pty.slave_path(), "open", EACCES,
       SerialOpenCause::kPermission, free_pty.slave_path()},
      {"held by another program", "\\\\.\\COM5", pty_.slave_path(), nullptr, 0,
       SerialOpenCause::kBusy, pty_.slave_path()},
      {"line settings refused", "\\\\.\\COM5", free_pty.slave_path(), "tcsetattr", EIO,
       SerialOpenCause::kLineSettings, free_pty.slave_path()},
      {"not a terminal", "\\\\.\\COM5", dir_.File("drvvzt.ini"), nullptr, 0,
       SerialOpenCause::kOther, dir_.File("drvvzt.ini")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dir_.Write("drvvzt.ini",
               c.device.empty() ? "[ComPorts]\n" : "[ComPorts]\nCOM5=" + c.device + "\n");
    if (c.armed_call) serial_faults::Fail(c.armed_call, c.armed_errno);
    port_.SetPortName(c.port_name);
    EXPECT_FALSE(port_.Connect());
    EXPECT_FALSE(port_.Connected());
    EXPECT_FALSE(port_.LineUp());
    EXPECT_FALSE(timer_.Running());
    EXPECT_EQ(OpenCauseOf(port_.LastError()), c.cause) << port_.LastError().Text();
    EXPECT_EQ(port_.LastError().path, c.error_path);
    serial_faults::Clear();
  }

  dir_.Write("drvvzt.ini", "[ComPorts]\nCOM5=" + free_pty.slave_path() + "\n");
  port_.SetPortName("\\\\.\\COM5");
  ASSERT_TRUE(port_.Connect());
  EXPECT_TRUE(port_.LastError().ok()) << "a success clears the old cause";
}

TEST_F(SerialPortTest, RefusedLineSettingsCloseThePortAgain) {
  port_.SetBaudRate(br14400);  // no such termios speed
  EXPECT_FALSE(port_.Connect());
  EXPECT_EQ(OpenCauseOf(port_.LastError()), SerialOpenCause::kLineSettings);
  EXPECT_FALSE(port_.Connected());
  EXPECT_FALSE(timer_.Running());
  port_.SetBaudRate(br9600);
  EXPECT_TRUE(port_.Connect()) << "the failed attempt must have released the device";
}

TEST_F(SerialPortTest, SecondComponentOnTheSameDeviceFailsUntilTheFirstLetsGo) {
  ManualPollTimer other_timer;
  TSerialPort other(other_timer, clock_, dir_.File("drvvzt.ini"));
  other.SetPortName("\\\\.\\COM5");
  ASSERT_TRUE(port_.Connect());
  EXPECT_FALSE(other.Connect());
  EXPECT_FALSE(other.Connected());
  EXPECT_FALSE(other_timer.Running());
  port_.Disconnect();
  EXPECT_TRUE(other.Connect());
}

// The server link thread and a status writer read the port's state while the
// window opens and closes the port and the device comes and goes;
// ThreadSanitizer builds see any unguarded access.
TEST_F(SerialPortTest, StateMayBeReadFromAnotherThread) {
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      (void)port_.Connected();
      (void)port_.LineUp();
      (void)port_.DevicePath();
    }
  });
  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(port_.Connect());
    // The device answers a queue count with "gone" once, then is there again.
    serial_faults::Fail("ioctl(FIONREAD)", ENXIO);
    EXPECT_TRUE(timer_.Fire());
    EXPECT_FALSE(port_.LineUp());
    clock_.Advance(TSerialPort::kReopenIntervalMs);
    EXPECT_TRUE(timer_.Fire());
    EXPECT_TRUE(port_.LineUp());
    port_.Disconnect();
  }
  done.store(true);
  reader.join();
}

TEST_F(SerialPortTest, ConnectWhenOpenKeepsThePortAndIgnoresANewName) {
  ASSERT_TRUE(port_.Connect());
  port_.SetPortName("\\\\.\\COM6");
  port_.SetPort(pnCOM2);
  EXPECT_TRUE(port_.Connect());
  EXPECT_EQ(port_.PortName(), "\\\\.\\COM5");
  EXPECT_EQ(port_.DevicePath(), pty_.slave_path());
  EXPECT_EQ(timer_.Starts(), 1) << "polling was not restarted";
}

TEST_F(SerialPortTest, ConnectReadsThePortMapAnew) {
  PtyPair second;
  ASSERT_TRUE(second.ok());
  ASSERT_TRUE(port_.Connect());
  port_.Disconnect();
  dir_.Write("drvvzt.ini", "[ComPorts]\nCOM5=" + second.slave_path() + "\n");
  ASSERT_TRUE(port_.Connect());
  EXPECT_EQ(port_.DevicePath(), second.slave_path());
}

TEST_F(SerialPortTest, ConnectDropsWhatWasQueuedBefore) {
  Feed("stale bytes from before the open");
  ASSERT_TRUE(port_.Connect());
  EXPECT_EQ(pty_.SlaveQueued(), 0u);
}

TEST_F(SerialPortTest, ClosedPortDoesNothing) {
  const std::uint8_t ack[] = {'O', 'K', '\r', '\n'};
  EXPECT_EQ(port_.SendData(ack, 4), 0u);
  port_.SetDTR(true);
  port_.Poll();
  EXPECT_EQ(pty_.DrainMaster(20), "");
  EXPECT_TRUE(events_.empty());
}

TEST_F(SerialPortTest, PacketIsAcknowledgedWithinTheTickThatDeliversIt) {
  port_.OnReceivePacket = [this](TSerialPort& sender, const std::uint8_t* packet,
                                 std::uint32_t size) {
    events_.emplace_back(reinterpret_cast<const char*>(packet), size);
    const std::uint8_t ack[] = {'O', 'K', '\r', '\n'};
    EXPECT_EQ(sender.SendData(ack, 4), 4u);
  };
  ASSERT_TRUE(port_.Connect());
  const std::string packet = Stream(38);
  Feed(packet);
  ASSERT_TRUE(timer_.Fire());
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0], packet);
  EXPECT_EQ(pty_.ReadMaster(4, 2000), "OK\r\n");
}

TEST_F(SerialPortTest, ThrowingHandlerDoesNotCostTheFollowingPackets) {
  port_.OnReceivePacket = [this](TSerialPort&, const std::uint8_t* packet, std::uint32_t size) {
    events_.emplace_back(reinterpret_cast<const char*>(packet), size);
    if (events_.size() == 1) throw std::runtime_error("handler failed");
  };
  ASSERT_TRUE(port_.Connect());
  const std::string stream = Stream(76);
  Feed(stream);
  EXPECT_THROW(timer_.Fire(), std::runtime_error);
  ASSERT_EQ(events_.size(), 2u);
  EXPECT_EQ(events_[1], stream.substr(38));
  EXPECT_FALSE(port_.PacketStartTime().has_value());
  EXPECT_EQ(pty_.SlaveQueued(), 0u);
}

// Ticks that end early must still ask for the next one: no arrival may come
// to bring it.
TEST_F(SerialPortTest, TicksThatEndEarlyStillAskForTheNextWakeUp) {
  port_.OnReceivePacket = [](TSerialPort&, const std::uint8_t*, std::uint32_t) {
    throw std::runtime_error("handler failed");
  };
  ASSERT_TRUE(port_.Connect());
  Feed(Stream(50));
  EXPECT_THROW(timer_.Fire(), std::runtime_error);
  EXPECT_EQ(timer_.WakeDelay(), 5u) << "the 12 bytes left are looked at again";

  timer_.CancelWake();
  serial_faults::Fail("ioctl(FIONREAD)", EINVAL);  // a failure that is no lost device
  ASSERT_TRUE(timer_.Fire());
  EXPECT_TRUE(port_.LineUp());
  EXPECT_EQ(timer_.WakeDelay(), 5u) << "the count is tried again at the period";
  ASSERT_TRUE(timer_.FireWake());
  EXPECT_EQ(port_.PacketStartTime(), clock_.NowTick());
}

TEST_F(SerialPortTest, LineStatusCheckStopsWhenNoLineSignalIsOn) {
  port_.SetCheckLineStatus(true);
  ASSERT_TRUE(port_.Connect());
  const std::uint8_t ack[] = {'O', 'K', '\r', '\n'};
  // A pseudo-terminal has no modem lines, so no signal is on.
  EXPECT_EQ(port_.SendData(ack, 4), 0u);
  EXPECT_EQ(pty_.DrainMaster(20), "");
}

TEST_F(SerialPortTest, SendDataWritesLargeBlocksCompletely) {
  ASSERT_TRUE(port_.Connect());
  const std::string block = Stream(3000);  // more than OutBufSize in one call
  std::string seen;
  std::uint32_t sent = port_.SendData(reinterpret_cast<const std::uint8_t*>(block.data()),
                                      static_cast<std::uint32_t>(block.size()));
  seen = pty_.ReadMaster(block.size(), 2000);
  EXPECT_EQ(sent, block.size());
  EXPECT_EQ(seen, block);
}

// One step of a timing case: at base + at_ms, after `write` more bytes of the
// stream arrived, one tick runs; then `events` deliveries have happened in all,
// the pending packet's start time is start_ms (relative to base) or unset, and
// the next tick is asked for at wake_ms (relative to base) or not at all.
struct Step {
  std::uint32_t at_ms;
  std::size_t write;
  std::size_t events;
  std::optional<std::uint32_t> start_ms;
  std::optional<std::uint32_t> wake_ms;
};
// A delivery: size bytes from offset of the stream.
struct Slice {
  std::size_t offset;
  std::size_t size;
};
struct CuttingCase {
  const char* name;
  std::vector<Step> steps;
  std::vector<Slice> expected;
  TPacketMode mode = pmPass;
  std::int32_t timeout = 100;
  std::uint32_t base = 1000;
};

void PrintTo(const CuttingCase& c, std::ostream* os) { *os << c.name; }

class PacketCuttingTest : public SerialPortTest,
                          public ::testing::WithParamInterface<CuttingCase> {};

TEST_P(PacketCuttingTest, DeliversByTheRules) {
  const CuttingCase& c = GetParam();
  port_.SetPacketMode(c.mode);
  port_.SetPacketTimeout(c.timeout);
  clock_.Set(c.base);
  ASSERT_TRUE(port_.Connect());
  std::size_t total = 0;
  for (const Step& s : c.steps) total += s.write;
  const std::string stream = Stream(total);
  std::size_t written = 0;
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const Step& s = c.steps[i];
    SCOPED_TRACE("step " + std::to_string(i));
    clock_.Set(c.base + s.at_ms);
    if (s.write > 0) Feed(stream.substr(written, s.write));
    written += s.write;
    ASSERT_TRUE(timer_.Fire());
    EXPECT_EQ(events_.size(), s.events);
    std::optional<std::uint32_t> expected_start;
    if (s.start_ms) expected_start = c.base + *s.start_ms;
    EXPECT_EQ(port_.PacketStartTime(), expected_start);
    std::optional<std::uint32_t> wake_at;
    if (timer_.WakeDelay()) wake_at = clock_.NowTick() + *timer_.WakeDelay();
    std::optional<std::uint32_t> expected_wake;
    if (s.wake_ms) expected_wake = c.base + *s.wake_ms;
    EXPECT_EQ(wake_at, expected_wake);
  }
  ASSERT_EQ(events_.size(), c.expected.size());
  for (std::size_t i = 0; i < c.expected.size(); ++i)
    EXPECT_EQ(events_[i], stream.substr(c.expected[i].offset, c.expected[i].size)) << i;
}

const std::optional<std::uint32_t> kUnset;
const std::optional<std::uint32_t> kNoWake;

INSTANTIATE_TEST_SUITE_P(
    Cases, PacketCuttingTest,
    ::testing::Values(
        CuttingCase{"38_at_one_tick", {{0, 38, 1, kUnset, kNoWake}}, {{0, 38}}},
        CuttingCase{"76_at_one_tick", {{0, 76, 2, kUnset, kNoWake}}, {{0, 38}, {38, 38}}},
        CuttingCase{"packet_over_several_ticks",
                    {{0, 10, 0, 0, 101},
                     {5, 10, 0, 0, 101},
                     {10, 0, 0, 0, 101},
                     {15, 10, 0, 0, 101},
                     {40, 8, 1, kUnset, kNoWake}},
                    {{0, 38}}},
        CuttingCase{"50_with_start_set",
                    {{0, 10, 0, 0, 101},
                     {30, 40, 1, 40, 141},
                     {140, 0, 1, 40, 141},
                     {141, 0, 2, kUnset, kNoWake}},
                    {{0, 38}, {38, 12}}},
        // The rest of a tick's bytes are looked at again one period later,
        // where the start time is taken.
        CuttingCase{"50_with_start_unset",
                    {{0, 50, 1, kUnset, 5},
                     {5, 0, 1, 5, 106},
                     {105, 0, 1, 5, 106},
                     {106, 0, 2, kUnset, kNoWake}},
                    {{0, 38}, {38, 12}}},
        CuttingCase{"20_then_silence",
                    {{0, 20, 0, 0, 101}, {100, 0, 0, 0, 101}, {101, 0, 1, kUnset, kNoWake}},
                    {{0, 20}}},
        CuttingCase{"20_then_18",
                    {{0, 20, 0, 0, 101}, {60, 18, 1, kUnset, kNoWake}},
                    {{0, 38}}},
        CuttingCase{"20_then_30",
                    {{0, 20, 0, 0, 101},
                     {60, 30, 1, 40, 141},
                     {140, 0, 1, 40, 141},
                     {141, 0, 2, kUnset, kNoWake}},
                    {{0, 38}, {38, 12}}},
        // A tick that comes late finds the fragment overdue: passed on at once.
        CuttingCase{"late_tick_after_a_run_of_packets",
                    {{0, 10, 0, 0, 101}, {500, 40, 1, 40, 500}, {500, 0, 2, kUnset, kNoWake}},
                    {{0, 38}, {38, 12}}},
        CuttingCase{"fragment_passed_is_not_joined_with_later_bytes",
                    {{0, 20, 0, 0, 101},
                     {101, 0, 1, kUnset, kNoWake},
                     {110, 38, 2, kUnset, kNoWake}},
                    {{0, 20}, {20, 38}}},
        CuttingCase{"discarded_fragment_is_dropped",
                    {{0, 20, 0, 0, 101},
                     {101, 0, 0, kUnset, kNoWake},
                     {110, 38, 1, kUnset, kNoWake}},
                    {{20, 38}},
                    pmDiscard},
        CuttingCase{"no_timeout_waits_for_the_rest",
                    {{0, 20, 0, 0, kNoWake},
                     {60000, 0, 0, 0, kNoWake},
                     {60005, 18, 1, kUnset, kNoWake}},
                    {{0, 38}},
                    pmPass,
                    0},
        CuttingCase{"timeout_across_the_tick_wrap",
                    {{0, 20, 0, 0, 101}, {100, 0, 0, 0, 101}, {101, 0, 1, kUnset, kNoWake}},
                    {{0, 20}},
                    pmPass,
                    100,
                    0xFFFFFFC0u},
        CuttingCase{"line_noise_then_a_packet",
                    {{0, 3, 0, 0, 101},
                     {101, 0, 1, kUnset, kNoWake},
                     {120, 38, 2, kUnset, kNoWake}},
                    {{0, 3}, {3, 38}}}),
    [](const ::testing::TestParamInfo<CuttingCase>& info) { return info.param.name; });

TEST_F(SerialPortTest, RawModeDeliversWhatIsQueued) {
  port_.SetPacketSize(0);
  std::vector<std::string> raw;
  port_.OnReceiveData = [&](TSerialPort&, const std::uint8_t* data, std::uint32_t size) {
    raw.emplace_back(reinterpret_cast<const char*>(data), size);
  };
  ASSERT_TRUE(port_.Connect());
  Feed("abc");
  ASSERT_TRUE(timer_.Fire());
  EXPECT_TRUE(events_.empty());
  EXPECT_EQ(raw, std::vector<std::string>{"abc"});
}

// The station's adapter named by a stable link in [ComPorts], as
// /dev/serial/by-id/ names it: when the adapter is unplugged and comes back,
// the link points at its new device.
class SerialLineLossTest : public SerialPortTest {
protected:
  SerialLineLossTest() {
    EXPECT_TRUE(pty_.LinkAt(link_));
    dir_.Write("drvvzt.ini", "[ComPorts]\nCOM5=" + link_ + "\n");
    port_.OnLineLost = [this](TSerialPort& sender, const SysError& cause) {
      EXPECT_EQ(&sender, &port_);
      EXPECT_FALSE(sender.LineUp());
      losses_.push_back(cause);
    };
    port_.OnLineRestored = [this](TSerialPort& sender) {
      EXPECT_TRUE(sender.LineUp());
      restored_paths_.push_back(sender.DevicePath());
    };
  }

  // Loses the line the way an unplugged adapter does, and checks the port
  // stayed open for the driver, asleep until the next attempt to reopen.
  void Unplug() {
    pty_.CloseMaster();
    ASSERT_TRUE(timer_.Fire());
    ASSERT_EQ(losses_.size(), 1u);
    ASSERT_FALSE(port_.LineUp());
    ASSERT_TRUE(port_.Connected());
    ASSERT_NO_FATAL_FAILURE(ExpectAwaitingTheDevice());
  }

  // No descriptor watched, one wake-up per attempt to reopen.
  void ExpectAwaitingTheDevice() {
    ASSERT_TRUE(timer_.Running());
    EXPECT_EQ(timer_.WatchedFd(), -1);
    EXPECT_EQ(timer_.WakeDelay(), TSerialPort::kReopenIntervalMs);
  }

  // Back to polling on arrivals, with no wake-up while the line is idle.
  void ExpectPollingAgain() {
    EXPECT_GE(timer_.WatchedFd(), 0);
    EXPECT_EQ(timer_.WakeDelay(), std::nullopt);
  }

  const std::string link_ = dir_.File("station-line");
  std::vector<SysError> losses_;
  std::vector<std::string> restored_paths_;
};

TEST_F(SerialLineLossTest, UnpluggedAdapterIsReopenedWhenItComesBackAtTheSamePath) {
  port_.OnReceivePacket = [this](TSerialPort& sender, const std::uint8_t* packet,
                                 std::uint32_t size) {
    events_.emplace_back(reinterpret_cast<const char*>(packet), size);
    const std::uint8_t ack[] = {'O', 'K', '\r', '\n'};
    EXPECT_EQ(sender.SendData(ack, 4), 4u);
  };
  ASSERT_TRUE(port_.Connect());
  Feed(Stream(20));  // a packet cut short by the unplugging
  ASSERT_TRUE(timer_.Fire());
  ASSERT_TRUE(port_.PacketStartTime().has_value());

  ASSERT_NO_FATAL_FAILURE(Unplug());
  EXPECT_TRUE(DeviceGone(losses_[0])) << losses_[0].Text();
  EXPECT_EQ(losses_[0].path, link_);
  EXPECT_EQ(port_.DevicePath(), "");
  EXPECT_FALSE(port_.PacketStartTime().has_value());
  const std::uint8_t ack[] = {'O', 'K', '\r', '\n'};
  EXPECT_EQ(port_.SendData(ack, 4), 0u);
  port_.SetDTR(false);
  port_.SetBaudRate(br9600);  // a setting while away is kept for the reopen

  // Attempts while the link still points at the dead device fail quietly,
  // each one asking for the wake-up of the next.
  for (int i = 0; i < 3; ++i) {
    clock_.Advance(TSerialPort::kReopenIntervalMs);
    ASSERT_TRUE(timer_.FireWake());
    ASSERT_NO_FATAL_FAILURE(ExpectAwaitingTheDevice());
  }
  EXPECT_FALSE(port_.LineUp());
  EXPECT_FALSE(port_.LastError().ok());
  EXPECT_EQ(losses_.size(), 1u) << "one loss, however many failed attempts";
  EXPECT_TRUE(restored_paths_.empty());

  PtyPair replugged;
  ASSERT_TRUE(replugged.ok());
  ASSERT_TRUE(replugged.LinkAt(link_));
  clock_.Advance(TSerialPort::kReopenIntervalMs);
  ASSERT_TRUE(timer_.FireWake());
  ASSERT_TRUE(port_.LineUp());
  EXPECT_EQ(restored_paths_, std::vector<std::string>{link_});
  ExpectPollingAgain();
  EXPECT_TRUE(port_.LastError().ok());

  const std::string packet = Stream(38);
  ASSERT_TRUE(replugged.WriteMaster(packet));
  ASSERT_TRUE(replugged.WaitSlaveQueued(packet.size(), 2000));
  ASSERT_TRUE(timer_.Fire());
  EXPECT_EQ(events_, std::vector<std::string>{packet}) << "the fragment from before is gone";
  EXPECT_EQ(replugged.ReadMaster(4, 2000), "OK\r\n");
  EXPECT_EQ(losses_.size(), 1u);
  EXPECT_EQ(restored_paths_.size(), 1u);
}

TEST_F(SerialLineLossTest, NoAttemptBeforeTheIntervalHasPassed) {
  ASSERT_TRUE(port_.Connect());
  ASSERT_NO_FATAL_FAILURE(Unplug());
  PtyPair replugged;
  ASSERT_TRUE(replugged.ok());
  ASSERT_TRUE(replugged.LinkAt(link_));  // back at once: only the clock holds it off
  clock_.Advance(TSerialPort::kReopenIntervalMs - 1);
  ASSERT_TRUE(timer_.Fire());
  ASSERT_TRUE(timer_.Fire());
  EXPECT_FALSE(port_.LineUp());
  EXPECT_EQ(timer_.WakeDelay(), 1u) << "an early tick asks for the rest of the wait";
  clock_.Advance(1);
  ASSERT_TRUE(timer_.FireWake());
  EXPECT_TRUE(port_.LineUp());
}

TEST_F(SerialLineLossTest, DisconnectWhileAwayEndsTheAttempts) {
  ASSERT_TRUE(port_.Connect());
  ASSERT_NO_FATAL_FAILURE(Unplug());
  port_.Disconnect();
  EXPECT_FALSE(port_.Connected());
  EXPECT_FALSE(timer_.Running());

  PtyPair replugged;
  ASSERT_TRUE(replugged.ok());
  ASSERT_TRUE(replugged.LinkAt(link_));
  clock_.Advance(TSerialPort::kReopenIntervalMs);
  EXPECT_FALSE(timer_.Fire());
  EXPECT_TRUE(restored_paths_.empty());
  EXPECT_EQ(port_.DevicePath(), "");

  SerialDevice other;
  EXPECT_TRUE(other.Open(link_).ok()) << "the component must not hold the device";
  other.Close();
  ASSERT_TRUE(port_.Connect());
  EXPECT_TRUE(restored_paths_.empty()) << "a Connect is no restoration";
}

TEST_F(SerialLineLossTest, ConnectOrAwaitWaitsOnlyForADeviceThatIsNotThereYet) {
  ASSERT_TRUE(std::filesystem::remove(link_));  // the adapter is not plugged in yet
  serial_faults::Fail("open", EACCES);
  EXPECT_FALSE(port_.ConnectOrAwait()) << "no permission will not go away by waiting";
  EXPECT_FALSE(port_.Connected());
  EXPECT_FALSE(timer_.Running());

  ASSERT_TRUE(port_.ConnectOrAwait());
  EXPECT_TRUE(port_.Connected());
  EXPECT_FALSE(port_.LineUp());
  EXPECT_EQ(OpenCauseOf(port_.LastError()), SerialOpenCause::kNoDevice);
  ASSERT_NO_FATAL_FAILURE(ExpectAwaitingTheDevice());
  EXPECT_TRUE(losses_.empty()) << "nothing was lost: it never was there";

  ASSERT_TRUE(pty_.LinkAt(link_));
  clock_.Advance(TSerialPort::kReopenIntervalMs);
  ASSERT_TRUE(timer_.FireWake());
  EXPECT_TRUE(port_.LineUp());
  EXPECT_EQ(restored_paths_, std::vector<std::string>{link_});
  ExpectPollingAgain();
}

// Each way a vanished device can show itself, from the poll or from a write.
TEST_F(SerialLineLossTest, EverySignOfAVanishedDeviceLosesTheLineOnce) {
  struct Case {
    const char* what;
    const char* armed_call;  // nullptr: the station's end is closed instead
    int armed_errno;
    bool by_write;
    const char* call;
  };
  const Case cases[] = {
      {"hang-up seen by the poll", nullptr, 0, false, "poll"},
      {"write after the hang-up", nullptr, 0, true, "write"},
      {"read fails", "read", EIO, false, "read"},
      {"queue count fails", "ioctl(FIONREAD)", ENODEV, false, "ioctl(FIONREAD)"},
      {"write fails", "write", EIO, true, "write"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PtyPair line;
    ASSERT_TRUE(line.ok());
    ASSERT_TRUE(line.LinkAt(link_));
    losses_.clear();
    ASSERT_TRUE(port_.Connect());
    if (c.armed_call) {
      serial_faults::Fail(c.armed_call, c.armed_errno);
      // A whole packet, so that the poll reads.
      ASSERT_TRUE(line.WriteMaster(Stream(38)));
      ASSERT_TRUE(line.WaitSlaveQueued(38, 2000));
    } else {
      line.CloseMaster();
    }
    if (c.by_write) {
      const std::uint8_t ack[] = {'O', 'K', '\r', '\n'};
      EXPECT_EQ(port_.SendData(ack, 4), 0u);
    } else {
      ASSERT_TRUE(timer_.Fire());
    }
    ASSERT_EQ(losses_.size(), 1u);
    EXPECT_EQ(losses_[0].call, c.call);
    EXPECT_TRUE(DeviceGone(losses_[0])) << losses_[0].Text();
    EXPECT_TRUE(port_.Connected());
    ASSERT_NO_FATAL_FAILURE(ExpectAwaitingTheDevice());
    ASSERT_TRUE(timer_.Fire());
    EXPECT_EQ(losses_.size(), 1u);
    port_.Disconnect();
    serial_faults::Clear();
  }
}

// The owner may end the port from its loss handler (the operator's choice,
// shutdown); the component must not go on retrying behind its back.
TEST_F(SerialLineLossTest, DisconnectFromTheLossHandlerHolds) {
  port_.OnLineLost = [this](TSerialPort& sender, const SysError&) { sender.Disconnect(); };
  ASSERT_TRUE(port_.Connect());
  pty_.CloseMaster();
  ASSERT_TRUE(timer_.Fire());
  EXPECT_FALSE(port_.Connected());
  EXPECT_FALSE(timer_.Running());
}

class SendTimeoutTest : public SerialPortTest {
protected:
  SendTimeoutTest() : SerialPortTest(&stepping_) {}
  static SteppingTickClock stepping_;
};
SteppingTickClock SendTimeoutTest::stepping_;

TEST_F(SendTimeoutTest, GivesUpWhenTheLineTakesNothingMore) {
  ASSERT_TRUE(port_.Connect());
  // Nobody reads the station's end, so the pty fills up and stops taking bytes.
  const std::string block = Stream(1 << 20);
  std::uint32_t sent = port_.SendData(reinterpret_cast<const std::uint8_t*>(block.data()),
                                      static_cast<std::uint32_t>(block.size()));
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, block.size());
}

TEST(SerialPortSetters, ClampAndLink) {
  ManualPollTimer timer;
  testing::FakeTickClock clock;
  TSerialPort port(timer, clock);
  EXPECT_EQ(port.PacketSize(), -1);
  EXPECT_EQ(port.PacketTimeout(), -1);
  EXPECT_EQ(port.PacketMode(), pmDiscard);
  EXPECT_EQ(port.PollingDelay(), 50u);
  EXPECT_EQ(port.HwFlow(), hfNONERTSON);
  EXPECT_EQ(port.OutputTimeout(), 500u);
  EXPECT_EQ(port.InBufSize(), 2048u);

  struct U16Case { std::uint16_t in, out; };
  for (U16Case c : {U16Case{3, 5}, U16Case{0, 5}, U16Case{5, 5}, U16Case{6, 6}}) {
    port.SetPollingDelay(c.in);
    EXPECT_EQ(port.PollingDelay(), c.out) << c.in;
  }
  struct I32Case { std::int32_t in, out; };
  for (I32Case c : {I32Case{0, -1}, I32Case{-7, -1}, I32Case{1, 1}, I32Case{100, 100}}) {
    port.SetPacketTimeout(c.in);
    EXPECT_EQ(port.PacketTimeout(), c.out) << c.in;
  }
  struct BufCase { std::uint32_t in, out; };
  for (BufCase c : {BufCase{0, 128}, BufCase{127, 128}, BufCase{4096, 4096}, BufCase{9000, 8192}}) {
    port.SetInBufSize(c.in);
    EXPECT_EQ(port.InBufSize(), c.out) << c.in;
    port.SetOutBufSize(c.in);
    EXPECT_EQ(port.OutBufSize(), c.out) << c.in;
  }
  port.SetInBufSize(128);
  struct PacketCase { std::int16_t in, size; std::uint32_t in_buf; };
  for (PacketCase c : {PacketCase{0, -1, 128}, PacketCase{-5, -1, 128}, PacketCase{38, 38, 128},
                       PacketCase{500, 500, 500}, PacketCase{20000, 8192, 8192}}) {
    port.SetPacketSize(c.in);
    EXPECT_EQ(port.PacketSize(), c.size) << c.in;
    EXPECT_EQ(port.InBufSize(), c.in_buf) << c.in;
  }
  port.SetPacketSize(500);
  port.SetInBufSize(128);  // a packet still fits the buffer
  EXPECT_EQ(port.InBufSize(), 500u);

  port.SetBaudRate(br19200);
  EXPECT_EQ(port.BaudRateValue(), 19200u);
  port.SetBaudRateValue(12345);
  EXPECT_EQ(port.BaudRate(), brCustom);
  port.SetPort(pnCOM3);
  EXPECT_EQ(port.PortName(), "\\\\.\\COM3");
  port.SetPortName("\\\\.\\COM12");
  EXPECT_EQ(port.Port(), pnCustom);
}

TEST(SerialPortSetters, WireTimeRoundsHalvesToEven) {
  ManualPollTimer timer;
  TSerialPort port(timer);
  struct Case { TBaudRate rate; std::uint32_t count, ms; };
  const Case cases[] = {
      {br9600, 38, 40}, {br9600, 1, 1}, {br9600, 12, 12},  // 12.5
      {br9600, 36, 38},                                   // 37.5
      {br4800, 38, 79}, {br115200, 38, 3},
  };
  for (const Case& c : cases) {
    port.SetBaudRate(c.rate);
    EXPECT_EQ(port.PacketWireTime(c.count), c.ms) << c.rate << " " << c.count;
  }
  port.SetBaudRateValue(0);
  EXPECT_EQ(port.PacketWireTime(38), 0u);
}

// A timer that cannot watch the device: the poll runs by its period, and a
// fragment's deadline still comes first when it is nearer.
TEST_F(SerialPortTest, WithoutArrivalsThePollRunsByItsPeriod) {
  ManualPollTimer periodic(/*can_watch=*/false);
  TSerialPort port(periodic, clock_, dir_.File("drvvzt.ini"));
  port.SetPortName("\\\\.\\COM5");
  port.SetHwFlow(hfNONE);
  port.SetPacketSize(38);
  port.SetPacketTimeout(100);
  port.SetPacketMode(pmPass);
  port.SetPollingDelay(5);
  std::vector<std::uint32_t> sizes;
  port.OnReceivePacket = [&](TSerialPort&, const std::uint8_t*, std::uint32_t size) {
    sizes.push_back(size);
  };
  ASSERT_TRUE(port.Connect());
  EXPECT_EQ(periodic.WakeDelay(), 5u);
  ASSERT_TRUE(periodic.FireWake());
  EXPECT_EQ(periodic.WakeDelay(), 5u) << "an idle tick asks for the next period";
  port.SetPollingDelay(20);
  EXPECT_EQ(periodic.WakeDelay(), 20u) << "a new period counts at once";

  Feed(Stream(20));
  ASSERT_TRUE(periodic.FireWake());
  EXPECT_EQ(periodic.WakeDelay(), 20u);
  clock_.Advance(90);
  ASSERT_TRUE(periodic.FireWake());
  EXPECT_EQ(periodic.WakeDelay(), 11u) << "the deadline is nearer than the period";
  clock_.Advance(11);
  ASSERT_TRUE(periodic.FireWake());
  EXPECT_EQ(sizes, std::vector<std::uint32_t>{20});
  EXPECT_EQ(periodic.WakeDelay(), 20u);
}

TEST_F(SerialPortTest, SettersWhileOpen) {
  ASSERT_TRUE(port_.Connect());
  port_.SetInBufSize(4096);
  port_.SetOutBufSize(4096);
  EXPECT_EQ(port_.InBufSize(), 2048u);
  EXPECT_EQ(port_.OutBufSize(), 2048u);

  port_.SetPollingDelay(20);
  EXPECT_EQ(port_.PollingDelay(), 20u);
  EXPECT_EQ(timer_.WakeDelay(), std::nullopt) << "arrivals tick the poll, not a period";
  EXPECT_TRUE(timer_.Running());

  // A line setting re-applies at once, which drops the queues.
  Feed(Stream(10));
  ASSERT_TRUE(timer_.Fire());
  ASSERT_TRUE(port_.PacketStartTime().has_value());
  port_.SetBaudRate(br19200);
  EXPECT_FALSE(port_.PacketStartTime().has_value());
  EXPECT_EQ(pty_.SlaveQueued(), 0u);
}

}  // namespace
}  // namespace drvvzt
