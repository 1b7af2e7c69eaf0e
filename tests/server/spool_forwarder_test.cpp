// Spool forwarding against a scripted link, and end to end with the link
// thread stepping against the emulator.
#include "server/spool_forwarder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/datetime.h"
#include "platform/durable_file.h"
#include "platform/error_log.h"
#include "server/server_link.h"
#include "server/wire_format.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"
#include "tools/lib/message_server_emulator.h"

namespace drvvzt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ScriptedLink final : public SpoolLink {
public:
  struct Queued {
    std::uint32_t type;
    Bytes body;
    std::uint64_t sequence;
  };
  bool IsLinkUp() const override { return up; }
  std::optional<std::uint64_t> QueueSpooledMessage(std::uint32_t msg_type,
                                                   std::span<const std::uint8_t> body) override {
    const std::uint64_t sequence = next_sequence++;
    if (refuse) return std::nullopt;
    queued.push_back({msg_type, Bytes(body.begin(), body.end()), sequence});
    return sequence;
  }
  bool up = true;
  bool refuse = false;
  std::uint64_t next_sequence = 10;
  std::vector<Queued> queued;
};

// A spool file: the 4-byte message type, then the body.
std::string SpoolContent(std::uint32_t type, const std::string& body) {
  std::string content(4, '\0');
  for (int i = 0; i < 4; ++i) content[i] = static_cast<char>((type >> (8 * i)) & 0xFF);
  return content + body;
}

class SpoolForwarderTest : public ::testing::Test {
protected:
  SpoolForwarderTest()
      : spool_dir(dir.path() / "spool"),
        forwarder(link, clock, spool_dir.string() + "/", dir.path().string(),
                  [this](const std::string& text) { log.push_back(text); }) {
    fs::create_directory(spool_dir);
  }

  // Writes a spool file whose modification time lies `age_s` seconds back.
  std::string AddFile(const std::string& name, const std::string& content, int age_s) {
    const fs::path path = spool_dir / name;
    dir.Write("spool/" + name, content);
    fs::last_write_time(path, base_time - std::chrono::seconds(age_s));
    return path.string();
  }
  std::string AddEvent(const std::string& name, char tag, int age_s) {
    return AddFile(name, SpoolContent(mtStationEvent, std::string(22, tag)), age_s);
  }
  // The server took the message last queued.
  void Acknowledge() {
    forwarder.OnMessageWritten(link.queued.back().sequence);
    forwarder.OnSpoolAck();
  }
  std::vector<char> Tags() const {
    std::vector<char> tags;
    for (const auto& q : link.queued) tags.push_back(q.body.empty() ? '-' : static_cast<char>(q.body[0]));
    return tags;
  }

  const fs::file_time_type base_time = fs::file_time_type::clock::now();
  testing::TempDir dir;
  fs::path spool_dir;
  ScriptedLink link;
  testing::FakeDateTimeClock clock;
  std::vector<std::string> log;
  SpoolForwarder forwarder;
};

TEST_F(SpoolForwarderTest, OldestFileFirstAndTheNextRightAfterEachAcknowledgement) {
  AddEvent("C.dd8", 'c', 100);
  AddEvent("B.dd8", 'b', 300);
  AddEvent("A.dd8", 'a', 100);  // same age as C: the name decides
  AddFile("notes.txt", "x", 500);
  AddFile("D.dd8.bad", "x", 500);

  forwarder.Step();
  ASSERT_EQ(Tags(), (std::vector<char>{'b'}));
  EXPECT_EQ(link.queued[0].type, mtStationEvent);
  EXPECT_EQ(forwarder.SentSpoolPath(), (spool_dir / "B.dd8").string());
  EXPECT_DOUBLE_EQ(forwarder.LastSpoolSend(), clock.Now());

  // No timer step in between and no time passes: each acknowledgement releases
  // the next file at once.
  Acknowledge();
  EXPECT_FALSE(fs::exists(spool_dir / "B.dd8"));
  Acknowledge();
  Acknowledge();
  EXPECT_EQ(Tags(), (std::vector<char>{'b', 'a', 'c'}));
  EXPECT_FALSE(fs::exists(spool_dir / "C.dd8"));
  EXPECT_TRUE(fs::exists(spool_dir / "notes.txt"));
  EXPECT_TRUE(log.empty());

  // A file written while forwarding runs is found once the list has run dry.
  AddEvent("E.dd8", 'e', 0);
  clock.AdvanceMs(200);
  forwarder.Step();
  EXPECT_EQ(Tags(), (std::vector<char>{'b', 'a', 'c', 'e'}));
}

