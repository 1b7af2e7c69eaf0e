// termios implementation of the serial device layer.
#include "platform/serial_device.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/retry_eintr.h"

namespace drvvzt {
namespace {

using platform_detail::RetryEintr;

SerialError ErrorFromErrno(int error) {
  switch (error) {
    case 0: return SerialError::kOk;
    case ENOENT:
    case ENODEV:
    case ENXIO: return SerialError::kNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return SerialError::kAccessDenied;
    case EBUSY:
    case EWOULDBLOCK: return SerialError::kBusy;
    case ENOTTY: return SerialError::kNotSerial;
    case EINVAL: return SerialError::kUnsupported;
    default: return SerialError::kIo;
  }
}

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

// Modem-control calls fail on a device without modem lines; that is not a
// failed line setting.
void DriveModemLine(int fd, int line, bool on) {
  int bits = line;
  RetryEintr([&] { return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits); });
}

}  // namespace

const char* SerialErrorText(SerialError error) {
  switch (error) {
    case SerialError::kOk: return "ok";
    case SerialError::kNotFound: return "no such device";
    case SerialError::kAccessDenied: return "access denied";
    case SerialError::kBusy: return "device busy";
    case SerialError::kNotSerial: return "not a serial device";
    case SerialError::kClosed: return "device not open";
    case SerialError::kWouldBlock: return "would block";
    case SerialError::kUnsupported: return "setting not supported";
    case SerialError::kIo: return "input/output error";
  }
  return "unknown error";
}

SerialDevice::~SerialDevice() { Close(); }

SerialError SerialDevice::Fail(int saved_errno) const {
  last_errno_ = saved_errno;
  return ErrorFromErrno(saved_errno);
}

SerialError SerialDevice::Open(const std::string& path) {
  if (IsOpen()) return SerialError::kBusy;
  if (path.empty()) return Fail(ENOENT);
  int fd = RetryEintr(
      [&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) return Fail(errno);
  int saved = 0;
  if (!::isatty(fd)) {
    saved = ENOTTY;
  } else if (RetryEintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) < 0) {
    saved = errno;
  } else if (::ioctl(fd, TIOCEXCL) < 0) {
    saved = errno;
  }
  if (saved != 0) {
    ::close(fd);
    return Fail(saved);
  }
  fd_ = fd;
  path_ = path;
  OpenArrivalWatch();
  return SerialError::kOk;
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

SerialError SerialDevice::ApplyLineSettings(const SerialLineSettings& settings) {
  if (!IsOpen()) return SerialError::kClosed;
  speed_t speed;
  if (!SpeedFor(settings.baud, speed)) return SerialError::kUnsupported;
  termios tio{};
  if (RetryEintr([&] { return ::tcgetattr(fd_, &tio); }) < 0) return Fail(errno);
  SetFrame(tio, settings);
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  if (RetryEintr([&] { return ::tcsetattr(fd_, TCSANOW, &tio); }) < 0) return Fail(errno);
  DriveModemLine(fd_, TIOCM_DTR, settings.dtr);
  if (!settings.rts_cts) DriveModemLine(fd_, TIOCM_RTS, settings.rts);
  return SerialError::kOk;
}

SerialError SerialDevice::FlushBoth() {
  if (!IsOpen()) return SerialError::kClosed;
  if (RetryEintr([&] { return ::tcflush(fd_, TCIOFLUSH); }) < 0) return Fail(errno);
  return SerialError::kOk;
}

SerialError SerialDevice::SetDtr(bool on) {
  if (!IsOpen()) return SerialError::kClosed;
  int bits = TIOCM_DTR;
  if (RetryEintr([&] { return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits); }) < 0)
    return Fail(errno);
  return SerialError::kOk;
}

SerialError SerialDevice::InputQueued(std::uint32_t& count) const {
  count = 0;
  if (!IsOpen()) return SerialError::kClosed;
  int n = 0;
  if (RetryEintr([&] { return ::ioctl(fd_, FIONREAD, &n); }) < 0) return Fail(errno);
  count = n > 0 ? static_cast<std::uint32_t>(n) : 0;
  return SerialError::kOk;
}

SerialError SerialDevice::OutputQueued(std::uint32_t& count) const {
  count = 0;
  if (!IsOpen()) return SerialError::kClosed;
  int n = 0;
  if (RetryEintr([&] { return ::ioctl(fd_, TIOCOUTQ, &n); }) < 0) return Fail(errno);
  count = n > 0 ? static_cast<std::uint32_t>(n) : 0;
  return SerialError::kOk;
}

SerialError SerialDevice::Read(std::uint8_t* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  if (!IsOpen()) return SerialError::kClosed;
  if (size == 0) return SerialError::kOk;
  ssize_t n = RetryEintr([&] { return ::read(fd_, buffer, size); });
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return SerialError::kOk;
    return Fail(errno);
  }
  // 0 is the end of the stream: on a terminal, a hang-up. Nothing was read.
  got = static_cast<std::size_t>(n);
  return SerialError::kOk;
}

SerialError SerialDevice::Write(const std::uint8_t* data, std::size_t size, int wait_ms,
                                std::size_t& written) {
  written = 0;
  if (!IsOpen()) return SerialError::kClosed;
  if (size == 0) return SerialError::kOk;
  ssize_t n = RetryEintr([&] { return ::write(fd_, data, size); });
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_ms > 0) {
    pollfd pfd{fd_, POLLOUT, 0};
    int ready = RetryEintr([&] { return ::poll(&pfd, 1, wait_ms); });
    if (ready <= 0) return ready == 0 ? SerialError::kWouldBlock : Fail(errno);
    n = RetryEintr([&] { return ::write(fd_, data, size); });
  }
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return SerialError::kWouldBlock;
    return Fail(errno);
  }
  written = static_cast<std::size_t>(n);
  return SerialError::kOk;
}

SerialError SerialDevice::GetModemLines(ModemLines& lines) const {
  lines = {};
  if (!IsOpen()) return SerialError::kClosed;
  int bits = 0;
  if (RetryEintr([&] { return ::ioctl(fd_, TIOCMGET, &bits); }) < 0) return Fail(errno);
  lines.cts = (bits & TIOCM_CTS) != 0;
  lines.dsr = (bits & TIOCM_DSR) != 0;
  lines.ring = (bits & TIOCM_RNG) != 0;
  lines.dcd = (bits & TIOCM_CAR) != 0;
  return SerialError::kOk;
}

}  // namespace drvvzt
