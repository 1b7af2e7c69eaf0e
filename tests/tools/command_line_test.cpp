// The tools' command lines, run as the built programs: the same conventions for
// every one (getopt_long options, usage errors exit 2 with a one-line hint,
// --help and --version), and options never taken for file names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/tools/tool_programs.h"

namespace drvvzt::testing {
namespace {

struct CommandCase {
  std::string tool;
  std::vector<std::string> args;
  int exit_status;
  std::string in_stdout;  // a fragment expected there; empty: not looked at
  std::string in_stderr;
  std::string input = "";  // standard input
};

void PrintTo(const CommandCase& c, std::ostream* os) {
  *os << c.tool;
  for (const std::string& a : c.args) *os << ' ' << a;
}

const std::vector<std::string> kTools = {"station_simulator", "message_server_emulator",
                                         "spool_inspector", "raw_log_decoder", "drvvzt-status"};

// Every tool answers these the same way.
std::vector<CommandCase> CommonCases() {
  std::vector<CommandCase> cases;
  for (const std::string& tool : kTools) {
    const std::string hint = "try '" + tool + " --help'";
    cases.push_back({tool, {"--help"}, 0, "usage: " + tool, ""});
    cases.push_back({tool, {"--version"}, 0, tool + " 1.0.0.1\n", ""});
    cases.push_back(
        {tool, {"--no-such-option"}, 2, "", tool + ": unknown option '--no-such-option'; " + hint});
    cases.push_back({tool, {"-Z"}, 2, "", "unknown option '-Z'; " + hint});
    cases.push_back({tool, {"--help=yes"}, 2, "", "option '--help' takes no value; " + hint});
  }
  return cases;
}

std::vector<CommandCase> ToolCases(const std::string& dir) {
  const std::string log = dir + "/drvvzt.log";
  return {
      // Options are never file names.
      {"spool_inspector", {"--version", dir}, 0, "spool_inspector 1.0.0.1", ""},
      {"spool_inspector", {dir}, 0, "0 files, 0 not well-formed", ""},
      {"spool_inspector", {dir + "/missing"}, 2, "", "opendir " + dir + "/missing: No such file"},
      {"spool_inspector", {dir, dir}, 2, "", "one directory at most"},
      {"raw_log_decoder",
       {"--dir"},
       2,
       "",
       "option '--dir' needs a value; try 'raw_log_decoder --help'"},
      {"raw_log_decoder", {"--dir", dir}, 0, "0 packets, 0 fragments", ""},
      {"raw_log_decoder", {"--dir=" + dir}, 0, "0 packets, 0 fragments", ""},
      {"raw_log_decoder", {"-d", dir, log}, 0, "0 packets", ""},
      {"raw_log_decoder",
       {"--dir", dir + "/missing"},
       1,
       "",
       "cannot open " + dir + "/missing/drvvzt.log: No such file"},
      // Values: both spellings, malformed and out of range.
      {"station_simulator", {"--object=abc", "--pty"}, 2, "", "bad value 'abc' for --object"},
      {"station_simulator",
       {"--object", "70000", "--pty"},
       2,
       "",
       "bad value '70000' for --object"},
      {"station_simulator", {"--rate=0", "--pty"}, 2, "", "bad value '0' for --rate"},
      {"station_simulator", {"--count"}, 2, "", "option '--count' needs a value"},
      {"station_simulator", {"--count", "1"}, 2, "", "give exactly one of --device PATH and --pty"},
      {"station_simulator", {"--pty", "stray"}, 2, "", "unexpected argument 'stray'"},
      {"station_simulator",
       {"--link", "/tmp/x", "--device", "/dev/null"},
       2,
       "",
       "--link needs --pty"},
      {"station_simulator", {"--device=" + dir + "/missing"}, 66, "", dir + "/missing"},
      // Port 0: the system picks one, and the emulator says which.
      {"message_server_emulator", {"--port=0"}, 0, "listening on 127.0.0.1:", "", "quit\n"},
      {"message_server_emulator",
       {"--port", "0", "--policy=silent"},
       0,
       "connections 0 (0 open), messages 0",
       "",
       "status\nquit\n"},
      {"message_server_emulator", {"--port=65536"}, 2, "", "bad value '65536' for --port"},
      {"message_server_emulator", {"--policy", "bogus"}, 2, "", "bad value 'bogus' for --policy"},
      {"message_server_emulator", {"--delay=-1"}, 2, "", "bad value '-1' for --delay"},
      {"message_server_emulator", {"--port=0", "--bind", "256.1.1.1"}, 1, "", "address 256.1.1.1"},
      // The check: usage errors are 2 like everywhere, a missing file is UNKNOWN.
      {"drvvzt-status", {"--stale"}, 2, "", "option '--stale' needs a value"},
      {"drvvzt-status", {"--stale=-5", dir}, 2, "", "bad value '-5' for --stale"},
      {"drvvzt-status",
       {"--silence-warning", "1h", dir},
       2,
       "",
       "bad value '1h' for --silence-warning"},
      {"drvvzt-status", {"--stale=60", dir}, 3, "DRVVZT UNKNOWN - " + dir + ": no status file", ""},
  };
}

TEST(ToolCommandLine, EveryToolFollowsTheConventions) {
  TempDir dir;
  dir.Write("drvvzt.log", "");
  std::vector<CommandCase> cases = CommonCases();
  for (CommandCase& c : ToolCases(dir.path().string())) cases.push_back(std::move(c));
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c));
    const ToolRun run = RunTool(c.tool, c.args, c.input);
    EXPECT_EQ(run.exit_status, c.exit_status) << run.out << run.err;
    EXPECT_NE(run.out.find(c.in_stdout), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(c.in_stderr), std::string::npos) << run.err;
    if (c.exit_status == 2 && !c.in_stderr.empty()) {
      // The hint is one line, and nothing goes to standard output.
      EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
      EXPECT_EQ(run.out, "");
    }
  }
}

}  // namespace
}  // namespace drvvzt::testing
