// spool_inspector: lists the spool files of a directory, oldest first, with
// each record decoded, and flags files that are not well-formed.
#include <getopt.h>

#include <cstdio>
#include <string>

#include "tools/lib/command_line.h"
#include "tools/lib/spool_inspection.h"

namespace {

constexpr char kProgram[] = "spool_inspector";

void PrintHelp() {
  std::puts(
      "usage: spool_inspector [--help] [--version] [DIR]\n"
      "Lists the spool files (*.dd8) and the files set aside as unreadable (*.bad)\n"
      "of DIR (default: the current directory), oldest first, each record decoded:\n"
      "object number, code, zone, the two digits and the time it was decoded.\n"
      "Files that are not a 26-byte station event are flagged NOT WELL-FORMED.\n"
      "DIR is the directory PathForSoob names (with its trailing \"/\").\n"
      "  --help       this text\n"
      "  --version    the program's version\n"
      "Exit status: 0 when every file is well-formed, 1 when one is not,\n"
      "2 for a usage error or a directory that cannot be read.");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace drvvzt::tools;
  enum { kHelp = 'h', kVersion = 0x100 };
  static const option kOptions[] = {
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1;) {
    switch (c) {
      case kHelp: PrintHelp(); return 0;
      case kVersion: return PrintVersion(kProgram);
      default: return OptionError(kProgram, c, argv);
    }
  }
  if (argc - optind > 1) return UsageError(kProgram, "one directory at most");
  const std::string dir = optind < argc ? argv[optind] : ".";
  std::string error;
  const auto entries = drvvzt::InspectSpoolDirectory(dir, &error);
  if (!entries) {
    std::fprintf(stderr, "%s: cannot read the directory: %s\n", kProgram, error.c_str());
    return 2;
  }
  int bad = 0;
  for (const auto& entry : *entries) {
    std::puts(drvvzt::DescribeSpoolEntry(entry).c_str());
    if (!entry.problem.empty()) ++bad;
  }
  std::printf("%zu files, %d not well-formed\n", entries->size(), bad);
  return bad ? 1 : 0;
}
