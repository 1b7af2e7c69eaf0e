// The in-memory message server; see scripted_transport.h.
#include "tests/support/scripted_transport.h"

#include <cerrno>
#include <string>

namespace drvvzt::testing {

Bytes ReplyFrame(std::uint32_t type) { return EncodeFrame(BuildMessage(type, 0, {})); }

ScriptedTransport::ScriptedTransport(FakeTickClock& tick) : tick_(tick) {
  AnswerAllWith({{ReplyFrame(mtPoll)}});
}

void ScriptedTransport::SetScript(Script script) {
  std::lock_guard lock(mutex_);
  script_ = std::move(script);
}

void ScriptedTransport::AnswerAllWith(std::vector<Answer> answers) {
  SetScript([answers](const WrittenMessage&) { return answers; });
}

void ScriptedTransport::RefuseConnections(int error_number) {
  std::lock_guard lock(mutex_);
  refuse_errno_ = error_number;
}

void ScriptedTransport::FailWrites(TcpFailure failure, int error_number) {
  std::lock_guard lock(mutex_);
  write_failure_ = failure;
  write_errno_ = error_number;
}

std::vector<WrittenMessage> ScriptedTransport::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

int ScriptedTransport::Connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

std::string ScriptedTransport::LastPeer() const {
  std::lock_guard lock(mutex_);
  return peer_;
}

TcpResult ScriptedTransport::Failed(TcpFailure failure, const char* call, int err,
                                    std::size_t transferred) const {
  return TcpResult{failure, SysError::Of(err, call, peer_), transferred};
}

TcpResult ScriptedTransport::Connect(const std::string& host, std::uint16_t port) {
  std::lock_guard lock(mutex_);
  open_ = false;
  inbound_.clear();
  peer_ = host + ":" + std::to_string(port);
  if (interrupted_) return Failed(TcpFailure::kStopped, "connect", 0);
  if (refuse_errno_ != 0) return Failed(TcpFailure::kConnect, "connect", refuse_errno_);
  open_ = true;
  peer_closed_ = false;
  ++connections_;
  return {};
}

TcpResult ScriptedTransport::Write(std::span<const std::uint8_t> data) {
  std::lock_guard lock(mutex_);
  if (interrupted_) return Failed(TcpFailure::kStopped, "send", 0);
  if (!open_) return Failed(TcpFailure::kNotOpen, "send", 0);
  if (peer_closed_) {
    open_ = false;  // found gone, as a socket would be
    return Failed(TcpFailure::kClosed, "send", EPIPE);
  }
  if (write_failure_ != TcpFailure::kNone) {
    if (write_failure_ == TcpFailure::kClosed) open_ = false;
    return Failed(write_failure_, "send", write_errno_);
  }
  const std::span<const std::uint8_t> message = data.subspan(kTransportHeaderSize);
  const std::optional<TMessageHeader> header = DecodeMessageHeader(message);
  WrittenMessage written;
  written.connection = connections_;
  written.type = header ? header->MsgType : 0;
  written.sequence = header ? header->Sequence : 0;
  written.body.assign(message.begin() + static_cast<std::ptrdiff_t>(kMessageHeaderSize), message.end());
  messages_.push_back(written);
  if (script_) {
    for (const Answer& answer : script_(written)) Arrive(answer);
  }
  return TcpResult{TcpFailure::kNone, {}, data.size()};
}

void ScriptedTransport::Arrive(const Answer& answer) {
  inbound_.insert(inbound_.end(), answer.bytes.begin(), answer.bytes.end());
  if (answer.then_close) peer_closed_ = true;
}

TcpResult ScriptedTransport::Read(std::span<std::uint8_t> out, std::uint32_t deadline) {
  std::lock_guard lock(mutex_);
  if (interrupted_) return Failed(TcpFailure::kStopped, "recv", 0);
  if (!open_) return Failed(TcpFailure::kNotOpen, "recv", 0);
  std::size_t done = 0;
  while (done < out.size() && !inbound_.empty()) {
    out[done++] = inbound_.front();
    inbound_.pop_front();
  }
  if (done == out.size()) return TcpResult{TcpFailure::kNone, {}, done};
  if (peer_closed_) {
    open_ = false;
    return Failed(TcpFailure::kClosed, "recv", 0, done);
  }
  // Nothing more comes: the wait lasts until the deadline.
  if (!DeadlinePassed(tick_.NowTick(), deadline)) tick_.Set(deadline);
  return Failed(TcpFailure::kTimeout, "recv", ETIMEDOUT, done);
}

bool ScriptedTransport::HasPendingInput() {
  std::lock_guard lock(mutex_);
  return open_ && !inbound_.empty();
}

bool ScriptedTransport::IsOpen() const {
  std::lock_guard lock(mutex_);
  return open_;
}

void ScriptedTransport::Close() {
  std::lock_guard lock(mutex_);
  open_ = false;
  inbound_.clear();
}

void ScriptedTransport::Interrupt() {
  std::lock_guard lock(mutex_);
  interrupted_ = true;
}

}  // namespace drvvzt::testing
