// raw_log_decoder: shows a raw packet log ("drvvzt.log") packet by packet,
// decoded as the driver decodes them.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "tools/lib/command_line.h"
#include "tools/lib/raw_log_decoding.h"

namespace {

constexpr char kProgram[] = "raw_log_decoder";

void PrintHelp() {
  std::puts(
      "usage: raw_log_decoder [--dir WORKDIR] [--help] [--version] [LOG]\n"
      "Cuts the raw packet log LOG (default: WORKDIR/drvvzt.log) into 38-byte\n"
      "packets and shows each decoded as the driver would, with FirstNumber and\n"
      "Razdel from [main] and the [Razdels] replacements of WORKDIR/drvvzt.ini.\n"
      "Packets with '0' at offset 2 are shown as not acknowledged; a short block\n"
      "at the end is a fragment.\n"
      "  -d, --dir WORKDIR   the driver's working directory (default: the current one)\n"
      "  --help              this text\n"
      "  --version           the program's version\n"
      "Exit status: 0 when the log was read, 1 when it cannot be read, 2 for a\n"
      "usage error.");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace drvvzt::tools;
  enum { kDir = 'd', kHelp = 'h', kVersion = 0x100 };
  static const option kOptions[] = {
      {"dir", required_argument, nullptr, kDir},
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  std::string dir;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":d:h", kOptions, nullptr)) != -1;) {
    switch (c) {
      case kDir: dir = optarg; break;
      case kHelp: PrintHelp(); return 0;
      case kVersion: return PrintVersion(kProgram);
      default: return OptionError(kProgram, c, argv);
    }
  }
  if (argc - optind > 1) return UsageError(kProgram, "one log file at most");
  std::string log = optind < argc ? argv[optind] : "";
  if (log.empty()) log = dir.empty() ? "drvvzt.log" : dir + "/drvvzt.log";
  std::ifstream in(log, std::ios::binary);
  if (!in) {
    const int saved = errno;
    std::fprintf(stderr, "%s: cannot open %s: %s\n", kProgram, log.c_str(), std::strerror(saved));
    return 1;
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
