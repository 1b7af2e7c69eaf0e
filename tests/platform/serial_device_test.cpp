// The termios device layer and the COMn name mapping, on real pseudo-terminals.
#include "platform/serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/serial_port_names.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

using testing::PtyPair;
using testing::TempDir;

TEST(SerialDeviceOpen, FailsOnWhatCannotBeASerialLine) {
  TempDir dir;
  dir.Write("plain.txt", "not a terminal");
  struct Case {
    std::string path;
    SerialError expected;
  };
  const Case cases[] = {
      {dir.File("missing-device"), SerialError::kNotFound},
      {"", SerialError::kNotFound},
      {dir.File("plain.txt"), SerialError::kNotSerial},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    SerialDevice device;
    EXPECT_EQ(device.Open(c.path), c.expected);
    EXPECT_FALSE(device.IsOpen());
  }
}

TEST(SerialDeviceOpen, IsExclusiveWithinThisProcessAndReleasedOnClose) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice first;
  ASSERT_EQ(first.Open(pty.slave_path()), SerialError::kOk);
  SerialDevice second;
  EXPECT_EQ(second.Open(pty.slave_path()), SerialError::kBusy);
  EXPECT_FALSE(second.IsOpen());

  first.Close();
  EXPECT_EQ(second.Open(pty.slave_path()), SerialError::kOk);
}

TEST(SerialDeviceOpen, FailsWhenAnotherHolderHasLockedTheDevice) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  int other = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  SerialDevice device;
  EXPECT_EQ(device.Open(pty.slave_path()), SerialError::kBusy);
  ::close(other);
}

TEST(SerialDeviceLine, PseudoTerminalTakesTheStationSettingsWithoutModemLines) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice device;
  ASSERT_EQ(device.Open(pty.slave_path()), SerialError::kOk);
  EXPECT_EQ(device.ApplyLineSettings(SerialLineSettings{}), SerialError::kOk);
  EXPECT_EQ(device.FlushBoth(), SerialError::kOk);

  SerialLineSettings odd_speed;
  odd_speed.baud = 14400;
  EXPECT_EQ(device.ApplyLineSettings(odd_speed), SerialError::kUnsupported);
}

TEST(SerialDeviceIo, CountsReadsAndWritesWhatIsQueued) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice device;
  ASSERT_EQ(device.Open(pty.slave_path()), SerialError::kOk);
  ASSERT_EQ(device.ApplyLineSettings(SerialLineSettings{}), SerialError::kOk);

  std::uint8_t buffer[64];
  std::size_t got = 99;
  EXPECT_EQ(device.Read(buffer, sizeof buffer, got), SerialError::kOk);
  EXPECT_EQ(got, 0u) << "an empty queue must not block or fail";

  ASSERT_TRUE(pty.WriteMaster("hello\r\n"));
  ASSERT_TRUE(pty.WaitSlaveQueued(7, 2000));
  std::uint32_t queued = 0;
  EXPECT_EQ(device.InputQueued(queued), SerialError::kOk);
  EXPECT_EQ(queued, 7u);
  EXPECT_EQ(device.Read(buffer, 5, got), SerialError::kOk);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "hello");
  EXPECT_EQ(device.InputQueued(queued), SerialError::kOk);
  EXPECT_EQ(queued, 2u);

  const std::uint8_t ack[] = {'O', 'K', '\r', '\n'};
  std::size_t written = 0;
  EXPECT_EQ(device.Write(ack, sizeof ack, 10, written), SerialError::kOk);
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(pty.ReadMaster(4, 2000), "OK\r\n") << "raw mode: no CR/LF translation";
  EXPECT_EQ(device.OutputQueued(queued), SerialError::kOk);
}

