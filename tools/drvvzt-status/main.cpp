// drvvzt-status: a monitoring check of one or more drivers, made from the
// status file each keeps in its working directory. Prints a plugin-style report
// and exits 0 OK, 1 WARNING, 2 CRITICAL or 3 UNKNOWN, the worst state of all the
// directories given.
#include <getopt.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "tools/lib/command_line.h"
#include "tools/lib/driver_status.h"

namespace {

using namespace drvvzt::tools;

constexpr char kProgram[] = "drvvzt-status";

constexpr char kUsage[] =
    "usage: drvvzt-status [OPTIONS] [DIR...]\n"
    "Checks the drivers whose working directories are given (default: the current\n"
    "directory) by the status file drvvzt.status each driver keeps there, prints a\n"
    "summary per directory and exits with the gravest state found\n"
    "(OK < WARNING < UNKNOWN < CRITICAL):\n"
    "0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN. A usage error exits 2, as in every\n"
    "drvvzt tool, so a mistyped check shows up as CRITICAL rather than passing.\n"
    "The first line is \"DRVVZT <STATE> - ...\", with performance data after \"|\"\n"
    "when one directory is checked.\n"
    "\n"
    "  UNKNOWN   no status file, unreadable, or without an \"updated\" line\n"
    "  CRITICAL  the status is older than --stale (\"updated\", else the file's\n"
    "            time), or the recorded pid is no process: driver not running or\n"
    "            stuck; records lost or held only in memory; server denied the\n"
    "            driver; link down, oldest spool file, or station silent longer\n"
    "            than the critical limit\n"
    "  WARNING   files in rescue/; link down, oldest spool file, or station silent\n"
    "            longer than the warning limit; station.alive=0; the station port\n"
    "            not open (it may have been stopped on purpose, so never CRITICAL)\n"
    "A station that sent nothing yet is silent since the driver's start.\n"
    "\n"
    "limits in seconds (default):\n"
    "  --stale S                 status older than this: CRITICAL (30)\n"
    "  --link-down-warning S     server link down this long: WARNING (60)\n"
    "  --link-down-critical S    server link down this long: CRITICAL (300)\n"
    "  --spool-age-warning S     oldest spool file this old: WARNING (600)\n"
    "  --spool-age-critical S    oldest spool file this old: CRITICAL (3600)\n"
    "  --silence-warning S       no station packet this long: WARNING (600)\n"
    "  --silence-critical S      no station packet this long: CRITICAL (3600)\n"
    "  --help                    this text\n"
    "  --version                 the program's version\n"
    "\n"
    "example: drvvzt-status /var/lib/drvvzt/*\n";

bool ProcessExists(long pid) {
  if (pid <= 0) return false;
  // EPERM: it exists but belongs to another user, as a driver may.
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

int main(int argc, char** argv) {
  enum {
    kHelp = 'h', kVersion = 0x100, kStale, kLinkWarn, kLinkCrit, kSpoolWarn, kSpoolCrit,
    kSilenceWarn, kSilenceCrit,
  };
  static const option kOptions[] = {
      {"stale", required_argument, nullptr, kStale},
      {"link-down-warning", required_argument, nullptr, kLinkWarn},
      {"link-down-critical", required_argument, nullptr, kLinkCrit},
      {"spool-age-warning", required_argument, nullptr, kSpoolWarn},
      {"spool-age-critical", required_argument, nullptr, kSpoolCrit},
      {"silence-warning", required_argument, nullptr, kSilenceWarn},
      {"silence-critical", required_argument, nullptr, kSilenceCrit},
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  StatusThresholds limits;
  opterr = 0;
  for (int c, index = -1; (c = getopt_long(argc, argv, ":h", kOptions, &index)) != -1; index = -1) {
    std::int64_t* limit = nullptr;
    switch (c) {
      case kHelp: std::fputs(kUsage, stdout); return 0;
      case kVersion: return PrintVersion(kProgram);
      case kStale: limit = &limits.stale; break;
      case kLinkWarn: limit = &limits.link_down_warning; break;
      case kLinkCrit: limit = &limits.link_down_critical; break;
      case kSpoolWarn: limit = &limits.spool_age_warning; break;
      case kSpoolCrit: limit = &limits.spool_age_critical; break;
      case kSilenceWarn: limit = &limits.silence_warning; break;
      case kSilenceCrit: limit = &limits.silence_critical; break;
      default: return OptionError(kProgram, c, argv);
    }
    long seconds = 0;
    if (!ParseLong(optarg, 0, 100L * 365 * 86400, seconds)) {
      return BadValue(kProgram, (std::string("--") + kOptions[index].name).c_str(), optarg);
    }
    *limit = seconds;
  }
  std::vector<std::string> dirs(argv + optind, argv + argc);
  if (dirs.empty()) dirs.push_back(".");

  const std::int64_t now = std::time(nullptr);
  std::vector<StatusCheck> checks;
  for (const std::string& dir : dirs) {
    checks.push_back(EvaluateStatus(ReadStatusDirectory(dir), limits, now, ProcessExists));
  }
  std::fputs(CheckReport(checks).c_str(), stdout);
  return static_cast<int>(OverallState(checks));
}
