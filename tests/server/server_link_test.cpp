// The server link thread. The loopback tests run it over its real TCP
// transport against the in-process message-server emulator, which answers at
// once; the scripted tests put a server in memory in its place, for the
// servers that stay silent, break frames or fail writes, whose waits are then
// counted on a fake tick instead of lived through. Most tests drive the link
// step by step; the thread itself is started only where its waking and
// stopping are the subject.
#include "server/server_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/tcp_client.h"
#include "server/frame_reader.h"
#include "station/event_dispatch.h"
#include "station/spool_writer.h"
#include "station/station_event.h"
#include "tests/support/fake_clock.h"
#include "tests/support/link_doubles.h"
#include "tests/support/scripted_transport.h"
#include "tests/support/temp_dir.h"
#include "tools/lib/message_server_emulator.h"

namespace drvvzt {
namespace {

using namespace std::chrono_literals;
using testing::Answer;
using testing::ReplyFrame;
using testing::WrittenMessage;
using tools::EmulatorPolicy;
using tools::MessageServerEmulator;
using tools::ReplyMode;

// A station event record whose object number tells the events apart.
Bytes EventRecord(std::int32_t object) {
  TStationEvent event;
  event.ObjectNumber = object;
  const StationEventBytes bytes = EncodeStationEvent(event);
  return Bytes(bytes.begin(), bytes.end());
}

// The texts of the log lines, without their date and time.
std::vector<std::string> Texts(const testing::RecordingReports& reports) {
  std::vector<std::string> texts;
  for (const std::string& line : reports.Lines()) {
    for (const char* known : {kLogConnecting, kLogConnected, kLogNetworkErrors, kLogServerDisconnect,
                              kLogDenied}) {
      if (line.ends_with(known)) texts.emplace_back(known);
    }
  }
  return texts;
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

  ServerLinkOptions Options() {
    ServerLinkOptions options;
    options.work_dir = dir.path().string();
    return options;
  }

  // Over TCP, timed on the fake tick: a read waits for the emulator's answer
  // however long a loaded machine takes to give it.
  std::unique_ptr<cl> MakeLink() {
    auto made = std::make_unique<cl>(host, reports, MakeServerTransport(tick), tick, clock, Options());
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

  // Well past the 5 s reconnection spacing from tick 0.
  testing::FakeTickClock tick{100000};
  testing::FakeDateTimeClock clock;
  testing::TempDir dir;
  testing::FixedHost host{"/dev/ttyS0", true, 0x1234};
  testing::RecordingReports reports;
  MessageServerEmulator emulator;
};

TEST_F(ServerLinkTest, HandshakeGoesOutInFourStepsAndPollingWaitsForAcceptance) {
  EmulatorPolicy policy;
  policy.accept_register = false;
  emulator.SetPolicy(policy);
  auto link = MakeLink();

  link->LinkStep();
  EXPECT_TRUE(link->IsLinkUp());
  EXPECT_EQ(Texts(reports), (std::vector<std::string>{kLogConnecting, kLogConnected}));
  EXPECT_EQ(reports.ConnectedCount(), 1);
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
  EXPECT_EQ(reports.Written(), (std::vector<std::pair<std::uint32_t, std::uint64_t>>{
                                   {mtRegister, 0}, {mtPortState, 1}, {mtFirstNumber, 2}, {mtVersion, 3}}));

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
  EXPECT_EQ(reports.Count(kLogServerDisconnect), 1);
  EXPECT_TRUE(reports.Spooled().empty()) << "the event was answered";

  tick.Advance(5000);
  link->LinkStep();
  EXPECT_EQ(reports.Count(kLogConnecting), 1);
  tick.Advance(1);
  link->LinkStep();
  EXPECT_EQ(reports.Count(kLogConnecting), 2);
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
  EXPECT_EQ(reports.Count(kLogConnecting), 2);
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
  EXPECT_EQ(reports.Spooled(), std::vector<Bytes>{EventRecord(5)});
  EXPECT_EQ(link->QueuedCount(), 0u);
  for (int i = 0; i < 5; ++i) {
    tick.Advance(6000);
    link->LinkStep();
  }
  EXPECT_FALSE(link->IsLinkUp());
  EXPECT_EQ(reports.Count(kLogDenied), 1);
  EXPECT_EQ(reports.Count(kLogConnecting), 1);
  EXPECT_EQ(reports.States().back(), LinkState::kDenied);
}

// Every indicator step carries the link's state at that moment, so the window
// never asks the link while it draws.
TEST_F(ServerLinkTest, IndicatorStepsCarryTheLinkState) {
  auto link = MakeLink();
  link->LinkStep();  // the attempt (down), then the connection (up)
  EXPECT_EQ(reports.States(), (std::vector<LinkState>{LinkState::kDown, LinkState::kUp}));
  link->LinkStep();  // mtRegister answered
  EXPECT_EQ(reports.States().back(), LinkState::kUp);
  emulator.AnswerNextWith(mtClose);
  link->LinkStep();
  EXPECT_EQ(reports.States().back(), LinkState::kDown);
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
  ASSERT_EQ(reports.Spooled().size(), 1u);
  EXPECT_EQ(reports.Spooled()[0], EventRecord(1));

  // The second cannot be written any more and stays queued.
  ASSERT_TRUE(link->PutMessage(mtStationEvent, EventRecord(2)));
  emulator.SetPolicy(EmulatorPolicy{});
  for (int i = 0; i < 30 && link->IsLinkUp(); ++i) link->LinkStep();
  ASSERT_FALSE(link->IsLinkUp());
  EXPECT_EQ(link->QueuedCount(), 1u);
  EXPECT_EQ(reports.Spooled().size(), 1u) << "a queued event is not spooled";

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
  EXPECT_EQ(Texts(reports), (std::vector<std::string>{kLogConnecting}));

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

TEST_F(ServerLinkTest, StopEndsTheThreadEvenWhenTheWindowNeverRunsItsCalls) {
  ServerLinkOptions options = Options();
  // The window's event loop has already stopped: posted calls never run.
  options.post = [](UiHandOff::Call) {};
  WriteIni("127.0.0.1", 1);
  cl link(host, reports, MakeServerTransport(tick), tick, clock, options);
  ASSERT_TRUE(link.PutMessage(mtStationEvent, EventRecord(7)));
  link.Start();
  link.Stop();
  EXPECT_FALSE(link.IsLinkUp());
  EXPECT_EQ(reports.Spooled(), std::vector<Bytes>{EventRecord(7)})
      << "a queued live event outlives the thread on disk";
  EXPECT_FALSE(link.PutMessage(mtStationEvent, EventRecord(8)));
}

// The tick never moves: the reply read would wait for ever but for the stop.
TEST_F(ServerLinkTest, StopEndsTheThreadWhileItWaitsForAReply) {
  EmulatorPolicy policy;
  policy.mode = ReplyMode::kSilent;
  emulator.SetPolicy(policy);
  cl link(host, reports, MakeServerTransport(tick), tick, clock, Options());
  link.Start();
  ASSERT_TRUE(emulator.WaitForMessageCount(1, 5s));
  link.Stop();
  EXPECT_FALSE(link.IsLinkUp());
}

// --- Against the scripted server --------------------------------------------------

class ScriptedLinkTest : public ::testing::Test {
protected:
  std::unique_ptr<cl> MakeLink(ServerLinkOptions options = {}) {
    auto owned = std::make_unique<testing::ScriptedTransport>(tick);
    server = owned.get();
    if (options.work_dir.empty()) options.work_dir = dir.path().string();
    auto made = std::make_unique<cl>(host, reports, std::move(owned), tick, clock, options);
    made->PrepareRun();
    return made;
  }
  void ConnectAndHandshake(cl& link) {
    link.LinkStep();
    ASSERT_TRUE(link.IsLinkUp());
    for (int i = 0; i < 4; ++i) link.LinkStep();
    ASSERT_EQ(link.QueuedCount(), 0u);
  }

  testing::FakeTickClock tick{100000};
  testing::FakeDateTimeClock clock;
  testing::TempDir dir;
  testing::FixedHost host;
  testing::RecordingReports reports;
  testing::ScriptedTransport* server = nullptr;
};

TEST_F(ScriptedLinkTest, SilentServerCostsOneErrorPerReadThenReconnects) {
  auto link = MakeLink();
  server->AnswerAllWith({});
  link->LinkStep();  // connect
  ASSERT_TRUE(link->IsLinkUp());
  // Four handshake messages and 17 live events: 21 unanswered reads.
  for (int i = 0; i < 17; ++i) ASSERT_TRUE(link->PutMessage(mtStationEvent, EventRecord(i)));
  const std::uint32_t before = tick.NowTick();
  for (int i = 0; i < 21; ++i) link->LinkStep();
  EXPECT_EQ(tick.NowTick() - before, 21u * kReplyReadTimeoutMs) << "each read waited its full second";
  EXPECT_TRUE(link->IsLinkUp()) << "20 errors are tolerated, the 21st is noticed next step";
  EXPECT_EQ(reports.Count(kLogNetworkErrors), 0);

  link->LinkStep();
  EXPECT_FALSE(link->IsLinkUp());
  EXPECT_EQ(reports.Count(kLogNetworkErrors), 1);

  // Every live event went into a connection that never answered: all spooled.
  const auto records = reports.Spooled();
  ASSERT_EQ(records.size(), 17u);
  for (int i = 0; i < 17; ++i) EXPECT_EQ(records[i], EventRecord(i));

  // The 21 waits took more than the 5 s between attempts: the next step connects.
  link->LinkStep();
  EXPECT_EQ(reports.Count(kLogConnecting), 2);
  EXPECT_EQ(server->Connections(), 2);
}

TEST_F(ScriptedLinkTest, BadServersNeverLoseALiveEvent) {
  struct Case {
    const char* name;
    std::vector<Answer> answer;
    TcpFailure write_failure;
  };
  const Case cases[] = {
      {"garbage", {{Bytes(30, 0x5A)}}, TcpFailure::kNone},
      {"silent", {}, TcpFailure::kNone},
      {"closes", {{{}, /*then_close=*/true}}, TcpFailure::kNone},
      {"refuses writes", {}, TcpFailure::kSocket},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reports.ClearSpooled();
    auto link = MakeLink();
    ConnectAndHandshake(*link);
    server->AnswerAllWith(c.answer);
    server->FailWrites(c.write_failure, c.write_failure == TcpFailure::kNone ? 0 : EIO);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(link->PutMessage(mtStationEvent, EventRecord(i)));
    for (int i = 0; i < 40 && link->QueuedCount() > 0; ++i) link->LinkStep();
    // What went out unanswered is spooled; what could not go out stays queued
    // and is spooled when the link stops.
    link->FinishRun();
    EXPECT_EQ(reports.Spooled().size(), 5u);
  }
}

// With the driver's own dispatch and spool writer: a live event either reaches
// the server and is answered, or it ends up in a spool file.
TEST_F(ScriptedLinkTest, LiveEventsTheServerMayNotHaveGoToSpoolFiles) {
  const std::string spool_dir = dir.path().string() + "/spool/";
  std::filesystem::create_directory(spool_dir);
  SpoolWriter writer(spool_dir, dir.path().string(), clock);
  struct ToWriter final : LinkReports {
    explicit ToWriter(SpoolWriter& w) : writer(w) {}
    void LogLine(const std::string&) override {}
    void StepServerTick(LinkState) override {}
    void Connected() override {}
    void MessageWritten(std::uint32_t, std::uint64_t) override {}
    void SpoolFileSettled(const std::string&, SpoolFate) override {}
    bool SpoolRecord(std::span<const std::uint8_t> record) override { return SpoolRecordTo(writer, record); }
    SpoolWriter& writer;
  } to_writer(writer);
  auto owned = std::make_unique<testing::ScriptedTransport>(tick);
  server = owned.get();
  InFlightFiles in_flight;
  ServerLinkOptions options;
  options.work_dir = dir.path().string();
  options.in_flight = &in_flight;
  cl link(host, to_writer, std::move(owned), tick, clock, options);
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
  server->AnswerAllWith({});
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

// A failure reaches standard error with its cause (call, server, errno): a
// server that stays away once, not at every attempt; on a connection, its
// first failure, and the cause of giving the link up.
TEST_F(ScriptedLinkTest, FailuresReachStandardErrorWithTheirCause) {
  std::mutex mutex;
  std::vector<std::string> lines;
  SetDiagnosticSink([&](Severity, const std::string& text) {
    std::lock_guard lock(mutex);
    lines.push_back(text);
  });
  auto link = MakeLink();
  server->RefuseConnections(ECONNREFUSED);
  for (int i = 0; i < 3; ++i) {
    tick.Advance(kReconnectSpacingMs + 1);
    link->LinkStep();
  }
  server->RefuseConnections(0);
  tick.Advance(kReconnectSpacingMs + 1);
  ConnectAndHandshake(*link);
  // A failed write closes the connection.
  server->FailWrites(TcpFailure::kSocket, EIO);
  ASSERT_TRUE(link->PutMessage(mtPortState, Bytes(8, 0)));
  link->LinkStep();
  ASSERT_FALSE(link->IsLinkUp());
  // A peer that goes away is noticed only by the errors it causes.
  server->FailWrites(TcpFailure::kNone, 0);
  server->AnswerAllWith({{{}, /*then_close=*/true}});
  tick.Advance(kReconnectSpacingMs + 1);
  link->LinkStep();
  for (int i = 0; i < 25 && link->IsLinkUp(); ++i) link->LinkStep();
  SetDiagnosticSink({});

  const std::string peer = "127.0.0.1:12543";
  const std::vector<std::string> expected = {
      "server link: cannot connect: connect " + peer + ": " + ErrnoText(ECONNREFUSED),
      "server link: send " + peer + ": " + ErrnoText(EIO),
      "server link: recv " + peer + ": closed by peer",
      "server link: more than 20 network errors, reconnecting (last: recv " + peer + ": not connected)",
  };
  EXPECT_EQ(lines, expected);
}

// The thread sleeps until its next step is due: the next connection attempt,
// the next poll, or never while nothing can become due but a queued message.
TEST_F(ScriptedLinkTest, IdleThreadSleepsUntilItsNextDeadline) {
  auto link = MakeLink();
  server->RefuseConnections(ECONNREFUSED);
  link->LinkStep();  // the attempt fails
  tick.Advance(1000);
  EXPECT_EQ(link->IdleMs(), std::optional<std::uint32_t>(kReconnectSpacingMs + 1 - 1000));
  ASSERT_TRUE(link->PutMessage(mtPortState, Bytes(8, 0)));
  EXPECT_EQ(link->IdleMs(), std::optional<std::uint32_t>(kReconnectSpacingMs + 1 - 1000))
      << "a message queued while the link is down waits for the connection";

  server->RefuseConnections(0);
  tick.Advance(kReconnectSpacingMs);
  link->LinkStep();  // connected: the handshake and the message are queued
  ASSERT_TRUE(link->IsLinkUp());
  EXPECT_EQ(link->IdleMs(), std::optional<std::uint32_t>(0));
  for (int i = 0; i < 5; ++i) link->LinkStep();
  EXPECT_EQ(link->IdleMs(), std::nullopt) << "not accepted: no polls";

  server->AnswerAllWith({{ReplyFrame(mtAccepted)}});
  ASSERT_TRUE(link->PutMessage(mtPortState, Bytes(8, 0)));
  link->LinkStep();
  EXPECT_EQ(link->IdleMs(), std::optional<std::uint32_t>(0)) << "accepted: the first poll is due";
  link->LinkStep();
  tick.Advance(200);
  EXPECT_EQ(link->IdleMs(), std::optional<std::uint32_t>(kPollSpacingMs + 1 - 200));
  tick.Advance(kPollSpacingMs);
  EXPECT_EQ(link->IdleMs(), std::optional<std::uint32_t>(0));
}

// A started thread that sleeps without a deadline still sends a queued
// message at once, and stops when asked.
TEST_F(ScriptedLinkTest, QueuedMessageWakesASleepingThread) {
  auto owned = std::make_unique<testing::ScriptedTransport>(tick);
  server = owned.get();
  ServerLinkOptions options;
  options.work_dir = dir.path().string();
  cl link(host, reports, std::move(owned), tick, clock, options);
  link.Start();
  // Not accepted, nothing queued after the handshake: it sleeps for good.
  ASSERT_TRUE(reports.WaitForWritten(4, 10s)) << "the handshake";
  ASSERT_TRUE(link.PutMessage(mtPortState, Bytes(8, 0)));
  EXPECT_TRUE(reports.WaitForWritten(5, 10s));
  link.Stop();
}

}  // namespace
}  // namespace drvvzt
