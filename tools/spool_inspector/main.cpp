// spool_inspector: lists the spool files of a directory, oldest first, with
// each record decoded, and flags files that are not well-formed.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/lib/spool_inspection.h"

namespace {

void PrintHelp() {
  std::puts(
      "usage: spool_inspector [DIR]\n"
      "Lists the spool files (*.dd8) and the files set aside as unreadable (*.bad)\n"
      "of DIR (default: the current directory), oldest first, each record decoded:\n"
      "object number, code, zone, the two digits and the time it was decoded.\n"
      "Files that are not a 26-byte station event are flagged NOT WELL-FORMED.\n"
      "DIR is the directory PathForSoob names (with its trailing \"/\").\n"
      "Exit status: 0 when every file is well-formed, 1 when one is not, 2 on error.");
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = ".";
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      PrintHelp();
      return 0;
    }
    dir = argv[i];
  }
  const auto entries = drvvzt::InspectSpoolDirectory(dir);
  if (!entries) {
    std::fprintf(stderr, "spool_inspector: cannot read directory %s\n", dir.c_str());
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
