// Custody of live events and spool files: first the custody alone (what is
// deleted, kept, spooled or handed back for each answer), then on the link
// (which reply settles which message), with a scripted server in memory
// answering each message as the case needs: not at all, twice, with the wrong
// type, broken.
#include "server/link_custody.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/server_link.h"
#include "station/station_event.h"
#include "tests/support/fake_clock.h"
#include "tests/support/link_doubles.h"
#include "tests/support/scripted_transport.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

namespace fs = std::filesystem;
using testing::Answer;
using testing::ReplyFrame;
using testing::WrittenMessage;

Bytes Record(std::int32_t object) {
  TStationEvent event;
  event.ObjectNumber = object;
  const StationEventBytes bytes = EncodeStationEvent(event);
  return Bytes(bytes.begin(), bytes.end());
}

// A spool file holding the event of `object`; its path.
std::string SpoolFile(const testing::TempDir& dir, const std::string& name, std::int32_t object) {
  Bytes content = {0x32, 0x00, 0x00, 0x03};
  const Bytes record = Record(object);
  content.insert(content.end(), record.begin(), record.end());
  dir.Write(name, std::string(content.begin(), content.end()));
  return dir.File(name);
}

// --- The custody alone ----------------------------------------------------------

class LinkCustodyTest : public ::testing::Test {
protected:
  testing::TempDir dir;
  InFlightFiles in_flight;
  testing::RecordingReports reports;
  LinkCustody custody{in_flight, reports};
};

// How the step that wrote a message ended.
enum class Outcome { kPoll, kSpoolAck, kNoReply, kPollAfterPairingLost, kDroppedUnsent };

TEST_F(LinkCustodyTest, EachKindMeetsItsFateForEachOutcome) {
  using Kind = LinkCustody::Kind;
  struct Case {
    Kind kind;
    Outcome outcome;
    bool file_deleted;
    bool record_spooled;
    std::optional<SpoolFate> fate;
  };
  const Case cases[] = {
      {Kind::kLiveRecord, Outcome::kPoll, false, false, {}},
      {Kind::kLiveRecord, Outcome::kSpoolAck, false, false, {}},
      {Kind::kLiveRecord, Outcome::kNoReply, false, true, {}},
      {Kind::kLiveRecord, Outcome::kPollAfterPairingLost, false, true, {}},
      {Kind::kLiveRecord, Outcome::kDroppedUnsent, false, true, {}},
      {Kind::kLiveFile, Outcome::kPoll, true, false, {}},
      {Kind::kLiveFile, Outcome::kSpoolAck, true, false, {}},
      {Kind::kLiveFile, Outcome::kNoReply, false, false, {}},
      {Kind::kLiveFile, Outcome::kPollAfterPairingLost, false, false, {}},
      {Kind::kLiveFile, Outcome::kDroppedUnsent, false, false, {}},
      {Kind::kSpoolFile, Outcome::kPoll, false, false, SpoolFate::kRefused},
      {Kind::kSpoolFile, Outcome::kSpoolAck, true, false, SpoolFate::kAcknowledged},
      {Kind::kSpoolFile, Outcome::kNoReply, false, false, SpoolFate::kUnanswered},
      {Kind::kSpoolFile, Outcome::kPollAfterPairingLost, false, false, SpoolFate::kUnanswered},
      {Kind::kSpoolFile, Outcome::kDroppedUnsent, false, false, SpoolFate::kUnanswered},
  };
  std::uint64_t sequence = 0;
  for (const Case& c : cases) {
    ++sequence;
    SCOPED_TRACE("case " + std::to_string(sequence));
    reports.ClearSpooled();
    const std::size_t fates_before = reports.Fates().size();
    const std::string path = SpoolFile(dir, "F" + std::to_string(sequence) + ".dd8", 7);
    LinkCustody::Item item = c.kind == Kind::kLiveRecord ? LinkCustody::LiveRecord(Record(7))
                             : c.kind == Kind::kLiveFile ? LinkCustody::LiveFile(path)
                                                         : LinkCustody::SpoolFile(path);
    custody.Track(sequence, std::move(item));
    EXPECT_EQ(in_flight.Contains(path), c.kind != Kind::kLiveRecord);

    custody.NewConnection();
    switch (c.outcome) {
      case Outcome::kPoll: custody.Written(sequence); custody.ReplyRead(mtPoll); break;
      case Outcome::kSpoolAck: custody.Written(sequence); custody.ReplyRead(mtSpoolAck); break;
      case Outcome::kNoReply: custody.Written(sequence); custody.ReplyRead(std::nullopt); break;
      case Outcome::kPollAfterPairingLost:
        custody.LosePairing();
        custody.Written(sequence);
        custody.ReplyRead(mtPoll);
        break;
      case Outcome::kDroppedUnsent: custody.Dropped(sequence); break;
    }

    EXPECT_EQ(fs::exists(path), !c.file_deleted);
    EXPECT_FALSE(in_flight.Contains(path)) << "settled files are back with spool forwarding";
    EXPECT_EQ(reports.Spooled(), c.record_spooled ? std::vector<Bytes>{Record(7)} : std::vector<Bytes>{});
    const auto fates = reports.Fates();
    if (c.fate) {
      ASSERT_EQ(fates.size(), fates_before + 1);
      EXPECT_EQ(fates.back(), std::make_pair(path, *c.fate));
    } else {
      EXPECT_EQ(fates.size(), fates_before);
    }
    EXPECT_EQ(custody.Count(), 0u);
  }
}

