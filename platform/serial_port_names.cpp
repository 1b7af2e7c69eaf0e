// Port name to device path mapping.
#include "platform/serial_port_names.h"

#include <cctype>

#include "platform/ini_file.h"

namespace drvvzt {
namespace {

struct DeviceRange {
  int first_com;
  int last_com;
  const char* device_stem;
};

constexpr DeviceRange kDefaultRanges[] = {
    {1, 8, "/dev/ttyS"},
    {9, 24, "/dev/ttyUSB"},
    {25, 32, "/dev/ttyACM"},
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

std::string StripDeviceNamespace(std::string_view name) {
  if (name.substr(0, kDeviceNamespacePrefix.size()) == kDeviceNamespacePrefix)
    name.remove_prefix(kDeviceNamespacePrefix.size());
  return std::string(name);
}

std::optional<int> ComPortNumber(std::string_view name) {
  if (name.size() < 4 || !EqualsNoCase(name.substr(0, 3), "COM")) return std::nullopt;
  std::string_view digits = name.substr(3);
  if (digits.size() > 3 || digits[0] == '0') return std::nullopt;
  int number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + (c - '0');
  }
  return number;
}

std::string DefaultComDevice(int number) {
  for (const DeviceRange& range : kDefaultRanges) {
    if (number >= range.first_com && number <= range.last_com)
      return range.device_stem + std::to_string(number - range.first_com);
  }
  return {};
}

std::string DevicePathForPort(std::string_view port_name, const std::string& ini_path) {
  std::string name = StripDeviceNamespace(port_name);
  std::optional<int> number = ComPortNumber(name);
  if (!number) return name;
  std::string key = "COM" + std::to_string(*number);
  std::string mapped = ReadIniString(ini_path, kPortMapSection, key, "");
  if (!mapped.empty()) return mapped;
  return DefaultComDevice(*number);
}

}  // namespace drvvzt
