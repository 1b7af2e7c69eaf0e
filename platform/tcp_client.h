// A TCP client connection on POSIX sockets: resolve a host name or address
// (IPv4 or IPv6), connect with a time limit, write completely with a bound,
// read an exact number of bytes with a per-wait time limit, close.
//
// Every blocking call waits in short slices and gives up early, reporting
// kStopped, once the stop flag handed to SetStopFlag() is set; that keeps a
// thread that owns a client stoppable within a fraction of a second whatever
// it is doing (name resolution itself is the one wait that cannot be cut).
//
// Not thread-safe: one client belongs to one thread. The handlers run on the
// thread that calls Connect()/Close().
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace drvvzt {

enum class TcpFailure {
  kNone,
  kResolve,   // host name not found
  kConnect,   // refused, unreachable, or the connect limit passed
  kHandler,   // the connected handler failed; the connection was closed
  kNotOpen,   // no open connection
  kTimeout,   // no progress within the wait limit
  kClosed,    // the peer closed the connection
  kSocket,    // any other socket error (see sys_error)
  kStopped,   // the stop flag was set
};

// The outcome of one call; transferred counts the bytes written or read before
// it ended, also when it failed.
struct TcpResult {
  TcpFailure failure = TcpFailure::kNone;
  int sys_error = 0;  // errno of the failing system call, 0 when none
  std::size_t transferred = 0;
  bool ok() const { return failure == TcpFailure::kNone; }
};

const char* TcpFailureText(TcpFailure failure);

class TcpClient {
public:
  // Runs inside Connect() once the connection is open; false or an exception
  // fails the connect and closes the connection again.
  using ConnectedHandler = std::function<bool()>;
  // Runs when Close() closes a connection that was open.
  using DisconnectedHandler = std::function<void()>;

  TcpClient() = default;
  ~TcpClient();  // releases
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  void SetHost(std::string host) { host_ = std::move(host); }
  void SetPort(std::uint16_t port) { port_ = port; }
  void SetConnectTimeout(int ms) { connect_timeout_ms_ = ms; }
  void SetReadTimeout(int ms) { read_timeout_ms_ = ms; }
  void SetWriteTimeout(int ms) { write_timeout_ms_ = ms; }
  void SetConnectedHandler(ConnectedHandler handler) { on_connected_ = std::move(handler); }
  void SetDisconnectedHandler(DisconnectedHandler handler) { on_disconnected_ = std::move(handler); }
  void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }

  int ReadTimeout() const { return read_timeout_ms_; }

  // Resolves the host and tries its addresses in turn until one connects, all
  // within the connect limit (default 2500 ms); then runs the connected handler.
  TcpResult Connect();

  // Writes all bytes, or fails once the peer accepts nothing for the write
  // limit (default 3000 ms). Never raises SIGPIPE.
  TcpResult Write(std::span<const std::uint8_t> data);

  // Reads exactly out.size() bytes into out; each wait for more data is bounded
  // by the read limit (default 3000 ms) and restarts when data arrive. On
  // failure the first `transferred` bytes of out hold what did arrive.
  TcpResult Read(std::span<std::uint8_t> out);

  // True from a successful connect until Close()/Release(), or until the peer
  // was found to have closed or reset the connection.
  bool IsOpen() const { return fd_ >= 0 && !peer_gone_; }

  // True when bytes from the peer are already waiting to be read (an end of
  // stream does not count). Never waits.
  bool HasPendingInput() const;

  // Closes the socket; runs the disconnected handler when the connection was open.
  void Close();
  // Closes the socket without running any handler.
  void Release();

private:
  TcpResult ConnectOne(const void* address, unsigned address_len, int family, long long deadline_ms);
  // Waits until fd_ is ready for events or timeout_ms passes: 1 ready, 0 time
  // out, -1 error (errno), -2 stopped.
  int WaitReady(int fd, short events, int timeout_ms) const;
  bool Stopped() const { return stop_ != nullptr && stop_->load(); }
  TcpResult FailFromErrno(int err, std::size_t transferred);

  std::string host_ = "127.0.0.1";
  std::uint16_t port_ = 0;
  int connect_timeout_ms_ = 2500;
  int read_timeout_ms_ = 3000;
  int write_timeout_ms_ = 3000;
  ConnectedHandler on_connected_;
  DisconnectedHandler on_disconnected_;
  const std::atomic<bool>* stop_ = nullptr;
  int fd_ = -1;
  bool peer_gone_ = false;
};

}  // namespace drvvzt