// The reply of a step settles only the message written in that step; a
// message without custody (a poll, the handshake) in between settles nothing.
TEST_F(LinkCustodyTest, AReplySettlesOnlyTheMessageOfItsStep) {
  const std::string a = SpoolFile(dir, "A.dd8", 1);
  const std::string b = SpoolFile(dir, "B.dd8", 2);
  custody.Track(1, LinkCustody::SpoolFile(a));
  custody.Track(2, LinkCustody::SpoolFile(b));
  custody.Written(1);
  custody.ReplyRead(mtPoll);
  custody.Written(99);  // untracked
  custody.ReplyRead(mtSpoolAck);
  EXPECT_TRUE(fs::exists(a));
  EXPECT_TRUE(fs::exists(b));
  EXPECT_TRUE(in_flight.Contains(b)) << "still queued";
  custody.Written(2);
  custody.ReplyRead(mtSpoolAck);
  EXPECT_FALSE(fs::exists(b));
  EXPECT_EQ(reports.Fates(), (std::vector<std::pair<std::string, SpoolFate>>{
                                 {a, SpoolFate::kRefused}, {b, SpoolFate::kAcknowledged}}));
}

// A new connection settles what the old one left unanswered and trusts its
// own frames again.
TEST_F(LinkCustodyTest, NewConnectionRestoresPairing) {
  custody.Track(1, LinkCustody::LiveRecord(Record(1)));
  custody.Written(1);
  custody.LosePairing();
  custody.NewConnection();
  EXPECT_EQ(reports.Spooled(), std::vector<Bytes>{Record(1)});
  EXPECT_TRUE(custody.PairingCertain());
  const std::string a = SpoolFile(dir, "A.dd8", 2);
  custody.Track(2, LinkCustody::SpoolFile(a));
  custody.Written(2);
  custody.ReplyRead(mtSpoolAck);
  EXPECT_FALSE(fs::exists(a));
}

// Spool forwarding answers an acknowledgement by queuing the next file at
// once, from inside the report: custody must not be locked by then.
TEST_F(LinkCustodyTest, AReportMayQueueTheNextFile) {
  const std::string a = SpoolFile(dir, "A.dd8", 1);
  const std::string b = SpoolFile(dir, "B.dd8", 2);
  reports.on_settled = [&](const std::string& path, SpoolFate) {
    if (path == a) custody.Track(2, LinkCustody::SpoolFile(b));
  };
  custody.Track(1, LinkCustody::SpoolFile(a));
  custody.Written(1);
  custody.ReplyRead(mtSpoolAck);
  EXPECT_TRUE(in_flight.Contains(b));
  EXPECT_EQ(custody.Count(), 1u);
}

// --- Custody on the link ----------------------------------------------------------

// A frame whose transport header announces a negative length, and nothing after it.
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

class CustodyOnTheLinkTest : public ::testing::Test {
protected:
  void SetUp() override {
    auto owned = std::make_unique<testing::ScriptedTransport>(tick);
    server = owned.get();
    ServerLinkOptions options;
    options.work_dir = dir.path().string();
    options.in_flight = &in_flight;
    link = std::make_unique<cl>(host, reports, std::move(owned), tick, clock, options);
    link->PrepareRun();
  }

