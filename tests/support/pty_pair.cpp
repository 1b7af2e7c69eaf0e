// openpty-based test line.
#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include <gtest/gtest.h>

namespace drvvzt::testing {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
}

}  // namespace

PtyPair::PtyPair() {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty failed, errno " << errno;
    master_ = slave_ = -1;
    return;
  }
  slave_path_ = name;
  MakeRaw(master_);
  MakeRaw(slave_);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair() {
  CloseMaster();
  if (slave_ >= 0) close(slave_);
}

bool PtyPair::WriteMaster(std::string_view bytes) {
  return WriteMaster(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

bool PtyPair::WriteMaster(const std::uint8_t* data, std::size_t size) {
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (size > 0) {
    ssize_t n = write(master_, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd pfd{master_, POLLOUT, 0};
    if (poll(&pfd, 1, RemainingMs(deadline)) <= 0) return false;
  }
  return true;
}

std::string PtyPair::ReadMaster(std::size_t count, int timeout_ms) {
  std::string out;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out.size() < count && master_ >= 0) {
    char buf[512];
    ssize_t n = read(master_, buf, std::min(sizeof buf, count - out.size()));
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    pollfd pfd{master_, POLLIN, 0};
    int left = RemainingMs(deadline);
    if (left == 0 || poll(&pfd, 1, left) <= 0) break;
  }
  return out;
}

std::string PtyPair::DrainMaster(int timeout_ms) {
  std::string out;
  pollfd pfd{master_, POLLIN, 0};
  if (master_ < 0 || poll(&pfd, 1, timeout_ms) <= 0) return out;
  for (;;) {
    char buf[512];
    ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

bool PtyPair::WaitSlaveQueued(std::size_t count, int timeout_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int queued = 0;
    if (slave_ < 0 || ioctl(slave_, FIONREAD, &queued) != 0) return false;
    if (static_cast<std::size_t>(queued) >= count) return true;
    if (RemainingMs(deadline) == 0) return false;
    usleep(200);
  }
}

std::size_t PtyPair::SlaveQueued() const {
  int queued = 0;
  if (slave_ < 0 || ioctl(slave_, FIONREAD, &queued) != 0) return 0;
  return queued > 0 ? static_cast<std::size_t>(queued) : 0;
}

bool PtyPair::LinkAt(const std::string& link_path) const {
  if (!ok()) return false;
  const std::string fresh = link_path + ".new";
  ::unlink(fresh.c_str());
  if (::symlink(slave_path_.c_str(), fresh.c_str()) != 0) return false;
  return std::rename(fresh.c_str(), link_path.c_str()) == 0;
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

}  // namespace drvvzt::testing
