// A serial device on termios: exclusive open, line settings, queue counts,
// non-blocking reads, writes with a bounded wait, modem lines, hang-up.
//
// Every call reports its failure as a SysError naming the system call, the
// device path and errno, taken at the moment of the failure; an ok() SysError
// means success. Calls on a closed device fail with EBADF.
//
// One SerialDevice is one open descriptor, used from one thread at a time; no
// call here is thread-safe against another call on the same object. Nothing
// blocks for longer than the wait a call is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/sys_error.h"

namespace drvvzt {

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

// Why a port could not be opened (or set up), as the operator has to act on it.
enum class SerialOpenCause {
  kNone,          // it did open
  kNoDevice,      // nothing at that path: unplugged, not yet enumerated, wrong name
  kPermission,    // the user may not open it: not in the group dialout
  kBusy,          // another program (or this one) holds it
  kLineSettings,  // opened, but the device refused the line settings
  kOther,
};

SerialOpenCause OpenCauseOf(const SysError& error);
// Short English text of a cause, for standard error and the journal.
const char* OpenCauseText(SerialOpenCause cause);
// Short Russian text of a cause (UTF-8), for the window's log.
const char* OpenCauseTextRu(SerialOpenCause cause);
// "permission denied, add the user to group dialout (open /dev/ttyUSB0:
// Permission denied)": the cause and the failed call in one line.
std::string OpenFailureMessage(const SysError& error);

// The device has gone away underneath an open descriptor (unplugged adapter,
// hung-up line): it will not come back on this descriptor.
bool DeviceGone(const SysError& error);
// Nothing could be done within the wait; trying later may work.
bool WouldBlock(const SysError& error);

class SerialDevice {
public:
  SerialDevice() = default;
  ~SerialDevice();
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  // Opens path for exclusive use (TIOCEXCL plus a non-blocking exclusive
  // flock, so a second open in this very process fails too). The descriptor
  // is non-blocking and does not become the controlling terminal.
  SysError Open(const std::string& path);
  // Releases the device; nothing when closed.
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }

  // Raw mode with the given frame, receiver on, modem-status lines ignored
  // for opening; read back afterwards, so settings the driver silently
  // dropped fail as well (EINVAL from "tcsetattr"). DTR and RTS are then
  // driven through the modem-control calls, whose failure (a pseudo-terminal
  // has no modem lines) is ignored.
  SysError ApplyLineSettings(const SerialLineSettings& settings);
  // Drops everything queued in both directions.
  SysError FlushBoth();
  // Drives DTR; fails on a device without modem lines.
  SysError SetDtr(bool on);

  SysError InputQueued(std::uint32_t& count) const;
  SysError OutputQueued(std::uint32_t& count) const;
  // Reads at most size bytes of what is queued, never waiting; got is 0 when
  // nothing was there.
  SysError Read(std::uint8_t* buffer, std::size_t size, std::size_t& got);
  // Writes at most size bytes, waiting at most wait_ms for room; EAGAIN when
  // no room came in time.
  SysError Write(const std::uint8_t* data, std::size_t size, int wait_ms,
                 std::size_t& written);
  SysError GetModemLines(ModemLines& lines) const;
  // Fails (EIO from "poll") when the device reports a hang-up or an error: an
  // unplugged USB adapter, a pseudo-terminal whose other end was closed. Reads
  // of a hung-up line may simply return nothing, so this is the way to tell.
  SysError CheckHangUp() const;

  // A descriptor that turns readable when new bytes arrive on the device, for an
  // event loop that wants to poll at once instead of at its next timer tick.
  // Edge-triggered: it reports each arrival once, not for as long as bytes wait,
  // so a partial packet left queued does not keep it readable. A hang-up also
  // makes it readable once. -1 when closed (or when the system could not
  // provide one: polling then runs on its timer).
  int ArrivalFd() const { return arrival_fd_; }
  // Takes the pending arrival notice; the descriptor stays quiet until new bytes come.
  void ClearArrival();

private:
  SysError Fail(std::string_view call) const;
  SysError NotOpen(std::string_view call) const;

  void OpenArrivalWatch();

  int fd_ = -1;
  int arrival_fd_ = -1;
  std::string path_;
};

// Fault injection for tests. Every system call of this layer goes through one
// table entry named as in SysError::call ("open", "flock", "ioctl(TIOCEXCL)",
// "tcgetattr", "tcsetattr", "tcflush", "ioctl(FIONREAD)", "ioctl(TIOCOUTQ)",
// "read", "write", "poll"), so a test can make a call fail with a chosen errno
// - a permission error cannot be had for real when the tests run as root.
// Thread-safe; meant for tests only.
namespace serial_faults {
// The call named `call` fails with error_number `times` times, after `after`
// calls that still reach the system.
void Fail(std::string_view call, int error_number, int after = 0, int times = 1);
// Drops every pending failure.
void Clear();
}  // namespace serial_faults

}  // namespace drvvzt
