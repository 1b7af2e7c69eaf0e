// The station simulator against the serial component: packets it sends over
// its own pseudo-terminal reach the component whole and in order, and the
// acknowledgements the handler writes back are counted by the simulator.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "station/serial_port.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/tool_programs.h"
#include "station/station_packet.h"

extern char** environ;

namespace drvvzt {
namespace {

using testing::TempDir;

std::string SimulatorPath() { return testing::ToolPath("station_simulator"); }

// Starts the simulator with stdout into out_file; the process id, or -1.
pid_t Spawn(const std::vector<std::string>& args, const std::string& out_file) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

struct SimulatorCase {
  const char* name;
  std::vector<std::string> args;  // besides the line options
  std::vector<std::string> packets;
  std::string log;  // written to "station.log" for --replay
};

void PrintTo(const SimulatorCase& c, std::ostream* os) { *os << c.name; }

class StationSimulatorTest : public ::testing::TestWithParam<SimulatorCase> {};

TEST_P(StationSimulatorTest, PacketsArriveAndAreAcknowledged) {
  const SimulatorCase& c = GetParam();
  ASSERT_TRUE(std::filesystem::exists(SimulatorPath())) << SimulatorPath() << ": build the tools";
  TempDir dir;
  if (!c.log.empty()) dir.Write("station.log", c.log);
  const std::string link = dir.File("line");
  std::vector<std::string> args = {SimulatorPath(), "--pty", "--link", link, "--quiet",
                                   "--ack-wait-ms", "3000"};
  for (const std::string& a : c.args) args.push_back(a == "@log" ? dir.File("station.log") : a);
  pid_t pid = Spawn(args, dir.File("out.txt"));
  ASSERT_GT(pid, 0);
  // Never leave the simulator behind when an assertion ends the test early.
  struct Reaper {
    pid_t& pid;
    ~Reaper() {
      if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
      }
    }
  } reaper{pid};

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!std::filesystem::is_symlink(link) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  dir.Write("drvvzt.ini", "[ComPorts]\nCOM5=" + link + "\n");

  ManualPollTimer timer;
  TSerialPort port(timer, SystemTick(), dir.File("drvvzt.ini"));
  port.SetPortName("\\\\.\\COM5");
  port.SetPacketSize(38);
  // No packet timeout: whether the simulator's pacing and this loop get the
  // processor within the driver's 100 ms is up to the scheduler, and a
  // loaded machine stalls either for longer, cutting a packet that was sent
  // whole. A packet waits here until all of it has arrived; one that never
  // does is missing from what was received.
  port.SetPacketTimeout(0);
  port.SetPacketMode(pmPass);
  port.SetHwFlow(hfNONE);
  std::vector<std::string> received;
  port.OnReceivePacket = [&](TSerialPort& sender, const std::uint8_t* packet, std::uint32_t size) {
    received.emplace_back(reinterpret_cast<const char*>(packet), size);
    if (size == 38 && packet[2] != '0') {
      const std::uint8_t ack[] = {'O', 'K', '\r', '\n'};
      sender.SendData(ack, 4);
    }
  };
  ASSERT_TRUE(port.Connect());

  int status = -1;
  while (std::chrono::steady_clock::now() < deadline) {
    timer.Fire();
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(pid, -1) << "simulator did not finish";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << dir.Read("out.txt");
  EXPECT_EQ(received, c.packets);
  EXPECT_NE(dir.Read("out.txt").find("missing 0"), std::string::npos) << dir.Read("out.txt");
}

StationPacketFields Fields(std::uint16_t object, bool acknowledge = true) {
  StationPacketFields f;
  f.object_number = object;
  f.acknowledge = acknowledge;
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StationSimulatorTest,
    ::testing::Values(
        SimulatorCase{"fields_paced",
                      {"--object", "0x1234", "--object-step", "1", "--count", "3",
                       "--interval-ms", "30", "--pace"},
                      {StationPacketText(Fields(0x1234)), StationPacketText(Fields(0x1235)),
                       StationPacketText(Fields(0x1236))},
                      ""},
        SimulatorCase{"replayed_log_in_a_burst",
                      {"--replay", "@log", "--burst", "3"},
                      {StationPacketText(Fields(7)), StationPacketText(Fields(8, false)),
                       StationPacketText(Fields(9))},
                      StationPacketText(Fields(7)) + StationPacketText(Fields(8, false)) +
                          StationPacketText(Fields(9))}),
    [](const ::testing::TestParamInfo<SimulatorCase>& info) { return info.param.name; });

}  // namespace
}  // namespace drvvzt
