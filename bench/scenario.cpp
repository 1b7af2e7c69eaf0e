// End-to-end scenarios of the drvvzt program between a pseudo-terminal station
// and the loopback message-server emulator, printed as one table:
//   latency  acknowledgement latency and packet -> frame at the server, p50/p99
//   burst    packets written as fast as the pseudo-terminal takes them; loss and rate
//   drain    spool files left by an outage forwarded to a server that acks at once
//   idle     CPU share of one core, wake-ups per second (whole process, link
//            thread) and resident memory with the link up and no traffic; CPU and
//            wake-ups again with the station's device missing
//
// Usage: scenario [--driver PATH] [--scenarios latency,burst,drain,idle]
//                 [--packets N] [--burst N] [--drain N,M,...] [--idle-seconds S]
//                 [--dump FILE]  (per-packet latencies: number, ms since start, ack ms, frame ms)
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "station/spool_writer.h"
#include "station/station_event.h"
#include "tests/support/driver_process.h"
#include "tools/lib/message_server_emulator.h"
#include "station/station_packet.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using drvvzt::testing::DriverConfig;
using drvvzt::testing::DriverProcess;
using drvvzt::tools::MessageServerEmulator;
using drvvzt::tools::ReceivedMessage;

struct Options {
  std::string driver;
  std::set<std::string> scenarios{"latency", "burst", "drain", "idle"};
  int packets = 2000;
  int burst = 10000;
  std::vector<int> drain{1000, 100000};
  int idle_seconds = 60;
  std::string dump;  // file for the per-packet latencies of the latency scenario
};

std::string g_dump;

struct Row {
  std::string what;
  std::string value;
  std::string target;
  std::string verdict;
};

std::vector<Row> g_rows;

void Report(std::string what, std::string value, std::string target = "", std::optional<bool> met = {}) {
  std::string verdict = met ? (*met ? "met" : "MISSED") : "";
  std::fprintf(stderr, "  %s: %s\n", what.c_str(), value.c_str());
  g_rows.push_back({std::move(what), std::move(value), std::move(target), std::move(verdict)});
}

std::string Fixed(double v, int digits = 2) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p / 100.0 * v.size()));
  return v[i];
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The station's end of the line.
class Station {
public:
  Station() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      std::perror("openpty");
      std::exit(2);
    }
    path_ = name;
    for (int fd : {master_, slave_}) {
      termios tio{};
      tcgetattr(fd, &tio);
      cfmakeraw(&tio);
      tcsetattr(fd, TCSANOW, &tio);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~Station() {
    close(master_);
    close(slave_);
  }
  const std::string& path() const { return path_; }
  int slave_fd() const { return slave_; }

  bool Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      pollfd pfd{master_, POLLOUT, 0};
      if (poll(&pfd, 1, 5000) <= 0) return false;
    }
    return true;
  }
  // Reads what arrives within timeout_ms of the first wait.
  std::string Read(int timeout_ms) {
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0) return {};
    char buf[4096];
    const ssize_t n = read(master_, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }
  // Waits until `count` more acknowledgements came; false on timeout.
  bool WaitAcks(std::size_t count, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (acks_pending_.size() < count * 4) {
      const int left = static_cast<int>(Ms(deadline - Clock::now()));
      if (left <= 0) return false;
      acks_pending_ += Read(left);
    }
    acks_pending_.erase(0, count * 4);
    return true;
  }
  void Forget() { acks_pending_.clear(); }

private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::string acks_pending_;
};

std::string Packet(int object) {
  drvvzt::StationPacketFields fields;
  fields.object_number = static_cast<std::uint16_t>(object);
  return drvvzt::StationPacketText(fields);
}

// Station events seen by the emulator: object number -> first arrival.
class Arrivals {
public:
  void Note(const ReceivedMessage& m) {
    if (!m.valid || m.type != drvvzt::mtStationEvent) return;
    const auto event = drvvzt::DecodeStationEvent(m.body);
    if (!event) return;
    std::lock_guard lock(mutex_);
    first_.emplace(event->ObjectNumber, m.arrival);
  }
  std::optional<Clock::time_point> At(int object) const {
    std::lock_guard lock(mutex_);
    auto it = first_.find(object);
    if (it == first_.end()) return std::nullopt;
    return it->second;
  }
  std::size_t CountIn(int first, int last) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::distance(first_.lower_bound(first), first_.upper_bound(last)));
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    first_.clear();
  }

