// What the server link thread needs of the operator window. The window
// implements it; tests implement it directly.
//
// Thread use:
//  - ComPort(), PortOpen() and FirstNumber() are called on the server link
//    thread for the handshake and must be thread-safe on the window's side
//    (the port name changes while the driver runs, so the window guards it).
//  - LogLine() and StepServerTick() touch the window's widgets: the link thread
//    never calls them itself; it hands them to the window's thread through
//    UiHandOff (server/ui_hand_off.h) and waits until they ran.
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

  // Window's thread: appends one complete line to the log memo. The link
  // thread has already put the local date and time in front of the text.
  virtual void LogLine(const std::string& line) = 0;
  // Window's thread: advances ServerTick (0..16, wrapping to 0 past 16) and
  // redraws the server indicator.
  virtual void StepServerTick() = 0;
};

}  // namespace drvvzt
