// Whole-driver fault tests: the drvvzt program between a pseudo-terminal
// station and the loopback message-server emulator, with the server, the
// network, the disk or the device failing under it. Each test ends with the
// count that matters: every object number the station sent is at the server
// or in a spool file.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error_log.h"
#include "server/wire_format.h"
#include "station/spool_writer.h"
#include "tests/support/driver_process.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tools/lib/message_server_emulator.h"
#include "tools/lib/station_packet.h"

namespace drvvzt::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tools::EmulatorPolicy;
using tools::MessageServerEmulator;
using tools::ReplyMode;

class DriverFaultTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (DriverProgramPath().empty()) GTEST_SKIP() << "drvvzt program not built";
    ASSERT_TRUE(pty_.ok());
  }

  // In a sanitizer build the driver reports what it found on its own output.
  void TearDown() override {
    driver_.Kill();
    const std::string out = driver_.Output();
    EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
    EXPECT_EQ(out.find("runtime error:"), std::string::npos) << out;
  }

  // A loopback port on which nobody listens.
  static std::uint16_t DeadPort() {
    MessageServerEmulator probe;
    EXPECT_TRUE(probe.Start());
    const std::uint16_t port = probe.Port();
    probe.Stop();
    return port;
  }

  void StartDriver(std::uint16_t server_port, DriverConfig config = {}) {
    config.device = pty_.slave_path();
    config.server_port = server_port;
    driver_.Configure(config);
    ASSERT_TRUE(driver_.Start());
    ASSERT_TRUE(WaitReady(driver_)) << driver_.Output();
  }

  // The port scan at start-up opens the device too, and opening the port ends
  // with a purge of its input, so only an acknowledged probe shows that
  // packets are handled. The probe's object number is never among those counted.
  bool WaitReady(DriverProcess& driver) {
    if (!driver.WaitDeviceOpen(pty_.slave_path(), 10000)) return false;
    tools::StationPacketFields fields;
    fields.object_number = kProbeObject;
    const tools::StationPacket probe = tools::BuildStationPacket(fields);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline && driver.Running()) {
      if (!pty_.WriteMaster(probe.data(), probe.size())) return false;
      if (pty_.DrainMaster(300).find(tools::kAcknowledgement) == std::string::npos) continue;
      pty_.DrainMaster(300);  // acknowledgements of earlier probes still on their way
      return true;
    }
    return false;
  }

  static constexpr std::uint16_t kProbeObject = 0xFFFF;

  // Waits for the handshake's port report, sent once the driver is registered.
  void WaitRegistered(MessageServerEmulator& server, std::size_t from = 0) {
    ASSERT_TRUE(server.WaitForType(mtPortState, 10s, from)) << driver_.Output();
  }

  // Sends packets for object numbers first..last, `gap` apart, and collects
  // the acknowledgements the station reads back.
  void SendObjects(int first, int last, std::chrono::milliseconds gap = 5ms) {
    for (int n = first; n <= last; ++n) {
      tools::StationPacketFields fields;
      fields.object_number = static_cast<std::uint16_t>(n);
      const tools::StationPacket packet = tools::BuildStationPacket(fields);
      ASSERT_TRUE(pty_.WriteMaster(packet.data(), packet.size()));
      sent_.push_back(n);
      std::this_thread::sleep_for(gap);
      acks_ += pty_.DrainMaster(0);
    }
  }

  // Object numbers in spool files and in the rescue directory.
  std::multiset<std::int32_t> OnDisk() const {
    std::multiset<std::int32_t> numbers = SpoolObjectNumbers(driver_.SpoolDir());
    for (std::int32_t n : SpoolObjectNumbers(dir_.File("rescue") + "/")) numbers.insert(n);
    return numbers;
  }

  std::vector<std::int32_t> Missing(const MessageServerEmulator* server) const {
    const std::multiset<std::int32_t> at_server =
        server != nullptr ? ServerObjectNumbers(*server) : std::multiset<std::int32_t>{};
    return MissingNumbers(sent_, at_server, OnDisk());
  }

  // Polls until every sent object is accounted for; the missing ones after timeout.
  std::vector<std::int32_t> WaitAccounted(const MessageServerEmulator* server,
                                          std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::int32_t> missing = Missing(server);
    while (!missing.empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(50ms);
      missing = Missing(server);
    }
    return missing;
  }

  // Orderly stop, then the final count over the server and the spool.
  void StopAndExpectNothingLost(const MessageServerEmulator* server) {
    ASSERT_TRUE(driver_.Stop(8000).has_value());
    EXPECT_EQ(Missing(server), std::vector<std::int32_t>{}) << driver_.Output();
  }

  // The acknowledgements so far, waiting up to timeout for one per sent packet.
  std::size_t WaitAcks(std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (AckCount() < sent_.size() && std::chrono::steady_clock::now() < deadline) {
      acks_ += pty_.DrainMaster(50);
    }
    return AckCount();
  }

  std::size_t AckCount() const {
    std::size_t n = 0;
    for (std::size_t at = acks_.find(tools::kAcknowledgement); at != std::string::npos;
         at = acks_.find(tools::kAcknowledgement, at + 1))
      ++n;
    return n;
  }

  TempDir dir_;
  PtyPair pty_;
  DriverProcess driver_{dir_.path().string()};
  std::vector<std::int32_t> sent_;
  std::string acks_;
};

