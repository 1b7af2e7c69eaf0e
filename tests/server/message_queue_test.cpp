// The outbound ring: capacity, order across the wrap, sequence numbering, and
// two producers with one consumer losing and duplicating nothing.
#include "server/message_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace drvvzt {
namespace {

Bytes Tagged(std::uint32_t tag) {
  Bytes body(4);
  PutU32(body, 0, tag);
  return body;
}

std::uint32_t TagOf(const Bytes& message) { return GetU32(message, kMessageHeaderSize); }
std::uint64_t SequenceOf(const Bytes& message) { return GetU64(message, kMhSequence); }

TEST(MessageQueue, PutMessageFramesWithConsecutiveSequences) {
  MessageQueue queue;
  EXPECT_TRUE(queue.PutMessage(mtRegister, RegisterBody()));
  EXPECT_TRUE(queue.PutMessage(mtPingReply, {}));
  EXPECT_EQ(queue.NextSequence(), 2u);

  EXPECT_EQ(queue.QueuePeek(), BuildMessage(mtRegister, 0, RegisterBody()));
  EXPECT_EQ(queue.QueuePeek(), BuildMessage(mtRegister, 0, RegisterBody()));  // peek keeps it
  queue.QueueDrop();
  EXPECT_EQ(queue.QueuePeek(), BuildMessage(mtPingReply, 1, {}));
}

TEST(MessageQueue, FullQueueRefusesButUsesUpTheSequence) {
  MessageQueue queue;
  for (std::uint32_t i = 0; i < MessageQueue::kSlots; ++i) {
    ASSERT_TRUE(queue.PutMessage(mtStationEvent, Tagged(i)));
  }
  EXPECT_FALSE(queue.PutMessage(mtStationEvent, Tagged(100)));
  EXPECT_FALSE(queue.QueuePush(Tagged(101)));
  EXPECT_EQ(queue.Count(), 100u);
  EXPECT_EQ(queue.NextSequence(), 101u);

  queue.QueueDrop();
  EXPECT_TRUE(queue.PutMessage(mtStationEvent, Tagged(102)));
  EXPECT_EQ(queue.Count(), 100u);
  EXPECT_FALSE(queue.QueuePush(Tagged(103)));

  // Drain: 1..99, then the one that took the freed slot, numbered 101 (100 was refused).
  std::vector<std::uint32_t> tags;
  std::uint64_t last_sequence = 0;
  while (auto message = queue.QueuePeek()) {
    tags.push_back(TagOf(*message));
    last_sequence = SequenceOf(*message);
    queue.QueueDrop();
  }
  ASSERT_EQ(tags.size(), 100u);
  EXPECT_EQ(tags.front(), 1u);
  EXPECT_EQ(tags[98], 99u);
  EXPECT_EQ(tags.back(), 102u);
  EXPECT_EQ(last_sequence, 101u);
}

TEST(MessageQueue, EmptyQueuePeekAndDropChangeNothing) {
  MessageQueue queue;
  queue.QueueDrop();
  EXPECT_FALSE(queue.QueuePeek().has_value());
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_TRUE(queue.QueuePush(Tagged(1)));
  EXPECT_EQ(queue.QueuePeek(), Tagged(1));
  EXPECT_EQ(queue.NextSequence(), 0u);  // a raw push is not numbered
}

TEST(MessageQueue, OrderSurvivesManyWraps) {
  MessageQueue queue;
  std::uint32_t next_in = 0;
  std::uint32_t next_out = 0;
  for (int round = 0; round < 7; ++round) {
    for (int i = 0; i < 37; ++i) ASSERT_TRUE(queue.QueuePush(Tagged(next_in++)));
    for (int i = 0; i < 30; ++i) {
      auto message = queue.QueuePeek();
      ASSERT_TRUE(message.has_value());
      EXPECT_EQ(GetU32(*message, 0), next_out++);
      queue.QueueDrop();
    }
  }
  EXPECT_EQ(queue.Count(), next_in - next_out);
}

TEST(MessageQueue, TwoProducersAndOneConsumerLoseAndDuplicateNothing) {
  MessageQueue queue;
  constexpr std::uint32_t kPerProducer = 20000;
  std::atomic<int> producers_left{2};
  std::set<std::uint32_t> refused[2];

  auto produce = [&](int id) {
    for (std::uint32_t i = 0; i < kPerProducer; ++i) {
      const std::uint32_t tag = (static_cast<std::uint32_t>(id) << 24) | i;
      if (!queue.PutMessage(mtStationEvent, Tagged(tag))) refused[id].insert(tag);
    }
    producers_left.fetch_sub(1);
  };

  std::vector<std::uint32_t> received;
  std::vector<std::uint64_t> sequences;
  std::thread consumer([&] {
    while (true) {
      const bool done = producers_left.load() == 0;
      auto message = queue.QueuePeek();
      if (!message) {
        if (done) break;
        std::this_thread::yield();
        continue;
      }
      received.push_back(TagOf(*message));
      sequences.push_back(SequenceOf(*message));
      queue.QueueDrop();
    }
  });
  std::thread a(produce, 0);
  std::thread b(produce, 1);
  a.join();
  b.join();
  consumer.join();

  EXPECT_EQ(queue.NextSequence(), 2u * kPerProducer);
  EXPECT_EQ(received.size() + refused[0].size() + refused[1].size(), 2u * kPerProducer);
  std::set<std::uint32_t> seen;
  std::uint32_t last_of[2] = {0, 0};
  bool first_of[2] = {true, true};
  for (std::uint32_t tag : received) {
    ASSERT_TRUE(seen.insert(tag).second) << "duplicate " << tag;
    const int id = static_cast<int>(tag >> 24);
    ASSERT_FALSE(refused[id].count(tag)) << "refused message delivered " << tag;
    const std::uint32_t index = tag & 0xFFFFFF;
    if (!first_of[id]) {
      ASSERT_GT(index, last_of[id]) << "producer order broken";
    }
    first_of[id] = false;
    last_of[id] = index;
  }
  for (std::size_t i = 1; i < sequences.size(); ++i) {
    ASSERT_GT(sequences[i], sequences[i - 1]) << "sequence order broken at " << i;
  }
}

}  // namespace
}  // namespace drvvzt
