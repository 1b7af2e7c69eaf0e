// The outbound queue of the server link: a ring of 100 complete, framed-ready
// messages (header and body) and the sequence counter that numbers them.
//
// Thread-safety: every public call is safe from any thread. PutMessage and
// QueuePush may run on two producer threads at once while the link thread peeks
// and drops; numbering and appending of one message are indivisible.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>

#include "server/wire_format.h"

namespace drvvzt {

// A queued message, and the type and sequence number in its header.
struct QueuedMessage {
  std::uint32_t msg_type = 0;
  std::uint64_t sequence = 0;
  Bytes message;
};

class MessageQueue {
public:
  static constexpr std::size_t kSlots = 100;
  // Runs while a taken message is numbered and appended, before any consumer
  // can see it; it must not call back into the queue.
  using AcceptedFn = std::function<void(std::uint64_t sequence)>;

  // Builds the message with the current NextSequence (which then rises by one,
  // whether or not the message is taken) and appends it. The sequence number it
  // carries; nothing when the queue was full and the message was discarded.
  std::optional<std::uint64_t> PutMessage(std::uint32_t msg_type, std::span<const std::uint8_t> body,
                                          const AcceptedFn& accepted = {});
  // Appends a complete message; false (nothing stored) when all slots are taken.
  bool QueuePush(std::span<const std::uint8_t> message);
  // A copy of the oldest message, which stays queued; nothing when empty.
  std::optional<QueuedMessage> Front() const;
  // The same without its number.
  std::optional<Bytes> QueuePeek() const;
  // Removes the oldest message; no effect when empty.
  void QueueDrop();

  // The number the next framed message will carry.
  std::uint64_t NextSequence() const;
  std::size_t Count() const;

private:
  bool PushLocked(std::span<const std::uint8_t> message, std::uint32_t msg_type, std::uint64_t sequence);
  bool EmptyLocked() const { return Head == Tail && !Full; }

  mutable std::mutex mutex_;
  std::array<QueuedMessage, kSlots> Slots{};
  std::size_t Head = 0;
  std::size_t Tail = 0;
  bool Full = false;
  std::uint64_t NextSequence_ = 0;
};

}  // namespace drvvzt
