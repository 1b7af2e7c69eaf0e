// The message-server emulator: one serving thread polls the listening socket and
// every open connection, cuts each connection's byte stream into frames, records
// each message and answers it according to the policy of the moment. One thread
// keeps an answer as prompt as the machine allows (a driver waits only
// milliseconds for it); a delay policy holds up every connection alike.
#include "tools/lib/message_server_emulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <utility>

#include "station/station_event.h"
#include "tools/lib/event_text.h"

namespace drvvzt::tools {
namespace {

constexpr int kPollMs = 20;
// More drivers than this at once is a runaway client; further connections are
// closed as soon as they are accepted.
constexpr int kMaxOpenConnections = 64;
constexpr std::size_t kReadChunk = 65536;
// Frames above this are taken as a broken stream; the connection is dropped.
constexpr std::int32_t kMaxAcceptedFrame = 1 << 20;

void AppendBodyFields(std::ostringstream& out, const ReceivedMessage& m) {
  const Bytes& b = m.body;
  switch (m.type) {
    case mtRegister:
      if (b.size() >= 2) out << " ClientKind=" << GetU16(b, 0);
      return;
    case mtPortState:
      if (b.size() >= kPortStateSize) {
        const std::size_t n = std::min<std::size_t>(b[kPsNameLength], kPortNameMax);
        out << " port=\"" << std::string(b.begin() + kPsName, b.begin() + kPsName + n)
            << "\" open=" << int{b[kPsOpen]};
      }
      return;
    case mtFirstNumber:
      if (!b.empty()) out << " FirstNumber=" << int{b[0]};
      return;
    case mtVersion:
      if (b.size() >= kVersionBodySize) {
        out << " version=" << GetU16(b, 0) << '.' << GetU16(b, 2) << '.' << GetU16(b, 4) << '.'
            << GetU16(b, 6);
      }
      return;
    case mtStationEvent:
      if (auto event = DecodeStationEvent(b)) {
        out << " " << DescribeStationEvent(*event);
      } else {
        out << " (record of " << b.size() << " bytes, not 22)";
      }
      return;
    default:
      if (!b.empty()) out << " body=" << b.size() << " bytes";
      return;
  }
}

std::string PeerText(const sockaddr_in& addr) {
  char text[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

}  // namespace

std::string DescribeMessage(const ReceivedMessage& m) {
  std::ostringstream out;
  if (!m.valid) {
    out << "invalid message of " << m.message.size() << " bytes";
    return out.str();
  }
  out << MessageTypeName(m.type);
  if (MessageTypeName(m.type) == "unknown") {
    out << "(0x" << std::hex << m.type << std::dec << ')';
  }
  out << " seq=" << m.sequence;
  AppendBodyFields(out, m);
  return out.str();
}

MessageServerEmulator::MessageServerEmulator(EmulatorPolicy policy, Observer observer,
                                             ConnectionObserver on_connection)
    : policy_(policy), observer_(std::move(observer)), on_connection_(std::move(on_connection)) {}

MessageServerEmulator::~MessageServerEmulator() { Stop(); }

bool MessageServerEmulator::Start(std::uint16_t port, const std::string& address,
                                  std::string* error) {
  auto fail = [&](const std::string& what) {
    const int saved = errno;
    if (error) *error = what + ": " + std::strerror(saved);
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    return false;
  };
  if (thread_.joinable()) return true;
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return fail("socket");
  const int on = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    errno = EINVAL;
    return fail("address " + address);
  }
  const std::string where = address + ":" + std::to_string(port);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    return fail("bind " + where);
  }
  if (::listen(listen_fd_, 16) != 0) return fail("listen " + where);
  socklen_t len = sizeof addr;
  if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return fail("getsockname " + where);
  }
  {
    std::lock_guard lock(mutex_);
    port_ = ntohs(addr.sin_port);
    stop_ = false;
  }
  thread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void MessageServerEmulator::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();  // closes every connection on its way out
  if (listen_fd_ >= 0) ::close(listen_fd_);
  listen_fd_ = -1;
}

std::uint16_t MessageServerEmulator::Port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

EmulatorPolicy MessageServerEmulator::Policy() const {
  std::lock_guard lock(mutex_);
  return policy_;
}

void MessageServerEmulator::SetPolicy(const EmulatorPolicy& policy) {
  std::lock_guard lock(mutex_);
  policy_ = policy;
}

void MessageServerEmulator::AnswerNextWith(std::uint32_t msg_type) {
  std::lock_guard lock(mutex_);
  answer_next_ = msg_type;
}

