// The 100-slot ring behind PutMessage; one mutex keeps producers and the
// consumer from ever seeing a half-updated ring or a reused sequence number.
#include "server/message_queue.h"

namespace drvvzt {
namespace {

std::size_t NextSlot(std::size_t index) { return (index + 1) % MessageQueue::kSlots; }

}  // namespace

std::optional<std::uint64_t> MessageQueue::PutMessage(std::uint32_t msg_type,
                                                     std::span<const std::uint8_t> body,
                                                     const AcceptedFn& accepted) {
  std::lock_guard lock(mutex_);
  const std::uint64_t sequence = NextSequence_++;
  if (!PushLocked(BuildMessage(msg_type, sequence, body), msg_type, sequence)) return std::nullopt;
  if (accepted) accepted(sequence);
  return sequence;
}

bool MessageQueue::QueuePush(std::span<const std::uint8_t> message) {
  // A message built elsewhere: its header is the only record of its type and number.
  const std::optional<TMessageHeader> header = DecodeMessageHeader(message);
  std::lock_guard lock(mutex_);
  return PushLocked(message, header ? header->MsgType : 0, header ? header->Sequence : 0);
}

std::optional<QueuedMessage> MessageQueue::Front() const {
  std::lock_guard lock(mutex_);
  if (EmptyLocked()) return std::nullopt;
  return Slots[Head];
}

std::optional<Bytes> MessageQueue::QueuePeek() const {
  std::optional<QueuedMessage> front = Front();
  if (!front) return std::nullopt;
  return std::move(front->message);
}

void MessageQueue::QueueDrop() {
  std::lock_guard lock(mutex_);
  if (EmptyLocked()) return;
  Bytes().swap(Slots[Head].message);
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

bool MessageQueue::PushLocked(std::span<const std::uint8_t> message, std::uint32_t msg_type,
                              std::uint64_t sequence) {
  if (Full) return false;
  Slots[Tail].msg_type = msg_type;
  Slots[Tail].sequence = sequence;
  Slots[Tail].message.assign(message.begin(), message.end());
  Tail = NextSlot(Tail);
  Full = Tail == Head;
  return true;
}

}  // namespace drvvzt
