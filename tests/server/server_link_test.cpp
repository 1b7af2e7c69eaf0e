// The server link thread against the in-process message-server emulator on the
// loopback interface. Most tests drive the link step by step with a fake tick
// clock; the thread itself is started only where its stopping is the subject.
#include "server/server_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "station/event_dispatch.h"
#include "station/spool_writer.h"
#include "station/station_event.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"
#include "tools/lib/message_server_emulator.h"

namespace drvvzt {
namespace {

using namespace std::chrono_literals;
using tools::EmulatorPolicy;
using tools::MessageServerEmulator;
using tools::ReplyMode;

class RecordingHost final : public LinkHost {
public:
  std::string ComPort() override { return "/dev/ttyS0"; }
  bool PortOpen() override { return true; }
  int FirstNumber() override { return 0x1234; }
  void LogLine(const std::string& line) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
  }
  void StepServerTick() override {
    std::lock_guard lock(mutex_);
    ++ticks_;
  }
  // The texts of the log lines, without their date and time.
  std::vector<std::string> Texts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const std::string& line : lines_) {
      for (const char* known : {kLogConnecting, kLogConnected, kLogNetworkErrors,
                                kLogServerDisconnect, kLogDenied}) {
        const std::string text = known;
        if (line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0)
          texts.push_back(text);
      }
    }
    return texts;
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  int Count(const std::string& text) const {
    const auto texts = Texts();
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
  }

private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  int ticks_ = 0;
};

// A station event record whose object number tells the events apart.
Bytes EventRecord(std::int32_t object) {
  TStationEvent event;
  event.ObjectNumber = object;
  const StationEventBytes bytes = EncodeStationEvent(event);
  return Bytes(bytes.begin(), bytes.end());
}

class ServerLinkTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(emulator.Start());
    WriteIni("127.0.0.1", emulator.Port());
  }

  void WriteIni(const std::string& address, int port) {
    dir.Write("drvvzt.ini",
              "[ServerHost]\nAddress=" + address + "\nPort=" + std::to_string(port) + "\n");
  }

  std::unique_ptr<cl> MakeLink(int reply_timeout_ms = 1000) {
    ServerLinkOptions options;
    options.work_dir = dir.path().string();
    options.reply_read_timeout_ms = reply_timeout_ms;
    options.spool = [this](std::span<const std::uint8_t> record) {
      std::lock_guard lock(spool_mutex);
      spooled.emplace_back(record.begin(), record.end());
      return true;
    };
    auto made = std::make_unique<cl>(host, tick, clock, options);
    made->PrepareRun();
    return made;
  }

  // Connects and sends the four handshake messages, one per step.
  void ConnectAndHandshake(cl& link) {
    link.LinkStep();
    ASSERT_TRUE(link.IsLinkUp());
    for (int i = 0; i < 4; ++i) link.LinkStep();
    ASSERT_TRUE(emulator.WaitForMessageCount(4, 2s));
  }

  std::vector<Bytes> Spooled() {
    std::lock_guard lock(spool_mutex);
    return spooled;
  }

  // Well past the 5 s reconnection spacing from tick 0.
  testing::FakeTickClock tick{100000};
  testing::FakeDateTimeClock clock;
  testing::TempDir dir;
  RecordingHost host;
  MessageServerEmulator emulator;
  std::mutex spool_mutex;
  std::vector<Bytes> spooled;
};

