// The message-server emulator driven by plain client sockets on loopback:
// answers by policy, policy changes while running, several drivers at once,
// recording and decoding.
#include "tools/lib/message_server_emulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>
#include <utility>

#include "platform/datetime.h"
#include "station/station_event.h"

namespace drvvzt::tools {
namespace {

using namespace std::chrono_literals;

// A blocking loopback client with bounded reads.
class Client {
public:
  explicit Client(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  Client(Client&& other) noexcept : fd_(std::exchange(other.fd_, -1)), connected_(other.connected_) {}
  bool connected() const { return connected_; }

  void Send(const Bytes& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  void SendMessage(std::uint32_t type, std::uint64_t seq, const Bytes& body = {}) {
    Send(EncodeFrame(BuildMessage(type, seq, body)));
  }

  // Exactly n bytes, or what came before the peer closed or 3 s passed.
  Bytes Read(std::size_t n) {
    Bytes out;
    while (out.size() < n) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 3000) <= 0) break;
      std::uint8_t buf[256];
      const ssize_t got = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
      if (got <= 0) break;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  // The message of the next frame, or nothing.
  std::optional<Bytes> ReadFrame() {
    const Bytes head = Read(kTransportHeaderSize);
    if (head.size() != kTransportHeaderSize) return std::nullopt;
    return Read(GetU32(head, kThFrameLength));
  }
  std::optional<std::uint32_t> ReadReplyType() {
    auto message = ReadFrame();
    if (!message || !IsValidMessage(*message)) return std::nullopt;
    return DecodeMessageHeader(*message)->MsgType;
  }
  // Writes frames without blocking until the kernel refuses more; false when
  // 64 MiB went out without that happening.
  bool FillUntilBlocked() {
    Bytes chunk;
    const Bytes frame = EncodeFrame(PollMessage());
    while (chunk.size() < 65000) chunk.insert(chunk.end(), frame.begin(), frame.end());
    for (std::size_t sent = 0; sent < (64u << 20);) {
      const ssize_t n = ::send(fd_, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
      sent += static_cast<std::size_t>(n);
    }
    return false;
  }
  // True when the emulator closed or reset the connection.
  bool SeesEnd() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 3000) <= 0) return false;
    std::uint8_t byte;
    return ::recv(fd_, &byte, 1, 0) <= 0;
  }

private:
  int fd_ = -1;
  bool connected_ = false;
};

Bytes EventRecord() {
  TStationEvent event;
  event.ObjectNumber = 1234;
  event.Code.Length = 4;
  event.Code.Chars = {'E', '1', '3', '0'};
  event.Zone = 7;
  event.Digit3 = 11;
  event.Digit5 = 2;
  event.Time = EncodeDateTime({2026, 3, 14, 9, 26, 53, 0});
  const auto bytes = EncodeStationEvent(event);
  return Bytes(bytes.begin(), bytes.end());
}

class EmulatorTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(emulator.Start(0)); }
  MessageServerEmulator emulator;
};

TEST_F(EmulatorTest, AnswersEachFrameByPolicy) {
  struct Case {
    std::uint32_t sent;
    Bytes body;
    std::uint32_t reply;
  };
  const Case cases[] = {
      {mtRegister, {0x26, 0x00}, mtAccepted},
      {mtStationEvent, EventRecord(), mtSpoolAck},
      {mtPoll, {}, mtPoll},
      {mtVersion, {1, 0, 0, 0, 0, 0, 1, 0}, mtPoll},
  };
  Client client(emulator.Port());
  ASSERT_TRUE(client.connected());
  std::uint64_t seq = 10;
  for (const Case& c : cases) {
    client.SendMessage(c.sent, seq++, c.body);
    EXPECT_EQ(client.ReadReplyType(), c.reply) << MessageTypeName(c.sent);
  }

  const auto messages = emulator.Messages();
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[1].type, mtStationEvent);
  EXPECT_EQ(messages[1].sequence, 11u);
  EXPECT_EQ(messages[1].body, EventRecord());
  EXPECT_EQ(messages[1].connection, 1);
  EXPECT_EQ(messages[1].reply, mtSpoolAck);
}