TEST_F(DriverFaultTest, ServerKilledInTheMiddleOfAStream) {
  auto server = std::make_unique<MessageServerEmulator>();
  ASSERT_TRUE(server->Start());
  const std::uint16_t port = server->Port();
  StartDriver(port);
  WaitRegistered(*server);

  SendObjects(1, 40);
  server->Stop();
  const std::multiset<std::int32_t> before_kill = ServerObjectNumbers(*server);
  SendObjects(41, 80);
  // A new server on the same port: the spool drains into it.
  MessageServerEmulator restarted;
  ASSERT_TRUE(restarted.Start(port));
  std::multiset<std::int32_t> at_either = ServerObjectNumbers(restarted);
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  std::vector<std::int32_t> missing;
  do {
    std::this_thread::sleep_for(100ms);
    at_either = before_kill;
    for (std::int32_t n : ServerObjectNumbers(restarted)) at_either.insert(n);
    missing = MissingNumbers(sent_, at_either, {});
  } while (!missing.empty() && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(missing, std::vector<std::int32_t>{}) << "not delivered after the restart";
  EXPECT_EQ(WaitAcks(), sent_.size());

  ASSERT_TRUE(driver_.Stop(8000).has_value());
  EXPECT_EQ(MissingNumbers(sent_, at_either, OnDisk()), std::vector<std::int32_t>{});
}

TEST_F(DriverFaultTest, ServerThatAcceptsAndNeverAnswers) {
  EmulatorPolicy silent;
  silent.mode = ReplyMode::kSilent;
  MessageServerEmulator server(silent);
  ASSERT_TRUE(server.Start());
  StartDriver(server.Port());
  ASSERT_TRUE(server.WaitForConnections(1, 10s));
  SendObjects(1, 30, 20ms);
  StopAndExpectNothingLost(&server);
}

// The spool directory's name is taken by a plain file: nothing can be created
// there (this works as root too, where permission bits do not stop writes).
// Records go to the rescue directory at once; when that is blocked as well they
// wait in memory, and whatever is still there at the stop is reported lost
// with a failure status. Status 0 means nothing was lost.
TEST_F(DriverFaultTest, RefusedSpoolDirectoryUsesTheRescueDirectoryAndTheExitStatusTellsLosses) {
  struct Case {
    const char* name;
    bool block_rescue;
    int exit_status;
  };
  const Case cases[] = {{"rescue directory takes them", false, 0},
                        {"nothing takes them", true, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_.File("rescue"));
    fs::remove(dir_.File("error.txt"));
    dir_.Write("blocked", "not a directory");
    if (c.block_rescue) dir_.Write("rescue", "not a directory");
    sent_.clear();
    acks_.clear();
    DriverConfig config;
    config.path_for_soob = "blocked/";
    StartDriver(DeadPort(), config);
    SendObjects(1, 10, 20ms);
    EXPECT_EQ(WaitAcks(), 10u);
    if (!c.block_rescue) EXPECT_EQ(WaitAccounted(nullptr, 5s), std::vector<std::int32_t>{});
    const std::optional<int> status = driver_.Stop(8000);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status)) << *status;
    EXPECT_EQ(WEXITSTATUS(*status), c.exit_status) << driver_.Output();
    if (c.block_rescue) {
      EXPECT_TRUE(OnDisk().empty());
      EXPECT_NE(driver_.Output().find("lost"), std::string::npos) << driver_.Output();
      const std::string log = dir_.Read("error.txt");
      std::size_t lines = 0;
      for (std::size_t at = log.find(ErrorLogLine(21)); at != std::string::npos;
           at = log.find(ErrorLogLine(21), at + 1))
        ++lines;
      EXPECT_GE(lines, 10u) << "one line for each record lost";
    } else {
      EXPECT_EQ(Missing(nullptr), std::vector<std::int32_t>{});
    }
    fs::remove_all(dir_.File("rescue"));
  }
}