TEST_F(ServerLinkTest, HandshakeGoesOutInFourStepsAndPollingWaitsForAcceptance) {
  EmulatorPolicy policy;
  policy.accept_register = false;
  emulator.SetPolicy(policy);
  auto link = MakeLink();

  link->LinkStep();
  EXPECT_TRUE(link->IsLinkUp());
  EXPECT_EQ(host.Texts(), (std::vector<std::string>{kLogConnecting, kLogConnected}));
  EXPECT_EQ(link->QueuedCount(), 4u);
  EXPECT_EQ(emulator.MessageCount(), 0u) << "the connecting step sends nothing";

  const std::vector<std::uint32_t> handshake = {mtRegister, mtPortState, mtFirstNumber, mtVersion};
  for (std::size_t i = 0; i < handshake.size(); ++i) {
    link->LinkStep();
    ASSERT_TRUE(emulator.WaitForMessageCount(i + 1, 2s));
    EXPECT_EQ(emulator.Messages()[i].type, handshake[i]);
  }
  const auto messages = emulator.Messages();
  EXPECT_EQ(messages[0].body, (Bytes{0x26, 0x00}));
  EXPECT_EQ(messages[1].body, (Bytes{6, '/', 'd', 'e', 'v', '/', 't', 1}));
  EXPECT_EQ(messages[2].body, (Bytes{0x34}));
  EXPECT_EQ(messages[3].body, (Bytes{1, 0, 0, 0, 0, 0, 1, 0}));
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(messages[i].sequence, i);

  // Answered with mtPoll only: the server has not accepted, so no poll goes out.
  tick.Advance(2000);
  for (int i = 0; i < 3; ++i) link->LinkStep();
  EXPECT_EQ(emulator.MessageCount(), 4u);
  EXPECT_TRUE(link->IsLinkUp());
}

TEST_F(ServerLinkTest, PollsMoreThan500MsApartAcrossTheTickWrap) {
  tick.Set(0xFFFFFFFFu - 300);
  auto link = MakeLink();
  // The first attempt counts from tick 0: far more than 5 s ago.
  ConnectAndHandshake(*link);

  struct Case {
    std::uint32_t advance;
    bool poll;
  };
  // 300 + 201 ms crosses the wrap of the 32-bit counter.
  const Case cases[] = {{200, false}, {301, true}, {500, false}, {1, true}, {499, false}, {2, true}};
  std::size_t expected = 4;
  for (const Case& c : cases) {
    tick.Advance(c.advance);
    link->LinkStep();
    if (c.poll) {
      ++expected;
      ASSERT_TRUE(emulator.WaitForMessageCount(expected, 2s));
    }
    EXPECT_EQ(emulator.MessageCount(), expected) << "after +" << c.advance;
  }
  const auto last = emulator.Messages().back();
  EXPECT_EQ(last.type, mtPoll);
  EXPECT_EQ(last.sequence, 0u);
  EXPECT_EQ(last.message.size(), kMessageHeaderSize) << "39 bytes with the transport header";
}

TEST_F(ServerLinkTest, SilentServerCostsOneErrorPerReadThenReconnects) {
  EmulatorPolicy policy;
  policy.mode = ReplyMode::kSilent;
  emulator.SetPolicy(policy);
  auto link = MakeLink(/*reply_timeout_ms=*/5);

  link->LinkStep();  // connect
  ASSERT_TRUE(link->IsLinkUp());
  // Four handshake messages and 17 live events: 21 unanswered reads.
  for (int i = 0; i < 17; ++i) ASSERT_TRUE(link->PutMessage(mtStationEvent, EventRecord(i)));
  for (int i = 0; i < 21; ++i) link->LinkStep();
  EXPECT_TRUE(link->IsLinkUp()) << "20 errors are tolerated, the 21st is noticed next step";
  EXPECT_EQ(host.Count(kLogNetworkErrors), 0);

  link->LinkStep();
  EXPECT_FALSE(link->IsLinkUp());
  EXPECT_EQ(host.Count(kLogNetworkErrors), 1);

  // Every live event went into a connection that never answered: all spooled.
  const auto records = Spooled();
  ASSERT_EQ(records.size(), 17u);
  for (int i = 0; i < 17; ++i) EXPECT_EQ(records[i], EventRecord(i));

  // The reconnection keeps its 5 s spacing from the previous attempt.
  link->LinkStep();
  EXPECT_EQ(host.Count(kLogConnecting), 1);
  tick.Advance(5001);
  link->LinkStep();
  EXPECT_EQ(host.Count(kLogConnecting), 2);
  EXPECT_TRUE(emulator.WaitForConnections(2, 2s));
}

