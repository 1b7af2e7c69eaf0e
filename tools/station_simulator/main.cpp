// station_simulator: plays the radio receiving station on a serial line. It
// sends 38-byte station packets built from fields or replayed from a raw
// packet log, reads the driver's acknowledgements and reports how many came
// back and how long they took.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/lib/station_packet.h"
#include "tools/station_simulator/ack_meter.h"
#include "tools/station_simulator/station_line.h"

namespace drvvzt::tools {
namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop.store(true); }

void InstallSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no restart: a wait returns and sees the flag
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

const char kUsage[] =
    "usage: station_simulator (--device PATH | --pty [--link PATH]) [options]\n"
    "\n"
    "Plays the radio receiving station on a serial line: sends 38-byte station\n"
    "packets, reads the \"OK\\r\\n\" acknowledgements and reports their count and\n"
    "latency (from writing a packet's last byte to reading its acknowledgement).\n"
    "Exit status 0 when every packet that asks for one was acknowledged.\n"
    "\n"
    "line:\n"
    "  --device PATH      open a serial device (raw, 9600 bit/s, 8N1)\n"
    "  --pty              make a pseudo-terminal pair and print the path to put\n"
    "                     into [ComPorts] of drvvzt.ini; waits until it is opened\n"
    "  --link PATH        with --pty: also make a symbolic link PATH to it\n"
    "packets (built from fields):\n"
    "  --object N         object number, 0-65535 (decimal or 0x hex; default 1)\n"
    "  --object-step N    add N to the object number for every further packet\n"
    "  --section SS       two section characters (default 01)\n"
    "  --class CCCC       four class characters (default 1301)\n"
    "  --zone-high ZZ     two high zone characters (default 00)\n"
    "  --digit3 N         0-15 (default 1)      --digit5 N   0-9 (default 1)\n"
    "  --no-ack           put '0' in the acknowledgement flag (no answer due)\n"
    "  --replay FILE      send the 38-byte blocks of a raw packet log (drvvzt.log)\n"
    "sending:\n"
    "  --count N          packets to send (default 1; replay: blocks in the file;\n"
    "                     0: until interrupted)\n"
    "  --burst N          packets written back to back per send (default 1)\n"
    "  --rate R           packets per second (default 5)\n"
    "  --interval-ms MS   pause between sends instead of --rate\n"
    "  --pace             real 9600 bit/s pacing, one byte per character time\n"
    "  --ack-wait-ms MS   wait this long for the last acknowledgements (default 1000)\n"
    "  --quiet            no progress messages\n"
    "  --help             this text\n";

struct Options {
  std::string device;
  bool pty = false;
  std::string link;
  StationPacketFields fields;
  long object_step = 0;
  std::string replay;
  std::optional<long> count;
  long burst = 1;
  double rate = 5.0;
  std::optional<long> interval_ms;
  bool pace = false;
  long ack_wait_ms = 1000;
  bool quiet = false;
};

bool ParseNumber(const char* text, long low, long high, long& out) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
  out = value;
  return true;
}

