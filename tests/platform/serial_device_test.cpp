// The termios device layer, its failures and their causes, and the COMn name
// mapping, on real pseudo-terminals.
#include "platform/serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/serial_port_names.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

using testing::PtyPair;
using testing::TempDir;

// Arms failures through the system-call table and drops what a failing test
// left armed, so it cannot leak into the next test.
class SerialFaults : public ::testing::Test {
protected:
  ~SerialFaults() override { serial_faults::Clear(); }
};

TEST(SysErrorText, NamesTheCallThePathAndTheSystemText) {
  struct Case {
    SysError error;
    std::string text;
  };
  const Case cases[] = {
      {SysError::Of(EACCES, "open", "/dev/ttyUSB0"), "open /dev/ttyUSB0: Permission denied"},
      {SysError::Of(EIO, "read", ""), "read: Input/output error"},
      {SysError::Of(ENOENT, "", ""), "No such file or directory"},
      {SysError{}, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.Text(), c.text);
    EXPECT_EQ(c.error.ok(), c.text.empty());
  }
}

TEST(SerialOpenCauses, FollowTheFailedCallAndErrno) {
  struct Case {
    int error_number;
    const char* call;
    SerialOpenCause cause;
  };
  const Case cases[] = {
      {0, "", SerialOpenCause::kNone},
      {ENOENT, "open", SerialOpenCause::kNoDevice},
      {ENODEV, "open", SerialOpenCause::kNoDevice},
      {ENXIO, "open", SerialOpenCause::kNoDevice},
      {EACCES, "open", SerialOpenCause::kPermission},
      {EPERM, "open", SerialOpenCause::kPermission},
      {EBUSY, "open", SerialOpenCause::kBusy},  // TIOCEXCL held by someone else
      {EWOULDBLOCK, "flock", SerialOpenCause::kBusy},
      {EBUSY, "ioctl(TIOCEXCL)", SerialOpenCause::kBusy},
      {EIO, "tcsetattr", SerialOpenCause::kLineSettings},
      {EINVAL, "tcsetattr", SerialOpenCause::kLineSettings},  // settings that did not take
      {ENOTTY, "tcgetattr", SerialOpenCause::kLineSettings},
      {EINVAL, "cfsetspeed", SerialOpenCause::kLineSettings},
      {ENOTTY, "isatty", SerialOpenCause::kOther},
      {EIO, "open", SerialOpenCause::kOther},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.error_number));
    EXPECT_EQ(OpenCauseOf(SysError::Of(c.error_number, c.call, "/dev/ttyUSB0")), c.cause);
  }
}

TEST(SerialOpenCauses, EachHasItsOwnTextsAndTheMessageKeepsTheSystemError) {
  const SerialOpenCause causes[] = {
      SerialOpenCause::kNoDevice, SerialOpenCause::kPermission, SerialOpenCause::kBusy,
      SerialOpenCause::kLineSettings, SerialOpenCause::kOther};
  std::set<std::string> english, russian;
  for (SerialOpenCause cause : causes) {
    english.insert(OpenCauseText(cause));
    russian.insert(OpenCauseTextRu(cause));
  }
  EXPECT_EQ(english.size(), std::size(causes));
  EXPECT_EQ(russian.size(), std::size(causes));
  EXPECT_NE(std::string(OpenCauseTextRu(SerialOpenCause::kPermission)).find("dialout"),
            std::string::npos);

  EXPECT_EQ(OpenFailureMessage(SysError::Of(EACCES, "open", "/dev/ttyUSB0")),
            "permission denied, add the user to group dialout "
            "(open /dev/ttyUSB0: Permission denied)");
}

// What each kind of unusable device gives from Open, on real files and
// pseudo-terminals where the system can produce the failure, through the
// system-call table where it cannot (the tests run as root).
TEST_F(SerialFaults, OpenReportsTheCallThePathAndTheCause) {
  TempDir dir;
  dir.Write("plain.txt", "not a terminal");
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  int holder = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  PtyPair free_pty;
  ASSERT_TRUE(free_pty.ok());

  struct Case {
    const char* what;
    std::string path;
    const char* armed_call;  // nullptr: nothing armed
    int armed_errno;
    const char* call;
    SerialOpenCause cause;
  };
  const Case cases[] = {
      {"missing", dir.File("missing-device"), nullptr, 0, "open", SerialOpenCause::kNoDevice},
      {"empty name", "", nullptr, 0, "open", SerialOpenCause::kNoDevice},
      {"plain file", dir.File("plain.txt"), nullptr, 0, "isatty", SerialOpenCause::kOther},
      {"locked by another holder", pty.slave_path(), nullptr, 0, "flock",
       SerialOpenCause::kBusy},
      {"no permission", free_pty.slave_path(), "open", EACCES, "open",
       SerialOpenCause::kPermission},
      {"exclusive mode held", free_pty.slave_path(), "open", EBUSY, "open",
       SerialOpenCause::kBusy},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.armed_call) serial_faults::Fail(c.armed_call, c.armed_errno);
    SerialDevice device;
    SysError error = device.Open(c.path);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(error.call, c.call);
    EXPECT_EQ(error.path, c.path);
    EXPECT_EQ(OpenCauseOf(error), c.cause) << error.Text();
  }
  ::close(holder);
  SerialDevice device;
  EXPECT_TRUE(device.Open(free_pty.slave_path()).ok()) << "every armed failure was used up";
}

