// station_simulator: plays the radio receiving station on a serial line. It
// sends 38-byte station packets built from fields or replayed from a raw
// packet log, reads the driver's acknowledgements and reports how many came
// back and how long they took.
#include <getopt.h>
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

#include "tools/lib/command_line.h"
#include "station/station_packet.h"
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
    "  --help             this text\n"
    "  --version          the program's version\n"
    "\n"
    "Options take their value as \"--opt VALUE\" or \"--opt=VALUE\".\n"
    "Exit status: 0 every acknowledgement came back, 1 some did not, 2 usage\n"
    "error, 66 the device or replay file cannot be read, 71 no pseudo-terminal,\n"
    "73 the link cannot be made.\n";

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

constexpr char kProgram[] = "station_simulator";

enum OptionId {
  kHelp = 'h',
  kVersion = 0x100,
  kDevice, kPty, kLink, kObject, kObjectStep, kSection, kClass, kZoneHigh, kDigit3, kDigit5,
  kNoAck, kReplay, kCount, kBurst, kRate, kIntervalMs, kPace, kAckWaitMs, kQuiet,
};

const option kOptions[] = {
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"device", required_argument, nullptr, kDevice},
    {"pty", no_argument, nullptr, kPty},
    {"link", required_argument, nullptr, kLink},
    {"object", required_argument, nullptr, kObject},
    {"object-step", required_argument, nullptr, kObjectStep},
    {"section", required_argument, nullptr, kSection},
    {"class", required_argument, nullptr, kClass},
    {"zone-high", required_argument, nullptr, kZoneHigh},
    {"digit3", required_argument, nullptr, kDigit3},
    {"digit5", required_argument, nullptr, kDigit5},
    {"no-ack", no_argument, nullptr, kNoAck},
    {"replay", required_argument, nullptr, kReplay},
    {"count", required_argument, nullptr, kCount},
    {"burst", required_argument, nullptr, kBurst},
    {"rate", required_argument, nullptr, kRate},
    {"interval-ms", required_argument, nullptr, kIntervalMs},
    {"pace", no_argument, nullptr, kPace},
    {"ack-wait-ms", required_argument, nullptr, kAckWaitMs},
    {"quiet", no_argument, nullptr, kQuiet},
    {nullptr, 0, nullptr, 0},
};

std::string OptionName(int id) {
  for (const option& o : kOptions) {
    if (o.name != nullptr && o.val == id) return std::string("--") + o.name;
  }
  return "?";
}

// Ranges of the numeric options: {id, low, high, base}.
struct NumberRange {
  int id;
  long low, high;
  int base;
};
constexpr NumberRange kNumberRanges[] = {
    {kObject, 0, 65535, 0},        {kObjectStep, 0, 65535, 0}, {kDigit3, 0, 15, 10},
    {kDigit5, 0, 9, 10},           {kCount, 0, 100000000, 10}, {kBurst, 1, 10000, 10},
    {kIntervalMs, 0, 3600000, 10}, {kAckWaitMs, 0, 3600000, 10},
};

// Stores a numeric option's value; false when it is malformed or out of range.
bool SetNumber(int id, const char* text, Options& o) {
  for (const NumberRange& r : kNumberRanges) {
    if (r.id != id) continue;
    long n = 0;
    if (!ParseLong(text, r.low, r.high, n, r.base)) return false;
    switch (id) {
      case kObject: o.fields.object_number = static_cast<std::uint16_t>(n); break;
      case kObjectStep: o.object_step = n; break;
      case kDigit3: o.fields.digit3 = static_cast<std::uint8_t>(n); break;
      case kDigit5: o.fields.digit5 = static_cast<std::uint8_t>(n); break;
      case kCount: o.count = n; break;
      case kBurst: o.burst = n; break;
      case kIntervalMs: o.interval_ms = n; break;
      case kAckWaitMs: o.ack_wait_ms = n; break;
    }
    return true;
  }
  return false;
}

bool SetRate(const char* text, Options& o) {
  char* end = nullptr;
  const double rate = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(rate > 0) || rate > 1e6) return false;
  o.rate = rate;
  return true;
}

// Fills options from argv. Nothing to stop for: -1; otherwise the exit status
// (0 after --help or --version, kExitUsage after a usage error).
int Parse(int argc, char** argv, Options& o) {
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1;) {
    switch (c) {
      case kHelp: std::fputs(kUsage, stdout); return 0;
      case kVersion: return PrintVersion(kProgram);
      case kPty: o.pty = true; break;
      case kNoAck: o.fields.acknowledge = false; break;
      case kPace: o.pace = true; break;
      case kQuiet: o.quiet = true; break;
      case kDevice: o.device = optarg; break;
      case kLink: o.link = optarg; break;
      case kReplay: o.replay = optarg; break;
      case kSection: o.fields.section = optarg; break;
      case kClass: o.fields.class_chars = optarg; break;
      case kZoneHigh: o.fields.zone_high = optarg; break;
      case kRate:
        if (!SetRate(optarg, o)) return BadValue(kProgram, "--rate", optarg);
        break;
      case ':':
      case '?': return OptionError(kProgram, c, argv);
      default:
        if (!SetNumber(c, optarg, o)) return BadValue(kProgram, OptionName(c).c_str(), optarg);
        break;
    }
  }
  if (optind < argc) return UsageError(kProgram, std::string("unexpected argument '") + argv[optind] + "'");
  if (o.pty == !o.device.empty()) return UsageError(kProgram, "give exactly one of --device PATH and --pty");
  if (!o.link.empty() && !o.pty) return UsageError(kProgram, "--link needs --pty");
  return -1;
}

// The packets to cycle through: the blocks of a log, or one built from fields.
bool LoadReplay(const std::string& path, std::vector<StationPacket>& packets) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read\n", path.c_str());
    return false;
  }
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (std::size_t at = 0; at + kPacketSize <= content.size(); at += kPacketSize) {
    StationPacket packet;
    std::memcpy(packet.data(), content.data() + at, kPacketSize);
    packets.push_back(packet);
  }
  if (content.size() % kPacketSize != 0)
    std::fprintf(stderr, "%s: %zu trailing bytes ignored\n", path.c_str(),
                 content.size() % kPacketSize);
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
  if (const int status = Parse(argc, argv, options); status >= 0) return status;
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