private:
  mutable std::mutex mutex_;
  std::map<int, Clock::time_point> first_;
};

struct Rig {
  std::string work;
  Station station;
  Arrivals arrivals;
  MessageServerEmulator server{{}, [this](const ReceivedMessage& m) { arrivals.Note(m); }};
  std::unique_ptr<DriverProcess> driver;
  std::string program;

  explicit Rig(std::string program_path) : program(std::move(program_path)) {
    char templ[] = "/tmp/drvvzt-scenario-XXXXXX";
    if (mkdtemp(templ) == nullptr) std::exit(2);
    work = templ;
    if (!server.Start()) std::exit(2);
  }
  ~Rig() {
    driver.reset();
    server.Stop();
    fs::remove_all(work);
  }
  std::string SpoolDir() const { return work + "/soob/"; }

  // Starts the driver and waits until it is registered and handles packets.
  void StartDriver() {
    driver = std::make_unique<DriverProcess>(work);
    DriverConfig config;
    config.device = station.path();
    config.server_port = server.Port();
    driver->Configure(config);
    const std::size_t from = server.MessageCount();
    if (!driver->Start(program) || !driver->WaitDeviceOpen(station.path(), 15000) ||
        !server.WaitForType(drvvzt::mtPortState, 15s, from)) {
      std::fprintf(stderr, "driver did not start:\n%s\n", driver->Output().c_str());
      std::exit(3);
    }
    // Opening the port purges its input: probe until a packet is acknowledged.
    for (int i = 0; i < 50; ++i) {
      station.Forget();
      station.Write(Packet(0));
      if (station.WaitAcks(1, 300)) break;
    }
    std::this_thread::sleep_for(300ms);
    station.Forget();
    while (!station.Read(50).empty()) {
    }
  }
  void StopDriver() {
    if (driver) driver->Stop(10000);
    driver.reset();
  }
};

void RunLatency(Rig& rig, int packets) {
  std::fprintf(stderr, "latency: %d packets\n", packets);
  rig.arrivals.Clear();
  std::vector<double> ack_ms;
  std::vector<Clock::time_point> sent(static_cast<std::size_t>(packets) + 1);
  int timeouts = 0;
  for (int n = 1; n <= packets; ++n) {
    const std::string p = Packet(n);
    rig.station.Write(p);
    sent[static_cast<std::size_t>(n)] = Clock::now();
    if (!rig.station.WaitAcks(1, 1000)) {
      ++timeouts;
      continue;
    }
    ack_ms.push_back(Ms(Clock::now() - sent[static_cast<std::size_t>(n)]));
    // A station sends no faster than its line (38 bytes at 9600 bit/s); the
    // jitter keeps the arrivals from locking onto the 5 ms poll's phase.
    const auto gap = std::chrono::microseconds(40000 + (n * 7919) % 5000);
    std::this_thread::sleep_for(gap - (Clock::now() - sent[static_cast<std::size_t>(n)]));
  }
  std::this_thread::sleep_for(2s);
  std::vector<double> frame_ms;
  std::FILE* dump = g_dump.empty() ? nullptr : std::fopen(g_dump.c_str(), "w");
  std::size_t acked = 0;
  for (int n = 1; n <= packets; ++n) {
    const auto at = rig.arrivals.At(n);
    if (at) frame_ms.push_back(Ms(*at - sent[static_cast<std::size_t>(n)]));
    if (dump != nullptr && acked < ack_ms.size()) {
      std::fprintf(dump, "%d %.1f %.3f %.3f\n", n, Ms(sent[static_cast<std::size_t>(n)] - sent[1]),
                   ack_ms[acked++], at ? Ms(*at - sent[static_cast<std::size_t>(n)]) : -1.0);
    }
  }
  if (dump != nullptr) std::fclose(dump);
  const double a99 = Percentile(ack_ms, 99), f99 = Percentile(frame_ms, 99);
  Report("ack latency p50 (ms)", Fixed(Percentile(ack_ms, 50)));
  Report("ack latency p99 (ms)", Fixed(a99), "<= 6", a99 <= 6.0);
  if (timeouts > 0) Report("acks missing", std::to_string(timeouts), "0", false);
  Report("packet -> frame p50 (ms)", Fixed(Percentile(frame_ms, 50)));
  Report("packet -> frame p99 (ms)", Fixed(f99), "<= 10", f99 <= 10.0);
  Report("frames seen / packets", std::to_string(frame_ms.size()) + " / " + std::to_string(packets),
         "all", frame_ms.size() == static_cast<std::size_t>(packets));
}

