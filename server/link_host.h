// What the server link asks of the driver for its handshake: the serial port's
// name and state and the FirstNumber setting. What the link reports goes the
// other way, through LinkReports (server/link_reports.h).
//
// Called on the server link thread: implementations must be thread-safe (the
// port name changes while the driver runs, so the window guards it).
#pragma once

#include <string>

namespace drvvzt {

class LinkHost {
public:
  virtual ~LinkHost() = default;

  // The serial port name currently selected ("COM3", "/dev/ttyUSB0", ...).
  virtual std::string ComPort() = 0;
  // True while the serial port is open.
  virtual bool PortOpen() = 0;
  // The FirstNumber setting; only its low byte reaches the server.
  virtual int FirstNumber() = 0;
};

}  // namespace drvvzt
