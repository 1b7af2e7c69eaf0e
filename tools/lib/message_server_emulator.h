// A stand-in for the suite's message server, for tests, the demo and a
// technician checking a driver: it listens on a TCP port, takes one driver at a
// time (a new connection replaces the old one), reads its frames and answers
// every frame with exactly one frame chosen by a policy that may be changed
// while it runs. Every message received is kept for inspection.
//
// Thread-safety: all public calls may be made from any thread while the
// emulator runs; the message observer is called on the emulator's own thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
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
  kStopReading,  // stop reading the socket altogether (a half-open peer)
  kReset,        // reset the connection when the next frame arrives
};

struct EmulatorPolicy {
  ReplyMode mode = ReplyMode::kAnswer;
  bool accept_register = true;  // mtAccepted after mtRegister (else mtPoll)
  bool ack_events = true;       // mtSpoolAck after mtStationEvent (else mtPoll)
  int ping_interval_ms = 0;     // > 0: mtPing answers the first frame after each interval
  int delay_ms = 0;             // wait this long before each answer
  std::uint32_t fixed_reply = mtPoll;
};

struct ReceivedMessage {
  int connection = 0;            // 1 for the first accepted connection, then 2, ...
  bool valid = false;            // full header with both markers
  std::uint32_t type = 0;
  std::uint64_t sequence = 0;
  Bytes body;                    // bytes after the header (as BodyLength, when valid)
  Bytes message;                 // the whole message as it arrived
  std::chrono::steady_clock::time_point arrival;
  std::optional<std::uint32_t> reply;  // type answered with; nothing when no frame was sent
};

// One line describing a message: type name, sequence and its body fields; for a
// station event the object number, code, zone, digits and local date-time.
std::string DescribeMessage(const ReceivedMessage& message);

class MessageServerEmulator {
public:
  using Observer = std::function<void(const ReceivedMessage&)>;

  explicit MessageServerEmulator(EmulatorPolicy policy = {}, Observer observer = {});
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
  // The next frame received is answered with msg_type, whatever the policy.
  void AnswerNextWith(std::uint32_t msg_type);

  std::vector<ReceivedMessage> Messages() const;
  std::size_t MessageCount() const;
  int ConnectionCount() const;
  bool ClientConnected() const;

  // Wait until at least `count` messages have arrived in total; false on timeout.
  bool WaitForMessageCount(std::size_t count, std::chrono::milliseconds timeout) const;
  // The first message of `type` at index >= from; nothing on timeout.
  std::optional<ReceivedMessage> WaitForType(std::uint32_t type, std::chrono::milliseconds timeout,
                                             std::size_t from = 0) const;
  // Wait until at least `count` connections have been accepted.
  bool WaitForConnections(int count, std::chrono::milliseconds timeout) const;

private:
  void Run();
  void AcceptClient();
  void ReadClient();
  void ProcessBuffer();
  // Records the message and, when `answer`, replies by the current policy.
  void HandleMessage(Bytes message, bool answer = true);
  std::optional<std::uint32_t> ChooseReply(const ReceivedMessage& message,
                                           EmulatorPolicy& policy_out);
  void SendReply(std::uint32_t msg_type);
  void SendGarbage();
  void CloseClient(bool reset);
  bool PauseFor(int milliseconds);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  EmulatorPolicy policy_;
  std::optional<std::uint32_t> answer_next_;
  std::vector<ReceivedMessage> messages_;
  int connections_ = 0;
  bool client_open_ = false;
  bool stop_ = false;
  std::uint16_t port_ = 0;
  Observer observer_;

  // Touched only by the serving thread (and by Start/Stop around it).
  int listen_fd_ = -1;
  int client_fd_ = -1;
  Bytes buffer_;
  std::uint64_t reply_sequence_ = 0;
  std::chrono::steady_clock::time_point last_ping_;
  std::thread thread_;
};

}  // namespace drvvzt::tools