TEST_F(ServerLinkTest, PingIsAnsweredByTheNextStep) {
  auto link = MakeLink();
  ConnectAndHandshake(*link);
  emulator.AnswerNextWith(mtPing);
  tick.Advance(501);
  link->LinkStep();  // poll, answered with mtPing
  link->LinkStep();  // mtPingReply, read one frame
  ASSERT_TRUE(emulator.WaitForMessageCount(6, 2s));
  const auto reply = emulator.Messages()[5];
  EXPECT_EQ(reply.type, mtPingReply);
  EXPECT_TRUE(reply.body.empty());
  EXPECT_EQ(reply.reply, std::optional<std::uint32_t>(mtPoll)) << "its answer was read";
}

TEST_F(ServerLinkTest, DisconnectOrderDelaysTheNextAttempt) {
  auto link = MakeLink();
  ConnectAndHandshake(*link);
  emulator.AnswerNextWith(mtDisconnect);
  ASSERT_TRUE(link->PutMessage(mtStationEvent, EventRecord(1)));
  link->LinkStep();
  EXPECT_FALSE(link->IsLinkUp());
  EXPECT_EQ(host.Count(kLogServerDisconnect), 1);
  EXPECT_TRUE(Spooled().empty()) << "the event was answered";

  tick.Advance(5000);
  link->LinkStep();
  EXPECT_EQ(host.Count(kLogConnecting), 1);
  tick.Advance(1);
  link->LinkStep();
  EXPECT_EQ(host.Count(kLogConnecting), 2);
  EXPECT_TRUE(link->IsLinkUp());
}

TEST_F(ServerLinkTest, CloseReconnectsAtOnceAfterAnOldConnection) {
  auto link = MakeLink();
  ConnectAndHandshake(*link);
  tick.Advance(6000);
  emulator.AnswerNextWith(mtClose);
  link->LinkStep();  // poll answered with mtClose
  EXPECT_FALSE(link->IsLinkUp());
  link->LinkStep();
  EXPECT_TRUE(link->IsLinkUp());
  EXPECT_EQ(host.Count(kLogConnecting), 2);
  EXPECT_TRUE(emulator.WaitForConnections(2, 2s));
}

TEST_F(ServerLinkTest, DeniedIsLoggedOnceAndEndsConnecting) {
  auto link = MakeLink();
  ConnectAndHandshake(*link);
  emulator.AnswerNextWith(mtDenied);
  ASSERT_TRUE(link->PutMessage(mtPortState, Bytes(8, 0)));
  ASSERT_TRUE(link->PutMessage(mtStationEvent, EventRecord(5)));
  link->LinkStep();
  EXPECT_FALSE(link->IsLinkUp());
  // Nothing will be sent again in this run: the queued live event goes to disk.
  EXPECT_EQ(Spooled(), std::vector<Bytes>{EventRecord(5)});
  EXPECT_EQ(link->QueuedCount(), 0u);
  for (int i = 0; i < 5; ++i) {
    tick.Advance(6000);
    link->LinkStep();
  }
  EXPECT_FALSE(link->IsLinkUp());
  EXPECT_EQ(host.Count(kLogDenied), 1);
  EXPECT_EQ(host.Count(kLogConnecting), 1);
}

