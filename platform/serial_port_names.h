// From a port name as the driver stores it ("\\.\COM5") to a device path on
// this system. COMn is looked up in the optional section [ComPorts] of the
// profile file (key COMn, value a device path); without an entry COM1-COM8 are
// /dev/ttyS0-7, COM9-COM24 /dev/ttyUSB0-15 and COM25-COM32 /dev/ttyACM0-7.
// A name that is not COMn is taken as a device path as it stands.
//
// All functions are thread-safe (the profile file is read per call).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace drvvzt {

inline constexpr std::string_view kDeviceNamespacePrefix = "\\\\.\\";
inline constexpr const char* kPortMapFile = "drvvzt.ini";
inline constexpr const char* kPortMapSection = "ComPorts";

// name without a leading "\\.\".
std::string StripDeviceNamespace(std::string_view name);
// n for "COMn" (any letter case, n from 1 without leading zeros).
std::optional<int> ComPortNumber(std::string_view name);
// The built-in device for COMn; empty when n has none.
std::string DefaultComDevice(int number);
// The device path for a port name, "\\.\" prefix or not; empty when a COMn
// has neither an entry nor a built-in device. ini_path is the profile file,
// by default "drvvzt.ini" in the working directory.
std::string DevicePathForPort(std::string_view port_name,
                              const std::string& ini_path = kPortMapFile);

}  // namespace drvvzt
