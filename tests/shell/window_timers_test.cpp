// The window's timers keep working through failures: the serial poll goes on
// after a packet handler threw, and records kept in memory while the disk
// refused them are written by the 200 ms tick once it takes them again.
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "shell/main_window.h"
#include "shell/qt_poll_timer.h"
#include "station/serial_port.h"
#include "tests/shell/qt_test_main.h"
#include "tests/shell/window_fixture.h"
#include "tests/support/pty_pair.h"
#include "tools/lib/spool_inspection.h"
#include "tools/lib/station_packet.h"

namespace drvvzt {
namespace {

using testing::PtyPair;
using testing::SpoolFiles;
using testing::StationPacketFor;
using testing::WindowTest;

// The serial component on the window's Qt poll timer, for a pseudo-terminal.
struct QtPolledPort {
  explicit QtPolledPort(std::uint16_t polling_delay_ms) {
    port.SetPortName(pty.slave_path());
    port.SetPacketSize(38);
    port.SetPollingDelay(polling_delay_ms);
  }
  PtyPair pty;
  QtPollTimer timer;
  TSerialPort port{timer};
};

TEST_F(WindowTest, APacketHandlerThatThrowsDoesNotStopThePoll) {
  QtPolledPort line(5);
  ASSERT_TRUE(line.pty.ok());
  auto& pty = line.pty;
  auto& timer = line.timer;
  auto& port = line.port;
  int delivered = 0;
  port.OnReceivePacket = [&](TSerialPort&, const std::uint8_t*, std::uint32_t) {
    ++delivered;
    if (delivered == 1) throw std::runtime_error("handler failed");
  };
  ASSERT_TRUE(port.Connect());
  ASSERT_TRUE(pty.WriteMaster(StationPacketFor(1)));
  ASSERT_TRUE(SpinUntil([&] { return delivered == 1; }));
  ASSERT_TRUE(pty.WriteMaster(StationPacketFor(2)));
  EXPECT_TRUE(SpinUntil([&] { return delivered == 2; }));
  EXPECT_TRUE(timer.Running());
}

// A packet is handled when its bytes arrive, not at the next period of the
// poll timer: with a period of a minute the packet still comes through at once.
TEST_F(WindowTest, ThePollRunsWhenBytesArrive) {
  QtPolledPort line(60000);
  ASSERT_TRUE(line.pty.ok());
  auto& pty = line.pty;
  auto& port = line.port;
  int delivered = 0;
  port.OnReceivePacket = [&](TSerialPort&, const std::uint8_t*, std::uint32_t size) {
    if (size == 38) ++delivered;
  };
  ASSERT_TRUE(port.Connect());
  // Split like a real line delivers it: the first part leaves a partial packet queued.
  const std::string packet = StationPacketFor(3);
  ASSERT_TRUE(pty.WriteMaster(packet.substr(0, 20)));
  ASSERT_TRUE(pty.WaitSlaveQueued(20, 2000));
  ASSERT_TRUE(pty.WriteMaster(packet.substr(20)));
  EXPECT_TRUE(SpinUntil([&] { return delivered == 1; }));
  port.Disconnect();
}

// A fragment that stays short is passed on by the wake-up the component asks
// for at its deadline: no byte arrives to tick the poll, and the period is far
// too long to do it.
TEST_F(WindowTest, AFragmentIsPassedOnAtItsDeadlineOnAQuietLine) {
  QtPolledPort line(60000);
  ASSERT_TRUE(line.pty.ok());
  auto& port = line.port;
  port.SetPacketTimeout(100);
  port.SetPacketMode(pmPass);
  std::vector<std::uint32_t> sizes;
  port.OnReceivePacket = [&](TSerialPort&, const std::uint8_t*, std::uint32_t size) {
    sizes.push_back(size);
  };
  ASSERT_TRUE(port.Connect());
  ASSERT_TRUE(line.pty.WriteMaster(StationPacketFor(4).substr(0, 20)));
  EXPECT_TRUE(SpinUntil([&] { return !sizes.empty(); }));
  EXPECT_EQ(sizes, std::vector<std::uint32_t>{20});
  port.Disconnect();
}

}  // namespace
}  // namespace drvvzt

DRVVZT_QT_TEST_MAIN