TEST_F(ServerLinkTest, FailedWriteStaysAtTheHeadAndGoesFirstAfterReconnecting) {
  auto link = MakeLink();
  ConnectAndHandshake(*link);
  EmulatorPolicy policy;
  policy.mode = ReplyMode::kReset;
  emulator.SetPolicy(policy);

  // The first event reaches the emulator, which resets the connection instead
  // of answering; the event may be lost with it, so it is spooled.
  ASSERT_TRUE(link->PutMessage(mtStationEvent, EventRecord(1)));
  link->LinkStep();
  ASSERT_EQ(Spooled().size(), 1u);
  EXPECT_EQ(Spooled()[0], EventRecord(1));

  // The second cannot be written any more and stays queued.
  ASSERT_TRUE(link->PutMessage(mtStationEvent, EventRecord(2)));
  emulator.SetPolicy(EmulatorPolicy{});
  for (int i = 0; i < 30 && link->IsLinkUp(); ++i) link->LinkStep();
  ASSERT_FALSE(link->IsLinkUp());
  EXPECT_EQ(link->QueuedCount(), 1u);
  EXPECT_EQ(Spooled().size(), 1u) << "a queued event is not spooled";

  tick.Advance(5001);
  link->LinkStep();  // reconnect
  ASSERT_TRUE(link->IsLinkUp());
  link->LinkStep();
  link->LinkStep();
  ASSERT_TRUE(emulator.WaitForMessageCount(7, 2s));
  const auto messages = emulator.Messages();
  std::vector<tools::ReceivedMessage> second;
  std::uint64_t highest_first = 0;
  for (const auto& m : messages) {
    if (m.connection == 1) highest_first = std::max(highest_first, m.sequence);
    if (m.connection == 2) second.push_back(m);
  }
  ASSERT_GE(second.size(), 2u);
  EXPECT_EQ(second[0].type, mtStationEvent);
  EXPECT_EQ(second[0].body, EventRecord(2));
  EXPECT_EQ(second[1].type, mtRegister);
  EXPECT_GT(second[1].sequence, highest_first) << "sequence numbers survive reconnection";
}

TEST_F(ServerLinkTest, ChangedAddressTakesEffectAtTheNextAttempt) {
  WriteIni("no-such-host.invalid", emulator.Port());
  auto link = MakeLink();
  link->LinkStep();
  EXPECT_FALSE(link->IsLinkUp());
  EXPECT_EQ(host.Texts(), (std::vector<std::string>{kLogConnecting}));

  WriteIni("localhost", emulator.Port());
  tick.Advance(5001);
  link->LinkStep();
  EXPECT_TRUE(link->IsLinkUp());
}

TEST_F(ServerLinkTest, FullQueueRefusesLiveEventsSoTheCallerSpoolsThem) {
  WriteIni("127.0.0.1", 1);  // nothing listens: the link stays down
  auto link = MakeLink();
  for (std::size_t i = 0; i < MessageQueue::kSlots; ++i)
    ASSERT_TRUE(link->PutMessage(mtStationEvent, EventRecord(static_cast<int>(i))));
  const std::uint64_t before = link->NextSequence();
  EXPECT_FALSE(link->PutMessage(mtStationEvent, EventRecord(999)));
  EXPECT_EQ(link->NextSequence(), before + 1) << "a refused message still uses its number";
}

TEST_F(ServerLinkTest, BadServersNeverLoseALiveEvent) {
  struct Case {
    const char* name;
    ReplyMode mode;
  };
  const Case cases[] = {
      {"garbage", ReplyMode::kGarbage},
      {"stops reading", ReplyMode::kStopReading},
      {"resets", ReplyMode::kReset},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard lock(spool_mutex);
      spooled.clear();
    }
    auto link = MakeLink(/*reply_timeout_ms=*/5);
    ConnectAndHandshake(*link);
    EmulatorPolicy policy;
    policy.mode = c.mode;
    emulator.SetPolicy(policy);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(link->PutMessage(mtStationEvent, EventRecord(i)));
    for (int i = 0; i < 40 && link->QueuedCount() > 0; ++i) link->LinkStep();
    // What went out unanswered is spooled; what could not go out stays queued
    // and is spooled when the link stops.
    link->FinishRun();
    EXPECT_EQ(Spooled().size(), 5u);
    emulator.SetPolicy(EmulatorPolicy{});
    tick.Advance(6000);
  }
}