// The pseudo-terminal's own round trip, with an answer as quick as a blocking
// reader gives it: the floor under every latency measured through it.
void RunPtyBaseline(int packets) {
  std::fprintf(stderr, "pty baseline: %d packets\n", packets);
  Station line;
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    std::size_t have = 0;
    char buf[4096];
    while (!stop) {
      pollfd pfd{line.slave_fd(), POLLIN, 0};
      if (poll(&pfd, 1, 50) <= 0) continue;
      const ssize_t n = read(line.slave_fd(), buf, sizeof buf);
      if (n <= 0) continue;
      for (have += static_cast<std::size_t>(n); have >= drvvzt::kPacketSize; have -= drvvzt::kPacketSize) {
        const std::string_view ack = drvvzt::kAcknowledgement;
        if (write(line.slave_fd(), ack.data(), ack.size()) != static_cast<ssize_t>(ack.size())) return;
      }
    }
  });
  std::vector<double> ms;
  for (int n = 1; n <= packets; ++n) {
    const auto t = Clock::now();
    line.Write(Packet(n));
    if (line.WaitAcks(1, 1000)) ms.push_back(Ms(Clock::now() - t));
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + (n * 7919) % 5000));
  }
  stop = true;
  echo.join();
  Report("pty round trip alone p50 (ms)", Fixed(Percentile(ms, 50)));
  Report("pty round trip alone p99 (ms)", Fixed(Percentile(ms, 99)));

  // How late a 5 ms timed wait wakes up on this machine: the serial poll's
  // period stretches by as much.
  std::vector<double> late;
  for (int n = 0; n < packets; ++n) {
    const auto t = Clock::now();
    std::this_thread::sleep_for(5ms);
    late.push_back(Ms(Clock::now() - t) - 5.0);
  }
  Report("5 ms wait wakes late p50 (ms)", Fixed(Percentile(late, 50)));
  Report("5 ms wait wakes late p99 (ms)", Fixed(Percentile(late, 99)));
}

void RunBurst(Rig& rig, int count) {
  std::fprintf(stderr, "burst: %d packets\n", count);
  count = std::min(count, 65000);
  rig.arrivals.Clear();
  std::string all;
  for (int n = 1; n <= count; ++n) all += Packet(n);
  std::atomic<bool> acked_all{false};
  const auto start = Clock::now();
  Clock::time_point last_ack = start;
  std::thread reader([&] {
    acked_all = rig.station.WaitAcks(static_cast<std::size_t>(count), 120000);
    last_ack = Clock::now();
  });
  rig.station.Write(all);
  reader.join();
  const double seconds = std::chrono::duration<double>(last_ack - start).count();
  // Everything either reached the server or waits in the spool; give the
  // spool time to drain, then count both.
  const auto deadline = Clock::now() + 300s;
  std::size_t at_server = 0;
  std::size_t spooled = 0;
  std::size_t peak_spooled = 0;
  for (;;) {
    at_server = rig.arrivals.CountIn(1, count);
    const auto in_spool = drvvzt::testing::SpoolObjectNumbers(rig.SpoolDir());
    spooled = 0;
    for (int n : in_spool) spooled += (n >= 1 && n <= count && !rig.arrivals.At(n)) ? 1 : 0;
    peak_spooled = std::max(peak_spooled, in_spool.size());
    if (at_server == static_cast<std::size_t>(count) || Clock::now() > deadline) break;
    std::this_thread::sleep_for(500ms);
  }
  const std::size_t lost = static_cast<std::size_t>(count) - at_server - spooled;
  Report("burst acknowledged", acked_all ? "all " + std::to_string(count) : "NOT all", "all", acked_all.load());
  Report("burst rate (packets/s)", Fixed(count / seconds, 0));
  Report("burst spooled on the way (peak files)", std::to_string(peak_spooled));
  Report("burst lost (server + spool)", std::to_string(lost), "0", lost == 0);
}

