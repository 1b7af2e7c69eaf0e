// Reading the [main] section of the configuration file.
#include "core/driver_settings.h"

#include "platform/ini_file.h"
#include "platform/ini_values.h"

namespace drvvzt {

DriverSettings ReadDriverSettings(const std::string& ini_path) {
  const DriverSettings defaults;
  DriverSettings s;
  s.ComPort = ReadIniString(ini_path, "main", "ComPort", defaults.ComPort);
  s.FirstNumber = ReadIniInteger(ini_path, "main", "FirstNumber", defaults.FirstNumber);
  s.PathForSoob = ReadIniString(ini_path, "main", "PathForSoob", defaults.PathForSoob);
  s.NotSendToDiskT8 = ReadIniBoolean(ini_path, "main", "NotSendToDiskT8", defaults.NotSendToDiskT8);
  s.Razdel = ReadIniBoolean(ini_path, "main", "Razdel", defaults.Razdel);
  s.Attention = ParseAttention(ReadIniString(ini_path, "main", "Attention", "00:10:00"));
  s.Log = ReadIniBoolean(ini_path, "main", "Log", defaults.Log);
  s.SendT7 = ReadIniBoolean(ini_path, "main", "SendT7", defaults.SendT7);
  s.SendT8 = ReadIniBoolean(ini_path, "main", "SendT8", defaults.SendT8);
  return s;
}

}  // namespace drvvzt