TEST_F(SpoolForwarderTest, UnacknowledgedFileGoesAgainEveryThreeSeconds) {
  AddEvent("A.dd8", 'a', 20);
  AddEvent("B.dd8", 'b', 10);
  forwarder.Step();
  struct Case {
    double advance_ms;
    std::size_t queued;
  };
  const Case cases[] = {{200, 1}, {2800, 1}, {1, 2}, {2999, 2}, {2, 3}};
  for (const Case& c : cases) {
    clock.AdvanceMs(c.advance_ms);
    forwarder.Step();
    EXPECT_EQ(link.queued.size(), c.queued) << "after +" << c.advance_ms << " ms";
  }
  EXPECT_EQ(Tags(), (std::vector<char>{'a', 'a', 'a'}));
  EXPECT_LT(link.queued[0].sequence, link.queued[2].sequence) << "each copy is a new message";
}

TEST_F(SpoolForwarderTest, FourByteFileIsAMessageWithEmptyBody) {
  AddFile("A.dd8", SpoolContent(0x02200062, ""), 5);
  forwarder.Step();
  ASSERT_EQ(link.queued.size(), 1u);
  EXPECT_EQ(link.queued[0].type, 0x02200062u);
  EXPECT_TRUE(link.queued[0].body.empty());
}

TEST_F(SpoolForwarderTest, NothingIsReadWhileTheLinkIsDown) {
  link.up = false;
  AddFile("bad.dd8", "xy", 5);
  AddEvent("A.dd8", 'a', 1);
  forwarder.Step();
  EXPECT_TRUE(link.queued.empty());
  EXPECT_TRUE(fs::exists(spool_dir / "bad.dd8")) << "not even looked at";

  // Back up: the connection moves the last send a day back, forwarding resumes.
  link.up = true;
  forwarder.OnConnected();
  EXPECT_DOUBLE_EQ(forwarder.LastSpoolSend(), clock.Now() - 1.0);
  forwarder.Step();
  EXPECT_EQ(Tags(), (std::vector<char>{'a'}));
}

TEST_F(SpoolForwarderTest, AcknowledgementOfAnotherMessageDeletesNothing) {
  const std::string a = AddEvent("A.dd8", 'a', 5);
  struct Case {
    const char* name;
    bool refuse;
    bool written;
    bool reconnect_before_ack;
  };
  const Case cases[] = {
      {"still queued", false, false, false},
      {"refused by a full queue", true, false, false},
      {"written on an earlier connection", false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    link.refuse = c.refuse;
    clock.AdvanceMs(3001);
    forwarder.Step();
    if (c.written) forwarder.OnMessageWritten(link.queued.back().sequence);
    if (c.reconnect_before_ack) forwarder.OnConnected();
    forwarder.OnSpoolAck();
    EXPECT_TRUE(fs::exists(a));
  }
  // A refused message is offered again at the very next step.
  link.refuse = true;
  clock.AdvanceMs(3001);
  forwarder.Step();
  const std::size_t before = link.queued.size();
  link.refuse = false;
  forwarder.Step();
  EXPECT_EQ(link.queued.size(), before + 1);
  // Written, then acknowledged: now it goes.
  Acknowledge();
  EXPECT_FALSE(fs::exists(a));
}

TEST_F(SpoolForwarderTest, UnreadableOrShortFileIsSetAsideAndTheNextGoesOut) {
  const std::string short_file = AddFile("A.dd8", "xy", 30);
  AddFile("A.dd8.bad", "earlier", 40);
  const std::string unreadable = AddFile("B.dd8", SpoolContent(mtStationEvent, "b"), 20);
  fs::permissions(unreadable, fs::perms::none);
  // Permissions do not stop a privileged user; then that case is left out.
  const bool can_read_anyway = ReadWholeFile(unreadable).has_value();
  if (can_read_anyway) fs::remove(unreadable);
  AddEvent("C.dd8", 'c', 10);

  forwarder.Step();
  EXPECT_EQ(Tags(), (std::vector<char>{'c'}));
  EXPECT_FALSE(fs::exists(short_file));
  EXPECT_TRUE(fs::exists(spool_dir / "A.dd8.1.bad")) << "the earlier .bad file is kept";
  EXPECT_EQ(dir.Read("spool/A.dd8.1.bad"), "xy");
  if (!can_read_anyway) {
    EXPECT_TRUE(fs::exists(unreadable + ".bad"));
    EXPECT_EQ(log.size(), 2u);
    EXPECT_EQ(dir.Read("error.txt"), ErrorLogLine(22) + ErrorLogLine(22));
  }
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], kLogSpoolFileBad + short_file);
}

