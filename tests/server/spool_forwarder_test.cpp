// Spool forwarding against a scripted link, and end to end with the link
// thread stepping against the emulator.
#include "server/spool_forwarder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "platform/durable_file.h"
#include "platform/error_log.h"
#include "server/server_link.h"
#include "server/wire_format.h"
#include "platform/diagnostics.h"
#include "tests/support/fake_clock.h"
#include "tests/support/faulty_file_system.h"
#include "tests/support/link_doubles.h"
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
    std::string path;
  };
  bool IsLinkUp() const override { return up; }
  bool QueueSpoolFile(std::uint32_t msg_type, std::span<const std::uint8_t> body,
                      const std::string& path) override {
    const std::uint64_t sequence = next_sequence++;
    if (refuse) return false;
    queued.push_back({msg_type, Bytes(body.begin(), body.end()), sequence, path});
    return true;
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
        forwarder(link, in_flight, tick, spool_dir.string() + "/", dir.path().string(),
                  [this](const std::string& text) { log.push_back(text); }, faulty) {
    fs::create_directory(spool_dir);
    SetDiagnosticSink([this](Severity, const std::string& text) {
      std::lock_guard lock(reports_mutex);
      reports.push_back(text);
    });
  }
  ~SpoolForwarderTest() override { SetDiagnosticSink({}); }

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
  // The server's answer to the message last queued, as the link settles it.
  void Settle(SpoolFate fate) {
    const std::string path = link.queued.back().path;
    if (fate == SpoolFate::kAcknowledged) fs::remove(path);
    forwarder.OnSpoolFileSettled(path, fate);
  }
  void Acknowledge() { Settle(SpoolFate::kAcknowledged); }
  std::size_t ReportsContaining(const std::string& part) {
    std::lock_guard lock(reports_mutex);
    return static_cast<std::size_t>(std::count_if(reports.begin(), reports.end(), [&](const std::string& r) {
      return r.find(part) != std::string::npos;
    }));
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
  InFlightFiles in_flight;
  testing::FakeTickClock tick;
  testing::FaultyFileSystem faulty;
  std::vector<std::string> log;
  std::mutex reports_mutex;
  std::vector<std::string> reports;
  SpoolForwarder forwarder;
};

TEST_F(SpoolForwarderTest, OldestFileFirstAndTheNextRightAfterEachAcknowledgement) {
  AddEvent("C.dd8", 'c', 100);
  AddEvent("B.dd8", 'b', 300);
  AddEvent("A.dd8", 'a', 100);  // same age as C: the name decides
  AddFile("notes.txt", "x", 500);
  AddFile("D.dd8.bad", "x", 500);

  EXPECT_FALSE(forwarder.HasWork()) << "nothing known before the first listing";
  forwarder.Step();
  EXPECT_TRUE(forwarder.HasWork());
  ASSERT_EQ(Tags(), (std::vector<char>{'b'}));
  EXPECT_EQ(link.queued[0].type, mtStationEvent);
  EXPECT_EQ(forwarder.SentSpoolPath(), (spool_dir / "B.dd8").string());
  EXPECT_EQ(forwarder.InFlightPath(), (spool_dir / "B.dd8").string());

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
  EXPECT_FALSE(forwarder.HasWork()) << "the list ran dry";

  // A file written while forwarding runs is found once the list has run dry.
  AddEvent("E.dd8", 'e', 0);
  tick.Advance(200);
  forwarder.Step();
  EXPECT_EQ(Tags(), (std::vector<char>{'b', 'a', 'c', 'e'}));
}

// The spacing is measured on the monotonic tick from the last send, and a file
// whose message is still on its way is not sent again.
TEST_F(SpoolForwarderTest, UnansweredFileGoesAgainThreeSecondsAfterItsLastSend) {
  AddEvent("A.dd8", 'a', 20);
  AddEvent("B.dd8", 'b', 10);
  forwarder.Step();
  struct Case {
    std::uint32_t advance_ms;
    bool settle;
    std::size_t queued;
  };
  const Case cases[] = {
      {3500, false, 1},  // still in flight: waits for its fate however long it takes
      {0, true, 2},      // settled unanswered, and more than 3 s since the send
      {200, true, 2},    {2800, false, 2}, {1, false, 3},
  };
  for (const Case& c : cases) {
    tick.Advance(c.advance_ms);
    if (c.settle) Settle(SpoolFate::kUnanswered);
    forwarder.Step();
    EXPECT_EQ(link.queued.size(), c.queued) << "after +" << c.advance_ms << " ms";
  }
  EXPECT_EQ(Tags(), (std::vector<char>{'a', 'a', 'a'}));
  EXPECT_LT(link.queued[0].sequence, link.queued[2].sequence) << "each copy is a new message";
  EXPECT_TRUE(fs::exists(spool_dir / "A.dd8"));
}

TEST_F(SpoolForwarderTest, SpacingSurvivesTheTickWrapping) {
  tick.Set(0xFFFFFF00u);
  AddEvent("A.dd8", 'a', 20);
  forwarder.Step();
  Settle(SpoolFate::kUnanswered);
  tick.Advance(2000);  // wraps
  forwarder.Step();
  EXPECT_EQ(link.queued.size(), 1u);
  tick.Advance(1001);
  forwarder.Step();
  EXPECT_EQ(link.queued.size(), 2u);
}

// A file the server answers with something else than its acknowledgement goes
// behind the others after 10 sends; it is never deleted without its ack.
TEST_F(SpoolForwarderTest, FileTheServerKeepsRefusingGoesToTheBack) {
  const std::string a = AddEvent("A.dd8", 'a', 30);
  AddEvent("B.dd8", 'b', 20);
  AddEvent("C.dd8", 'c', 10);
  for (int i = 0; i < kSpoolRefusalLimit; ++i) {
    forwarder.Step();
    ASSERT_EQ(Tags().back(), 'a') << "send " << i;
    Settle(SpoolFate::kRefused);
    tick.Advance(3001);
  }
  forwarder.Step();
  Acknowledge();  // B, and C right after it
  Acknowledge();  // C, and A once the others are gone
  std::vector<char> expected(kSpoolRefusalLimit, 'a');
  expected.push_back('b');
  expected.push_back('c');
  expected.push_back('a');
  EXPECT_EQ(Tags(), expected);
  EXPECT_TRUE(fs::exists(a));
  Acknowledge();
  EXPECT_FALSE(fs::exists(a));
}

// Files another part of the driver has in flight (a live event's write-ahead
// file) are passed over, not sent twice.
TEST_F(SpoolForwarderTest, FilesInFlightArePassedOver) {
  const std::string a = AddEvent("A.dd8", 'a', 20);
  AddEvent("B.dd8", 'b', 10);
  in_flight.Add(a);
  forwarder.Step();
  EXPECT_EQ(Tags(), (std::vector<char>{'b'}));
  Acknowledge();
  EXPECT_EQ(Tags(), (std::vector<char>{'b'})) << "A is still in flight";
  in_flight.Remove(a);
  tick.Advance(200);
  forwarder.Step();
  EXPECT_EQ(Tags(), (std::vector<char>{'b', 'a'}));
}

TEST_F(SpoolForwarderTest, RescueDirectoryIsForwardedToo) {
  fs::create_directory(dir.path() / "rescue");
  dir.Write("rescue/R.dd8", SpoolContent(mtStationEvent, std::string(22, 'r')));
  fs::last_write_time(dir.path() / "rescue/R.dd8", base_time - std::chrono::seconds(50));
  AddEvent("A.dd8", 'a', 10);
  forwarder.AddLocation(dir.File("rescue") + "/");
  forwarder.Step();
  Acknowledge();
  EXPECT_EQ(Tags(), (std::vector<char>{'r', 'a'}));
  EXPECT_FALSE(fs::exists(dir.path() / "rescue/R.dd8"));
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
  EXPECT_FALSE(forwarder.HasWork());

  // Back up: the connection lets forwarding resume at once.
  link.up = true;
  forwarder.Step();
  Settle(SpoolFate::kUnanswered);
  forwarder.OnConnected();
  forwarder.Step();
  EXPECT_EQ(Tags(), (std::vector<char>{'a', 'a'}));
}

// A full queue refuses the message: the same file is offered again at the
// very next step, and is deleted only by its own acknowledgement.
TEST_F(SpoolForwarderTest, RefusedByAFullQueueIsOfferedAgainAtTheNextStep) {
  const std::string a = AddEvent("A.dd8", 'a', 5);
  link.refuse = true;
  forwarder.Step();
  EXPECT_FALSE(forwarder.InFlightPath().has_value());
  link.refuse = false;
  forwarder.Step();
  EXPECT_EQ(Tags(), (std::vector<char>{'a'}));
  Settle(SpoolFate::kRefused);
  EXPECT_TRUE(fs::exists(a));
}

TEST_F(SpoolForwarderTest, UnreadableOrShortFileIsSetAsideAndTheNextGoesOut) {
  const std::string short_file = AddFile("A.dd8", "xy", 30);
  AddFile("A.dd8.bad", "earlier", 40);
  const std::string unreadable = AddEvent("B.dd8", 'b', 20);
  faulty.FailEvery("read", EIO, unreadable);
  AddEvent("C.dd8", 'c', 10);

  forwarder.Step();
  EXPECT_EQ(Tags(), (std::vector<char>{'c'}));
  EXPECT_FALSE(fs::exists(short_file));
  EXPECT_TRUE(fs::exists(spool_dir / "A.dd8.1.bad")) << "the earlier .bad file is kept";
  EXPECT_EQ(dir.Read("spool/A.dd8.1.bad"), "xy");
  EXPECT_EQ(dir.Read("spool/A.dd8.bad"), "earlier");
  EXPECT_TRUE(fs::exists(unreadable + ".bad"));
  EXPECT_EQ(log, (std::vector<std::string>{kLogSpoolFileBad + short_file, kLogSpoolFileBad + unreadable}));
  EXPECT_EQ(dir.Read("error.txt"), ErrorLogLine(22) + ErrorLogLine(22));
  EXPECT_EQ(ReportsContaining("read " + unreadable + ": " + ErrnoText(EIO)), 1u) << "the cause is kept";
}

// A file the process cannot read for want of descriptors or memory is not the
// file's fault: it is passed over and goes out once the shortage is over.
TEST_F(SpoolForwarderTest, FileUnreadableForWantOfResourcesIsPassedOverNotSetAside) {
  for (int error : {EMFILE, ENFILE, ENOMEM}) {
    SCOPED_TRACE(ErrnoText(error));
    const std::string a = AddEvent("A.dd8", 'a', 20);
    faulty.FailNth("open", 1, error, a);
    tick.Advance(200);
    forwarder.Step();
    EXPECT_TRUE(link.queued.empty());
    EXPECT_TRUE(fs::exists(a));
    tick.Advance(200);
    forwarder.Step();
    ASSERT_EQ(Tags(), (std::vector<char>{'a'}));
    Acknowledge();
    link.queued.clear();
  }
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(dir.Read("error.txt"), "");
}

// A file that can be neither read nor set aside is reported once and left on
// disk; it does not hold up the files behind it.
TEST_F(SpoolForwarderTest, FileThatCannotBeSetAsideIsSkippedAndReportedOnce) {
  const std::string stuck = AddEvent("A.dd8", 'a', 30);
  AddEvent("B.dd8", 'b', 20);
  faulty.FailEvery("read", EIO, stuck);
  faulty.FailEvery("link", EROFS, stuck);
  forwarder.Step();
  EXPECT_EQ(Tags(), (std::vector<char>{'b'}));
  Acknowledge();  // the list runs dry and is made again
  AddEvent("C.dd8", 'c', 10);
  tick.Advance(200);
  forwarder.Step();
  EXPECT_EQ(Tags(), (std::vector<char>{'b', 'c'}));
  EXPECT_TRUE(fs::exists(stuck));
  EXPECT_EQ(dir.Read("error.txt"), ErrorLogLine(22));
  EXPECT_EQ(ReportsContaining("link " + stuck + ": " + ErrnoText(EROFS)), 1u);
  EXPECT_TRUE(log.empty()) << "the window is told only of files actually set aside";
}

// A location that cannot be listed holds nothing back from the others, is
// reported once for the run of failures, and is forwarded once it can be read.
TEST_F(SpoolForwarderTest, LocationThatCannotBeListedDoesNotStopTheOthers) {
  const std::string rescue = dir.File("rescue");
  fs::create_directory(rescue);
  dir.Write("rescue/R.dd8", SpoolContent(mtStationEvent, std::string(22, 'r')));
  AddEvent("A.dd8", 'a', 10);
  forwarder.AddLocation(rescue + "/");
  faulty.FailEvery("opendir", EACCES, spool_dir.string());
  forwarder.Step();
  Acknowledge();
  tick.Advance(200);
  forwarder.Step();
  EXPECT_EQ(Tags(), (std::vector<char>{'r'}));
  EXPECT_EQ(ReportsContaining("opendir " + spool_dir.string() + ": " + ErrnoText(EACCES)), 1u);

  faulty.Heal();
  tick.Advance(200);
  forwarder.Step();
  EXPECT_EQ(Tags(), (std::vector<char>{'r', 'a'}));
  EXPECT_EQ(ReportsContaining("can be listed again"), 1u);
}

// Spool files carried over from a Windows station keep an uppercase suffix.
TEST_F(SpoolForwarderTest, SuffixInAnyLetterCaseIsForwarded) {
  AddEvent("5265C00.DD8", 'u', 20);
  AddEvent("5265C01.Dd8", 'm', 10);
  forwarder.Step();
  Acknowledge();
  EXPECT_EQ(Tags(), (std::vector<char>{'u', 'm'}));
}

TEST_F(SpoolForwarderTest, PrefixWithoutSlashSelectsByNameInTheParentDirectory) {
  AddEvent("T8A.dd8", 'a', 10);
  AddEvent("other.dd8", 'o', 20);
  SpoolForwarder prefixed(link, in_flight, tick, (spool_dir / "T8").string(), dir.path().string());
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
  Settle(SpoolFate::kUnanswered);
  tick.Advance(3001);
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

  testing::FixedHost host{"COM1", false};
  testing::RecordingReports reports;
  testing::FakeTickClock tick{100000};
  testing::FakeDateTimeClock clock;
  ServerLinkOptions options;
  options.work_dir = dir.path().string();
  InFlightFiles in_flight;
  options.in_flight = &in_flight;
  cl link(host, reports, MakeServerTransport(tick), tick, clock, options);
  SpoolForwarder forwarder(link, in_flight, tick, dir.path().string() + "/", dir.path().string());
  reports.on_connected = [&] { forwarder.OnConnected(); };
  reports.on_settled = [&](const std::string& path, SpoolFate fate) { forwarder.OnSpoolFileSettled(path, fate); };
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