// The arrival descriptor wakes an event loop once per arrival: a partial packet
// left in the queue must not keep it readable (the loop would spin).
TEST(SerialDeviceIo, ArrivalDescriptorReportsEachArrivalOnce) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice device;
  ASSERT_EQ(device.Open(pty.slave_path()), SerialError::kOk);
  ASSERT_EQ(device.ApplyLineSettings(SerialLineSettings{}), SerialError::kOk);
  ASSERT_GE(device.ArrivalFd(), 0);
  const auto readable = [&](int wait_ms) {
    pollfd p{device.ArrivalFd(), POLLIN, 0};
    return ::poll(&p, 1, wait_ms) == 1;
  };
  device.ClearArrival();
  EXPECT_FALSE(readable(0));

  ASSERT_TRUE(pty.WriteMaster("0123456789"));
  EXPECT_TRUE(readable(2000));
  device.ClearArrival();
  EXPECT_FALSE(readable(50)) << "the 10 bytes still queued must not count as a new arrival";

  ASSERT_TRUE(pty.WriteMaster("more"));
  EXPECT_TRUE(readable(2000));
  device.Close();
  EXPECT_EQ(device.ArrivalFd(), -1);
}

TEST(SerialDeviceIo, VanishedDeviceFailsQuietly) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice device;
  ASSERT_EQ(device.Open(pty.slave_path()), SerialError::kOk);
  pty.CloseMaster();

  std::uint8_t buffer[8];
  std::size_t got = 0;
  device.Read(buffer, sizeof buffer, got);
  EXPECT_EQ(got, 0u);
  std::size_t written = 0;
  EXPECT_NE(device.Write(buffer, sizeof buffer, 10, written), SerialError::kOk);
  EXPECT_EQ(written, 0u);
  device.Close();
  EXPECT_FALSE(device.IsOpen());
}

TEST(SerialDeviceIo, ClosedDeviceRefusesEveryCall) {
  SerialDevice device;
  std::uint32_t count = 0;
  std::uint8_t byte = 0;
  std::size_t n = 0;
  ModemLines lines;
  EXPECT_EQ(device.InputQueued(count), SerialError::kClosed);
  EXPECT_EQ(device.OutputQueued(count), SerialError::kClosed);
  EXPECT_EQ(device.Read(&byte, 1, n), SerialError::kClosed);
  EXPECT_EQ(device.Write(&byte, 1, 10, n), SerialError::kClosed);
  EXPECT_EQ(device.SetDtr(true), SerialError::kClosed);
  EXPECT_EQ(device.GetModemLines(lines), SerialError::kClosed);
  EXPECT_EQ(device.ApplyLineSettings(SerialLineSettings{}), SerialError::kClosed);
  device.Close();
}

TEST(SerialPortNames, NamesMapToDevices) {
  TempDir dir;
  dir.Write("drvvzt.ini",
            "[main]\nComPort=COM5\n"
            "[ComPorts]\nCOM5=/dev/serial/by-id/usb-FTDI_station-if00-port0\n"
            "com40 = /dev/pts/7\nCOM6=\n");
  const std::string ini = dir.File("drvvzt.ini");
  struct Case {
    std::string name;
    std::string expected;
  };
  const Case cases[] = {
      {"\\\\.\\COM5", "/dev/serial/by-id/usb-FTDI_station-if00-port0"},
      {"COM40", "/dev/pts/7"},  // keys match in any letter case
      {"\\\\.\\COM6", "/dev/ttyS5"},  // an empty entry falls back
      {"\\\\.\\COM1", "/dev/ttyS0"},
      {"\\\\.\\com8", "/dev/ttyS7"},
      {"\\\\.\\COM9", "/dev/ttyUSB0"},
      {"\\\\.\\COM24", "/dev/ttyUSB15"},
      {"\\\\.\\COM25", "/dev/ttyACM0"},
      {"\\\\.\\COM32", "/dev/ttyACM7"},
      {"\\\\.\\COM33", ""},
      {"\\\\.\\COM0", "COM0"},  // not a COM port number: taken as it stands
      {"\\\\.\\COM05", "COM05"},
      {"/dev/pts/3", "/dev/pts/3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DevicePathForPort(c.name, ini), c.expected);
  }
  EXPECT_EQ(DevicePathForPort("\\\\.\\COM5", dir.File("absent.ini")), "/dev/ttyS4");
}

}  // namespace
}  // namespace drvvzt
