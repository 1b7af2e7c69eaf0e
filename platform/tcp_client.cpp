// TCP client on POSIX sockets; see tcp_client.h.
#include "platform/tcp_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/retry_eintr.h"

namespace drvvzt {

namespace {

using platform_detail::RetryEintr;

bool SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool IsPeerGone(int err) {
  return err == EPIPE || err == ECONNRESET || err == ENOTCONN || err == ECONNABORTED;
}

std::uint32_t After(TickClock& tick, int ms) {
  return tick.NowTick() + static_cast<std::uint32_t>(ms > 0 ? ms : 0);
}

}  // namespace

TcpClient::TcpClient(TickClock& tick)
    : tick_(tick), interrupt_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TcpClient::~TcpClient() {
  Close();
  if (interrupt_fd_ >= 0) close(interrupt_fd_);
}

void TcpClient::Interrupt() {
  interrupted_.store(true);
  if (interrupt_fd_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(interrupt_fd_, &one, sizeof one);
  }
}

int TcpClient::WaitReady(int fd, short events, std::uint32_t deadline) const {
  for (;;) {
    if (Interrupted()) return -2;
    const auto left = static_cast<std::int32_t>(deadline - tick_.NowTick());
    if (left <= 0) return 0;
    pollfd entries[2] = {{fd, events, 0}, {interrupt_fd_, POLLIN, 0}};
    const nfds_t count = interrupt_fd_ >= 0 ? 2 : 1;
    const int ready = RetryEintr([&] { return poll(entries, count, left); });
    if (ready < 0) return -1;
    if (count == 2 && entries[1].revents != 0) return -2;
    if (ready > 0) return 1;
  }
}

TcpResult TcpClient::Fail(TcpFailure failure, const char* call, int err,
                          std::size_t transferred) const {
  return TcpResult{failure, SysError::Of(err, call, peer_), transferred};
}

TcpResult TcpClient::FailFromErrno(const char* call, int err, std::size_t transferred) {
  if (IsPeerGone(err)) {
    peer_gone_ = true;
    return Fail(TcpFailure::kClosed, call, err, transferred);
  }
  return Fail(TcpFailure::kSocket, call, err, transferred);
}

TcpResult TcpClient::ConnectOne(const void* address, unsigned address_len, int family,
                                std::uint32_t deadline) {
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return Fail(TcpFailure::kSocket, "socket", errno);
  if (!SetNonBlocking(fd)) {
    const int err = errno;
    close(fd);
    return Fail(TcpFailure::kSocket, "fcntl", err);
  }
  const auto* sa = static_cast<const sockaddr*>(address);
  if (RetryEintr([&] { return connect(fd, sa, address_len); }) != 0 && errno != EINPROGRESS) {
    const int err = errno;
    close(fd);
    return Fail(TcpFailure::kConnect, "connect", err);
  }
  const int ready = WaitReady(fd, POLLOUT, deadline);
  const int wait_errno = errno;
  int err = 0;
  socklen_t err_len = sizeof err;
  if (ready == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &err_len) == 0 && err == 0) {
    const int one = 1;
    // Frames go out as single writes followed by a wait for the answer.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fd_ = fd;
    peer_gone_ = false;
    return {};
  }
  close(fd);
  if (ready == -2) return Fail(TcpFailure::kStopped, "connect", 0);
  if (ready == 0) return Fail(TcpFailure::kConnect, "connect", ETIMEDOUT);
  if (ready < 0) return Fail(TcpFailure::kConnect, "poll", wait_errno);
  return Fail(TcpFailure::kConnect, "connect", err);
}

TcpResult TcpClient::Connect(const std::string& host, std::uint16_t port) {
  Close();
  peer_ = host + ":" + std::to_string(port);
  if (Interrupted()) return Fail(TcpFailure::kStopped, "connect", 0);
  const std::uint32_t deadline = After(tick_, connect_timeout_ms_);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    // Only EAI_SYSTEM comes with an errno; the other codes are no system errors.
    return Fail(TcpFailure::kResolve, "getaddrinfo", rc == EAI_SYSTEM ? errno : 0);
  }
  TcpResult result = Fail(TcpFailure::kConnect, "connect", ETIMEDOUT);
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (DeadlinePassed(tick_.NowTick(), deadline)) break;
    result = ConnectOne(entry->ai_addr, entry->ai_addrlen, entry->ai_family, deadline);
    if (result.ok() || result.failure == TcpFailure::kStopped) break;
  }
  freeaddrinfo(found);
  return result;
}

TcpResult TcpClient::Write(std::span<const std::uint8_t> data) {
  if (fd_ < 0) return Fail(TcpFailure::kNotOpen, "send", 0);
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t sent = RetryEintr(
        [&] { return send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL); });
    if (sent > 0) {
      done += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return FailFromErrno("send", errno, done);
    // The peer's window is full: wait for room, bounded from the last progress.
    const int ready = WaitReady(fd_, POLLOUT, After(tick_, write_timeout_ms_));
    if (ready == 0) return Fail(TcpFailure::kTimeout, "send", ETIMEDOUT, done);
    if (ready == -2) return Fail(TcpFailure::kStopped, "send", 0, done);
    if (ready < 0) return FailFromErrno("poll", errno, done);
  }
  return TcpResult{TcpFailure::kNone, {}, done};
}

TcpResult TcpClient::Read(std::span<std::uint8_t> out, std::uint32_t deadline) {
  if (fd_ < 0) return Fail(TcpFailure::kNotOpen, "recv", 0);
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = RetryEintr([&] { return recv(fd_, out.data() + done, out.size() - done, 0); });
    if (got > 0) {
      done += static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0) {
      peer_gone_ = true;
      return Fail(TcpFailure::kClosed, "recv", 0, done);
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) return FailFromErrno("recv", errno, done);
    const int ready = WaitReady(fd_, POLLIN, deadline);
    if (ready == 0) return Fail(TcpFailure::kTimeout, "recv", ETIMEDOUT, done);
    if (ready == -2) return Fail(TcpFailure::kStopped, "recv", 0, done);
    if (ready < 0) return FailFromErrno("poll", errno, done);
  }
  return TcpResult{TcpFailure::kNone, {}, done};
}

bool TcpClient::HasPendingInput() {
  if (fd_ < 0) return false;
  std::uint8_t byte = 0;
  const ssize_t got = RetryEintr([&] { return recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT); });
  return got > 0;
}

void TcpClient::Close() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  peer_gone_ = false;
}

}  // namespace drvvzt
