// The [main] settings of "drvvzt.ini", read once at start-up. Fields carry the
// names of their keys. Plain C++: no Qt here, so the core can use it too.
//
// ReadDriverSettings is thread-safe (it opens, reads and closes the file).
#pragma once

#include <cstdint>
#include <string>

namespace drvvzt {

inline constexpr char kNoComPort[] = "COM255";

struct DriverSettings {
  std::string ComPort = kNoComPort;  // "COM255": no port chosen, none is opened
  std::int32_t FirstNumber = 4;      // FirstNumber x 10000 is added to object numbers
  std::string PathForSoob;           // spool file prefix; a directory only with a trailing "/"
  bool NotSendToDiskT8 = false;      // drop events while the link is down instead of spooling
  bool Razdel = false;               // add the hexadecimal section digits to object numbers
  double Attention = 10.0 / 1440.0;  // station watchdog interval, in days
  bool Log = false;                  // append every serial delivery to "drvvzt.log"
  bool SendT7 = false;               // show the second server caption
  bool SendT8 = true;                // run the server link thread
};

// The [main] values of the file at ini_path, each key's default where the file,
// the key or a parseable value is missing.
DriverSettings ReadDriverSettings(const std::string& ini_path);

}  // namespace drvvzt