TEST_F(EmulatorTest, PolicyChangesTakeEffectWhileRunning) {
  Client client(emulator.Port());
  EmulatorPolicy policy;
  policy.accept_register = false;
  emulator.SetPolicy(policy);
  client.SendMessage(mtRegister, 0, {0x26, 0});
  EXPECT_EQ(client.ReadReplyType(), mtPoll);

  emulator.AnswerNextWith(mtPing);
  client.SendMessage(mtPoll, 0);
  EXPECT_EQ(client.ReadReplyType(), mtPing);
  client.SendMessage(mtPoll, 0);
  EXPECT_EQ(client.ReadReplyType(), mtPoll);  // the override was for one frame only

  policy.mode = ReplyMode::kFixed;
  policy.fixed_reply = mtDenied;
  emulator.SetPolicy(policy);
  client.SendMessage(mtPoll, 0);
  EXPECT_EQ(client.ReadReplyType(), mtDenied);

  // Silent: the frame is recorded unanswered; the next answer is for the next frame.
  policy.mode = ReplyMode::kSilent;
  emulator.SetPolicy(policy);
  client.SendMessage(mtPortState, 1, {4, 'C', 'O', 'M', '1', 0, 0, 1});
  ASSERT_TRUE(emulator.WaitForType(mtPortState, 3s).has_value());
  policy.mode = ReplyMode::kAnswer;
  emulator.SetPolicy(policy);
  client.SendMessage(mtFirstNumber, 2, {5});
  EXPECT_EQ(client.ReadReplyType(), mtPoll);
  const auto silent = emulator.WaitForType(mtPortState, 0ms);
  EXPECT_FALSE(silent->reply.has_value());
}

TEST_F(EmulatorTest, GarbageAndResetPolicies) {
  EmulatorPolicy policy;
  policy.mode = ReplyMode::kGarbage;
  emulator.SetPolicy(policy);
  {
    Client client(emulator.Port());
    client.SendMessage(mtPoll, 0);
    const Bytes reply = client.Read(1);
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_FALSE(IsFrameMarker(reply[0]));
  }
  policy.mode = ReplyMode::kReset;
  emulator.SetPolicy(policy);
  Client client(emulator.Port());
  client.SendMessage(mtPoll, 0);
  EXPECT_TRUE(client.SeesEnd());
}

TEST_F(EmulatorTest, StopReadingLetsTheDriversWritesBackUpUntilResumed) {
  EmulatorPolicy policy;
  policy.mode = ReplyMode::kStopReading;
  emulator.SetPolicy(policy);
  Client client(emulator.Port());
  ASSERT_TRUE(emulator.WaitForConnections(1, 3s));
  EXPECT_TRUE(client.FillUntilBlocked());
  EXPECT_EQ(emulator.MessageCount(), 0u);

  emulator.SetPolicy(EmulatorPolicy{});
  EXPECT_TRUE(emulator.WaitForMessageCount(1, 3s));
  EXPECT_EQ(client.ReadReplyType(), mtPoll);
}

TEST_F(EmulatorTest, ServesSeveralDriversAtOnceEachWithItsOwnState) {
  Client first(emulator.Port());
  first.SendMessage(mtRegister, 0, {0x26, 0});
  ASSERT_EQ(first.ReadReplyType(), mtAccepted);

  // The second driver does not drop the first, and its handshake is its own:
  // its register is refused with mtPoll while the first stays registered.
  Client second(emulator.Port());
  ASSERT_TRUE(emulator.WaitForOpenConnections(2, 3s));
  EmulatorPolicy policy;
  policy.accept_register = false;
  emulator.SetPolicy(policy);
  second.SendMessage(mtRegister, 0, {0x26, 0});
  EXPECT_EQ(second.ReadReplyType(), mtPoll);
  emulator.SetPolicy(EmulatorPolicy{});
  first.SendMessage(mtStationEvent, 1, EventRecord());
  second.SendMessage(mtStationEvent, 1, EventRecord());
  second.SendMessage(mtPoll, 2);
  EXPECT_EQ(first.ReadReplyType(), mtSpoolAck);
  EXPECT_EQ(second.ReadReplyType(), mtSpoolAck);
  EXPECT_EQ(second.ReadReplyType(), mtPoll);

  ASSERT_TRUE(emulator.WaitForMessageCount(5, 3s));
  const auto connections = emulator.Connections();
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_TRUE(connections[0].registered);
  EXPECT_FALSE(connections[1].registered) << "its register was answered with mtPoll";
  EXPECT_EQ(connections[0].messages, 2u);
  EXPECT_EQ(connections[1].messages, 3u);
  EXPECT_EQ(connections[0].events, 1u);
  EXPECT_EQ(connections[1].events, 1u);
  for (const ReceivedMessage& m : emulator.Messages()) {
    ASSERT_TRUE(m.connection == 1 || m.connection == 2);
    EXPECT_EQ(m.peer, connections[m.connection - 1].peer);
    EXPECT_EQ(m.peer.rfind("127.0.0.1:", 0), 0u) << m.peer;
  }
  EXPECT_NE(connections[0].peer, connections[1].peer);

  // One driver leaving leaves the other served.
  { Client gone = std::move(first); }
  ASSERT_TRUE(emulator.WaitForOpenConnections(1, 3s));
  EXPECT_FALSE(emulator.Connections()[0].open);
  second.SendMessage(mtPoll, 3);
  EXPECT_EQ(second.ReadReplyType(), mtPoll);
}

