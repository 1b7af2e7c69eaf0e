// The scripted message server; see scripted_server.h.
#include "tests/support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace drvvzt::testing {
namespace {

// Reads exactly n bytes unless the peer goes or the server stops.
bool ReadExact(int fd, std::uint8_t* out, std::size_t n, const std::atomic<bool>& stop) {
  std::size_t done = 0;
  while (done < n) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, 50);
    if (stop.load()) return false;
    if (ready <= 0) continue;
    const ssize_t got = ::recv(fd, out + done, n - done, 0);
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool WriteAll(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

Bytes ReplyFrame(std::uint32_t type) { return EncodeFrame(BuildMessage(type, 0, {})); }

ScriptedServer::ScriptedServer() {
  script_ = [](const ReceivedMessage&) {
    return std::vector<ScriptedReply>{{ReplyFrame(mtPoll), {}}};
  };
}

ScriptedServer::~ScriptedServer() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

bool ScriptedServer::Start() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listen_fd_, 4) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void ScriptedServer::SetScript(Script script) {
  std::lock_guard lock(mutex_);
  script_ = std::move(script);
}

std::vector<ReceivedMessage> ScriptedServer::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

int ScriptedServer::Connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

std::size_t ScriptedServer::RepliesSent() const {
  std::lock_guard lock(mutex_);
  return replies_sent_;
}

bool ScriptedServer::WaitForRepliesSent(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return replies_sent_ >= count; });
}

bool ScriptedServer::WaitForMessages(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return messages_.size() >= count; });
}

void ScriptedServer::Run() {
  while (!stop_.load()) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // A frame is on its way once it is written: tests wait on that.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int connection = 0;
    {
      std::lock_guard lock(mutex_);
      connection = ++connections_;
    }
    Serve(fd, connection);
    ::close(fd);
  }
}

// One connection until the peer closes it or a newer one is waiting.
void ScriptedServer::Serve(int fd, int connection) {
  for (;;) {
    pollfd waiting[2] = {{fd, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    if (::poll(waiting, 2, 50) < 0 || stop_.load()) return;
    if (waiting[1].revents & POLLIN) return;  // the driver reconnected
    if (!(waiting[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    std::uint8_t head[kTransportHeaderSize];
    if (!ReadExact(fd, head, sizeof head, stop_)) return;
    const std::int32_t length = static_cast<std::int32_t>(GetU32(std::span(head), kThFrameLength));
    if (length <= 0 || length > (1 << 20)) return;
    Bytes message(static_cast<std::size_t>(length));
    if (!ReadExact(fd, message.data(), message.size(), stop_)) return;
    ReceivedMessage received;
    received.connection = connection;
    if (const auto header = DecodeMessageHeader(message)) {
      received.type = header->MsgType;
      received.sequence = header->Sequence;
    }
    if (message.size() > kMessageHeaderSize) received.body.assign(message.begin() + kMessageHeaderSize, message.end());
    Script script;
    {
      std::lock_guard lock(mutex_);
      messages_.push_back(received);
      script = script_;
    }
    changed_.notify_all();
    for (const ScriptedReply& reply : script(received)) {
      const auto until = std::chrono::steady_clock::now() + reply.delay;
      while (std::chrono::steady_clock::now() < until && !stop_.load()) {
        ::poll(nullptr, 0, 5);
      }
      if (!WriteAll(fd, reply.frame)) return;
      {
        std::lock_guard lock(mutex_);
        ++replies_sent_;
      }
      changed_.notify_all();
    }
  }
}

}  // namespace drvvzt::testing