// Fills options from argv; false with a message on a bad command line.
bool Parse(int argc, char** argv, Options& o, bool& help) {
  auto value = [&](int& i) -> const char* {
    if (i + 1 >= argc) {
      std::fprintf(stderr, "%s needs a value\n", argv[i]);
      return nullptr;
    }
    return argv[++i];
  };
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* v = nullptr;
    long n = 0;
    auto number = [&](long low, long high) {
      if (!(v = value(i))) return false;
      if (ParseNumber(v, low, high, n)) return true;
      std::fprintf(stderr, "%s: bad value '%s'\n", arg.c_str(), v);
      return false;
    };
    if (arg == "--help" || arg == "-h") { help = true; return true; }
    if (arg == "--pty") { o.pty = true; continue; }
    if (arg == "--no-ack") { o.fields.acknowledge = false; continue; }
    if (arg == "--pace") { o.pace = true; continue; }
    if (arg == "--quiet") { o.quiet = true; continue; }
    if (arg == "--device") { if (!(v = value(i))) return false; o.device = v; continue; }
    if (arg == "--link") { if (!(v = value(i))) return false; o.link = v; continue; }
    if (arg == "--replay") { if (!(v = value(i))) return false; o.replay = v; continue; }
    if (arg == "--section") { if (!(v = value(i))) return false; o.fields.section = v; continue; }
    if (arg == "--class") { if (!(v = value(i))) return false; o.fields.class_chars = v; continue; }
    if (arg == "--zone-high") { if (!(v = value(i))) return false; o.fields.zone_high = v; continue; }
    if (arg == "--object") { if (!number(0, 65535)) return false; o.fields.object_number = static_cast<std::uint16_t>(n); continue; }
    if (arg == "--object-step") { if (!number(0, 65535)) return false; o.object_step = n; continue; }
    if (arg == "--digit3") { if (!number(0, 15)) return false; o.fields.digit3 = static_cast<std::uint8_t>(n); continue; }
    if (arg == "--digit5") { if (!number(0, 9)) return false; o.fields.digit5 = static_cast<std::uint8_t>(n); continue; }
    if (arg == "--count") { if (!number(0, 100000000)) return false; o.count = n; continue; }
    if (arg == "--burst") { if (!number(1, 10000)) return false; o.burst = n; continue; }
    if (arg == "--interval-ms") { if (!number(0, 3600000)) return false; o.interval_ms = n; continue; }
    if (arg == "--ack-wait-ms") { if (!number(0, 3600000)) return false; o.ack_wait_ms = n; continue; }
    if (arg == "--rate") {
      if (!(v = value(i))) return false;
      char* end = nullptr;
      o.rate = std::strtod(v, &end);
      if (end == v || *end != '\0' || !(o.rate > 0)) {
        std::fprintf(stderr, "--rate: bad value '%s'\n", v);
        return false;
      }
      continue;
    }
    std::fprintf(stderr, "unknown option %s (see --help)\n", argv[i]);
    return false;
  }
  if (o.pty == !o.device.empty()) {
    std::fprintf(stderr, "give exactly one of --device PATH and --pty\n");
    return false;
  }
  if (!o.link.empty() && !o.pty) {
    std::fprintf(stderr, "--link needs --pty\n");
    return false;
  }
  return true;
}

// The packets to cycle through: the blocks of a log, or one built from fields.
bool LoadReplay(const std::string& path, std::vector<StationPacket>& packets) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read\n", path.c_str());
    return false;
  }
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (std::size_t at = 0; at + kStationPacketSize <= content.size(); at += kStationPacketSize) {
    StationPacket packet;
    std::memcpy(packet.data(), content.data() + at, kStationPacketSize);
    packets.push_back(packet);
  }
  if (content.size() % kStationPacketSize != 0)
    std::fprintf(stderr, "%s: %zu trailing bytes ignored\n", path.c_str(),
                 content.size() % kStationPacketSize);
  if (packets.empty()) {
    std::fprintf(stderr, "%s: no complete packet\n", path.c_str());
    return false;
  }
  return true;
}

class Simulator {
public:
  Simulator(const Options& options, StationLine& line) : o_(options), line_(line) {}

