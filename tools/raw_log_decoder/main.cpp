// raw_log_decoder: shows a raw packet log ("drvvzt.log") packet by packet,
// decoded as the driver decodes them.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "tools/lib/raw_log_decoding.h"

namespace {

void PrintHelp() {
  std::puts(
      "usage: raw_log_decoder [--dir WORKDIR] [LOG]\n"
      "Cuts the raw packet log LOG (default: WORKDIR/drvvzt.log) into 38-byte\n"
      "packets and shows each decoded as the driver would, with FirstNumber and\n"
      "Razdel from [main] and the [Razdels] replacements of WORKDIR/drvvzt.ini\n"
      "(WORKDIR defaults to the current directory). Packets with '0' at offset 2\n"
      "are shown as not acknowledged; a short block at the end is a fragment.");
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  std::string log;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      PrintHelp();
      return 0;
    }
    if (!std::strcmp(argv[i], "--dir") && i + 1 < argc) {
      dir = argv[++i];
    } else {
      log = argv[i];
    }
  }
  if (log.empty()) log = dir.empty() ? "drvvzt.log" : dir + "/drvvzt.log";
  std::ifstream in(log, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "raw_log_decoder: cannot open %s\n", log.c_str());
    return 2;
  }
  const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const auto settings = drvvzt::DecoderSettingsForDirectory(dir);
  std::size_t packets = 0, fragments = 0;
  for (const auto& item : drvvzt::DecodeRawLog(content, settings)) {
    std::puts(drvvzt::DescribeRawLogItem(item).c_str());
    (item.fragment ? fragments : packets)++;
  }
  std::printf("%zu packets, %zu fragments\n", packets, fragments);
  return 0;
}
