// A stand-in for the suite's message server, for tests, the demo and a
// technician checking drivers: it listens on a TCP port and serves every driver
// that connects, several at the same time. It reads each connection's frames and
// answers every frame with exactly one frame chosen by a policy that may be
// changed while it runs. The policy is one for all connections; what a
// connection has been through (its handshake, its counters, when it was last
// pinged, the sequence numbers of its answers) is its own. Every message
// received is kept for inspection, marked with the connection it came on.
//
// Thread-safety: all public calls may be made from any thread while the
// emulator runs; the observers are called on the emulator's own thread, which
// serves every connection (so a delay policy holds up all of them alike).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "server/wire_format.h"

namespace drvvzt::tools {

enum class ReplyMode {
  kAnswer,       // mtAccepted / mtSpoolAck / mtPing / mtPoll as the flags below say
  kFixed,        // always reply with fixed_reply (mtClose, mtDisconnect, mtDenied, ...)
  kSilent,       // read and record, never answer
  kGarbage,      // answer with bytes that are no frame
  kStopReading,  // stop reading the sockets altogether (a half-open peer)
  kReset,        // reset a connection when its next frame arrives
};

struct EmulatorPolicy {
  ReplyMode mode = ReplyMode::kAnswer;
  bool accept_register = true;  // mtAccepted after mtRegister (else mtPoll)
  bool ack_events = true;       // mtSpoolAck after mtStationEvent (else mtPoll)
  int ping_interval_ms = 0;     // > 0: mtPing answers a connection's first frame after
                                // each interval
  int delay_ms = 0;             // wait this long before each answer
  std::uint32_t fixed_reply = mtPoll;
};

struct ReceivedMessage {
  int connection = 0;            // 1 for the first accepted connection, then 2, ...
  std::string peer;              // the connection's remote address, "127.0.0.1:40212"
  bool valid = false;            // full header with both markers
  std::uint32_t type = 0;
  std::uint64_t sequence = 0;
  Bytes body;                    // bytes after the header (as BodyLength, when valid)
  Bytes message;                 // the whole message as it arrived
  std::chrono::steady_clock::time_point arrival;
  std::optional<std::uint32_t> reply;  // type answered with; nothing when no frame was sent
};

// What the emulator knows of one connection, open or closed.
struct ConnectionInfo {
  int number = 0;                // as in ReceivedMessage::connection
  std::string peer;
  bool open = false;
  bool registered = false;       // an mtRegister on it was answered with mtAccepted
  std::size_t messages = 0;      // messages received on it
  std::size_t events = 0;        // of which station events
};

// One line describing a message: type name, sequence and its body fields; for a
// station event the object number, code, zone, digits and local date-time.
std::string DescribeMessage(const ReceivedMessage& message);

class MessageServerEmulator {
public:
  using Observer = std::function<void(const ReceivedMessage&)>;
  // Called when a connection is accepted and when it ends.
  using ConnectionObserver = std::function<void(const ConnectionInfo&)>;

  explicit MessageServerEmulator(EmulatorPolicy policy = {}, Observer observer = {},
                                 ConnectionObserver on_connection = {});
  ~MessageServerEmulator();
  MessageServerEmulator(const MessageServerEmulator&) = delete;
  MessageServerEmulator& operator=(const MessageServerEmulator&) = delete;

  // Listens on address:port (port 0 picks a free one) and starts serving.
  // False with a reason in `error` when the socket cannot be set up.
  bool Start(std::uint16_t port = 0, const std::string& address = "127.0.0.1",
             std::string* error = nullptr);
  // Stops serving and closes every socket; also done by the destructor.
  void Stop();
  std::uint16_t Port() const;

  EmulatorPolicy Policy() const;
  void SetPolicy(const EmulatorPolicy& policy);
  // The next frame received, on whichever connection, is answered with
  // msg_type, whatever the policy.
  void AnswerNextWith(std::uint32_t msg_type);

  std::vector<ReceivedMessage> Messages() const;
  std::size_t MessageCount() const;
  // Connections accepted since the start, open or not.
  int ConnectionCount() const;
  // Connections open now.
  int OpenConnectionCount() const;
  // True while at least one connection is open.
  bool ClientConnected() const;
  // Every connection accepted, in the order of their numbers.
  std::vector<ConnectionInfo> Connections() const;

  // Wait until at least `count` messages have arrived in total; false on timeout.
  bool WaitForMessageCount(std::size_t count, std::chrono::milliseconds timeout) const;
  // The first message of `type` at index >= from; nothing on timeout.
  std::optional<ReceivedMessage> WaitForType(std::uint32_t type, std::chrono::milliseconds timeout,
                                             std::size_t from = 0) const;
  // Wait until at least `count` connections have been accepted.
  bool WaitForConnections(int count, std::chrono::milliseconds timeout) const;
  // Wait until exactly `count` connections are open.
  bool WaitForOpenConnections(int count, std::chrono::milliseconds timeout) const;

private:
  // One driver's connection; touched only by the serving thread.
  struct Connection {
    int number = 0;
    std::string peer;
    int fd = -1;
    Bytes buffer;
    std::uint64_t reply_sequence = 0;
    std::chrono::steady_clock::time_point last_ping;
  };

  void AcceptLoop();
  void AcceptClient();
  void ReadClient(Connection& c);
  void ProcessBuffer(Connection& c);
  // Records the message and, when `answer`, replies by the current policy.
  void HandleMessage(Connection& c, Bytes message, bool answer = true);
  std::optional<std::uint32_t> ChooseReply(Connection& c, const ReceivedMessage& message,
                                           EmulatorPolicy& policy_out);
  void SendReply(Connection& c, std::uint32_t msg_type);
  void SendGarbage(Connection& c);
  void CloseClient(Connection& c, bool reset);
  bool PauseFor(int milliseconds);
  void Notify(const ConnectionInfo& info);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  EmulatorPolicy policy_;
  std::optional<std::uint32_t> answer_next_;
  std::vector<ReceivedMessage> messages_;
  std::vector<ConnectionInfo> connections_;  // index: number - 1
  int open_connections_ = 0;
  bool stop_ = false;
  std::uint16_t port_ = 0;
  Observer observer_;
  ConnectionObserver on_connection_;

  // Touched only by the serving thread (and by Start/Stop around it).
  int listen_fd_ = -1;
  std::list<Connection> clients_;
  std::thread thread_;
};

}  // namespace drvvzt::tools