TEST_F(SpoolForwarderTest, PrefixWithoutSlashSelectsByNameInTheParentDirectory) {
  AddEvent("T8A.dd8", 'a', 10);
  AddEvent("other.dd8", 'o', 20);
  SpoolForwarder prefixed(link, clock, (spool_dir / "T8").string(), dir.path().string());
  prefixed.Step();
  EXPECT_EQ(Tags(), (std::vector<char>{'a'}));
}

TEST_F(SpoolForwarderTest, FileThatVanishedFromTheListIsPassedOver) {
  AddEvent("A.dd8", 'a', 30);
  AddEvent("B.dd8", 'b', 20);
  forwarder.Step();  // lists A and B, sends A
  fs::remove(spool_dir / "A.dd8");
  fs::remove(spool_dir / "B.dd8");
  AddEvent("C.dd8", 'c', 10);
  clock.AdvanceMs(3001);
  forwarder.Step();
  EXPECT_EQ(Tags(), (std::vector<char>{'a', 'c'}));
}

// End to end: the forwarder wired to a link thread driven step by step, and a
// server that acknowledges every event at once.
TEST(SpoolForwardingOverTheLink, DrainsFilesAsFastAsTheServerAnswers) {
  testing::TempDir dir;
  tools::MessageServerEmulator emulator;
  ASSERT_TRUE(emulator.Start());
  dir.Write("drvvzt.ini", "[ServerHost]\nPort=" + std::to_string(emulator.Port()) + "\n");
  dir.Write("A.dd8", SpoolContent(mtStationEvent, std::string(22, 'a')));
  fs::last_write_time(dir.path() / "A.dd8", fs::file_time_type::clock::now() - 10s);
  dir.Write("B.dd8", SpoolContent(mtStationEvent, std::string(22, 'b')));

  class NullHost final : public LinkHost {
    std::string ComPort() override { return "COM1"; }
    bool PortOpen() override { return false; }
    int FirstNumber() override { return 4; }
    void LogLine(const std::string&) override {}
    void StepServerTick() override {}
  } host;
  testing::FakeTickClock tick{100000};
  testing::FakeDateTimeClock clock;
  ServerLinkOptions options;
  options.work_dir = dir.path().string();
  cl link(host, tick, clock, options);
  SpoolForwarder forwarder(link, clock, dir.path().string() + "/", dir.path().string());
  link.SetObserver(&forwarder);
  link.PrepareRun();

  forwarder.Step();  // link down: nothing
  link.LinkStep();   // connect; handshake queued
  ASSERT_TRUE(link.IsLinkUp());
  forwarder.Step();  // the first timer tick after connecting
  EXPECT_EQ(forwarder.SentSpoolPath(), dir.File("A.dd8"));
  for (int i = 0; i < 6; ++i) link.LinkStep();  // 4 handshake, A, B

  ASSERT_TRUE(emulator.WaitForMessageCount(6, 2s));
  const auto messages = emulator.Messages();
  ASSERT_EQ(messages.size(), 6u);
  EXPECT_EQ(messages[4].body, Bytes(22, 'a'));
  EXPECT_EQ(messages[5].body, Bytes(22, 'b'));
  EXPECT_FALSE(fs::exists(dir.path() / "A.dd8"));
  EXPECT_FALSE(fs::exists(dir.path() / "B.dd8"));
}

}  // namespace
}  // namespace drvvzt
