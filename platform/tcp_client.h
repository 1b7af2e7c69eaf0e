// The server link's transport on POSIX sockets: resolve a host name or address
// (IPv4 or IPv6), connect with a time limit, write completely with a bound,
// read an exact number of bytes by a deadline, close.
//
// Every limit is measured on the TickClock the client is given. Waits sleep in
// poll() on the socket and an event descriptor that Interrupt() signals, so an
// interrupted client stops waiting at once (name resolution itself is the one
// wait that cannot be cut) and a waiting client costs no wake-ups.
//
// Not thread-safe, except Interrupt(): one client belongs to one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "platform/clock.h"
#include "platform/transport.h"

namespace drvvzt {

class TcpClient final : public Transport {
public:
  explicit TcpClient(TickClock& tick = SystemTick());
  ~TcpClient() override;  // closes
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // Resolution and every address tried, together (default 2500 ms).
  void SetConnectTimeout(int ms) { connect_timeout_ms_ = ms; }
  // How long a write may make no progress (default 3000 ms).
  void SetWriteTimeout(int ms) { write_timeout_ms_ = ms; }

  // Tries the host's addresses in turn until one connects.
  TcpResult Connect(const std::string& host, std::uint16_t port) override;
  // Never raises SIGPIPE.
  TcpResult Write(std::span<const std::uint8_t> data) override;
  TcpResult Read(std::span<std::uint8_t> out, std::uint32_t deadline) override;
  bool HasPendingInput() override;
  bool IsOpen() const override { return fd_ >= 0 && !peer_gone_; }
  void Close() override;
  void Interrupt() override;

private:
  TcpResult ConnectOne(const void* address, unsigned address_len, int family, std::uint32_t deadline);
  // Waits until fd is ready for events or the tick reaches deadline: 1 ready,
  // 0 deadline, -1 error (errno), -2 interrupted.
  int WaitReady(int fd, short events, std::uint32_t deadline) const;
  bool Interrupted() const { return interrupted_.load(); }
  TcpResult Fail(TcpFailure failure, const char* call, int err, std::size_t transferred = 0) const;
  TcpResult FailFromErrno(const char* call, int err, std::size_t transferred);

  TickClock& tick_;
  int connect_timeout_ms_ = 2500;
  int write_timeout_ms_ = 3000;
  // "host:port" of the last Connect(), for the errors.
  std::string peer_;
  int fd_ = -1;
  bool peer_gone_ = false;
  // Readable once Interrupt() was called; never drained.
  int interrupt_fd_ = -1;
  std::atomic<bool> interrupted_{false};
};

}  // namespace drvvzt
