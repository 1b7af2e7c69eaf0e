// The TCP client against a listener on the loopback interface run by the test.
// Deadlines are ticks of a fake clock wherever the case allows: a passed
// deadline takes what has arrived without waiting, a frozen clock waits until
// data come or the client is interrupted.
#include "platform/tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fake_clock.h"

namespace drvvzt {
namespace {

// A listening socket on 127.0.0.1 (or ::1) with an OS-chosen port.
class Listener {
public:
  explicit Listener(int family = AF_INET) {
    fd_ = socket(family, SOCK_STREAM, 0);
    if (family == AF_INET) {
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    } else {
      sockaddr_in6 addr{};
      addr.sin6_family = AF_INET6;
      addr.sin6_addr = in6addr_loopback;
      ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ok_ = ok_ && listen(fd_, 4) == 0;
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                    : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  }
  ~Listener() {
    if (peer_ >= 0) close(peer_);
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }
  std::uint16_t port() const { return port_; }
  int Accept() {
    peer_ = accept(fd_, nullptr, nullptr);
    return peer_;
  }
  void Send(const std::string& bytes) { ASSERT_EQ(send(peer_, bytes.data(), bytes.size(), 0), ssize_t(bytes.size())); }
  std::string Receive(std::size_t n) {
    std::string got(n, '\0');
    std::size_t done = 0;
    while (done < n) {
      const ssize_t r = recv(peer_, got.data() + done, n - done, 0);
      if (r <= 0) break;
      done += static_cast<std::size_t>(r);
    }
    got.resize(done);
    return got;
  }
  // Closes the accepted connection; with reset, the peer sees RST instead of FIN.
  void DropPeer(bool reset = false) {
    if (reset) {
      linger hard{1, 0};
      setsockopt(peer_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    close(peer_);
    peer_ = -1;
  }
  void CloseListener() {
    close(fd_);
    fd_ = -1;
  }

private:
  int fd_ = -1;
  int peer_ = -1;
  bool ok_ = false;
  std::uint16_t port_ = 0;
};

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string Text(const std::vector<std::uint8_t>& bytes, std::size_t n) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), n);
}

class TcpClientTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(listener.ok()); }
  void ConnectAndAccept() {
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.port()).ok());
    ASSERT_GE(listener.Accept(), 0);
  }
  // A deadline that has already passed.
  std::uint32_t Now() { return tick.NowTick(); }
  // A deadline the frozen clock never reaches.
  std::uint32_t Never() { return tick.NowTick() + 0x7FFFFFFFu; }
  std::string Peer() const { return "127.0.0.1:" + std::to_string(listener.port()); }

  Listener listener;
  testing::FakeTickClock tick{5000};
  TcpClient client{tick};
};

TEST_F(TcpClientTest, ExchangesBytes) {
  ConnectAndAccept();
  EXPECT_TRUE(client.IsOpen());

  ASSERT_TRUE(client.Write(Bytes("hello")).ok());
  EXPECT_EQ(listener.Receive(5), "hello");

  // An exact read collects bytes that arrive in several pieces.
  listener.Send("abc");
  listener.Send("defg");
  std::vector<std::uint8_t> buffer(7);
  const TcpResult read = client.Read(buffer, Never());
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.transferred, 7u);
  EXPECT_EQ(Text(buffer, 7), "abcdefg");
}

TEST_F(TcpClientTest, ResolvesHostNames) {
  // localhost may resolve to ::1 first; the IPv4 listener is still reached.
  ASSERT_TRUE(client.Connect("localhost", listener.port()).ok());
  ASSERT_GE(listener.Accept(), 0);
  EXPECT_TRUE(client.IsOpen());
}

TEST(TcpClientIpv6, ConnectsToIpv6Loopback) {
  Listener listener(AF_INET6);
  if (!listener.ok()) GTEST_SKIP() << "no IPv6 loopback here";
  TcpClient client;
  ASSERT_TRUE(client.Connect("::1", listener.port()).ok());
  ASSERT_GE(listener.Accept(), 0);
  ASSERT_TRUE(client.Write(Bytes("x")).ok());
  EXPECT_EQ(listener.Receive(1), "x");
}