TEST(SerialDeviceOpen, IsExclusiveWithinThisProcessAndReleasedOnClose) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice first;
  ASSERT_TRUE(first.Open(pty.slave_path()).ok());
  SerialDevice second;
  EXPECT_EQ(OpenCauseOf(second.Open(pty.slave_path())), SerialOpenCause::kBusy);
  EXPECT_FALSE(second.IsOpen());

  first.Close();
  EXPECT_TRUE(second.Open(pty.slave_path()).ok());
}

TEST_F(SerialFaults, RefusedLineSettingsNameTheirCall) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice device;
  ASSERT_TRUE(device.Open(pty.slave_path()).ok());
  EXPECT_TRUE(device.ApplyLineSettings(SerialLineSettings{}).ok());
  EXPECT_TRUE(device.FlushBoth().ok());

  SerialLineSettings odd_speed;
  odd_speed.baud = 14400;
  SysError error = device.ApplyLineSettings(odd_speed);
  EXPECT_EQ(OpenCauseOf(error), SerialOpenCause::kLineSettings) << error.Text();

  serial_faults::Fail("tcsetattr", EIO);
  error = device.ApplyLineSettings(SerialLineSettings{});
  EXPECT_EQ(error.Text(), "tcsetattr " + pty.slave_path() + ": Input/output error");
  EXPECT_EQ(OpenCauseOf(error), SerialOpenCause::kLineSettings);
}

TEST(SerialDeviceIo, CountsReadsAndWritesWhatIsQueued) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice device;
  ASSERT_TRUE(device.Open(pty.slave_path()).ok());
  ASSERT_TRUE(device.ApplyLineSettings(SerialLineSettings{}).ok());

  std::uint8_t buffer[64];
  std::size_t got = 99;
  EXPECT_TRUE(device.Read(buffer, sizeof buffer, got).ok());
  EXPECT_EQ(got, 0u) << "an empty queue must not block or fail";

  ASSERT_TRUE(pty.WriteMaster("hello\r\n"));
  ASSERT_TRUE(pty.WaitSlaveQueued(7, 2000));
  std::uint32_t queued = 0;
  EXPECT_TRUE(device.InputQueued(queued).ok());
  EXPECT_EQ(queued, 7u);
  EXPECT_TRUE(device.Read(buffer, 5, got).ok());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "hello");
  EXPECT_TRUE(device.InputQueued(queued).ok());
  EXPECT_EQ(queued, 2u);

  const std::uint8_t ack[] = {'O', 'K', '\r', '\n'};
  std::size_t written = 0;
  EXPECT_TRUE(device.Write(ack, sizeof ack, 10, written).ok());
  EXPECT_EQ(written, 4u);
  EXPECT_EQ(pty.ReadMaster(4, 2000), "OK\r\n") << "raw mode: no CR/LF translation";
  EXPECT_TRUE(device.OutputQueued(queued).ok());
  EXPECT_TRUE(device.CheckHangUp().ok()) << "a line with its other end open is not hung up";
}

// The arrival descriptor wakes an event loop once per arrival: a partial packet
// left in the queue must not keep it readable (the loop would spin).
TEST(SerialDeviceIo, ArrivalDescriptorReportsEachArrivalOnce) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice device;
  ASSERT_TRUE(device.Open(pty.slave_path()).ok());
  ASSERT_TRUE(device.ApplyLineSettings(SerialLineSettings{}).ok());
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

// The station's end closed is what an unplugged adapter looks like: a hang-up,
// and writes that fail for good.
TEST(SerialDeviceIo, VanishedDeviceReportsAHangUpAndFailedWrites) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  SerialDevice device;
  ASSERT_TRUE(device.Open(pty.slave_path()).ok());
  pty.CloseMaster();

  SysError hang_up = device.CheckHangUp();
  EXPECT_TRUE(DeviceGone(hang_up)) << hang_up.Text();
  EXPECT_EQ(hang_up.path, pty.slave_path());

  std::uint8_t buffer[8] = {};
  std::size_t written = 0;
  SysError write_error = device.Write(buffer, sizeof buffer, 10, written);
  EXPECT_TRUE(DeviceGone(write_error)) << write_error.Text();
  EXPECT_EQ(write_error.call, "write");
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
  const SysError errors[] = {
      device.InputQueued(count),
      device.OutputQueued(count),
      device.Read(&byte, 1, n),
      device.Write(&byte, 1, 10, n),
      device.SetDtr(true),
      device.GetModemLines(lines),
      device.ApplyLineSettings(SerialLineSettings{}),
      device.FlushBoth(),
      device.CheckHangUp(),
  };
  for (const SysError& error : errors) {
    EXPECT_EQ(error.error_number, EBADF) << error.call;
    EXPECT_FALSE(DeviceGone(error)) << "a closed device is not a vanished one";
  }
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
