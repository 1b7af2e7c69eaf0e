// CPU time and wake-ups of the serial component while its station is idle and
// while its device is gone, each over a stretch of wall time, with a timer that
// sleeps as the window's toolkit does: until the device reports bytes or the
// wake-up the component asked for falls due.
//
// The device is a pseudo-terminal whose master is closed to stand in for an
// unplugged adapter. Prints one table; takes 2 x --seconds (default 10).
//
//   serial_line_away [--seconds N]
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "station/poll_timer.h"
#include "station/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;
using drvvzt::PollTimer;
using drvvzt::TSerialPort;

// Sleeps in poll() on the watched descriptor until it turns readable or the
// wake-up is due, and runs the tick on this thread.
class SleepingPollTimer final : public PollTimer {
public:
  // The component asks for no period; one would not be honoured here.
  void Start(std::uint32_t, std::function<void()> tick) override {
    tick_ = std::move(tick);
    wake_.reset();
  }
  void WakeIn(std::uint32_t delay_ms) override {
    if (tick_) wake_ = Clock::now() + std::chrono::milliseconds(delay_ms);
  }
  void CancelWake() override { wake_.reset(); }
  void Stop() override {
    tick_ = nullptr;
    wake_.reset();
    fd_ = -1;
  }
  bool WatchArrivals(int fd) override {
    fd_ = fd;
    return true;
  }

  // Runs ticks until wall time `span` has passed; the number of ticks.
  long RunFor(Clock::duration span) {
    const auto end = Clock::now() + span;
    long ticks = 0;
    for (;;) {
      const auto until = wake_ ? std::min(*wake_, end) : end;
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
      pollfd pfd{fd_, POLLIN, 0};
      const int ready = ::poll(&pfd, 1, static_cast<int>(std::max<long>(wait.count(), 0)));
      const auto now = Clock::now();
      const bool due = wake_ && now >= *wake_;
      if (ready <= 0 && !due) {
        if (now >= end) return ticks;
        continue;
      }
      if (due) wake_.reset();
      auto tick = tick_;
      if (tick) {
        tick();
        ++ticks;
      }
    }
  }

private:
  std::function<void()> tick_;
  std::optional<Clock::time_point> wake_;
  int fd_ = -1;
};

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Context switches of every thread of this process so far: each time a thread
// went to sleep and was woken again counts one (plus the preemptions).
long ContextSwitches() {
  long total = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream status(task.path() / "status");
    std::string key;
    long value = 0;
    while (status >> key) {
      if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
        if (status >> value) total += value;
      }
    }
  }
  return total;
}

struct Stretch {
  double cpu_ms;
  long ticks;
  long switches;
};

Stretch Measure(SleepingPollTimer& timer, int seconds) {
  const double before = CpuSeconds();
  const long switches_before = ContextSwitches();
  const long ticks = timer.RunFor(std::chrono::seconds(seconds));
  const long switches = ContextSwitches() - switches_before;
  return {(CpuSeconds() - before) * 1000.0, ticks, switches};
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: serial_line_away [--seconds N]\n");
      return 2;
    }
  }
  int master = -1, slave = -1;
  char name[256] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  close(slave);
  const auto dir = std::filesystem::temp_directory_path() /
                   ("serial_line_away-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string ini = (dir / "drvvzt.ini").string();
  std::ofstream(ini) << "[ComPorts]\nCOM5=" << name << "\n";

  SleepingPollTimer timer;
  TSerialPort port(timer, drvvzt::SystemTick(), ini);
  port.SetPortName("\\\\.\\COM5");
  port.SetHwFlow(drvvzt::hfNONE);
  port.SetPacketSize(38);
  port.SetPollingDelay(5);
  int losses = 0;
  port.OnLineLost = [&](TSerialPort&, const drvvzt::SysError&) { ++losses; };
  if (!port.Connect()) {
    std::fprintf(stderr, "connect: %s\n", port.LastError().Text().c_str());
    return 1;
  }
  const Stretch idle = Measure(timer, seconds);
  close(master);  // the adapter is unplugged
  const Stretch away = Measure(timer, seconds);

  std::printf("| state | wall | ticks | wake-ups/s | CPU | CPU share of one core |\n"
              "|---|---|---|---|---|---|\n");
  std::printf("| line up, idle | %d s | %ld | %.1f | %.1f ms | %.3f %% |\n", seconds,
              idle.ticks, static_cast<double>(idle.switches) / seconds, idle.cpu_ms,
              idle.cpu_ms / (seconds * 10.0));
  std::printf("| device gone | %d s | %ld | %.1f | %.1f ms | %.4f %% |\n", seconds,
              away.ticks, static_cast<double>(away.switches) / seconds, away.cpu_ms,
              away.cpu_ms / (seconds * 10.0));
  std::printf("losses reported: %d, still open for the driver: %s, last attempt: %s\n", losses,
              port.Connected() ? "yes" : "no", port.LastError().Text().c_str());
  port.Disconnect();
  std::filesystem::remove_all(dir);
  return losses == 1 && port.LastError().ok() == false ? 0 : 1;
}