// With the driver's own dispatch and spool writer: a live event either reaches
// the server and is answered, or it ends up in a spool file.
TEST_F(ServerLinkTest, LiveEventsTheServerMayNotHaveGoToSpoolFiles) {
  const std::string spool_dir = dir.path().string() + "/spool/";
  std::filesystem::create_directory(spool_dir);
  SpoolWriter writer(spool_dir, dir.path().string(), clock);
  ServerLinkOptions options;
  options.work_dir = dir.path().string();
  // A loaded machine may answer late; a late answer would leave the file.
  options.reply_read_timeout_ms = 1000;
  options.spool = SpoolThrough(writer);
  InFlightFiles in_flight;
  options.in_flight = &in_flight;
  cl link(host, tick, clock, options);
  link.PrepareRun();
  EventDispatch dispatch(&link, /*not_send_to_disk=*/false, writer, in_flight);
  ConnectAndHandshake(link);
  auto spool_files = [&] {
    std::vector<Bytes> contents;
    for (const auto& entry : std::filesystem::directory_iterator(spool_dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      contents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return contents;
  };
  TStationEvent event;

  // Answered: nothing on disk.
  event.ObjectNumber = 1;
  dispatch.DispatchEvent(event);
  link.LinkStep();
  EXPECT_TRUE(spool_files().empty());

  // Written into a connection that then stays silent.
  EmulatorPolicy policy;
  policy.mode = ReplyMode::kSilent;
  emulator.SetPolicy(policy);
  event.ObjectNumber = 2;
  dispatch.DispatchEvent(event);
  link.LinkStep();
  auto files = spool_files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(Bytes(files[0].begin() + 4, files[0].end()), EventRecord(2));

  // Refused by a full queue while the link is up.
  for (std::size_t i = 0; i < MessageQueue::kSlots; ++i) {
    ASSERT_TRUE(link.PutMessage(mtPortState, Bytes(8, 0)));
  }
  event.ObjectNumber = 3;
  dispatch.DispatchEvent(event);
  EXPECT_EQ(spool_files().size(), 2u);
}

TEST_F(ServerLinkTest, StopEndsTheThreadEvenWhenTheWindowNeverRunsItsCalls) {
  ServerLinkOptions options;
  options.work_dir = dir.path().string();
  // The window's event loop has already stopped: posted calls never run.
  options.post = [](UiHandOff::Call) {};
  options.spool = [this](std::span<const std::uint8_t> record) {
    std::lock_guard lock(spool_mutex);
    spooled.emplace_back(record.begin(), record.end());
    return true;
  };
  WriteIni("127.0.0.1", 1);
  cl link(host, tick, clock, options);
  ASSERT_TRUE(link.PutMessage(mtStationEvent, EventRecord(7)));
  link.Start();
  link.Stop();
  EXPECT_FALSE(link.IsLinkUp());
  ASSERT_EQ(Spooled().size(), 1u) << "a queued live event outlives the thread on disk";
  EXPECT_EQ(Spooled()[0], EventRecord(7));
  EXPECT_FALSE(link.PutMessage(mtStationEvent, EventRecord(8)));
}

TEST_F(ServerLinkTest, StopEndsTheThreadWhileItWaitsForAReply) {
  EmulatorPolicy policy;
  policy.mode = ReplyMode::kSilent;
  emulator.SetPolicy(policy);
  ServerLinkOptions options;
  options.work_dir = dir.path().string();
  options.reply_read_timeout_ms = 60000;
  cl link(host, SystemTick(), clock, options);
  link.Start();
  ASSERT_TRUE(emulator.WaitForMessageCount(1, 5s));
  link.Stop();
  EXPECT_FALSE(link.IsLinkUp());
}

}  // namespace
}  // namespace drvvzt
