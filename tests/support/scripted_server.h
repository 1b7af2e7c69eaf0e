// A message server that answers by a script, on a loopback port: for every
// message it receives, a function of the test decides which frames go back
// (none, one, two), whether they are delayed, and whether the connection then
// ends. It serves one connection at a time; a new connection replaces the old.
//
// Thread-safe: the server runs its own thread; the accessors lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "server/wire_format.h"

namespace drvvzt::testing {

struct ReceivedMessage {
  int connection = 0;  // 1 for the first connection, 2 for the next...
  std::uint32_t type = 0;
  std::uint64_t sequence = 0;
  Bytes body;
};

struct ScriptedReply {
  Bytes frame;  // a whole frame (transport header and message)
  std::chrono::milliseconds delay{0};
};

// A frame carrying a bare message of the type (no body).
Bytes ReplyFrame(std::uint32_t type);

class ScriptedServer {
public:
  using Script = std::function<std::vector<ScriptedReply>(const ReceivedMessage& message)>;

  // Every message is answered with mtPoll unless the script says otherwise.
  ScriptedServer();
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  bool Start();
  std::uint16_t Port() const { return port_; }
  void SetScript(Script script);

  std::vector<ReceivedMessage> Messages() const;
  int Connections() const;
  // Frames written so far, over all connections.
  std::size_t RepliesSent() const;
  bool WaitForRepliesSent(std::size_t count, std::chrono::milliseconds timeout) const;
  // Waits until at least count messages arrived; false on timeout.
  bool WaitForMessages(std::size_t count, std::chrono::milliseconds timeout) const;

private:
  void Run();
  void Serve(int fd, int connection);

  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Script script_;
  std::vector<ReceivedMessage> messages_;
  int connections_ = 0;
  std::size_t replies_sent_ = 0;
};

}  // namespace drvvzt::testing
