// Turning configuration text into values: integers (decimal, or hexadecimal
// after "0x", "0X" or "$"), booleans read as integers, and the watchdog time
// "h:mm[:ss]". Text that does not parse gives the caller's fallback.
//
// All functions are thread-safe; the Read* ones open and close the file per call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace drvvzt {

// An optional sign and decimal digits, or hexadecimal digits after "0x", "0X" or
// "$" (up to 8 digits, taken as the 32-bit pattern: "$FFFFFFFF" is -1). Nothing
// for any other text, including decimal values outside 32 bits.
std::optional<std::int32_t> TryParseIniInteger(std::string_view text);
std::int32_t ParseIniInteger(std::string_view text, std::int32_t fallback);

// Integer text, non-zero meaning true; words such as "true" do not parse.
bool ParseIniBoolean(std::string_view text, bool fallback);

// A duration in days from "h:mm" or "h:mm:ss" below 24 hours; nothing otherwise.
std::optional<double> TryParseTimeOfDay(std::string_view text);

// The watchdog interval: TryParseTimeOfDay, or 10 minutes when it fails.
double ParseAttention(std::string_view text);

std::int32_t ReadIniInteger(const std::string& path, const std::string& section,
                            const std::string& key, std::int32_t fallback);
bool ReadIniBoolean(const std::string& path, const std::string& section, const std::string& key,
                    bool fallback);

}  // namespace drvvzt
