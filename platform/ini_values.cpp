// Parsing of configuration values.
#include "platform/ini_values.h"

#include "platform/bytes.h"
#include "platform/datetime.h"
#include "platform/ini_file.h"

namespace drvvzt {
namespace {

std::optional<std::int32_t> ParseHex(std::string_view digits) {
  const auto value = ParseHexDigits(digits);
  if (!value) return std::nullopt;
  return static_cast<std::int32_t>(*value);
}

std::optional<std::int32_t> ParseDecimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > std::int64_t{1} << 31) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

// One or two decimal digits, below limit.
std::optional<int> ParseTimePart(std::string_view text, int limit) {
  if (text.empty() || text.size() > 2) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value >= limit) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::int32_t> TryParseIniInteger(std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) return ParseHex(text.substr(2));
  if (text.starts_with("$")) return ParseHex(text.substr(1));
  return ParseDecimal(text);
}

std::int32_t ParseIniInteger(std::string_view text, std::int32_t fallback) {
  return TryParseIniInteger(text).value_or(fallback);
}

bool ParseIniBoolean(std::string_view text, bool fallback) {
  const auto value = TryParseIniInteger(text);
  return value ? *value != 0 : fallback;
}

std::optional<double> TryParseTimeOfDay(std::string_view text) {
  const auto first = text.find(':');
  if (first == std::string_view::npos) return std::nullopt;
  const auto second = text.find(':', first + 1);
  const auto hours = ParseTimePart(text.substr(0, first), 24);
  const auto minutes = ParseTimePart(
      text.substr(first + 1, second == std::string_view::npos ? std::string_view::npos
                                                              : second - first - 1),
      60);
  std::optional<int> seconds = 0;
  if (second != std::string_view::npos) seconds = ParseTimePart(text.substr(second + 1), 60);
  if (!hours || !minutes || !seconds) return std::nullopt;
  return DurationDays(*hours, *minutes, *seconds);
}

double ParseAttention(std::string_view text) {
  return TryParseTimeOfDay(text).value_or(DurationDays(0, 10, 0));
}

std::int32_t ReadIniInteger(const std::string& path, const std::string& section,
                            const std::string& key, std::int32_t fallback) {
  return ParseIniInteger(ReadIniString(path, section, key, ""), fallback);
}

bool ReadIniBoolean(const std::string& path, const std::string& section, const std::string& key,
                    bool fallback) {
  return ParseIniBoolean(ReadIniString(path, section, key, ""), fallback);
}

}  // namespace drvvzt
