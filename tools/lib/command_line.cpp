// Command-line conventions shared by the tools; see command_line.h.
#include "tools/lib/command_line.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "server/version.h"

namespace drvvzt::tools {

int UsageError(const char* program, const std::string& problem) {
  std::fprintf(stderr, "%s: %s; try '%s --help'\n", program, problem.c_str(), program);
  return kExitUsage;
}

int OptionError(const char* program, int getopt_result, char** argv) {
  // getopt_long has already stepped past the offending word; a short option
  // inside a cluster ("-qx") is named by optopt instead.
  const std::string word = optind > 0 ? argv[optind - 1] : "";
  const bool long_option = word.rfind("--", 0) == 0;
  const std::string name =
      long_option || optopt == 0 ? word.substr(0, word.find('=')) : std::string("-") + char(optopt);
  if (getopt_result == ':') return UsageError(program, "option '" + name + "' needs a value");
  // A known long option given a value it does not take leaves its id in optopt.
  if (long_option && word.find('=') != std::string::npos && optopt != 0) {
    return UsageError(program, "option '" + name + "' takes no value");
  }
  return UsageError(program, "unknown option '" + name + "'");
}

int PrintVersion(const char* program) {
  const std::string_view version = VersionText();
  std::printf("%s %.*s\n", program, static_cast<int>(version.size()), version.data());
  return 0;
}

bool ParseLong(const char* text, long low, long high, long& out, int base) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, base);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  out = value;
  return true;
}

int BadValue(const char* program, const char* option, const char* value) {
  return UsageError(program, std::string("bad value '") + value + "' for " + option);
}

}  // namespace drvvzt::tools