void WriteSpool(const std::string& dir, int count) {
  fs::create_directories(dir);
  for (int i = 0; i < count; ++i) {
    drvvzt::TStationEvent event;
    event.ObjectNumber = 100000 + i;
    event.Code = drvvzt::TEventCode{4, {'1', '3', '0', '1'}};
    event.Time = 46000.5;
    const auto bytes = drvvzt::SpoolFileContent(drvvzt::EncodeStationEvent(event));
    char name[32];
    std::snprintf(name, sizeof name, "%X.dd8", 0x5265C00 + i);
    std::ofstream(dir + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
}

std::map<int, double> g_per_file_ms;

void RunDrain(Rig& rig, int files) {
  std::fprintf(stderr, "drain: %d files\n", files);
  rig.StopDriver();
  fs::remove_all(rig.SpoolDir());
  WriteSpool(rig.SpoolDir(), files);
  rig.arrivals.Clear();
  const auto start = Clock::now();
  rig.StartDriver();
  const auto registered = Clock::now();
  const auto deadline = Clock::now() + std::chrono::seconds(60 + files / 50);
  while (rig.arrivals.CountIn(100000, 100000 + files - 1) < static_cast<std::size_t>(files) &&
         Clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  const auto done = Clock::now();
  const std::size_t got = rig.arrivals.CountIn(100000, 100000 + files - 1);
  // From registration on: the forwarder lists the directory at its first step.
  const double seconds = std::chrono::duration<double>(done - registered).count();
  const double rate = got / seconds;
  g_per_file_ms[files] = seconds * 1000.0 / std::max<std::size_t>(got, 1);
  Report("drain " + std::to_string(files) + " files: files/s", Fixed(rate, 0), ">= 300", rate >= 300);
  Report("drain " + std::to_string(files) + " files: start-up to registered (s)",
         Fixed(std::chrono::duration<double>(registered - start).count()));
  if (got != static_cast<std::size_t>(files))
    Report("drain " + std::to_string(files) + " files: delivered", std::to_string(got), "all", false);
  std::this_thread::sleep_for(500ms);
}

// CPU time of every thread of the process, from the scheduler's own account
// in nanoseconds: utime and stime count 10 ms clock ticks, too coarse for a
// process that runs a few hundred microseconds a second.
std::optional<double> ProcessCpuSeconds(pid_t pid) {
  std::error_code ec;
  double seconds = 0;
  bool any = false;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "schedstat");
    double run_ns = 0;
    if (!(in >> run_ns)) continue;
    seconds += run_ns / 1e9;
    any = true;
  }
  if (!any) return std::nullopt;
  return seconds;
}

double RssMb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

// Context switches of every thread of the process, and of the server link
// thread alone: each one is a wake-up (or a preemption of a running thread,
// which an idle process hardly sees).
struct Wakeups {
  long long process = 0;
  std::optional<long long> link;
};

long long ContextSwitches(const fs::path& status_file) {
  std::ifstream in(status_file);
  long long total = 0;
  std::string line;
  while (std::getline(in, line)) {
    for (const char* key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
      if (line.rfind(key, 0) == 0) total += std::stoll(line.substr(std::strlen(key)));
    }
  }
  return total;
}

Wakeups CountWakeups(pid_t pid) {
  Wakeups counted;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    const long long switches = ContextSwitches(task.path() / "status");
    counted.process += switches;
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name == "drvvzt-link") counted.link = switches;
  }
  return counted;
}

// CPU share and wake-ups per second of a driver left alone for `seconds`.
// Threads that start or end inside the window are counted from nothing or
// lost; an idle driver starts none.
struct IdleFigures {
  double cpu_percent = -1;
  double process_wakeups = -1;
  std::optional<double> link_wakeups;
};

IdleFigures MeasureIdle(pid_t pid, int seconds) {
  const auto cpu0 = ProcessCpuSeconds(pid);
  const Wakeups w0 = CountWakeups(pid);
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const auto cpu1 = ProcessCpuSeconds(pid);
  const Wakeups w1 = CountWakeups(pid);
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  IdleFigures figures;
  if (cpu0 && cpu1) figures.cpu_percent = (*cpu1 - *cpu0) / wall * 100.0;
  figures.process_wakeups = static_cast<double>(w1.process - w0.process) / wall;
  if (w0.link && w1.link) figures.link_wakeups = static_cast<double>(*w1.link - *w0.link) / wall;
  return figures;
}