  bool Run(const std::vector<StationPacket>& replay) {
    using Clock = AckMeter::Clock;
    const long count = o_.count.value_or(replay.empty() ? 1 : static_cast<long>(replay.size()));
    const auto interval = std::chrono::microseconds(
        o_.interval_ms ? *o_.interval_ms * 1000
                       : static_cast<long>(1e6 * static_cast<double>(o_.burst) / o_.rate));
    auto next_send = Clock::now();
    long sent = 0;
    while (!g_stop.load() && (count == 0 || sent < count)) {
      if (!WaitForPeer()) break;
      if (!ReadUntil(next_send)) break;
      for (long b = 0; b < o_.burst && (count == 0 || sent < count) && !g_stop.load(); ++b) {
        StationPacket packet = replay.empty() ? Built(sent) : replay[sent % replay.size()];
        if (!line_.Write(packet.data(), packet.size(), o_.pace, g_stop)) {
          if (!g_stop.load()) std::fprintf(stderr, "write failed: the line is gone\n");
          return Finish(sent);
        }
        if (packet[kAckFlagOffset] != '0') meter_.Expect(Clock::now());
        ++sent;
      }
      next_send += interval;
    }
    // The last acknowledgements are still on their way.
    auto deadline = Clock::now() + std::chrono::milliseconds(o_.ack_wait_ms);
    while (!g_stop.load() && meter_.Pending() > 0 && Clock::now() < deadline)
      if (!ReadUntil(std::min(deadline, Clock::now() + std::chrono::milliseconds(20)))) break;
    return Finish(sent);
  }

private:
  StationPacket Built(long index) const {
    StationPacketFields f = o_.fields;
    f.object_number = static_cast<std::uint16_t>(f.object_number + index * o_.object_step);
    return BuildStationPacket(f);
  }

  // A pseudo-terminal is useless until the driver opens its slave.
  bool WaitForPeer() {
    if (!line_.IsPty() || line_.PeerPresent()) return true;
    if (!o_.quiet) std::fprintf(stderr, "waiting for the driver to open the line...\n");
    while (!g_stop.load() && !line_.PeerPresent())
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!o_.quiet && !g_stop.load()) std::fprintf(stderr, "line opened\n");
    return !g_stop.load();
  }

  // Reads acknowledgements until `until`; false when interrupted.
  bool ReadUntil(AckMeter::Clock::time_point until) {
    using Clock = AckMeter::Clock;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      int wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
      std::uint8_t buffer[256];
      long n = line_.Read(buffer, sizeof buffer, wait);
      if (g_stop.load()) return false;
      if (n > 0) meter_.Feed(buffer, static_cast<std::size_t>(n), Clock::now());
      if (n < 0) {
        // The driver closed the port; a pty waits for it to come back.
        if (!line_.IsPty()) return false;
        if (!WaitForPeer()) return false;
      }
      if (Clock::now() >= until) return true;
    }
  }

  bool Finish(long sent) {
    std::printf("%s\n", meter_.Summary(static_cast<std::size_t>(sent)).c_str());
    std::fflush(stdout);
    return meter_.Pending() == 0 && meter_.Acknowledged() == meter_.Expected();
  }

  const Options& o_;
  StationLine& line_;
  AckMeter meter_;
};

int Main(int argc, char** argv) {
  Options options;
  bool help = false;
  if (!Parse(argc, argv, options, help)) return 64;
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::vector<StationPacket> replay;
  if (!options.replay.empty() && !LoadReplay(options.replay, replay)) return 66;
  InstallSignals();

  StationLine line;
  std::string error;
  if (options.pty) {
    std::string slave;
    if (!line.CreatePty(slave, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 71;
    }
    std::string shown = slave;
    if (!options.link.empty()) {
      unlink(options.link.c_str());
      if (symlink(slave.c_str(), options.link.c_str()) != 0) {
        std::fprintf(stderr, "%s: %s\n", options.link.c_str(), std::strerror(errno));
        return 73;
      }
      shown = options.link;
    }
    std::printf("line %s\nput into drvvzt.ini:\n[ComPorts]\nCOM1=%s\n", slave.c_str(), shown.c_str());
    std::fflush(stdout);
  } else if (!line.OpenDevice(options.device, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 66;
  }
  bool all_acknowledged = Simulator(options, line).Run(replay);
  if (!options.link.empty()) unlink(options.link.c_str());
  return all_acknowledged ? 0 : 1;
}

}  // namespace
}  // namespace drvvzt::tools

int main(int argc, char** argv) { return drvvzt::tools::Main(argc, argv); }
