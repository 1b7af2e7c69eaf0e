// TSerialPort: the serial component between the station and the driver. It
// opens the port by name, sets the line up, polls the receive queue whenever
// the device reports new bytes, cuts the byte stream into fixed-size packets
// and raises OnReceivePacket once per packet; it writes with a bounded wait
// and drives DTR.
//
// An idle line costs no wake-ups: the poll timer is asked for a wake-up only
// while a fragment waits, at the moment its packet timeout runs out.
//
// A device that goes away while the port is open (a USB adapter unplugged or
// re-enumerated after a power glitch) is closed underneath: the port stays
// open for the driver (Connected() stays true, SendData sends nothing), the
// poll stops, and every 2 s the component maps the port name afresh and tries
// to open it with the same settings, until it comes back or Disconnect() ends
// the port. OnLineLost and OnLineRestored tell the owner.
//
// The component lives on the thread that created it: every call, and every
// event it raises, happens on that thread, except Connected(), LineUp() and
// DevicePath(), which any thread may call (the server link thread reports the
// port state, a status writer shows the line).
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "platform/sys_error.h"
#include "station/poll_timer.h"

namespace drvvzt {

enum TBaudRate {
  brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
  br19200, br38400, br56000, br57600, br115200, br128000, br256000
};
enum TPortNumber {
  pnCustom, pnCOM1, pnCOM2, pnCOM3, pnCOM4, pnCOM5, pnCOM6, pnCOM7, pnCOM8,
  pnCOM9, pnCOM10, pnCOM11, pnCOM12, pnCOM13, pnCOM14, pnCOM15, pnCOM16
};
enum TDataBits { db5BITS, db6BITS, db7BITS, db8BITS };
enum TStopBits { sb1BITS, sb1HALFBITS, sb2BITS };
enum TParity { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum THwFlowControl { hfNONE, hfNONERTSON, hfRTSCTS, hfRTSTOG };
enum TSwFlowControl { sfNONE, sfXONXOFF };
enum TPacketMode { pmDiscard, pmPass };

class TSerialPort;

// Packet points into the component's input buffer and is valid only until
// the handler returns.
using TReceivePacketEvent =
    std::function<void(TSerialPort& Sender, const std::uint8_t* Packet, std::uint32_t DataSize)>;
using TReceiveDataEvent =
    std::function<void(TSerialPort& Sender, const std::uint8_t* DataPtr, std::uint32_t DataSize)>;
// Raised once per loss of the device, with the failure that showed it (the
// call, the device path and errno); Sender.PortName() names the port.
using TLineLostEvent = std::function<void(TSerialPort& Sender, const SysError& Cause)>;
// Raised once when the device is open again; Sender.DevicePath() is where.
using TLineRestoredEvent = std::function<void(TSerialPort& Sender)>;

// The bit/s a named speed stands for; 0 for brCustom.
std::uint32_t BaudRateBits(TBaudRate rate);

class TSerialPort {
public:
  static constexpr std::uint32_t kMinBufSize = 128;
  static constexpr std::uint32_t kMaxBufSize = 8192;
  static constexpr std::uint16_t kMinPollingDelay = 5;
  // How often a vanished device is looked for again.
  static constexpr std::uint32_t kReopenIntervalMs = 2000;

  // timer runs Poll while the port is open; clock gives the millisecond tick.
  // PollingDelay is the poll's period only where the timer cannot watch the
  // device, and the delay before a tick that leaves bytes behind looks again.
  // port_map_ini is the profile file whose [ComPorts] section maps COMn to a
  // device; it is read at every Connect and every attempt to reopen.
  explicit TSerialPort(PollTimer& timer, TickClock& clock = SystemTick(),
                       std::string port_map_ini = "drvvzt.ini");
  ~TSerialPort();
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;

  // Opens PortName; true when the port is open afterwards, also when it
  // already was (a PortName set in between is not opened). Never throws;
  // LastError() says why it failed.
  bool Connect();
  // Like Connect, but a device that is not there (yet) leaves the port open
  // and waiting for it as for a vanished one: true, LineUp() false, and
  // OnLineRestored once it opens. For a station whose adapter may appear a
  // little after the session starts. Any other failure is a failed Connect.
  bool ConnectOrAwait();
  // Stops polling (or looking for a vanished device) and releases the port;
  // nothing when closed.
  void Disconnect();
  // The port is open for the driver, whether its device is there or not.
  // Thread-safe.
  bool Connected() const { return connected_.load(std::memory_order_acquire); }
  // The port is open and its device is there. Thread-safe.
  bool LineUp() const { return line_up_.load(std::memory_order_acquire); }
  // The cause of the last failed Connect, or of the loss of the device and
  // then of each failed attempt to open it again; ok() after a Connect that
  // succeeded.
  const SysError& LastError() const { return last_error_; }
  // Bytes written: all of them, or fewer once OutputTimeout ms pass without
  // progress; 0 when closed or while the device is away.
  std::uint32_t SendData(const std::uint8_t* DataPtr, std::uint32_t DataSize);
  // Raises or drops DTR when open; nothing when closed.
  void SetDTR(bool On);
  // One tick of the poll timer: delivers whole packets and timed-out fragments,
  // then asks the timer for the next wake-up that is due. An exception thrown
  // by OnReceivePacket comes out of Poll only after every whole packet of the
  // tick was delivered (the first one, if several).
  void Poll();

