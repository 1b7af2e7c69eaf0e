// A serial device on termios: exclusive open, line settings, queue counts,
// non-blocking reads, writes with a bounded wait, modem lines.
//
// One SerialDevice is one open descriptor, used from one thread at a time; no
// call here is thread-safe against another call on the same object. Nothing
// blocks for longer than the wait a call is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace drvvzt {

// The one error type of the serial device layer.
enum class SerialError {
  kOk,
  kNotFound,      // no such device
  kAccessDenied,  // no permission to open it
  kBusy,          // held by someone else, this process included
  kNotSerial,     // the path is not a terminal device
  kClosed,        // the call needs an open device
  kWouldBlock,    // nothing could be done within the wait
  kUnsupported,   // a setting the device or this layer cannot give (an odd speed)
  kIo,            // any other failure; the device may have gone away
};

const char* SerialErrorText(SerialError error);

enum class SerialParity { kNone, kOdd, kEven, kMark, kSpace };
enum class SerialStopBits { kOne, kOneAndHalf, kTwo };

struct SerialLineSettings {
  std::uint32_t baud = 9600;
  int data_bits = 8;  // 5..8
  SerialParity parity = SerialParity::kNone;
  SerialStopBits stop_bits = SerialStopBits::kOne;
  bool rts_cts = false;   // hardware flow control
  bool xon_xoff = false;  // software flow control, both directions
  bool dtr = true;        // DTR level while open
  bool rts = false;       // RTS level while open (when rts_cts is off)
};

struct ModemLines {
  bool cts = false;
  bool dsr = false;
  bool ring = false;
  bool dcd = false;  // receive-line signal detect
};

class SerialDevice {
public:
  SerialDevice() = default;
  ~SerialDevice();
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  // Opens path for exclusive use (TIOCEXCL plus a non-blocking exclusive
  // flock, so a second open in this very process fails too). The descriptor
  // is non-blocking and does not become the controlling terminal.
  SerialError Open(const std::string& path);
  // Releases the device; nothing when closed.
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }

  // Raw mode with the given frame, receiver on, modem-status lines ignored
  // for opening. DTR and RTS are then driven through the modem-control
  // calls, whose failure (a pseudo-terminal has no modem lines) is ignored.
  SerialError ApplyLineSettings(const SerialLineSettings& settings);
  // Drops everything queued in both directions.
  SerialError FlushBoth();
  // Drives DTR; kUnsupported on a device without modem lines.
  SerialError SetDtr(bool on);

  SerialError InputQueued(std::uint32_t& count) const;
  SerialError OutputQueued(std::uint32_t& count) const;
  // Reads at most size bytes of what is queued, never waiting; got is 0 when
  // nothing was there.
  SerialError Read(std::uint8_t* buffer, std::size_t size, std::size_t& got);
  // Writes at most size bytes, waiting at most wait_ms for room.
  SerialError Write(const std::uint8_t* data, std::size_t size, int wait_ms,
                    std::size_t& written);
  SerialError GetModemLines(ModemLines& lines) const;

  // A descriptor that turns readable when new bytes arrive on the device, for an
  // event loop that wants to poll at once instead of at its next timer tick.
  // Edge-triggered: it reports each arrival once, not for as long as bytes wait,
  // so a partial packet left queued does not keep it readable. -1 when closed
  // (or when the system could not provide one: polling then runs on its timer).
  int ArrivalFd() const { return arrival_fd_; }
  // Takes the pending arrival notice; the descriptor stays quiet until new bytes come.
  void ClearArrival();

  // errno of the last failing call, for diagnostics.
  int LastErrno() const { return last_errno_; }

private:
  SerialError Fail(int saved_errno) const;

  void OpenArrivalWatch();

  int fd_ = -1;
  int arrival_fd_ = -1;
  std::string path_;
  mutable int last_errno_ = 0;
};

}  // namespace drvvzt
