// The compiled-in version text and the split of a dotted version into numbers.
#include "server/version.h"

#include <charconv>
#include <cstddef>

#ifndef DRVVZT_VERSION_TEXT
#error "DRVVZT_VERSION_TEXT must be defined by the build"
#endif

namespace drvvzt {
namespace {

constexpr std::size_t kMaxVersionText = 255;

// A whole piece as a signed decimal 32-bit integer; 0 for anything else (empty,
// stray characters, out of range), the way the version resource reader treats it.
std::uint16_t PieceNumber(std::string_view piece) {
  if (piece.size() > 1 && piece[0] == '+' && piece[1] != '-') piece.remove_prefix(1);
  std::int32_t value = 0;
  const char* end = piece.data() + piece.size();
  auto [ptr, ec] = std::from_chars(piece.data(), end, value);
  if (piece.empty() || ec != std::errc() || ptr != end) return 0;
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) & 0xFFFFu);
}

// Takes the number before the next dot and removes it with the dot; 0 and no
// change when no dot is left.
std::uint16_t TakeDotted(std::string_view& rest) {
  const std::size_t dot = rest.find('.');
  if (dot == std::string_view::npos) return 0;
  const std::uint16_t number = PieceNumber(rest.substr(0, dot));
  rest.remove_prefix(dot + 1);
  return number;
}

}  // namespace

std::string_view VersionText() { return DRVVZT_VERSION_TEXT; }

VersionNumbers SplitVersion(std::string_view text) {
  std::string_view rest = text.substr(0, kMaxVersionText);
  VersionNumbers numbers;
  if (rest.find('.') == std::string_view::npos) return numbers;
  numbers.major = TakeDotted(rest);
  numbers.minor = TakeDotted(rest);
  numbers.release = TakeDotted(rest);
  numbers.build = PieceNumber(rest);
  return numbers;
}

}  // namespace drvvzt
