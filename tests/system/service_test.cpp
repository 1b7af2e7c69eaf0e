// The driver as a service sees it: without a display, under systemd's notify
// socket, and started twice in one working directory.
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/driver_process.h"
#include "tests/support/temp_dir.h"
#include "tools/lib/message_server_emulator.h"

namespace drvvzt::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ServiceTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (DriverProgramPath().empty()) GTEST_SKIP() << "drvvzt program not built";
    ASSERT_TRUE(server_.Start());
  }
  DriverConfig Config() const {
    DriverConfig config;
    config.device = dir_.File("no-station");  // COM1, but not chosen: COM255
    config.server_port = server_.Port();
    return config;
  }
  void Headless(DriverProcess& driver) const {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) driver.SetEnvironment(name, "");
  }
  // The status file appears once start-up has finished.
  bool WaitStatus(DriverProcess& driver) const {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline && driver.Running()) {
      if (fs::exists(dir_.File("drvvzt.status"))) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  static int ExitCode(const std::optional<int>& status) {
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  }

  TempDir dir_;
  tools::MessageServerEmulator server_;
};

TEST_F(ServiceTest, RunsWithoutADisplayAndStopsInOrderOnSigterm) {
  DriverProcess driver(dir_.path().string());
  driver.Configure(Config());
  Headless(driver);
  ASSERT_TRUE(driver.Start());
  ASSERT_TRUE(WaitStatus(driver)) << driver.Output();
  ASSERT_TRUE(server_.WaitForType(mtRegister, 20s)) << driver.Output();
  EXPECT_EQ(ExitCode(driver.Stop(8000)), 0) << driver.Output();
  EXPECT_NE(driver.Output().find("without the window"), std::string::npos) << driver.Output();
}

TEST_F(ServiceTest, SecondDriverInTheSameDirectoryTouchesNothing) {
  DriverProcess first(dir_.path().string());
  first.Configure(Config());
  Headless(first);
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(WaitStatus(first)) << first.Output();
  ASSERT_TRUE(server_.WaitForConnections(1, 20s));
  const std::string ini_before = dir_.Read("drvvzt.ini");

  DriverProcess second(dir_.path().string());
  Headless(second);
  ASSERT_TRUE(second.Start());
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (second.Running() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ExitCode(second.Stop(1000)), 3);
  EXPECT_NE(second.Output().find("Драйвер уже запущен в этой папке."), std::string::npos) << second.Output();
  EXPECT_EQ(dir_.Read("drvvzt.ini"), ini_before);
  EXPECT_TRUE(first.Running());
  EXPECT_EQ(server_.Connections().size(), 1u) << "the second driver made no connection";
  EXPECT_EQ(ExitCode(first.Stop(8000)), 0);
}

// READY=1 once start-up has finished and STOPPING=1 at the stop, on the socket
// systemd names in NOTIFY_SOCKET.
TEST_F(ServiceTest, TellsTheNotifySocketWhenReadyAndWhenStopping) {
  const std::string socket_path = dir_.File("notify");
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  std::copy(socket_path.begin(), socket_path.end(), address.sun_path);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  auto receive = [fd](int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return std::string();
    char buffer[256];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  };

  DriverProcess driver(dir_.path().string());
  driver.Configure(Config());
  Headless(driver);
  driver.SetEnvironment("NOTIFY_SOCKET", socket_path);
  ASSERT_TRUE(driver.Start());
  EXPECT_EQ(receive(20000), "READY=1") << driver.Output();
  ::kill(driver.pid(), SIGTERM);
  EXPECT_EQ(receive(20000), "STOPPING=1") << driver.Output();
  EXPECT_EQ(ExitCode(driver.Stop(8000)), 0);
  ::close(fd);
}

}  // namespace
}  // namespace drvvzt::testing
