// Custody on the server link: which reply settles which message, and what is
// deleted, kept or spooled. A scripted server on the loopback interface answers
// each message as the case needs (late, twice, with the wrong type, broken);
// the link is driven step by step on a fake tick.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "server/server_link.h"
#include "server/spool_link.h"
#include "station/station_event.h"
#include "tests/support/fake_clock.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ReceivedMessage;
using testing::ReplyFrame;
using testing::ScriptedReply;

class QuietHost final : public LinkHost {
public:
  std::string ComPort() override { return "COM1"; }
  bool PortOpen() override { return true; }
  int FirstNumber() override { return 4; }
  void LogLine(const std::string& line) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
  }
  void StepServerTick() override {}
  int Count(const std::string& text) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& line : lines_) n += line.ends_with(text);
    return n;
  }

private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

class FateRecorder final : public LinkObserver {
public:
  void OnConnected() override {}
  void OnSpoolFileSettled(const std::string& path, SpoolFate fate) override {
    fates.emplace_back(fs::path(path).filename().string(), fate);
  }
  std::vector<std::pair<std::string, SpoolFate>> fates;
};

Bytes Record(std::int32_t object) {
  TStationEvent event;
  event.ObjectNumber = object;
  const StationEventBytes bytes = EncodeStationEvent(event);
  return Bytes(bytes.begin(), bytes.end());
}

// A transport header announcing a negative frame length, and nothing after it.
Bytes NegativeLengthFrame() {
  Bytes frame = ReplyFrame(mtPoll);
  frame.resize(kTransportHeaderSize);
  PutU32(frame, kThFrameLength, 0xFFFFFFF0u);
  PutU32(frame, kThFrameLengthCopy, 0xFFFFFFF0u);
  return frame;
}

// A frame whose message lacks its end marker: a frame, but no valid message.
Bytes InvalidMessageFrame() {
  Bytes message = BuildMessage(mtPoll, 0, {});
  message[kMhEndMarker] = 0;
  return EncodeFrame(message);
}

class LinkCustodyTest : public ::testing::Test {
protected:
  static constexpr int kReadTimeoutMs = 500;

  void SetUp() override {
    ASSERT_TRUE(server.Start());
    dir.Write("drvvzt.ini", "[ServerHost]\nPort=" + std::to_string(server.Port()) + "\n");
    ServerLinkOptions options;
    options.work_dir = dir.path().string();
    options.reply_read_timeout_ms = kReadTimeoutMs;
    options.in_flight = &in_flight;
    options.spool = [this](std::span<const std::uint8_t> record) {
      spooled.emplace_back(record.begin(), record.end());
      return true;
    };
    link = std::make_unique<cl>(host, tick, clock, options);
    link->SetObserver(&fates);
    link->PrepareRun();
  }

  // Every message is answered by `reply` from now on.
  void AnswerAllWith(std::vector<ScriptedReply> reply) {
    server.SetScript([reply](const ReceivedMessage&) { return reply; });
  }
  // Station events and forwarded files get `event_reply`; the rest mtPoll.
  void AnswerEventsWith(std::vector<ScriptedReply> event_reply) {
    server.SetScript([event_reply](const ReceivedMessage& m) {
      if (m.type == mtStationEvent) return event_reply;
      return std::vector<ScriptedReply>{{ReplyFrame(mtPoll), {}}};
    });
  }

  void Connect() {
    const std::size_t before = server.Messages().size();
    const std::size_t replies = server.RepliesSent();
    tick.Advance(5001);
    link->LinkStep();
    ASSERT_TRUE(link->IsLinkUp());
    for (int i = 0; i < 4; ++i) link->LinkStep();
    ASSERT_TRUE(server.WaitForMessages(before + 4, 5s));
    ASSERT_TRUE(server.WaitForRepliesSent(replies + 4, 5s));
  }

  // The server closes the connection at the next message, so that the next
  // case starts on a fresh one.
  void EndConnection() {
    AnswerAllWith({{ReplyFrame(mtClose), {}}});
    for (int guard = 0; guard < 50 && link->IsLinkUp(); ++guard) {
      link->PutMessage(mtPortState, Bytes(8, 0));
      link->LinkStep();
    }
    ASSERT_FALSE(link->IsLinkUp());
    AnswerAllWith({{ReplyFrame(mtPoll), {}}});
  }

