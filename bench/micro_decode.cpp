// Micro-benchmarks of the station side: one packet decoded and dispatched with
// the server link up, and spool files written (flushed to disk) per second.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "core/station_chain.h"
#include "platform/clock.h"
#include "station/server_link_port.h"
#include "station/spool_writer.h"
#include "station/station_event.h"
#include "station/station_packet.h"

namespace {

using namespace drvvzt;

// Advances by a millisecond per reading, as events spread over time would.
class SteppingDateTime final : public DateTimeClock {
public:
  double Now() override { return now_ += 1.0 / 86400000.0; }

private:
  double now_ = 46000.5;
};

class TakeAllLink final : public ServerLinkPort {
public:
  bool IsLinkUp() const override { return true; }
  bool PutMessage(std::uint32_t, std::span<const std::uint8_t> body) override {
    bytes_ += body.size();
    return true;
  }
  // The server answered at once: the write-ahead file goes, as the link deletes it.
  bool PutStationEvent(std::span<const std::uint8_t> record, const std::string& path) override {
    if (!path.empty()) std::remove(path.c_str());
    return PutMessage(0, record);
  }
  std::size_t bytes_ = 0;
};

class ScratchDir {
public:
  ScratchDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "drvvzt-bench-XXXXXX").string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) std::abort();
    path_ = buf.data();
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }

private:
  std::string path_;
};

// Object 1234 (hex), section 01, class 1301, acknowledged.
StationPacket AlarmPacket() {
  StationPacketFields fields;
  fields.object_number = 0x1234;
  return BuildStationPacket(fields);
}

void BM_DecodeAndDispatchLinkUp(benchmark::State& state) {
  ScratchDir dir;
  // The decoder looks up [Razdels] in the configuration for every packet.
  std::FILE* ini = std::fopen((dir.path() + "/drvvzt.ini").c_str(), "w");
  std::fputs("[main]\nComPort=COM1\n[Razdels]\n9999_1=1\n", ini);
  std::fclose(ini);

  SteppingDateTime clock;
  TakeAllLink link;
  StationChainSetup setup;
  setup.settings.PathForSoob = dir.path() + "/";
  setup.start_dir = dir.path();
  setup.send = [](const std::uint8_t*, std::uint32_t n) { return n; };
  setup.redraw_station = [] {};
  StationChain chain(std::move(setup), clock);
  chain.Connect(&link);
  const auto packet = AlarmPacket();
  for (auto _ : state) {
    chain.Deliver(packet.data(), kPacketSize);
  }
  benchmark::DoNotOptimize(link.bytes_);
  state.counters["packets/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecodeAndDispatchLinkUp)->Unit(benchmark::kMicrosecond);

void BM_SpoolWriteDurable(benchmark::State& state) {
  ScratchDir dir;
  SteppingDateTime clock;
  SpoolWriter spool(dir.path() + "/soob/", dir.path(), clock);
  TStationEvent event;
  event.ObjectNumber = 41234;
  event.Code = TEventCode{4, {'1', '3', '0', '1'}};
  const StationEventBytes record = EncodeStationEvent(event);
  for (auto _ : state) {
    if (!spool.Spool(record)) state.SkipWithError("spool write failed");
  }
  state.counters["files/s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SpoolWriteDurable)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