// Records kept in memory while no directory takes them go to disk as soon as
// one does.
TEST_F(DriverFaultTest, RecordsInMemoryGoToDiskOnceTheSpoolDirectoryIsWritable) {
  dir_.Write("blocked", "not a directory");
  dir_.Write("rescue", "not a directory");
  DriverConfig config;
  config.path_for_soob = "blocked/";
  StartDriver(DeadPort(), config);
  SendObjects(1, 10, 20ms);
  EXPECT_EQ(WaitAcks(), 10u);
  EXPECT_TRUE(OnDisk().empty());

  fs::remove(dir_.File("blocked"));
  SendObjects(11, 12, 20ms);
  EXPECT_EQ(WaitAccounted(nullptr, 5s), std::vector<std::int32_t>{});
  StopAndExpectNothingLost(nullptr);
}

TEST_F(DriverFaultTest, FullDiskKeepsRecordsUntilThereIsRoomAgain) {
  DriverConfig config;
  config.file_size_limit = 8;  // smaller than any spool file or error line
  StartDriver(DeadPort(), config);
  SendObjects(1, 10, 20ms);
  // Packets are handled one after the other: each acknowledgement comes after
  // the refused writes of the packet before it (even its output file is full,
  // so the driver cannot say so).
  EXPECT_EQ(WaitAcks(), 10u);
  EXPECT_TRUE(driver_.Running());
  EXPECT_TRUE(SpoolObjectNumbers(driver_.SpoolDir()).empty());

  ASSERT_TRUE(driver_.SetFileSizeLimit(std::nullopt));
  SendObjects(11, 12, 20ms);
  EXPECT_EQ(WaitAccounted(nullptr, 5s), std::vector<std::int32_t>{});
  StopAndExpectNothingLost(nullptr);
}

// SIGKILL (an OOM kill, a power cut) at a moment when acknowledged events are
// queued for a server that answers, answers slowly, or never answers: every one
// of them is at the server or on disk, and a restarted driver delivers them.
struct KillCase {
  const char* name;
  ReplyMode mode;
  int delay_ms;
};

void PrintTo(const KillCase& c, std::ostream* os) { *os << c.name; }

class KillTest : public DriverFaultTest, public ::testing::WithParamInterface<KillCase> {};

TEST_P(KillTest, AcknowledgedEventsSurviveAKillAndReachTheServerAfterwards) {
  EmulatorPolicy policy;
  policy.mode = GetParam().mode;
  policy.delay_ms = GetParam().delay_ms;
  MessageServerEmulator server(policy);
  ASSERT_TRUE(server.Start());
  StartDriver(server.Port());
  ASSERT_TRUE(server.WaitForType(mtRegister, 10s)) << driver_.Output();
  SendObjects(1, 12, 20ms);
  EXPECT_EQ(WaitAcks(), sent_.size());
  driver_.Kill();

  // What the server has not answered is on disk; a silent server has nothing.
  const std::multiset<std::int32_t> answered =
      GetParam().mode == ReplyMode::kSilent ? std::multiset<std::int32_t>{} : ServerObjectNumbers(server);
  EXPECT_EQ(MissingNumbers(sent_, answered, OnDisk()), std::vector<std::int32_t>{});

  server.SetPolicy(EmulatorPolicy{});
  DriverProcess again(dir_.path().string());
  DriverConfig config;
  config.device = pty_.slave_path();
  config.server_port = server.Port();
  again.Configure(config);
  ASSERT_TRUE(again.Start());
  ASSERT_TRUE(WaitReady(again)) << again.Output();
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  std::vector<std::int32_t> missing = MissingNumbers(sent_, ServerObjectNumbers(server), {});
  while (!missing.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
    missing = MissingNumbers(sent_, ServerObjectNumbers(server), {});
  }
  EXPECT_EQ(missing, std::vector<std::int32_t>{}) << again.Output();
  const std::optional<int> status = again.Stop(8000);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << again.Output();
}

