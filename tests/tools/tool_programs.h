// The tool programs as child processes: found in the build tree next to the
// test program's folder (<build>/tests/<test> -> <build>/tools/<name>), run with
// a given standard input, their exit status and output collected.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace drvvzt::testing {

inline std::string ToolPath(const std::string& name) {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (self.parent_path().parent_path() / "tools" / name).string();
}

struct ToolRun {
  int exit_status = -1;  // -1: did not start, or did not end in time and was killed
  std::string out;
  std::string err;
};

// Runs the tool with args and the text `input` as its standard input, its
// output caught in a scratch directory; waits for it to end, and kills it when
// it has not ended after `timeout`.
inline ToolRun RunTool(const std::string& name, const std::vector<std::string>& args,
                       const std::string& input = "",
                       std::chrono::seconds timeout = std::chrono::seconds(60)) {
  TempDir scratch;
  scratch.Write("in", input);
  const std::string program = ToolPath(name);
  std::vector<std::string> words = {program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, scratch.File("in").c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, scratch.File("out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, scratch.File("err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ToolRun run;
  if (rc != 0) {
    run.err = "cannot start " + program;
    return run;
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      status = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  run.exit_status = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = scratch.Read("out");
  run.err = scratch.Read("err");
  return run;
}

}  // namespace drvvzt::testing