TEST_F(EmulatorTest, ResetAndPingConcernOneConnectionOnly) {
  EmulatorPolicy policy;
  policy.ping_interval_ms = 1;
  emulator.SetPolicy(policy);
  Client first(emulator.Port());
  Client second(emulator.Port());
  ASSERT_TRUE(emulator.WaitForOpenConnections(2, 3s));
  // Both were accepted before this point, so after it each connection's
  // interval has passed, however the machine schedules the test.
  std::this_thread::sleep_for(2ms);
  first.SendMessage(mtPoll, 0);
  EXPECT_EQ(first.ReadReplyType(), mtPing);
  second.SendMessage(mtPoll, 0);
  EXPECT_EQ(second.ReadReplyType(), mtPing) << "the first connection's ping is not the second's";

  policy.ping_interval_ms = 0;
  policy.mode = ReplyMode::kReset;
  emulator.SetPolicy(policy);
  first.SendMessage(mtPoll, 1);
  EXPECT_TRUE(first.SeesEnd());
  ASSERT_TRUE(emulator.WaitForOpenConnections(1, 3s));
  emulator.SetPolicy(EmulatorPolicy{});
  second.SendMessage(mtPoll, 1);
  EXPECT_EQ(second.ReadReplyType(), mtPoll);
}

TEST_F(EmulatorTest, BrokenStreamIsRecordedAndDropped) {
  Client client(emulator.Port());
  Bytes junk(30, 0x41);
  client.Send(junk);
  EXPECT_TRUE(client.SeesEnd());
  ASSERT_TRUE(emulator.WaitForMessageCount(1, 3s));
  EXPECT_FALSE(emulator.Messages()[0].valid);
  EXPECT_FALSE(emulator.Messages()[0].reply.has_value());
}

TEST(EmulatorDescribe, DecodesBodyFields) {
  struct Case {
    std::uint32_t type;
    Bytes body;
    std::string expected;
  };
  const Case cases[] = {
      {mtRegister, {0x26, 0}, "mtRegister seq=3 ClientKind=38"},
      {mtPortState, {6, 't', 't', 'y', 'U', 'S', 'B', 1}, "mtPortState seq=3 port=\"ttyUSB\" open=1"},
      {mtFirstNumber, {9}, "mtFirstNumber seq=3 FirstNumber=9"},
      {mtVersion, {1, 0, 0, 0, 0, 0, 1, 0}, "mtVersion seq=3 version=1.0.0.1"},
      {mtStationEvent, EventRecord(),
       "mtStationEvent seq=3 object=1234 code=\"E130\" zone=7 digit3=11 digit5=2 "
       "time=14.03.2026 09:26:53.000"},
      {mtPingReply, {}, "mtPingReply seq=3"},
  };
  for (const Case& c : cases) {
    ReceivedMessage m;
    m.valid = true;
    m.type = c.type;
    m.sequence = 3;
    m.body = c.body;
    EXPECT_EQ(DescribeMessage(m), c.expected);
  }
}

}  // namespace
}  // namespace drvvzt::tools