INSTANTIATE_TEST_SUITE_P(
    Servers, KillTest,
    ::testing::Values(KillCase{"answering", ReplyMode::kAnswer, 0},
                      KillCase{"slow", ReplyMode::kAnswer, 700},
                      KillCase{"silent", ReplyMode::kSilent, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A configured port that cannot be opened shows its message box, but the
// server link starts all the same (and reports the port closed).
TEST_F(DriverFaultTest, StartUpMessageDoesNotHoldBackTheServerLink) {
  MessageServerEmulator server;
  ASSERT_TRUE(server.Start());
  DriverConfig config;
  config.device = dir_.File("no-such-device");
  config.server_port = server.Port();
  driver_.Configure(config);
  ASSERT_TRUE(driver_.Start());
  ASSERT_TRUE(server.WaitForType(mtPortState, 20s)) << driver_.Output();
  for (const auto& message : server.Messages()) {
    if (message.type == mtPortState) {
      ASSERT_EQ(message.body.size(), kPortStateSize);
      EXPECT_EQ(message.body[kPsOpen], 0);
    }
  }
}

// The adapter shows up after the driver started: after the start-up message
// the configured port is tried again every 5 s and taken when it appears.
TEST_F(DriverFaultTest, ConfiguredPortMissingAtStartIsTakenWhenItAppears) {
  MessageServerEmulator server;
  ASSERT_TRUE(server.Start());
  const std::string late = dir_.File("late-adapter");
  DriverConfig config;
  config.device = late;
  config.server_port = server.Port();
  driver_.Configure(config);
  ASSERT_TRUE(driver_.Start());
  ASSERT_TRUE(server.WaitForType(mtPortState, 20s)) << driver_.Output();
  // The adapter is plugged in once the driver has found it missing.
  ASSERT_TRUE(driver_.WaitOutput("cannot be opened", 10000)) << driver_.Output();
  fs::create_symlink(pty_.slave_path(), late);
  ASSERT_TRUE(WaitReady(driver_)) << driver_.Output();
  SendObjects(1, 5, 20ms);
  EXPECT_EQ(WaitAccounted(&server, 10s), std::vector<std::int32_t>{});
  bool reported_open = false;
  for (const auto& message : server.Messages()) {
    if (message.type == mtPortState && message.body.size() == kPortStateSize) {
      reported_open = reported_open || message.body[kPsOpen] == 1;
    }
  }
  EXPECT_TRUE(reported_open);
  StopAndExpectNothingLost(&server);
}

TEST_F(DriverFaultTest, SpoolDirectoryRemovedWhileRunning) {
  StartDriver(DeadPort());
  SendObjects(1, 5, 20ms);
  EXPECT_EQ(WaitAccounted(nullptr, 5s), std::vector<std::int32_t>{});

  fs::remove_all(driver_.SpoolDir());
  sent_.clear();  // those went with the directory
  SendObjects(6, 15, 20ms);
  EXPECT_EQ(WaitAccounted(nullptr, 5s), std::vector<std::int32_t>{});
  StopAndExpectNothingLost(nullptr);
}

// Spool files brought back while the link is up and idle (moved back by an
// operator, copied from another station) are forwarded, though no event and
// no connection wakes the driver for them.
TEST_F(DriverFaultTest, SpoolFilesBroughtInWhileTheLinkIsIdleAreForwarded) {
  const std::uint16_t port = DeadPort();
  StartDriver(port);
  SendObjects(1, 5, 20ms);
  ASSERT_EQ(WaitAccounted(nullptr, 5s), std::vector<std::int32_t>{});
  const fs::path spool = fs::path(driver_.SpoolDir()).parent_path();
  const fs::path aside = dir_.path() / "aside";
  fs::rename(spool, aside);

  MessageServerEmulator server;
  ASSERT_TRUE(server.Start(port));
  WaitRegistered(server);
  // Registered, with nothing to forward: the driver has gone idle.
  const auto idle = [this] {
    const std::string status = dir_.Read("drvvzt.status");
    return status.find("server.registered=1\n") != std::string::npos &&
           status.find("spool.files=0\n") != std::string::npos;
  };
  for (const auto deadline = std::chrono::steady_clock::now() + 10s;
       !idle() && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(idle()) << dir_.Read("drvvzt.status");

  fs::rename(aside, spool);
  const auto not_at_server = [&] { return MissingNumbers(sent_, ServerObjectNumbers(server), {}); };
  for (const auto deadline = std::chrono::steady_clock::now() + 10s;
       !not_at_server().empty() && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(not_at_server(), std::vector<std::int32_t>{}) << driver_.Output();
  StopAndExpectNothingLost(&server);
}

TEST_F(DriverFaultTest, StationDeviceVanishesWhileOpen) {
  MessageServerEmulator server;
  ASSERT_TRUE(server.Start());
  StartDriver(server.Port());
  WaitRegistered(server);
  SendObjects(1, 20);
  EXPECT_EQ(WaitAccounted(&server, 5s), std::vector<std::int32_t>{});

  pty_.CloseMaster();
  ASSERT_TRUE(driver_.WaitOutput(" lost: ", 5000)) << driver_.Output();
  EXPECT_TRUE(driver_.Running()) << driver_.Output();
  StopAndExpectNothingLost(&server);
}

TEST_F(DriverFaultTest, KilledWhileSpoolingLeavesOnlyWholeFilesAndRecoversTemporaries) {
  const std::uint16_t dead = DeadPort();
  StartDriver(dead);
  // The whole stream at once, and the kill as soon as the first one is handled.
  std::string stream;
  for (int n = 1; n <= 200; ++n) {
    tools::StationPacketFields fields;
    fields.object_number = static_cast<std::uint16_t>(n);
    stream += tools::StationPacketText(fields);
    sent_.push_back(n);
  }
  ASSERT_TRUE(pty_.WriteMaster(stream));
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (acks_.empty() && std::chrono::steady_clock::now() < deadline) acks_ += pty_.DrainMaster(5);
  driver_.Kill();
  acks_ += pty_.DrainMaster(50);

  for (std::uintmax_t size : SpoolFileSizes(driver_.SpoolDir())) EXPECT_EQ(size, kSpoolFileSize);
  // The acknowledgement goes out before the record is written: only the last
  // acknowledged packet may have been cut short by the kill.
  const std::size_t acked = AckCount();
  ASSERT_GT(acked, 0u) << "the kill came before any spooling";
  ASSERT_LT(acked, sent_.size()) << "the kill came after the spooling";
  sent_.resize(acked);
  const std::vector<std::int32_t> missing = Missing(nullptr);
  EXPECT_LE(missing.size(), 1u);
  if (!missing.empty()) {
    EXPECT_EQ(missing.front(), static_cast<std::int32_t>(acked));
  }

  // Temporary files as a kill in the middle of a write leaves them.
  TStationEvent event;
  event.ObjectNumber = 9999;
  event.Code = TEventCode{4, {'1', '3', '0', '1'}};
  const auto whole = SpoolFileContent(EncodeStationEvent(event));
  const std::string spool = driver_.SpoolDir();
  fs::create_directories(spool);
  std::ofstream(spool + "7000000-1-1.dd8-tmp", std::ios::binary)
      .write(reinterpret_cast<const char*>(whole.data()), whole.size());
  std::ofstream(spool + "7000001-1-2.dd8-tmp", std::ios::binary)
      .write(reinterpret_cast<const char*>(whole.data()), 10);

  DriverProcess again(dir_.path().string());
  DriverConfig config;
  config.device = pty_.slave_path();
  config.server_port = dead;
  again.Configure(config);
  ASSERT_TRUE(again.Start());
  ASSERT_TRUE(WaitReady(again)) << again.Output();
  ASSERT_TRUE(again.Stop(8000).has_value());

  EXPECT_EQ(SpoolTempFiles(spool), std::vector<std::string>{})
      << again.Output() << dir_.Read("error.txt");
  EXPECT_EQ(SpoolObjectNumbers(spool).count(9999), 1u);
  for (std::uintmax_t size : SpoolFileSizes(spool)) EXPECT_EQ(size, kSpoolFileSize);
}

}  // namespace
}  // namespace drvvzt::testing
