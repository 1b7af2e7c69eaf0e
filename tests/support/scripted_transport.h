// A message server in memory, behind the link's Transport: for every message
// the link writes, a function of the test decides what comes back (nothing,
// one frame, two, broken bytes) and whether the peer then goes away. A read
// that cannot be served moves the fake tick to its deadline, so a silent
// server costs the link its full read limit on the tick and the test no time
// at all.
//
// Thread-safe: the link's thread uses it while the test looks on.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/transport.h"
#include "server/wire_format.h"
#include "tests/support/fake_clock.h"

namespace drvvzt::testing {

// A frame carrying a bare message of the type (no body).
Bytes ReplyFrame(std::uint32_t type);

struct Answer {
  Bytes bytes;              // usually one whole frame; anything for a broken server
  bool then_close = false;  // the peer closes the connection after these bytes
};

struct WrittenMessage {
  int connection = 0;  // 1 for the first connection, 2 for the next...
  std::uint32_t type = 0;
  std::uint64_t sequence = 0;
  Bytes body;
};

class ScriptedTransport final : public Transport {
public:
  using Script = std::function<std::vector<Answer>(const WrittenMessage& message)>;

  // Every message is answered with mtPoll unless the script says otherwise.
  explicit ScriptedTransport(FakeTickClock& tick);

  void SetScript(Script script);
  // Every message gets these answers.
  void AnswerAllWith(std::vector<Answer> answers);
  // Connection attempts fail with this errno (0: they succeed again).
  void RefuseConnections(int error_number);
  // Writes fail with this failure and errno, until cleared with kNone.
  void FailWrites(TcpFailure failure, int error_number);

  std::vector<WrittenMessage> Messages() const;
  int Connections() const;
  // host:port of the last connection attempt.
  std::string LastPeer() const;

  TcpResult Connect(const std::string& host, std::uint16_t port) override;
  TcpResult Write(std::span<const std::uint8_t> data) override;
  TcpResult Read(std::span<std::uint8_t> out, std::uint32_t deadline) override;
  bool HasPendingInput() override;
  bool IsOpen() const override;
  void Close() override;
  void Interrupt() override;

private:
  TcpResult Failed(TcpFailure failure, const char* call, int err, std::size_t transferred = 0) const;
  void Arrive(const Answer& answer);

  FakeTickClock& tick_;
  mutable std::mutex mutex_;
  Script script_;
  int refuse_errno_ = 0;
  TcpFailure write_failure_ = TcpFailure::kNone;
  int write_errno_ = 0;
  bool interrupted_ = false;
  bool open_ = false;
  bool peer_closed_ = false;
  std::string peer_;
  int connections_ = 0;
  std::deque<std::uint8_t> inbound_;
  std::vector<WrittenMessage> messages_;
};

}  // namespace drvvzt::testing