  // Station events and forwarded files get `event_answer`; the rest mtPoll.
  void AnswerEventsWith(std::vector<Answer> event_answer) {
    server->SetScript([event_answer](const WrittenMessage& m) {
      if (m.type == mtStationEvent) return event_answer;
      return std::vector<Answer>{{ReplyFrame(mtPoll)}};
    });
  }

  void Connect() {
    tick.Advance(kReconnectSpacingMs + 1);
    link->LinkStep();
    ASSERT_TRUE(link->IsLinkUp());
    for (int i = 0; i < 4; ++i) link->LinkStep();
    ASSERT_EQ(link->QueuedCount(), 0u);
  }

  // The server closes the connection at the next message, so that the next
  // case starts on a fresh one.
  void EndConnection() {
    server->AnswerAllWith({{ReplyFrame(mtClose)}});
    ASSERT_TRUE(link->PutMessage(mtPortState, Bytes(8, 0)));
    link->LinkStep();
    ASSERT_FALSE(link->IsLinkUp());
    server->AnswerAllWith({{ReplyFrame(mtPoll)}});
  }

  void QueueLive(const std::string& name, std::int32_t object) {
    ASSERT_TRUE(link->PutStationEvent(Record(object), SpoolFile(dir, name, object)));
  }
  void QueueSpool(const std::string& name, std::int32_t object) {
    ASSERT_TRUE(link->QueueSpoolFile(mtStationEvent, Record(object), SpoolFile(dir, name, object)));
  }
  std::vector<std::pair<std::string, SpoolFate>> FatesByName() const {
    std::vector<std::pair<std::string, SpoolFate>> named;
    for (const auto& [path, fate] : reports.Fates()) named.emplace_back(fs::path(path).filename(), fate);
    return named;
  }

  testing::TempDir dir;
  testing::FakeTickClock tick{100000};
  testing::FakeDateTimeClock clock;
  testing::FixedHost host;
  testing::RecordingReports reports;
  InFlightFiles in_flight;
  testing::ScriptedTransport* server = nullptr;
  std::unique_ptr<cl> link;
};