void RunIdle(Rig& rig, int seconds) {
  std::fprintf(stderr, "idle: %d s\n", seconds);
  if (!rig.driver) rig.StartDriver();
  std::this_thread::sleep_for(2s);
  const pid_t pid = rig.driver->pid();
  const IdleFigures up = MeasureIdle(pid, seconds);
  const double rss = RssMb(pid);
  const std::string over = " over " + std::to_string(seconds) + " s";
  Report("idle CPU" + over + ", link up (% of one core)", Fixed(up.cpu_percent), "<= 0.3",
         up.cpu_percent >= 0 && up.cpu_percent <= 0.3);
  Report("idle wake-ups/s" + over + ", link up: process", Fixed(up.process_wakeups, 1), "<= 20",
         up.process_wakeups <= 20);
  Report("idle wake-ups/s" + over + ", link up: link thread",
         up.link_wakeups ? Fixed(*up.link_wakeups, 1) : "no thread");
  Report("idle resident memory (MB)", Fixed(rss, 1), "<= 80", rss <= 80.0);

  // The same driver started over a station device that is not there.
  rig.StopDriver();
  DriverProcess gone(rig.work);
  DriverConfig config;
  config.device = rig.work + "/no-such-tty";
  config.server_port = rig.server.Port();
  gone.Configure(config);
  const std::size_t from = rig.server.MessageCount();
  if (gone.Start(rig.program) && rig.server.WaitForType(drvvzt::mtPortState, 15s, from)) {
    std::this_thread::sleep_for(2s);
    const IdleFigures away = MeasureIdle(gone.pid(), seconds);
    Report("idle CPU" + over + ", station gone (% of one core)", Fixed(away.cpu_percent));
    Report("idle wake-ups/s" + over + ", station gone: process", Fixed(away.process_wakeups, 1), "<= 10",
           away.process_wakeups <= 10);
  } else {
    Report("idle, station gone", "driver did not start", "", false);
  }
  gone.Stop(10000);
  rig.StartDriver();
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ',');) parts.push_back(part);
  return parts;
}

Options Parse(int argc, char** argv) {
  Options o;
  o.driver = drvvzt::testing::DriverProgramPath();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    if (next == nullptr) {
      std::fprintf(stderr, "%s needs a value\n", arg.c_str());
      std::exit(1);
    }
    ++i;
    if (arg == "--driver") {
      o.driver = next;
    } else if (arg == "--scenarios") {
      o.scenarios.clear();
      for (const auto& s : Split(next)) o.scenarios.insert(s);
    } else if (arg == "--packets") {
      o.packets = std::atoi(next);
    } else if (arg == "--burst") {
      o.burst = std::atoi(next);
    } else if (arg == "--drain") {
      o.drain.clear();
      for (const auto& s : Split(next)) o.drain.push_back(std::atoi(s.c_str()));
    } else if (arg == "--dump") {
      o.dump = next;
    } else if (arg == "--idle-seconds") {
      o.idle_seconds = std::atoi(next);
    } else {
      std::fprintf(stderr, "unknown option %s\n", arg.c_str());
      std::exit(1);
    }
  }
  return o;
}

void PrintTable() {
  std::size_t w = 8;
  for (const Row& r : g_rows) w = std::max(w, r.what.size());
  std::printf("| %-*s | %12s | %8s | %6s |\n", static_cast<int>(w), "measure", "value", "target", "");
  std::printf("|-%s-|-%s-|-%s-|-%s-|\n", std::string(w, '-').c_str(), std::string(12, '-').c_str(),
              std::string(8, '-').c_str(), std::string(6, '-').c_str());
  for (const Row& r : g_rows) {
    std::printf("| %-*s | %12s | %8s | %6s |\n", static_cast<int>(w), r.what.c_str(), r.value.c_str(),
                r.target.c_str(), r.verdict.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  g_dump = options.dump;
  if (options.driver.empty() || access(options.driver.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "no drvvzt program at %s (use --driver)\n", options.driver.c_str());
    return 1;
  }
  Rig rig(options.driver);
  rig.StartDriver();
  if (options.scenarios.count("idle")) RunIdle(rig, options.idle_seconds);
  if (options.scenarios.count("latency")) {
    RunPtyBaseline(options.packets);
    RunLatency(rig, options.packets);
  }
  if (options.scenarios.count("burst")) RunBurst(rig, options.burst);
  if (options.scenarios.count("drain")) {
    for (int files : options.drain) RunDrain(rig, files);
    if (g_per_file_ms.size() >= 2) {
      const double small = g_per_file_ms.begin()->second;
      const double large = g_per_file_ms.rbegin()->second;
      Report("drain per-file cost, largest / smallest", Fixed(large / small),
             "<= 2", large / small <= 2.0);
    }
  }
  rig.StopDriver();
  PrintTable();
  return 0;
}
