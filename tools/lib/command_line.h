// What every tool's command line has in common: options are parsed with
// getopt_long (so "--opt=value" and "--opt value" both work and an option is
// never mistaken for a file name), a usage error is exit status 2 with a one-line
// hint on standard error, and --help and --version answer on standard output.
//
// The helpers write to stdout/stderr and read getopt's globals; they are meant
// for a program's main thread only.
#pragma once

#include <string>

namespace drvvzt::tools {

constexpr int kExitUsage = 2;

// Prints "<program>: <problem>; try '<program> --help'" on standard error and
// returns kExitUsage.
int UsageError(const char* program, const std::string& problem);

// What went wrong when getopt_long returned '?' or ':' (the option string must
// start with ':' so that a missing value is told apart): the hint as UsageError
// prints it; returns kExitUsage.
int OptionError(const char* program, int getopt_result, char** argv);

// Prints "<program> <version>" on standard output (the driver's own four-part
// version: the tools are released with it) and returns 0.
int PrintVersion(const char* program);

// A whole decimal integer in [low, high] (with base 0 also 0x hex and 0 octal);
// false for empty text, trailing characters or a value out of range.
bool ParseLong(const char* text, long low, long high, long& out, int base = 10);

// A usage error for a malformed value of an option: "bad value 'x' for --opt".
int BadValue(const char* program, const char* option, const char* value);

}  // namespace drvvzt::tools