// A live event's write-ahead file goes only when a valid frame answered it.
TEST_F(CustodyOnTheLinkTest, LiveFileIsDeletedOnlyOnAValidAnswer) {
  struct Case {
    const char* name;
    std::vector<Answer> answer;
    bool deleted;
  };
  const Case cases[] = {
      {"mtPoll", {{ReplyFrame(mtPoll)}}, true},
      {"mtSpoolAck", {{ReplyFrame(mtSpoolAck)}}, true},
      {"no answer", {}, false},
      {"frame without a valid message", {{InvalidMessageFrame()}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Connect();
    AnswerEventsWith(c.answer);
    const std::string name = std::string("L") + std::to_string(&c - cases) + ".dd8";
    QueueLive(name, 1);
    link->LinkStep();
    EXPECT_EQ(fs::exists(dir.File(name)), !c.deleted);
    EXPECT_FALSE(in_flight.Contains(dir.File(name)));
    EndConnection();
  }
  EXPECT_TRUE(reports.Spooled().empty()) << "events with a file are never spooled a second time";
}

// Each spool file is settled by the reply read in the step that wrote it: a
// spooled event answered with mtPoll stays, even when the next message (a live
// event) is answered with mtSpoolAck.
TEST_F(CustodyOnTheLinkTest, SpoolFileGoesOnlyOnItsOwnAcknowledgement) {
  Connect();
  server->SetScript([](const WrittenMessage& m) {
    const bool second_event = m.type == mtStationEvent && m.body == Record(2);
    return std::vector<Answer>{{ReplyFrame(second_event ? mtSpoolAck : mtPoll)}};
  });
  QueueSpool("S.dd8", 1);
  QueueLive("L.dd8", 2);
  link->LinkStep();
  link->LinkStep();
  EXPECT_TRUE(fs::exists(dir.File("S.dd8")));
  EXPECT_FALSE(fs::exists(dir.File("L.dd8")));
  EXPECT_EQ(FatesByName(), (std::vector<std::pair<std::string, SpoolFate>>{{"S.dd8", SpoolFate::kRefused}}));
}

// An answer that comes too late is read as the answer to the next message:
// once a read has failed, nothing is deleted on that connection, and the
// connection ends as soon as a frame shows the server alive. A new connection
// settles files again.
TEST_F(CustodyOnTheLinkTest, LateAnswerDeletesNothingAndEndsTheConnection) {
  Connect();
  // The live event is not answered in time; its mtSpoolAck comes with the
  // spool file's own answer, ahead of it.
  server->SetScript([](const WrittenMessage& m) {
    if (m.body == Record(1)) return std::vector<Answer>{};
    if (m.body == Record(2)) return std::vector<Answer>{{ReplyFrame(mtSpoolAck)}, {ReplyFrame(mtPoll)}};
    return std::vector<Answer>{{ReplyFrame(mtPoll)}};
  });
  QueueLive("L.dd8", 1);
  QueueSpool("S.dd8", 2);
  link->LinkStep();  // L written, its read times out
  link->LinkStep();  // S written, the late mtSpoolAck read
  EXPECT_FALSE(link->IsLinkUp()) << "the connection with uncertain pairing ended";
  EXPECT_TRUE(fs::exists(dir.File("L.dd8")));
  EXPECT_TRUE(fs::exists(dir.File("S.dd8")));
  EXPECT_EQ(in_flight.Count(), 0u) << "both files are back with spool forwarding";
  EXPECT_EQ(FatesByName(), (std::vector<std::pair<std::string, SpoolFate>>{{"S.dd8", SpoolFate::kUnanswered}}));

  server->AnswerAllWith({{ReplyFrame(mtSpoolAck)}});
  Connect();
  EXPECT_EQ(server->Connections(), 2);
  QueueSpool("S.dd8", 2);
  link->LinkStep();
  EXPECT_FALSE(fs::exists(dir.File("S.dd8"))) << "the new connection pairs with certainty";
}

// A server that acknowledges one spooled event twice: the second ack is
// waiting before the next file goes out, so it cannot be that file's answer.
TEST_F(CustodyOnTheLinkTest, SecondAcknowledgementDoesNotDeleteTheNextFile) {
  Connect();
  server->SetScript([](const WrittenMessage& m) {
    if (m.body == Record(1)) return std::vector<Answer>{{ReplyFrame(mtSpoolAck)}, {ReplyFrame(mtSpoolAck)}};
    return std::vector<Answer>{};
  });
  QueueSpool("A.dd8", 1);
  link->LinkStep();
  EXPECT_FALSE(fs::exists(dir.File("A.dd8")));
  QueueSpool("B.dd8", 2);
  link->LinkStep();
  EXPECT_TRUE(fs::exists(dir.File("B.dd8")));
  EXPECT_FALSE(link->IsLinkUp());
  EXPECT_EQ(link->QueuedCount(), 1u) << "still queued for the next connection";
}

// A negative frame length is a broken peer, not a slow one: it counts two link
// errors, so eleven of them pass the limit of twenty.
TEST_F(CustodyOnTheLinkTest, NegativeFrameLengthCountsTwoErrors) {
  for (int frames : {10, 11}) {
    SCOPED_TRACE(frames);
    Connect();
    server->AnswerAllWith({{NegativeLengthFrame()}});
    const int before = reports.Count(kLogNetworkErrors);
    for (int i = 0; i < frames; ++i) {
      ASSERT_TRUE(link->PutMessage(mtPortState, Bytes(8, 0)));
      link->LinkStep();
    }
    link->LinkStep();
    EXPECT_EQ(reports.Count(kLogNetworkErrors) - before, frames == 11 ? 1 : 0);
    if (link->IsLinkUp()) EndConnection();
  }
}

// When the link stops, queued events keep their files (handed back) or, when
// they have none, are spooled; forwarded files are handed back unanswered.
TEST_F(CustodyOnTheLinkTest, StopHandsEverythingQueuedBack) {
  QueueLive("L.dd8", 1);
  ASSERT_TRUE(link->PutStationEvent(Record(2), ""));
  QueueSpool("S.dd8", 3);
  link->FinishRun();
  EXPECT_TRUE(fs::exists(dir.File("L.dd8")));
  EXPECT_TRUE(fs::exists(dir.File("S.dd8")));
  EXPECT_EQ(in_flight.Count(), 0u);
  EXPECT_EQ(reports.Spooled(), std::vector<Bytes>{Record(2)});
  EXPECT_EQ(FatesByName(), (std::vector<std::pair<std::string, SpoolFate>>{{"S.dd8", SpoolFate::kUnanswered}}));
  EXPECT_EQ(link->QueuedCount(), 0u);
}

}  // namespace
}  // namespace drvvzt
