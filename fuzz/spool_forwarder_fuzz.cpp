// Fuzz target: the spool forwarder over a directory holding one spool file made
// of the input, with a link that is up and takes everything. The file's message
// must go out as read (type from its first four bytes, the rest as body), or the
// file must be set aside as bad when it is shorter than a message type; a file
// in flight is not sent again until its fate is settled.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_work_dir.h"
#include "platform/clock.h"
#include "server/spool_forwarder.h"
#include "server/spool_link.h"
#include "server/wire_format.h"

namespace {

using namespace drvvzt;

class StepTick final : public TickClock {
public:
  std::uint32_t now = 100000;
  std::uint32_t NowTick() override { return now; }
};

class TakingLink final : public SpoolLink {
public:
  std::uint64_t next = 1;
  std::optional<std::uint32_t> type;
  Bytes body;
  bool IsLinkUp() const override { return true; }
  std::string path;
  bool QueueSpoolFile(std::uint32_t msg_type, std::span<const std::uint8_t> b,
                      const std::string& p) override {
    type = msg_type;
    body.assign(b.begin(), b.end());
    path = p;
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string dir = drvvzt::fuzz::WorkDir("spool-fuzz") + "/soob/";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string file = dir + "5265C00.dd8";
  std::FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
  std::fclose(out);

  TakingLink link;
  StepTick tick;
  InFlightFiles in_flight;
  SpoolForwarder forwarder(link, in_flight, tick, dir, drvvzt::fuzz::WorkDir("spool-fuzz"));
  forwarder.Step();

  if (size < 4) {
    if (link.type || std::filesystem::exists(file)) std::abort();
    if (!std::filesystem::exists(file + ".bad")) std::abort();
    return 0;
  }
  if (!link.type) std::abort();
  const std::uint32_t want_type = drvvzt::GetU32(std::span(data, size), 0);
  if (*link.type != want_type || link.body.size() != size - 4 ||
      (size > 4 && std::memcmp(link.body.data(), data + 4, size - 4) != 0))
    std::abort();
  // Until its fate is settled the file is neither sent again nor lost.
  if (link.path != file || forwarder.InFlightPath() != file) std::abort();
  tick.now += 10000;
  link.type.reset();
  forwarder.Step();
  if (link.type || !std::filesystem::exists(file)) std::abort();
  forwarder.OnSpoolFileSettled(file, SpoolFate::kRefused);
  forwarder.Step();
  if (!link.type) std::abort();
  return 0;
}