// A failure names the call, the server and the system's error.
TEST_F(TcpClientTest, FailedConnectsKeepTheirCause) {
  struct Case {
    const char* name;
    std::string host;
    TcpFailure expected;
    const char* call;
    int error_number;
  };
  const Case cases[] = {
      {"refused", "127.0.0.1", TcpFailure::kConnect, "connect", ECONNREFUSED},
      {"unknown host", "no-such-host.invalid", TcpFailure::kResolve, "getaddrinfo", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Listener own;
    const std::uint16_t port = own.port();
    own.CloseListener();
    TcpClient probe{tick};
    const TcpResult result = probe.Connect(c.host, port);
    EXPECT_EQ(result.failure, c.expected) << TcpFailureText(result.failure);
    EXPECT_EQ(result.error.call, c.call);
    EXPECT_EQ(result.error.path, c.host + ":" + std::to_string(port));
    EXPECT_EQ(result.error.error_number, c.error_number);
    EXPECT_FALSE(probe.IsOpen());
  }
}

TEST(TcpResultText, SaysWhatFailedWhere) {
  struct Case {
    TcpResult result;
    std::string text;
  };
  const Case cases[] = {
      {TcpResult{}, ""},
      {TcpResult{TcpFailure::kConnect, SysError::Of(ECONNREFUSED, "connect", "h:1"), 0},
       "connect h:1: " + ErrnoText(ECONNREFUSED)},
      {TcpResult{TcpFailure::kClosed, SysError::Of(0, "recv", "h:1"), 3}, "recv h:1: closed by peer"},
      {TcpResult{TcpFailure::kResolve, SysError::Of(0, "getaddrinfo", "x.invalid:1"), 0},
       "getaddrinfo x.invalid:1: host not found"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result.Text(), c.text);
}

TEST_F(TcpClientTest, FailedReadHandsOverWhatArrived) {
  ConnectAndAccept();
  std::vector<std::uint8_t> buffer(10);

  // Bytes already there are taken even after the deadline.
  listener.Send("123");
  TcpResult read = client.Read(buffer, Now());
  EXPECT_EQ(read.failure, TcpFailure::kTimeout);
  EXPECT_EQ(read.transferred, 3u);
  EXPECT_EQ(Text(buffer, 3), "123");
  EXPECT_EQ(read.error.error_number, ETIMEDOUT);
  EXPECT_TRUE(client.IsOpen()) << "a silent peer is not a closed one";

  listener.Send("45");
  listener.DropPeer();
  read = client.Read(buffer, Never());
  EXPECT_EQ(read.failure, TcpFailure::kClosed);
  EXPECT_EQ(read.transferred, 2u);
  EXPECT_EQ(Text(buffer, 2), "45");
  EXPECT_FALSE(client.IsOpen());
}

// On the real clock a read gives up at its deadline.
TEST_F(TcpClientTest, ReadGivesUpAtItsDeadline) {
  TcpClient timed;
  ASSERT_TRUE(timed.Connect("127.0.0.1", listener.port()).ok());
  ASSERT_GE(listener.Accept(), 0);
  std::vector<std::uint8_t> buffer(4);
  EXPECT_EQ(timed.Read(buffer, SystemTick().NowTick() + 50).failure, TcpFailure::kTimeout);
}

TEST_F(TcpClientTest, WritingToAResetPeerFailsWithoutSignal) {
  ConnectAndAccept();
  listener.DropPeer(/*reset=*/true);
  // The first write may still land in the kernel buffer; a later one must fail
  // with an error rather than kill the process with SIGPIPE.
  TcpResult write;
  for (int i = 0; i < 50 && write.ok(); ++i) write = client.Write(Bytes("data"));
  EXPECT_EQ(write.failure, TcpFailure::kClosed);
  EXPECT_EQ(write.error.call, "send");
  EXPECT_EQ(write.error.path, Peer());
  EXPECT_NE(write.error.error_number, 0);
  EXPECT_FALSE(client.IsOpen());
}

TEST_F(TcpClientTest, WriteToAPeerThatNeverReadsGivesUp) {
  TcpClient timed;
  timed.SetWriteTimeout(100);
  ASSERT_TRUE(timed.Connect("127.0.0.1", listener.port()).ok());
  ASSERT_GE(listener.Accept(), 0);
  const std::vector<std::uint8_t> big(64u << 20, 0x55);
  const TcpResult write = timed.Write(big);
  EXPECT_EQ(write.failure, TcpFailure::kTimeout);
  EXPECT_GT(write.transferred, 0u);
  EXPECT_LT(write.transferred, big.size());
}

TEST_F(TcpClientTest, ClosedOrGoneConnectionIsNotOpen) {
  ConnectAndAccept();
  client.Close();
  EXPECT_FALSE(client.IsOpen());
  client.Close();
  EXPECT_EQ(client.Write(Bytes("x")).failure, TcpFailure::kNotOpen);
  EXPECT_FALSE(client.HasPendingInput());

  // After the peer closed, the connection no longer counts as open.
  ConnectAndAccept();
  listener.DropPeer();
  std::vector<std::uint8_t> one(1);
  EXPECT_EQ(client.Read(one, Never()).failure, TcpFailure::kClosed);
  EXPECT_FALSE(client.IsOpen());
}

TEST_F(TcpClientTest, PendingInputIsSeenWithoutConsumingIt) {
  ConnectAndAccept();
  EXPECT_FALSE(client.HasPendingInput());
  // Both bytes come in one segment: once the first is read, the second waits.
  listener.Send("yz");
  std::vector<std::uint8_t> one(1);
  ASSERT_TRUE(client.Read(one, Never()).ok());
  EXPECT_TRUE(client.HasPendingInput());
  EXPECT_TRUE(client.HasPendingInput()) << "looking consumes nothing";
  ASSERT_TRUE(client.Read(one, Now()).ok());
  EXPECT_EQ(Text(one, 1), "z");
  EXPECT_FALSE(client.HasPendingInput());
}

// Interrupt() from another thread ends a wait that no deadline would end, and
// every later one.
TEST_F(TcpClientTest, InterruptEndsWaits) {
  ConnectAndAccept();
  TcpResult read;
  std::thread reader([&] {
    std::vector<std::uint8_t> buffer(4);
    read = client.Read(buffer, Never());
  });
  client.Interrupt();
  reader.join();
  EXPECT_EQ(read.failure, TcpFailure::kStopped);
  EXPECT_EQ(client.Connect("127.0.0.1", listener.port()).failure, TcpFailure::kStopped);
  EXPECT_FALSE(client.IsOpen());
}

}  // namespace
}  // namespace drvvzt
