// termios implementation of the serial device layer.
#include "platform/serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/retry_eintr.h"

namespace drvvzt {
namespace {

using platform_detail::RetryEintr;

// --- The system-call table ------------------------------------------------
//
// Tests run as root, where no file refuses an open for lack of permission, and
// a vanished USB adapter cannot be staged on demand. So each system call is
// made through SystemCall(name, ...), which first asks whether a test has
// armed a failure for that name. The check costs one relaxed atomic load
// while nothing is armed.

struct ArmedFailure {
  std::string call;
  int error_number;
  int after;
  int times;
};

std::mutex g_faults_mutex;
std::vector<ArmedFailure> g_faults;  // guarded by g_faults_mutex
std::atomic<bool> g_faults_armed{false};

bool TakeArmedFailure(std::string_view call, int& error_number) {
  if (!g_faults_armed.load(std::memory_order_relaxed)) return false;
  std::lock_guard lock(g_faults_mutex);
  auto it = std::find_if(g_faults.begin(), g_faults.end(),
                         [&](const ArmedFailure& f) { return f.call == call; });
  if (it == g_faults.end()) return false;
  if (it->after > 0) {
    --it->after;
    return false;
  }
  error_number = it->error_number;
  if (--it->times <= 0) g_faults.erase(it);
  g_faults_armed.store(!g_faults.empty(), std::memory_order_relaxed);
  return true;
}

// Runs call (retrying EINTR) unless a failure is armed for name; then it
// returns -1 with errno set as the system would.
template <typename Call>
auto SystemCall(std::string_view name, Call call) -> decltype(call()) {
  int injected = 0;
  if (TakeArmedFailure(name, injected)) {
    errno = injected;
    return -1;
  }
  return RetryEintr(call);
}

SysError FailOn(std::string_view call, const std::string& path) {
  const int saved = errno;
  return SysError::Of(saved, call, path);
}

// --- Line settings --------------------------------------------------------

bool SpeedFor(std::uint32_t baud, speed_t& speed) {
  struct Entry { std::uint32_t bits; speed_t code; };
  static constexpr Entry kSpeeds[] = {
      {50, B50},         {75, B75},         {110, B110},       {134, B134},
      {150, B150},       {200, B200},       {300, B300},       {600, B600},
      {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
      {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
      {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
      {576000, B576000}, {921600, B921600}, {1000000, B1000000},
  };
  for (const Entry& entry : kSpeeds) {
    if (entry.bits == baud) {
      speed = entry.code;
      return true;
    }
  }
  return false;
}

tcflag_t CharacterSize(int data_bits) {
  switch (data_bits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

void SetFrame(termios& tio, const SerialLineSettings& s) {
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio.c_cflag |= CharacterSize(s.data_bits) | CREAD | CLOCAL;
  switch (s.parity) {
    case SerialParity::kNone: break;
    case SerialParity::kOdd: tio.c_cflag |= PARENB | PARODD; break;
    case SerialParity::kEven: tio.c_cflag |= PARENB; break;
    case SerialParity::kMark: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SerialParity::kSpace: tio.c_cflag |= PARENB | CMSPAR; break;
  }
  // The parity bit is sent but never checked on input: a received byte with
  // a bad parity bit is still delivered.
  tio.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
  tio.c_iflag |= IGNBRK;
  // 1.5 stop bits has no termios setting; two is the nearest.
  if (s.stop_bits != SerialStopBits::kOne) tio.c_cflag |= CSTOPB;
  if (s.rts_cts) tio.c_cflag |= CRTSCTS;
  if (s.xon_xoff) tio.c_iflag |= IXON | IXOFF;
  tio.c_cc[VSTART] = 0x11;
  tio.c_cc[VSTOP] = 0x13;
  // A read returns at once with what is queued.
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
}

// tcsetattr succeeds when any part of the request was taken; a driver that
// cannot do a frame or speed keeps its old one and says nothing. These are the
// parts the station's line depends on.
bool FrameTaken(const termios& wanted, const termios& got) {
  constexpr tcflag_t kFrameBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  return (wanted.c_cflag & kFrameBits) == (got.c_cflag & kFrameBits) &&
         cfgetispeed(&wanted) == cfgetispeed(&got) &&
         cfgetospeed(&wanted) == cfgetospeed(&got);
}

// Modem-control calls fail on a device without modem lines; that is not a
// failed line setting.
void DriveModemLine(int fd, int line, bool on) {
  int bits = line;
  RetryEintr([&] { return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits); });
}

// --- Open failure causes --------------------------------------------------

bool IsLineSettingCall(std::string_view call) {
  return call == "tcgetattr" || call == "tcsetattr" || call == "cfsetspeed";
}

struct CauseTexts {
  SerialOpenCause cause;
  const char* english;
  const char* russian;
};

constexpr CauseTexts kCauseTexts[] = {
    {SerialOpenCause::kNone, "opened", "порт открыт"},
    {SerialOpenCause::kNoDevice, "no such device", "нет такого устройства"},
    {SerialOpenCause::kPermission, "permission denied, add the user to group dialout",
     "нет доступа: добавьте пользователя в группу dialout"},
    {SerialOpenCause::kBusy, "held by another program", "порт занят другой программой"},
    {SerialOpenCause::kLineSettings, "line settings refused", "параметры линии не приняты"},
    {SerialOpenCause::kOther, "cannot be opened", "порт не открывается"},
};

const CauseTexts& TextsFor(SerialOpenCause cause) {
  for (const CauseTexts& texts : kCauseTexts)
    if (texts.cause == cause) return texts;
  return kCauseTexts[std::size(kCauseTexts) - 1];
}

}  // namespace

SerialOpenCause OpenCauseOf(const SysError& error) {
  if (error.ok()) return SerialOpenCause::kNone;
  if (IsLineSettingCall(error.call)) return SerialOpenCause::kLineSettings;
  switch (error.error_number) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return SerialOpenCause::kNoDevice;
    case EACCES:
    case EPERM: return SerialOpenCause::kPermission;
    case EBUSY:
    case EWOULDBLOCK: return SerialOpenCause::kBusy;
    default: return SerialOpenCause::kOther;
  }
}

const char* OpenCauseText(SerialOpenCause cause) { return TextsFor(cause).english; }

const char* OpenCauseTextRu(SerialOpenCause cause) { return TextsFor(cause).russian; }

std::string OpenFailureMessage(const SysError& error) {
  return std::string(OpenCauseText(OpenCauseOf(error))) + " (" + error.Text() + ")";
}

bool DeviceGone(const SysError& error) {
  return error.error_number == EIO || error.error_number == ENXIO ||
         error.error_number == ENODEV;
}

bool WouldBlock(const SysError& error) {
  return error.error_number == EAGAIN || error.error_number == EWOULDBLOCK;
}

namespace serial_faults {

void Fail(std::string_view call, int error_number, int after, int times) {
  std::lock_guard lock(g_faults_mutex);
  g_faults.push_back({std::string(call), error_number, after, times});
  g_faults_armed.store(true, std::memory_order_relaxed);
}

void Clear() {
  std::lock_guard lock(g_faults_mutex);
  g_faults.clear();
  g_faults_armed.store(false, std::memory_order_relaxed);
}

}  // namespace serial_faults

// --- The device -----------------------------------------------------------

SerialDevice::~SerialDevice() { Close(); }

SysError SerialDevice::Fail(std::string_view call) const { return FailOn(call, path_); }

SysError SerialDevice::NotOpen(std::string_view call) const {
  return SysError::Of(EBADF, call, path_);
}

SysError SerialDevice::Open(const std::string& path) {
  if (IsOpen()) return SysError::Of(EBUSY, "open", path);
  if (path.empty()) return SysError::Of(ENOENT, "open", path);
  int fd = SystemCall("open", [&] {
    return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  });
  if (fd < 0) return FailOn("open", path);
  SysError error;
  termios probe{};
  if (::tcgetattr(fd, &probe) < 0) {
    error = FailOn("isatty", path);  // ENOTTY: a plain file or another device
  } else if (SystemCall("flock", [&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) < 0) {
    error = FailOn("flock", path);
  } else if (SystemCall("ioctl(TIOCEXCL)", [&] { return ::ioctl(fd, TIOCEXCL); }) < 0) {
    error = FailOn("ioctl(TIOCEXCL)", path);
  }
  if (!error.ok()) {
    ::close(fd);
    return error;
  }
  fd_ = fd;
  path_ = path;
  OpenArrivalWatch();
  return {};
}

void SerialDevice::OpenArrivalWatch() {
  arrival_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (arrival_fd_ < 0) return;
  epoll_event interest{};
  interest.events = EPOLLIN | EPOLLET;
  interest.data.fd = fd_;
  if (::epoll_ctl(arrival_fd_, EPOLL_CTL_ADD, fd_, &interest) < 0) {
    ::close(arrival_fd_);
    arrival_fd_ = -1;
  }
}

void SerialDevice::ClearArrival() {
  if (arrival_fd_ < 0) return;
  epoll_event events[4];
  while (RetryEintr([&] { return ::epoll_wait(arrival_fd_, events, 4, 0); }) > 0) {
  }
}

void SerialDevice::Close() {
  if (!IsOpen()) return;
  if (arrival_fd_ >= 0) ::close(arrival_fd_);
  arrival_fd_ = -1;
  ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);  // also releases the flock
  fd_ = -1;
  path_.clear();
}

SysError SerialDevice::ApplyLineSettings(const SerialLineSettings& settings) {
  if (!IsOpen()) return NotOpen("tcsetattr");
  speed_t speed;
  if (!SpeedFor(settings.baud, speed)) return SysError::Of(EINVAL, "cfsetspeed", path_);
  termios tio{};
  if (SystemCall("tcgetattr", [&] { return ::tcgetattr(fd_, &tio); }) < 0)
    return Fail("tcgetattr");
  SetFrame(tio, settings);
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  if (SystemCall("tcsetattr", [&] { return ::tcsetattr(fd_, TCSANOW, &tio); }) < 0)
    return Fail("tcsetattr");
  termios taken{};
  if (SystemCall("tcgetattr", [&] { return ::tcgetattr(fd_, &taken); }) < 0)
    return Fail("tcgetattr");
  if (!FrameTaken(tio, taken)) return SysError::Of(EINVAL, "tcsetattr", path_);
  DriveModemLine(fd_, TIOCM_DTR, settings.dtr);
  if (!settings.rts_cts) DriveModemLine(fd_, TIOCM_RTS, settings.rts);
  return {};
}

SysError SerialDevice::FlushBoth() {
  if (!IsOpen()) return NotOpen("tcflush");
  if (SystemCall("tcflush", [&] { return ::tcflush(fd_, TCIOFLUSH); }) < 0)
    return Fail("tcflush");
  return {};
}

SysError SerialDevice::SetDtr(bool on) {
  const char* call = on ? "ioctl(TIOCMBIS)" : "ioctl(TIOCMBIC)";
  if (!IsOpen()) return NotOpen(call);
  int bits = TIOCM_DTR;
  if (SystemCall(call, [&] { return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits); }) < 0)
    return Fail(call);
  return {};
}

SysError SerialDevice::InputQueued(std::uint32_t& count) const {
  count = 0;
  if (!IsOpen()) return NotOpen("ioctl(FIONREAD)");
  int n = 0;
  if (SystemCall("ioctl(FIONREAD)", [&] { return ::ioctl(fd_, FIONREAD, &n); }) < 0)
    return Fail("ioctl(FIONREAD)");
  count = n > 0 ? static_cast<std::uint32_t>(n) : 0;
  return {};
}

SysError SerialDevice::OutputQueued(std::uint32_t& count) const {
  count = 0;
  if (!IsOpen()) return NotOpen("ioctl(TIOCOUTQ)");
  int n = 0;
  if (SystemCall("ioctl(TIOCOUTQ)", [&] { return ::ioctl(fd_, TIOCOUTQ, &n); }) < 0)
    return Fail("ioctl(TIOCOUTQ)");
  count = n > 0 ? static_cast<std::uint32_t>(n) : 0;
  return {};
}

SysError SerialDevice::Read(std::uint8_t* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  if (!IsOpen()) return NotOpen("read");
  if (size == 0) return {};
  ssize_t n = SystemCall("read", [&] { return ::read(fd_, buffer, size); });
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
    return Fail("read");
  }
  // 0 is the end of the stream: on a terminal, a hang-up. Nothing was read;
  // CheckHangUp tells the two apart.
  got = static_cast<std::size_t>(n);
  return {};
}

SysError SerialDevice::Write(const std::uint8_t* data, std::size_t size, int wait_ms,
                             std::size_t& written) {
  written = 0;
  if (!IsOpen()) return NotOpen("write");
  if (size == 0) return {};
  ssize_t n = SystemCall("write", [&] { return ::write(fd_, data, size); });
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_ms > 0) {
    pollfd pfd{fd_, POLLOUT, 0};
    int ready = SystemCall("poll", [&] { return ::poll(&pfd, 1, wait_ms); });
    if (ready < 0) return Fail("poll");
    if (ready == 0) return SysError::Of(EAGAIN, "write", path_);
    n = SystemCall("write", [&] { return ::write(fd_, data, size); });
  }
  if (n < 0) return Fail("write");
  written = static_cast<std::size_t>(n);
  return {};
}

SysError SerialDevice::GetModemLines(ModemLines& lines) const {
  lines = {};
  if (!IsOpen()) return NotOpen("ioctl(TIOCMGET)");
  int bits = 0;
  if (SystemCall("ioctl(TIOCMGET)", [&] { return ::ioctl(fd_, TIOCMGET, &bits); }) < 0)
    return Fail("ioctl(TIOCMGET)");
  lines.cts = (bits & TIOCM_CTS) != 0;
  lines.dsr = (bits & TIOCM_DSR) != 0;
  lines.ring = (bits & TIOCM_RNG) != 0;
  lines.dcd = (bits & TIOCM_CAR) != 0;
  return {};
}

SysError SerialDevice::CheckHangUp() const {
  if (!IsOpen()) return NotOpen("poll");
  pollfd pfd{fd_, POLLIN, 0};
  int ready = SystemCall("poll", [&] { return ::poll(&pfd, 1, 0); });
  if (ready < 0) return Fail("poll");
  if (ready > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
    return SysError::Of(EIO, "poll", path_);
  return {};
}

}  // namespace drvvzt
