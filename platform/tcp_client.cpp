// TCP client on POSIX sockets; see tcp_client.h.
#include "platform/tcp_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "platform/retry_eintr.h"

namespace drvvzt {

namespace {

using platform_detail::RetryEintr;

// Waits are cut into slices this long so that a stop request is seen quickly.
constexpr int kStopSliceMs = 50;

long long MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool IsPeerGone(int err) {
  return err == EPIPE || err == ECONNRESET || err == ENOTCONN || err == ECONNABORTED;
}

TcpResult Failed(TcpFailure failure, int err = 0, std::size_t transferred = 0) {
  return TcpResult{failure, err, transferred};
}

}  // namespace

const char* TcpFailureText(TcpFailure failure) {
  switch (failure) {
    case TcpFailure::kNone: return "ok";
    case TcpFailure::kResolve: return "host not found";
    case TcpFailure::kConnect: return "connect failed";
    case TcpFailure::kHandler: return "connected handler failed";
    case TcpFailure::kNotOpen: return "not connected";
    case TcpFailure::kTimeout: return "timed out";
    case TcpFailure::kClosed: return "closed by peer";
    case TcpFailure::kSocket: return "socket error";
    case TcpFailure::kStopped: return "stopped";
  }
  return "unknown";
}

TcpClient::~TcpClient() { Release(); }

int TcpClient::WaitReady(int fd, short events, int timeout_ms) const {
  const long long deadline = MonotonicMs() + timeout_ms;
  for (;;) {
    if (Stopped()) return -2;
    const long long left = deadline - MonotonicMs();
    if (left <= 0) return 0;
    pollfd entry{fd, events, 0};
    const int slice = static_cast<int>(left < kStopSliceMs ? left : kStopSliceMs);
    const int ready = RetryEintr([&] { return poll(&entry, 1, slice); });
    if (ready < 0) return -1;
    if (ready > 0) return 1;
  }
}

TcpResult TcpClient::FailFromErrno(int err, std::size_t transferred) {
  if (IsPeerGone(err)) {
    peer_gone_ = true;
    return Failed(TcpFailure::kClosed, err, transferred);
  }
  return Failed(TcpFailure::kSocket, err, transferred);
}

TcpResult TcpClient::ConnectOne(const void* address, unsigned address_len, int family,
                                long long deadline_ms) {
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return Failed(TcpFailure::kSocket, errno);
  if (!SetNonBlocking(fd)) {
    const int err = errno;
    close(fd);
    return Failed(TcpFailure::kSocket, err);
  }
  const auto* sa = static_cast<const sockaddr*>(address);
  if (RetryEintr([&] { return connect(fd, sa, address_len); }) != 0 && errno != EINPROGRESS) {
    const int err = errno;
    close(fd);
    return Failed(TcpFailure::kConnect, err);
  }
  const long long left = deadline_ms - MonotonicMs();
  const int ready = WaitReady(fd, POLLOUT, left > 0 ? static_cast<int>(left) : 0);
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
  const int saved = ready < 0 ? errno : err;
  close(fd);
  if (ready == -2) return Failed(TcpFailure::kStopped);
  if (ready == 0) return Failed(TcpFailure::kConnect, ETIMEDOUT);
  return Failed(TcpFailure::kConnect, saved);
}

TcpResult TcpClient::Connect() {
  Release();
  const long long deadline = MonotonicMs() + connect_timeout_ms_;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port_);
  const int rc = getaddrinfo(host_.c_str(), service.c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) return Failed(TcpFailure::kResolve, rc == EAI_SYSTEM ? errno : 0);
  TcpResult result = Failed(TcpFailure::kConnect, ETIMEDOUT);
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (MonotonicMs() >= deadline) break;
    result = ConnectOne(entry->ai_addr, entry->ai_addrlen, entry->ai_family, deadline);
    if (result.ok() || result.failure == TcpFailure::kStopped) break;
  }
  freeaddrinfo(found);
  if (!result.ok()) return result;
  bool handler_ok = true;
  if (on_connected_) {
    try {
      handler_ok = on_connected_();
    } catch (...) {
      handler_ok = false;
    }
  }
  if (!handler_ok) {
    Close();
    return Failed(TcpFailure::kHandler);
  }
  return {};
}

TcpResult TcpClient::Write(std::span<const std::uint8_t> data) {
  if (fd_ < 0) return Failed(TcpFailure::kNotOpen);
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t sent = RetryEintr(
        [&] { return send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL); });
    if (sent > 0) {
      done += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return FailFromErrno(errno, done);
    // The peer's window is full: wait for room, bounded from the last progress.
    const int ready = WaitReady(fd_, POLLOUT, write_timeout_ms_);
    if (ready == 0) return Failed(TcpFailure::kTimeout, 0, done);
    if (ready == -2) return Failed(TcpFailure::kStopped, 0, done);
    if (ready < 0) return FailFromErrno(errno, done);
  }
  return TcpResult{TcpFailure::kNone, 0, done};
}

TcpResult TcpClient::Read(std::span<std::uint8_t> out) {
  if (fd_ < 0) return Failed(TcpFailure::kNotOpen);
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = RetryEintr([&] { return recv(fd_, out.data() + done, out.size() - done, 0); });
    if (got > 0) {
      done += static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0) {
      peer_gone_ = true;
      return Failed(TcpFailure::kClosed, 0, done);
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) return FailFromErrno(errno, done);
    const int ready = WaitReady(fd_, POLLIN, read_timeout_ms_);
    if (ready == 0) return Failed(TcpFailure::kTimeout, 0, done);
    if (ready == -2) return Failed(TcpFailure::kStopped, 0, done);
    if (ready < 0) return FailFromErrno(errno, done);
  }
  return TcpResult{TcpFailure::kNone, 0, done};
}

bool TcpClient::HasPendingInput() const {
  if (fd_ < 0) return false;
  std::uint8_t byte = 0;
  const ssize_t got = RetryEintr([&] { return recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT); });
  return got > 0;
}

void TcpClient::Close() {
  const bool was_open = IsOpen();
  Release();
  if (was_open && on_disconnected_) on_disconnected_();
}

void TcpClient::Release() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  peer_gone_ = false;
}

}  // namespace drvvzt