std::vector<ReceivedMessage> MessageServerEmulator::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::size_t MessageServerEmulator::MessageCount() const {
  std::lock_guard lock(mutex_);
  return messages_.size();
}

int MessageServerEmulator::ConnectionCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(connections_.size());
}

int MessageServerEmulator::OpenConnectionCount() const {
  std::lock_guard lock(mutex_);
  return open_connections_;
}

bool MessageServerEmulator::ClientConnected() const { return OpenConnectionCount() > 0; }

std::vector<ConnectionInfo> MessageServerEmulator::Connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

bool MessageServerEmulator::WaitForMessageCount(std::size_t count,
                                                std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return messages_.size() >= count; });
}

std::optional<ReceivedMessage> MessageServerEmulator::WaitForType(
    std::uint32_t type, std::chrono::milliseconds timeout, std::size_t from) const {
  std::unique_lock lock(mutex_);
  std::optional<ReceivedMessage> found;
  changed_.wait_for(lock, timeout, [&] {
    for (std::size_t i = from; i < messages_.size(); ++i) {
      if (messages_[i].valid && messages_[i].type == type) {
        found = messages_[i];
        return true;
      }
    }
    return false;
  });
  return found;
}

bool MessageServerEmulator::WaitForConnections(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout,
                           [&] { return static_cast<int>(connections_.size()) >= count; });
}

bool MessageServerEmulator::WaitForOpenConnections(int count,
                                                   std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return open_connections_ == count; });
}

void MessageServerEmulator::Notify(const ConnectionInfo& info) {
  changed_.notify_all();
  if (on_connection_) on_connection_(info);
}

void MessageServerEmulator::AcceptLoop() {
  std::vector<pollfd> fds;
  while (true) {
    bool reading = false;
    {
      std::lock_guard lock(mutex_);
      if (stop_) break;
      reading = policy_.mode != ReplyMode::kStopReading;
    }
    fds.assign(1, pollfd{listen_fd_, POLLIN, 0});
    for (const Connection& c : clients_) fds.push_back({c.fd, short(reading ? POLLIN : 0), 0});
    if (::poll(fds.data(), fds.size(), kPollMs) < 0) continue;  // EINTR: look at the stop flag again
    std::size_t i = 1;
    for (Connection& c : clients_) {
      if (reading && (fds[i++].revents & (POLLIN | POLLHUP | POLLERR))) ReadClient(c);
    }
    clients_.remove_if([](const Connection& c) { return c.fd < 0; });
    if (fds[0].revents & POLLIN) AcceptClient();
  }
  for (Connection& c : clients_) CloseClient(c, false);
  clients_.clear();
}

void MessageServerEmulator::AcceptClient() {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
  if (fd < 0) return;
  if (OpenConnectionCount() >= kMaxOpenConnections) {
    ::close(fd);
    return;
  }
  Connection& c = clients_.emplace_back();
  c.fd = fd;
  c.peer = PeerText(addr);
  c.last_ping = std::chrono::steady_clock::now();
  ConnectionInfo info;
  {
    std::lock_guard lock(mutex_);
    c.number = static_cast<int>(connections_.size()) + 1;
    info.number = c.number;
    info.peer = c.peer;
    info.open = true;
    connections_.push_back(info);
    ++open_connections_;
  }
  Notify(info);
}

void MessageServerEmulator::ReadClient(Connection& c) {
  std::uint8_t chunk[kReadChunk];
  const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (n <= 0) {
    CloseClient(c, false);
    return;
  }
  c.buffer.insert(c.buffer.end(), chunk, chunk + n);
  ProcessBuffer(c);
}

void MessageServerEmulator::ProcessBuffer(Connection& c) {
  while (c.fd >= 0 && c.buffer.size() >= kTransportHeaderSize) {
    const TTransportHeader header =
        DecodeTransportHeader(std::span<const std::uint8_t, kTransportHeaderSize>(
            c.buffer.data(), kTransportHeaderSize));
    if (!IsFrameMarker(header.Marker) || header.FrameLength <= 0 ||
        header.FrameLength > kMaxAcceptedFrame) {
      // No way to find the next frame in a broken stream.
      HandleMessage(c, Bytes(c.buffer.begin(), c.buffer.end()), false);
      CloseClient(c, false);
      return;
    }
    const std::size_t total = kTransportHeaderSize + static_cast<std::size_t>(header.FrameLength);
    if (c.buffer.size() < total) return;
    Bytes message(c.buffer.begin() + kTransportHeaderSize, c.buffer.begin() + total);
    c.buffer.erase(c.buffer.begin(), c.buffer.begin() + total);
    HandleMessage(c, std::move(message));
  }
}