  std::string File(const std::string& name, std::int32_t object) {
    Bytes content = {0x32, 0x00, 0x00, 0x03};
    const Bytes record = Record(object);
    content.insert(content.end(), record.begin(), record.end());
    dir.Write(name, std::string(content.begin(), content.end()));
    return dir.File(name);
  }
  void QueueLive(const std::string& name, std::int32_t object) {
    ASSERT_TRUE(link->PutStationEvent(Record(object), File(name, object)));
  }
  void QueueSpool(const std::string& name, std::int32_t object) {
    const std::string path = File(name, object);
    ASSERT_TRUE(link->QueueSpoolFile(mtStationEvent, Record(object), path));
  }

  testing::TempDir dir;
  testing::ScriptedServer server;
  QuietHost host;
  testing::FakeTickClock tick{100000};
  testing::FakeDateTimeClock clock;
  InFlightFiles in_flight;
  FateRecorder fates;
  std::vector<Bytes> spooled;
  std::unique_ptr<cl> link;
};

// A live event's write-ahead file goes only when a valid frame answered it;
// otherwise it stays on disk and is no longer in flight, so that spool
// forwarding sends it.
TEST_F(LinkCustodyTest, LiveFileIsDeletedOnlyOnAValidAnswer) {
  struct Case {
    const char* name;
    std::vector<ScriptedReply> reply;
    bool deleted;
  };
  const Case cases[] = {
      {"mtPoll", {{ReplyFrame(mtPoll), {}}}, true},
      {"mtSpoolAck", {{ReplyFrame(mtSpoolAck), {}}}, true},
      {"no answer", {}, false},
      {"frame without a valid message", {{InvalidMessageFrame(), {}}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Connect();
    AnswerEventsWith(c.reply);
    const std::string name = std::string("L") + std::to_string(&c - cases) + ".dd8";
    QueueLive(name, 1);
    EXPECT_TRUE(in_flight.Contains(dir.File(name)));
    link->LinkStep();
    EXPECT_EQ(fs::exists(dir.File(name)), !c.deleted);
    EXPECT_FALSE(in_flight.Contains(dir.File(name)));
    EndConnection();
  }
  EXPECT_TRUE(spooled.empty()) << "events with a file are never spooled a second time";
}

// Each spool file is settled by the reply read in the step that wrote it: a
// spooled event answered with mtPoll stays, even when the next message (a live
// event) is answered with mtSpoolAck.
TEST_F(LinkCustodyTest, SpoolFileGoesOnlyOnItsOwnAcknowledgement) {
  Connect();
  server.SetScript([](const ReceivedMessage& m) {
    const bool second_event = m.type == mtStationEvent && m.body == Record(2);
    return std::vector<ScriptedReply>{{ReplyFrame(second_event ? mtSpoolAck : mtPoll), {}}};
  });
  QueueSpool("S.dd8", 1);
  QueueLive("L.dd8", 2);
  link->LinkStep();
  link->LinkStep();
  EXPECT_TRUE(fs::exists(dir.File("S.dd8")));
  EXPECT_FALSE(fs::exists(dir.File("L.dd8")));
  ASSERT_EQ(fates.fates.size(), 1u);
  EXPECT_EQ(fates.fates[0], std::make_pair(std::string("S.dd8"), SpoolFate::kRefused));

  AnswerAllWith({{ReplyFrame(mtSpoolAck), {}}});
  QueueSpool("S.dd8", 1);
  link->LinkStep();
  EXPECT_FALSE(fs::exists(dir.File("S.dd8")));
  EXPECT_EQ(fates.fates.back(), std::make_pair(std::string("S.dd8"), SpoolFate::kAcknowledged));
}

// A reply later than the read timeout answers the next message in the
// server's eyes but not in the link's: from then on nothing is deleted on
// that connection, and the connection ends as soon as a frame shows the
// server alive. A new connection settles files again.
TEST_F(LinkCustodyTest, LateReplyDeletesNothingAndEndsTheConnection) {
  Connect();
  // The live event's answer comes late; the spool file's own mtSpoolAck, if the
  // link ever read it, would be paired with the wrong message.
  server.SetScript([](const ReceivedMessage& m) {
    if (m.body == Record(1)) {
      return std::vector<ScriptedReply>{{ReplyFrame(mtSpoolAck), std::chrono::milliseconds(kReadTimeoutMs + 150)}};
    }
    return std::vector<ScriptedReply>{{ReplyFrame(mtPoll), {}}};
  });
  const std::size_t replies = server.RepliesSent();
  QueueLive("L.dd8", 1);
  QueueSpool("S.dd8", 2);
  link->LinkStep();  // L written, its read times out
  EXPECT_TRUE(fs::exists(dir.File("L.dd8")));
  link->LinkStep();  // the late frame arrives before or after S is written
  ASSERT_TRUE(server.WaitForRepliesSent(replies + 1, 5s));
  link->LinkStep();
  EXPECT_FALSE(link->IsLinkUp()) << "the connection with uncertain pairing ended";
  EXPECT_TRUE(fs::exists(dir.File("L.dd8")));
  EXPECT_TRUE(fs::exists(dir.File("S.dd8")));
  EXPECT_EQ(in_flight.Count(), 0u) << "both files are back with spool forwarding";

  AnswerAllWith({{ReplyFrame(mtSpoolAck), {}}});
  Connect();
  EXPECT_EQ(server.Connections(), 2);
  QueueSpool("S.dd8", 2);
  link->LinkStep();
  EXPECT_FALSE(fs::exists(dir.File("S.dd8"))) << "the new connection pairs with certainty";
}

// A server that acknowledges one spooled event twice: the second ack is
// waiting before the next file goes out, so it cannot be that file's answer.
TEST_F(LinkCustodyTest, SecondAcknowledgementDoesNotDeleteTheNextFile) {
  Connect();
  server.SetScript([](const ReceivedMessage& m) {
    if (m.body == Record(1)) {
      return std::vector<ScriptedReply>{{ReplyFrame(mtSpoolAck), {}}, {ReplyFrame(mtSpoolAck), {}}};
    }
    return std::vector<ScriptedReply>{};  // then it hangs
  });
  const std::size_t replies = server.RepliesSent();
  QueueSpool("A.dd8", 1);
  link->LinkStep();
  EXPECT_FALSE(fs::exists(dir.File("A.dd8")));
  ASSERT_TRUE(server.WaitForRepliesSent(replies + 2, 5s));
  QueueSpool("B.dd8", 2);
  link->LinkStep();
  EXPECT_TRUE(fs::exists(dir.File("B.dd8")));
  EXPECT_FALSE(link->IsLinkUp());
  EXPECT_EQ(link->QueuedCount(), 1u) << "still queued for the next connection";
}

// A negative frame length is a broken peer, not a slow one: it counts two link
// errors, so eleven of them pass the limit of twenty.
TEST_F(LinkCustodyTest, NegativeFrameLengthCountsTwoErrors) {
  for (int frames : {10, 11}) {
    SCOPED_TRACE(frames);
    Connect();
    AnswerAllWith({{NegativeLengthFrame(), {}}});
    const int before = host.Count(kLogNetworkErrors);
    for (int i = 0; i < frames; ++i) {
      ASSERT_TRUE(link->PutMessage(mtPortState, Bytes(8, 0)));
      link->LinkStep();
    }
    link->LinkStep();
    EXPECT_EQ(host.Count(kLogNetworkErrors) - before, frames == 11 ? 1 : 0);
    EndConnection();
  }
}

// When the link stops, queued events keep their files (handed back) or, when
// they have none, are spooled; forwarded files are handed back unanswered.
TEST_F(LinkCustodyTest, StopHandsEverythingQueuedBack) {
  QueueLive("L.dd8", 1);
  ASSERT_TRUE(link->PutStationEvent(Record(2), ""));
  QueueSpool("S.dd8", 3);
  link->FinishRun();
  EXPECT_TRUE(fs::exists(dir.File("L.dd8")));
  EXPECT_TRUE(fs::exists(dir.File("S.dd8")));
  EXPECT_EQ(in_flight.Count(), 0u);
  EXPECT_EQ(spooled, std::vector<Bytes>{Record(2)});
  ASSERT_EQ(fates.fates.size(), 1u);
  EXPECT_EQ(fates.fates[0].second, SpoolFate::kUnanswered);
  EXPECT_EQ(link->QueuedCount(), 0u);
}

}  // namespace
}  // namespace drvvzt
