// The driver's own version: the dotted text compiled into the server library and
// its split into the four 16-bit numbers the message server is told at every
// handshake. Every call here is pure and thread-safe.
#pragma once

#include <cstdint>
#include <string_view>

namespace drvvzt {

struct VersionNumbers {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t release = 0;
  std::uint16_t build = 0;

  friend bool operator==(const VersionNumbers&, const VersionNumbers&) = default;
};

// The version text set once in the build ("1.0.0.1").
std::string_view VersionText();

// Splits a version text: the first three numbers are the pieces before the first,
// second and third dot (0 for a missing or non-numeric piece), the fourth is all
// that is left. "2.5.0.17" -> 2,5,0,17; "1.2" -> 1,0,0,2; no dot at all -> zeros.
// The text is cut to 255 characters first; each number keeps its low 16 bits.
VersionNumbers SplitVersion(std::string_view text);

}  // namespace drvvzt