  // The device path open now; "" when closed or while the device is away.
  // Thread-safe.
  std::string DevicePath() const;
  // When the first byte of the pending incomplete packet was seen; empty
  // when no packet is pending.
  std::optional<std::uint32_t> PacketStartTime() const { return packet_start_; }
  // Milliseconds count characters take on the line at 10 bits each.
  std::uint32_t PacketWireTime(std::uint32_t count) const;

  TPortNumber Port() const { return port_; }
  void SetPort(TPortNumber value);
  const std::string& PortName() const { return port_name_; }
  void SetPortName(const std::string& value);
  TBaudRate BaudRate() const { return baud_rate_; }
  void SetBaudRate(TBaudRate value);
  std::uint32_t BaudRateValue() const { return baud_rate_value_; }
  void SetBaudRateValue(std::uint32_t value);
  TDataBits DataBits() const { return data_bits_; }
  void SetDataBits(TDataBits value);
  TStopBits StopBits() const { return stop_bits_; }
  void SetStopBits(TStopBits value);
  TParity Parity() const { return parity_; }
  void SetParity(TParity value);
  THwFlowControl HwFlow() const { return hw_flow_; }
  void SetHwFlow(THwFlowControl value);
  TSwFlowControl SwFlow() const { return sw_flow_; }
  void SetSwFlow(TSwFlowControl value);
  std::uint32_t InBufSize() const { return in_buf_size_; }
  void SetInBufSize(std::uint32_t value);
  std::uint32_t OutBufSize() const { return out_buf_size_; }
  void SetOutBufSize(std::uint32_t value);
  std::int16_t PacketSize() const { return packet_size_; }
  void SetPacketSize(std::int16_t value);
  std::int32_t PacketTimeout() const { return packet_timeout_; }
  void SetPacketTimeout(std::int32_t value);
  TPacketMode PacketMode() const { return packet_mode_; }
  void SetPacketMode(TPacketMode value) { packet_mode_ = value; }
  std::uint16_t PollingDelay() const { return polling_delay_; }
  void SetPollingDelay(std::uint16_t value);
  bool EnableDTROnOpen() const { return enable_dtr_on_open_; }
  void SetEnableDTROnOpen(bool value) { enable_dtr_on_open_ = value; }
  std::uint16_t OutputTimeout() const { return output_timeout_; }
  void SetOutputTimeout(std::uint16_t value) { output_timeout_ = value; }
  bool CheckLineStatus() const { return check_line_status_; }
  void SetCheckLineStatus(bool value) { check_line_status_ = value; }

  TReceivePacketEvent OnReceivePacket;
  TReceiveDataEvent OnReceiveData;
  TLineLostEvent OnLineLost;
  TLineRestoredEvent OnLineRestored;

private:
  SysError OpenDevice();
  SysError PortMapUnreadable() const;
  SysError ApplyLineSettings();
  void ReapplyIfOpen();
  void ResizeInputBuffer(std::uint32_t size);
  void StartPolling();
  void ArmNextPoll(bool bytes_left);
  // Milliseconds from now until the pending fragment may be passed on.
  std::uint32_t FragmentDueIn(std::uint32_t now) const;
  void SetDevicePath(std::string path);
  // The device failed in a way it will not recover from on this descriptor.
  void LoseLine(const SysError& cause);
  // Swaps the poll for the slow tick that looks for the device.
  void AwaitDevice();
  // Closes the line on a failure that shows the device is gone; true then.
  bool LostOn(const SysError& error);
  void ReopenTick();
  bool ReadQueued(std::uint32_t count, std::uint32_t& got);
  // Each returns the bytes the tick left queued; a handler's exception is
  // kept in handler_error (the first one) for the end of the tick.
  std::uint32_t PollRaw(std::uint32_t queued, std::exception_ptr& handler_error);
  std::uint32_t PollPackets(std::uint32_t queued, std::exception_ptr& handler_error);
  std::uint32_t PollFragment(std::uint32_t queued, std::exception_ptr& handler_error);
  void Deliver(const TReceivePacketEvent& handler, std::uint32_t size,
               std::exception_ptr& handler_error);
  bool LineSignalsPresent() const;

  PollTimer& timer_;
  TickClock& clock_;
  std::string port_map_ini_;
  SerialDevice device_;
  std::atomic<bool> connected_{false};
  std::atomic<bool> line_up_{false};
  mutable std::mutex device_path_mutex_;
  std::string device_path_;  // guarded by device_path_mutex_
  SysError last_error_;
  std::uint32_t next_open_attempt_ = 0;  // tick when the device is next looked for
  bool arrivals_watched_ = false;        // arrivals tick the poll: no period needed

  TPortNumber port_ = pnCustom;
  std::string port_name_;
  TBaudRate baud_rate_ = br9600;
  std::uint32_t baud_rate_value_ = 9600;
  TDataBits data_bits_ = db8BITS;
  TStopBits stop_bits_ = sb1BITS;
  TParity parity_ = ptNONE;
  THwFlowControl hw_flow_ = hfNONERTSON;
  TSwFlowControl sw_flow_ = sfNONE;
  std::uint32_t in_buf_size_ = 2048;
  std::uint32_t out_buf_size_ = 2048;
  std::int16_t packet_size_ = -1;
  std::int32_t packet_timeout_ = -1;
  TPacketMode packet_mode_ = pmDiscard;
  std::uint16_t polling_delay_ = 50;
  bool enable_dtr_on_open_ = true;
  std::uint16_t output_timeout_ = 500;
  bool check_line_status_ = false;

  std::vector<std::uint8_t> input_buffer_;
  std::optional<std::uint32_t> packet_start_;
};

}  // namespace drvvzt
