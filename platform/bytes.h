// Little-endian integers at an offset of a byte buffer, and hexadecimal digits:
// the byte helpers every record, message and file format of the driver is
// written and read with.
//
// Pure functions: thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace drvvzt {

// Stores the low `width` bytes of value at out[offset], lowest first.
constexpr void PutLittleEndian(std::span<std::uint8_t> out, std::size_t offset,
                               std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) out[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The `width` bytes at in[offset], lowest first.
constexpr std::uint64_t GetLittleEndian(std::span<const std::uint8_t> in, std::size_t offset,
                                        std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value |= std::uint64_t{in[offset + i]} << (8 * i);
  return value;
}

constexpr void PutU16(std::span<std::uint8_t> out, std::size_t offset, std::uint16_t value) {
  PutLittleEndian(out, offset, value, 2);
}
constexpr void PutU32(std::span<std::uint8_t> out, std::size_t offset, std::uint32_t value) {
  PutLittleEndian(out, offset, value, 4);
}
constexpr void PutU64(std::span<std::uint8_t> out, std::size_t offset, std::uint64_t value) {
  PutLittleEndian(out, offset, value, 8);
}
constexpr std::uint16_t GetU16(std::span<const std::uint8_t> in, std::size_t offset) {
  return static_cast<std::uint16_t>(GetLittleEndian(in, offset, 2));
}
constexpr std::uint32_t GetU32(std::span<const std::uint8_t> in, std::size_t offset) {
  return static_cast<std::uint32_t>(GetLittleEndian(in, offset, 4));
}
constexpr std::uint64_t GetU64(std::span<const std::uint8_t> in, std::size_t offset) {
  return GetLittleEndian(in, offset, 8);
}

// The value of one hexadecimal digit of either case; -1 for anything else.
constexpr int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The upper-case digit for the low four bits of value.
constexpr char HexDigitChar(unsigned value) { return "0123456789ABCDEF"[value & 0x0F]; }

// The unsigned value of 1 to 8 hexadecimal digits of either case; nothing for
// empty text, longer text or any other character.
constexpr std::optional<std::uint32_t> ParseHexDigits(std::string_view digits) {
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : digits) {
    const int digit = HexDigitValue(c);
    if (digit < 0) return std::nullopt;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  return value;
}

}  // namespace drvvzt
