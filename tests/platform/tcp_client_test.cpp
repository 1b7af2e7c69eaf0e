// The TCP client against a listener on the loopback interface run by the test.
#include "platform/tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

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
  void SetUp() override {
    ASSERT_TRUE(listener.ok());
    client.SetHost("127.0.0.1");
    client.SetPort(listener.port());
    client.SetReadTimeout(200);
    client.SetConnectedHandler([this] {
      ++connected_calls;
      open_inside_handler = client.IsOpen();
      return handler_result;
    });
    client.SetDisconnectedHandler([this] { ++disconnected_calls; });
  }
  void ConnectAndAccept() {
    ASSERT_TRUE(client.Connect().ok());
    ASSERT_GE(listener.Accept(), 0);
  }

  Listener listener;
  TcpClient client;
  bool handler_result = true;
  bool open_inside_handler = false;
  int connected_calls = 0;
  int disconnected_calls = 0;
};

TEST_F(TcpClientTest, ExchangesBytesAndRunsConnectedHandlerInsideConnect) {
  ConnectAndAccept();
  EXPECT_EQ(connected_calls, 1);
  EXPECT_TRUE(open_inside_handler);
  EXPECT_TRUE(client.IsOpen());

  ASSERT_TRUE(client.Write(Bytes("hello")).ok());
  EXPECT_EQ(listener.Receive(5), "hello");

  // An exact read collects bytes that arrive in several pieces.
  listener.Send("abc");
  listener.Send("defg");
  std::vector<std::uint8_t> buffer(7);
  const TcpResult read = client.Read(buffer);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.transferred, 7u);
  EXPECT_EQ(Text(buffer, 7), "abcdefg");
}

TEST_F(TcpClientTest, ResolvesHostNames) {
  client.SetHost("localhost");
  // localhost may resolve to ::1 first; the IPv4 listener is still reached.
  ConnectAndAccept();
  EXPECT_TRUE(client.IsOpen());
}

TEST(TcpClientIpv6, ConnectsToIpv6Loopback) {
  Listener listener(AF_INET6);
  if (!listener.ok()) GTEST_SKIP() << "no IPv6 loopback here";
  TcpClient client;
  client.SetHost("::1");
  client.SetPort(listener.port());
  ASSERT_TRUE(client.Connect().ok());
  ASSERT_GE(listener.Accept(), 0);
  ASSERT_TRUE(client.Write(Bytes("x")).ok());
  EXPECT_EQ(listener.Receive(1), "x");
}

TEST_F(TcpClientTest, FailedConnectsLeaveNoConnection) {
  struct Case {
    const char* name;
    std::string host;
    bool close_listener;
    bool handler_ok;
    TcpFailure expected;
  };
  const Case cases[] = {
      {"refused", "127.0.0.1", true, true, TcpFailure::kConnect},
      {"unknown host", "no-such-host.invalid", false, true, TcpFailure::kResolve},
      {"handler refuses", "127.0.0.1", false, false, TcpFailure::kHandler},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Listener own;
    TcpClient probe;
    int disconnects = 0;
    probe.SetHost(c.host);
    probe.SetPort(own.port());
    probe.SetConnectedHandler([&] { return c.handler_ok; });
    probe.SetDisconnectedHandler([&] { ++disconnects; });
    if (c.close_listener) own.CloseListener();
    const TcpResult result = probe.Connect();
    EXPECT_EQ(result.failure, c.expected) << TcpFailureText(result.failure);
    EXPECT_FALSE(probe.IsOpen());
    // Closing the connection the failed handler had opened counts as a disconnect.
    EXPECT_EQ(disconnects, c.expected == TcpFailure::kHandler ? 1 : 0);
  }
}

TEST_F(TcpClientTest, ThrowingConnectedHandlerFailsTheConnect) {
  client.SetConnectedHandler([]() -> bool { throw std::runtime_error("handshake"); });
  EXPECT_EQ(client.Connect().failure, TcpFailure::kHandler);
  EXPECT_FALSE(client.IsOpen());
  EXPECT_EQ(disconnected_calls, 1);
}

TEST_F(TcpClientTest, FailedReadHandsOverWhatArrived) {
  ConnectAndAccept();
  std::vector<std::uint8_t> buffer(10);

  listener.Send("123");
  TcpResult read = client.Read(buffer);
  EXPECT_EQ(read.failure, TcpFailure::kTimeout);
  EXPECT_EQ(read.transferred, 3u);
  EXPECT_EQ(Text(buffer, 3), "123");
  EXPECT_TRUE(client.IsOpen()) << "a silent peer is not a closed one";

  listener.Send("45");
  listener.DropPeer();
  read = client.Read(buffer);
  EXPECT_EQ(read.failure, TcpFailure::kClosed);
  EXPECT_EQ(read.transferred, 2u);
  EXPECT_EQ(Text(buffer, 2), "45");
  EXPECT_FALSE(client.IsOpen());
}

TEST_F(TcpClientTest, WritingToAResetPeerFailsWithoutSignal) {
  ConnectAndAccept();
  listener.DropPeer(/*reset=*/true);
  // The first write may still land in the kernel buffer; a later one must fail
  // with an error rather than kill the process with SIGPIPE.
  TcpResult write;
  for (int i = 0; i < 50 && write.ok(); ++i) write = client.Write(Bytes("data"));
  EXPECT_EQ(write.failure, TcpFailure::kClosed);
  EXPECT_FALSE(client.IsOpen());
}

TEST_F(TcpClientTest, WriteToAPeerThatNeverReadsGivesUp) {
  ConnectAndAccept();
  client.SetWriteTimeout(100);
  const std::vector<std::uint8_t> big(64u << 20, 0x55);
  const TcpResult write = client.Write(big);
  EXPECT_EQ(write.failure, TcpFailure::kTimeout);
  EXPECT_GT(write.transferred, 0u);
  EXPECT_LT(write.transferred, big.size());
}

TEST_F(TcpClientTest, CloseRunsDisconnectedHandlerOnlyForAnOpenConnection) {
  ConnectAndAccept();
  client.Close();
  EXPECT_EQ(disconnected_calls, 1);
  client.Close();
  EXPECT_EQ(disconnected_calls, 1);
  EXPECT_EQ(client.Write(Bytes("x")).failure, TcpFailure::kNotOpen);

  ConnectAndAccept();
  client.Release();
  EXPECT_FALSE(client.IsOpen());
  EXPECT_EQ(disconnected_calls, 1);

  // After the peer closed, the connection no longer counts as open.
  ConnectAndAccept();
  listener.DropPeer();
  std::vector<std::uint8_t> one(1);
  EXPECT_EQ(client.Read(one).failure, TcpFailure::kClosed);
  client.Close();
  EXPECT_EQ(disconnected_calls, 1);
}

TEST_F(TcpClientTest, StopFlagEndsWaits) {
  ConnectAndAccept();
  std::atomic<bool> stop{true};
  client.SetStopFlag(&stop);
  client.SetReadTimeout(60000);
  std::vector<std::uint8_t> buffer(4);
  EXPECT_EQ(client.Read(buffer).failure, TcpFailure::kStopped);

  TcpClient connecting;
  connecting.SetPort(listener.port());
  connecting.SetStopFlag(&stop);
  EXPECT_EQ(connecting.Connect().failure, TcpFailure::kStopped);
  EXPECT_FALSE(connecting.IsOpen());
}

}  // namespace
}  // namespace drvvzt
