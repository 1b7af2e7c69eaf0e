// The byte transport under the server link: connect, write, read with a
// deadline, close. TcpClient is the one the driver runs on; tests put a
// scripted one in its place, so that a silent or broken server costs no real
// waiting and a late answer arrives exactly when the test wants it.
//
// Deadlines are ticks of the TickClock the transport was built with, compared
// in wrapping 32-bit arithmetic like every interval on the link.
//
// Not thread-safe, except Interrupt(): one transport belongs to the thread
// that connects it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/sys_error.h"

namespace drvvzt {

enum class TcpFailure {
  kNone,
  kResolve,  // host name not found
  kConnect,  // refused, unreachable, or the connect limit passed
  kNotOpen,  // no open connection
  kTimeout,  // the deadline or the write limit passed
  kClosed,   // the peer closed or reset the connection
  kSocket,   // any other socket error
  kStopped,  // Interrupt() was called
};

const char* TcpFailureText(TcpFailure failure);

// The outcome of one call; transferred counts the bytes written or read before
// it ended, also when it failed. error names the failing call, the peer as
// "host:port" and errno (0 when the failure has none, e.g. an orderly close).
struct TcpResult {
  TcpFailure failure = TcpFailure::kNone;
  SysError error;
  std::size_t transferred = 0;

  bool ok() const { return failure == TcpFailure::kNone; }
  // "connect 192.0.2.10:12543: Connection refused"; "" when ok().
  std::string Text() const;
};

// True once the tick `now` has reached `deadline`.
inline bool DeadlinePassed(std::uint32_t now, std::uint32_t deadline) {
  return static_cast<std::int32_t>(deadline - now) <= 0;
}

class Transport {
public:
  virtual ~Transport() = default;

  // Closes any earlier connection, then opens one to host:port.
  virtual TcpResult Connect(const std::string& host, std::uint16_t port) = 0;
  // Writes all bytes or fails.
  virtual TcpResult Write(std::span<const std::uint8_t> data) = 0;
  // Reads exactly out.size() bytes, giving up with kTimeout once the tick
  // reaches `deadline`; the first `transferred` bytes of out then hold what
  // did arrive. Bytes already waiting are taken even after the deadline.
  virtual TcpResult Read(std::span<std::uint8_t> out, std::uint32_t deadline) = 0;
  // True when bytes from the peer are waiting to be read. Never waits.
  virtual bool HasPendingInput() = 0;
  // True from a successful Connect() until Close(), or until the peer was found
  // to have closed the connection.
  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;
  // Any thread: the wait under way and every later one ends at once with
  // kStopped. For shutting down the thread that owns the transport.
  virtual void Interrupt() = 0;
};

}  // namespace drvvzt
