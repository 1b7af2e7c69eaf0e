// The 100-slot ring behind PutMessage; one mutex keeps producers and the
// consumer from ever seeing a half-updated ring or a reused sequence number.
#include "server/message_queue.h"

namespace drvvzt {
namespace {

std::size_t NextSlot(std::size_t index) { return (index + 1) % MessageQueue::kSlots; }

}  // namespace

std::optional<std::uint64_t> MessageQueue::PutMessage(std::uint32_t msg_type,
                                                     std::span<const std::uint8_t> body) {
  std::lock_guard lock(mutex_);
  const std::uint64_t sequence = NextSequence_++;
  if (!PushLocked(BuildMessage(msg_type, sequence, body))) return std::nullopt;
  return sequence;
}

bool MessageQueue::QueuePush(std::span<const std::uint8_t> message) {
  std::lock_guard lock(mutex_);
  return PushLocked(message);
}

std::optional<Bytes> MessageQueue::QueuePeek() const {
  std::lock_guard lock(mutex_);
  if (EmptyLocked()) return std::nullopt;
  return Slots[Head];
}

void MessageQueue::QueueDrop() {
  std::lock_guard lock(mutex_);
  if (EmptyLocked()) return;
  Bytes().swap(Slots[Head]);
  Head = NextSlot(Head);
  Full = false;
}

std::uint64_t MessageQueue::NextSequence() const {
  std::lock_guard lock(mutex_);
  return NextSequence_;
}

std::size_t MessageQueue::Count() const {
  std::lock_guard lock(mutex_);
  if (Full) return kSlots;
  return (Tail + kSlots - Head) % kSlots;
}

bool MessageQueue::PushLocked(std::span<const std::uint8_t> message) {
  if (Full) return false;
  Slots[Tail].assign(message.begin(), message.end());
  Tail = NextSlot(Tail);
  Full = Tail == Head;
  return true;
}

}  // namespace drvvzt
