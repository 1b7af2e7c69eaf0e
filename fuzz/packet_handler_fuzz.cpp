// Fuzz target: one serial delivery of 1-38 arbitrary bytes through the packet
// handler, decoder and dispatch, under settings taken from the input's first
// byte. The handler must never crash, must acknowledge exactly the whole
// packets whose flag is not '0', and every acknowledged packet must end up
// either with the link or in a spool file (unless NotSendToDiskT8 drops it).
#include <cstddef>
#include <cstdint>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/station_chain.h"
#include "fuzz/fuzz_work_dir.h"
#include "platform/clock.h"
#include "station/packet_decoder.h"
#include "station/server_link_port.h"

namespace {

using namespace drvvzt;

class FixedClock final : public DateTimeClock {
public:
  double Now() override { return 46000.25; }
};

class CountingLink final : public ServerLinkPort {
public:
  bool up = true;
  bool accept = true;
  std::size_t taken = 0;
  bool IsLinkUp() const override { return up; }
  bool PutMessage(std::uint32_t msg_type, std::span<const std::uint8_t> body) override {
    if (msg_type != mtStationEvent || body.size() != kStationEventSize) std::abort();
    if (!accept) return false;
    ++taken;
    return true;
  }
  // The server answered at once: the write-ahead file goes, as the link deletes it.
  bool PutStationEvent(std::span<const std::uint8_t> record, const std::string& path) override {
    if (!PutMessage(mtStationEvent, record)) return false;
    if (!path.empty()) std::filesystem::remove(path);
    return true;
  }
};

// A working directory with a [Razdels] section, made once per process.
const std::string& WorkDir() {
  static const std::string dir = [] {
    const std::string path = drvvzt::fuzz::WorkDir("pkt-fuzz");
    std::FILE* ini = std::fopen((path + "/drvvzt.ini").c_str(), "w");
    if (ini == nullptr) std::abort();
    std::fputs("[Razdels]\n1_1=77\n0_0=-5\n4660_18=2147483647\n65535_99=0x7FFFFFFF\n", ini);
    std::fclose(ini);
    return path;
  }();
  return dir;
}

std::size_t SpoolFileCount(const std::string& dir) {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir + "/spool")) {
    if (entry.path().extension() == ".dd8") ++n;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t config = data[0];
  const std::uint8_t* packet = data + 1;
  const std::size_t packet_size = size - 1 > kPacketSize ? kPacketSize : size - 1;

  const std::string& dir = WorkDir();
  std::filesystem::remove_all(dir + "/spool");

  DriverSettings settings;
  settings.Log = (config & 0x01) != 0;
  settings.Razdel = (config & 0x02) != 0;
  // FirstNumber comes from the configuration file unchecked: any 32-bit value.
  static constexpr std::int32_t kFirstNumbers[] = {4, 0, -1, 99, 214748, -214748, INT32_MAX, INT32_MIN};
  settings.FirstNumber = kFirstNumbers[config >> 5];
  settings.PathForSoob = dir + "/spool/";

  CountingLink link;
  // Mostly link up: spooling flushes to disk and is slow.
  link.up = (config & 0x0C) != 0x0C;
  link.accept = (config & 0x0C) != 0x08;
  const bool not_send_to_disk = (config & 0x10) != 0 && !link.up;
  settings.NotSendToDiskT8 = not_send_to_disk;

  FixedClock clock;
  std::size_t acked = 0;
  StationChainSetup setup;
  setup.settings = settings;
  setup.start_dir = dir;
  setup.send = [&](const std::uint8_t* bytes, std::uint32_t n) {
    if (n != 4 || bytes[0] != 'O' || bytes[1] != 'K' || bytes[2] != '\r' || bytes[3] != '\n') std::abort();
    ++acked;
    return n;
  };
  setup.redraw_station = [] {};
  StationChain chain(std::move(setup), clock);
  chain.Connect(&link);
  chain.Deliver(packet, static_cast<std::uint32_t>(packet_size));

  const bool whole = packet_size == kPacketSize;
  const bool expect_ack = whole && packet[kAckFlagOffset] != '0';
  if (acked != (expect_ack ? 1u : 0u)) std::abort();
  if (expect_ack && !not_send_to_disk) {
    const std::size_t spooled = std::filesystem::exists(dir + "/spool") ? SpoolFileCount(dir) : 0;
    // Queued with its file gone (answered), or on disk, or in memory: once.
    if (link.taken + spooled + chain.Spool().BacklogSize() != 1) std::abort();
  }
  if (settings.Log) std::filesystem::remove(dir + "/drvvzt.log");
  return 0;
}