void MessageServerEmulator::HandleMessage(Connection& c, Bytes message, bool answer) {
  ReceivedMessage received;
  received.arrival = std::chrono::steady_clock::now();
  received.connection = c.number;
  received.peer = c.peer;
  received.valid = IsValidMessage(message);
  if (received.valid) {
    const TMessageHeader header = *DecodeMessageHeader(message);
    received.type = header.MsgType;
    received.sequence = header.Sequence;
    const std::size_t body_size =
        std::min<std::size_t>(header.BodyLength, message.size() - kMessageHeaderSize);
    received.body.assign(message.begin() + kMessageHeaderSize,
                         message.begin() + kMessageHeaderSize + body_size);
  }
  received.message = std::move(message);

  EmulatorPolicy policy;
  {
    std::lock_guard lock(mutex_);
    if (answer) received.reply = ChooseReply(c, received, policy);
    ConnectionInfo& info = connections_[c.number - 1];
    ++info.messages;
    if (received.valid && received.type == mtStationEvent) ++info.events;
    if (received.valid && received.type == mtRegister && received.reply == mtAccepted) {
      info.registered = true;
    }
    messages_.push_back(received);
  }
  changed_.notify_all();
  if (observer_) observer_(received);
  if (!answer) return;

  if (!PauseFor(policy.delay_ms)) return;
  if (received.reply) {
    SendReply(c, *received.reply);
  } else if (policy.mode == ReplyMode::kGarbage) {
    SendGarbage(c);
  } else if (policy.mode == ReplyMode::kReset) {
    CloseClient(c, true);
  }
}

// Runs under mutex_; also hands back the policy the answer is sent under.
std::optional<std::uint32_t> MessageServerEmulator::ChooseReply(Connection& c,
                                                                const ReceivedMessage& message,
                                                                EmulatorPolicy& policy_out) {
  policy_out = policy_;
  if (answer_next_) {
    const std::uint32_t type = *answer_next_;
    answer_next_.reset();
    policy_out.mode = ReplyMode::kAnswer;
    return type;
  }
  switch (policy_.mode) {
    case ReplyMode::kFixed: return policy_.fixed_reply;
    case ReplyMode::kSilent:
    case ReplyMode::kGarbage:
    case ReplyMode::kStopReading:
    case ReplyMode::kReset: return std::nullopt;
    case ReplyMode::kAnswer: break;
  }
  const auto now = std::chrono::steady_clock::now();
  if (policy_.ping_interval_ms > 0 &&
      now - c.last_ping >= std::chrono::milliseconds(policy_.ping_interval_ms)) {
    c.last_ping = now;
    return mtPing;
  }
  if (message.valid && message.type == mtRegister && policy_.accept_register) return mtAccepted;
  if (message.valid && message.type == mtStationEvent && policy_.ack_events) return mtSpoolAck;
  return mtPoll;
}

void MessageServerEmulator::SendReply(Connection& c, std::uint32_t msg_type) {
  if (c.fd < 0) return;
  const Bytes frame = EncodeFrame(BuildMessage(msg_type, c.reply_sequence++, {}));
  if (::send(c.fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
      static_cast<ssize_t>(frame.size())) {
    CloseClient(c, false);
  }
}

void MessageServerEmulator::SendGarbage(Connection& c) {
  if (c.fd < 0) return;
  // Starts with a byte that no transport header accepts, and is shorter than
  // one, so the driver's next read of a header times out on what is left.
  static constexpr std::uint8_t kGarbage[] = {0x47, 0x41, 0x52, 0x42, 0x41, 0x47,
                                              0x45, 0x00, 0xFF, 0xFE, 0x13, 0x37};
  if (::send(c.fd, kGarbage, sizeof kGarbage, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
    CloseClient(c, false);
  }
}

void MessageServerEmulator::CloseClient(Connection& c, bool reset) {
  if (c.fd < 0) return;
  if (reset) {
    const linger hard{1, 0};  // close with RST instead of FIN
    ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  ::close(c.fd);
  c.fd = -1;
  c.buffer.clear();
  ConnectionInfo info;
  {
    std::lock_guard lock(mutex_);
    ConnectionInfo& entry = connections_[c.number - 1];
    entry.open = false;
    --open_connections_;
    info = entry;
  }
  Notify(info);
}

// Waits without holding up Stop(); false when stopping.
bool MessageServerEmulator::PauseFor(int milliseconds) {
  std::unique_lock lock(mutex_);
  if (milliseconds > 0) {
    changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return stop_; });
  }
  return !stop_;
}

}  // namespace drvvzt::tools
