// termios and pseudo-terminal handling for the station simulator.
#include "tools/station_simulator/station_line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace drvvzt::tools {
namespace {

constexpr long kCharacterNs = 10L * 1000000000L / 9600;  // 10 bits per character

bool MakeRaw(int fd, std::string& error) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    error = std::string("tcgetattr: ") + std::strerror(errno);
    return false;
  }
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~(CRTSCTS | CSTOPB | PARENB);
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    error = std::string("tcsetattr: ") + std::strerror(errno);
    return false;
  }
  return true;
}

void AddNs(timespec& t, long ns) {
  t.tv_nsec += ns;
  while (t.tv_nsec >= 1000000000L) {
    t.tv_nsec -= 1000000000L;
    ++t.tv_sec;
  }
}

}  // namespace

StationLine::~StationLine() {
  if (fd_ >= 0) close(fd_);
}

bool StationLine::OpenDevice(const std::string& path, std::string& error) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  return MakeRaw(fd_, error);
}

bool StationLine::CreatePty(std::string& slave_path, std::string& error) {
  int slave = -1;
  char name[256] = {};
  if (openpty(&fd_, &slave, name, nullptr, nullptr) != 0) {
    error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  is_pty_ = true;
  slave_path = name;
  bool ok = MakeRaw(slave, error) && MakeRaw(fd_, error);
  // Closed here, so that the master sees a hang-up until the driver opens it.
  close(slave);
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  fcntl(fd_, F_SETFD, FD_CLOEXEC);
  return ok;
}

bool StationLine::PeerPresent() const {
  if (!is_pty_) return true;
  pollfd pfd{fd_, POLLIN, 0};
  if (poll(&pfd, 1, 0) < 0) return false;
  return (pfd.revents & POLLHUP) == 0;
}

bool StationLine::Write(const std::uint8_t* data, std::size_t size, bool paced,
                        const std::atomic<bool>& stop) {
  timespec next{};
  clock_gettime(CLOCK_MONOTONIC, &next);
  while (size > 0) {
    if (stop.load()) return false;
    std::size_t chunk = paced ? 1 : size;
    ssize_t n = write(fd_, data, chunk);
    if (n < 0) {
      if (errno != EAGAIN && errno != EINTR) return false;
      pollfd pfd{fd_, POLLOUT, 0};
      poll(&pfd, 1, 10);
      continue;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    if (paced) {
      AddNs(next, kCharacterNs);
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        if (stop.load()) return false;
      }
    }
  }
  return true;
}

long StationLine::Read(std::uint8_t* buffer, std::size_t size, int timeout_ms) {
  pollfd pfd{fd_, POLLIN, 0};
  int ready = poll(&pfd, 1, timeout_ms);
  if (ready <= 0) return 0;  // timeout, or a signal that the caller looks at
  ssize_t n = read(fd_, buffer, size);
  if (n > 0) return n;
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  // End of stream, or EIO on a pty master whose slave was closed: the other
  // end has let go.
  return -1;
}

}  // namespace drvvzt::tools
