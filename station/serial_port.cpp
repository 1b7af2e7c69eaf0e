// TSerialPort: opening, line settings, the poll that cuts packets, bounded writes.
#include "station/serial_port.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <exception>

#include "platform/serial_port_names.h"

namespace drvvzt {
namespace {

// A single write may wait this long for room in the transmit queue.
constexpr int kSingleWriteWaitMs = 10;

SerialLineSettings LineSettingsFor(std::uint32_t baud, TDataBits data_bits, TParity parity,
                                   TStopBits stop_bits, THwFlowControl hw_flow,
                                   TSwFlowControl sw_flow, bool dtr) {
  SerialLineSettings s;
  s.baud = baud;
  s.data_bits = static_cast<int>(data_bits) + 5;
  s.parity = static_cast<SerialParity>(parity);
  s.stop_bits = static_cast<SerialStopBits>(stop_bits);
  s.dtr = dtr;
  s.xon_xoff = sw_flow == sfXONXOFF;
  s.rts_cts = hw_flow == hfRTSCTS;
  // RTS cannot follow the transmitter here; toggle mode keeps it raised so
  // that a converter keyed by RTS can still send.
  s.rts = hw_flow == hfNONERTSON || hw_flow == hfRTSTOG;
  return s;
}

}  // namespace

std::uint32_t BaudRateBits(TBaudRate rate) {
  static constexpr std::uint32_t kBits[] = {0,     110,   300,   600,    1200,   2400,
                                            4800,  9600,  14400, 19200,  38400,  56000,
                                            57600, 115200, 128000, 256000};
  auto index = static_cast<std::size_t>(rate);
  return index < std::size(kBits) ? kBits[index] : 0;
}

TSerialPort::TSerialPort(PollTimer& timer, TickClock& clock, std::string port_map_ini)
    : timer_(timer), clock_(clock), port_map_ini_(std::move(port_map_ini)),
      input_buffer_(in_buf_size_, 0) {}

TSerialPort::~TSerialPort() { Disconnect(); }

bool TSerialPort::Connect() {
  if (Connected()) return true;
  try {
    SysError error = OpenDevice();
    last_error_ = error;
    if (!error.ok()) return false;
    connected_.store(true, std::memory_order_release);
    line_up_.store(true, std::memory_order_release);
    StartPolling();
    return true;
  } catch (...) {
    // Connect reports failure by its result only.
    Disconnect();
    device_.Close();
    SetDevicePath({});
    last_error_ = PortMapUnreadable();
    return false;
  }
}

// What throws while opening (the port map could not be read into memory) has
// no errno of its own: it is reported as the memory it lacked.
SysError TSerialPort::PortMapUnreadable() const {
  return SysError::Of(ENOMEM, "open", StripDeviceNamespace(port_name_));
}

bool TSerialPort::ConnectOrAwait() {
  if (Connect()) return true;
  if (OpenCauseOf(last_error_) != SerialOpenCause::kNoDevice) return false;
  connected_.store(true, std::memory_order_release);
  AwaitDevice();
  return true;
}

void TSerialPort::Disconnect() {
  if (!Connected()) return;
  timer_.Stop();
  device_.Close();
  line_up_.store(false, std::memory_order_release);
  connected_.store(false, std::memory_order_release);
  SetDevicePath({});
}

// The port name is mapped anew at every open, so a /dev/serial/by-id/ name in
// [ComPorts] finds an adapter that came back under another ttyUSB number.
SysError TSerialPort::OpenDevice() {
  std::string path = DevicePathForPort(port_name_, port_map_ini_);
  if (path.empty()) return SysError::Of(ENODEV, "open", StripDeviceNamespace(port_name_));
  SysError error = device_.Open(path);
  if (!error.ok()) return error;
  error = ApplyLineSettings();
  if (!error.ok()) {
    device_.Close();
    return error;
  }
  SetDevicePath(std::move(path));
  return {};
}

SysError TSerialPort::ApplyLineSettings() {
  SerialLineSettings settings = LineSettingsFor(baud_rate_value_, data_bits_, parity_,
                                                stop_bits_, hw_flow_, sw_flow_,
                                                enable_dtr_on_open_);
  SysError error = device_.ApplyLineSettings(settings);
  if (error.ok()) error = device_.FlushBoth();
  if (!error.ok()) return error;
  packet_start_.reset();
  // The requested queue sizes have no equivalent here and are accepted.
  return {};
}

void TSerialPort::ReapplyIfOpen() {
  if (LineUp()) ApplyLineSettings();
}

std::string TSerialPort::DevicePath() const {
  std::lock_guard lock(device_path_mutex_);
  return device_path_;
}

void TSerialPort::SetDevicePath(std::string path) {
  std::lock_guard lock(device_path_mutex_);
  device_path_ = std::move(path);
}

void TSerialPort::LoseLine(const SysError& cause) {
  if (!LineUp()) return;
  // The arrival watch goes first: the toolkit must not watch a closed descriptor.
  timer_.WatchArrivals(-1);
  device_.Close();
  line_up_.store(false, std::memory_order_release);
  SetDevicePath({});
  // A fragment from before the loss cannot be completed by the next device.
  packet_start_.reset();
  last_error_ = cause;
  AwaitDevice();
  if (OnLineLost) OnLineLost(*this, cause);
}

void TSerialPort::AwaitDevice() {
  next_open_attempt_ = clock_.NowTick() + kReopenIntervalMs;
  // One wake-up per attempt instead of the poll: nothing to read until the
  // device is back.
  timer_.Start(0, [this] { ReopenTick(); });
  timer_.WakeIn(kReopenIntervalMs);
}

bool TSerialPort::LostOn(const SysError& error) {
  if (!DeviceGone(error)) return false;
  LoseLine(error);
  return true;
}

void TSerialPort::ReopenTick() {
  if (!Connected() || LineUp()) return;
  // The timer's period is only a wake-up; the clock decides, so a tick that
  // comes early (or one the owner fires by hand) does not shorten the wait.
  // The attempts keep to a fixed grid from the loss, as the timer's ticks do:
  // an attempt counted from when the previous tick ran late would miss the
  // next tick and wait 4 s.
  const std::uint32_t now = clock_.NowTick();
  if (static_cast<std::int32_t>(now - next_open_attempt_) < 0) {
    timer_.WakeIn(next_open_attempt_ - now);
    return;
  }
  next_open_attempt_ += kReopenIntervalMs;
  // After a long stall, no run of attempts to catch up.
  if (static_cast<std::int32_t>(now - next_open_attempt_) >= 0)
    next_open_attempt_ = now + kReopenIntervalMs;
  SysError error;
  try {
    error = OpenDevice();
  } catch (...) {
    device_.Close();
    error = PortMapUnreadable();
  }
  if (!error.ok()) {
    last_error_ = error;
    timer_.WakeIn(next_open_attempt_ - now);
    return;
  }
  last_error_ = {};
  line_up_.store(true, std::memory_order_release);
  StartPolling();
  if (OnLineRestored) OnLineRestored(*this);
}

void TSerialPort::StartPolling() {
  timer_.Start(0, [this] { Poll(); });
  const int arrival_fd = device_.ArrivalFd();
  arrivals_watched_ = arrival_fd >= 0 && timer_.WatchArrivals(arrival_fd);
  ArmNextPoll(false);
}

// Arrivals tick the poll by themselves; a wake-up is needed only for what no
// arrival announces: the deadline of a fragment that waits for the rest of its
// packet, and bytes left queued by a tick (their start time is taken at the
// next one, as if the poll ran by its period). A timer that cannot watch the
// device polls by the period throughout.
void TSerialPort::ArmNextPoll(bool bytes_left) {
  std::optional<std::uint32_t> wake;
  if (packet_start_ && packet_timeout_ > 0) {
    wake = FragmentDueIn(clock_.NowTick());
  } else if (bytes_left && !packet_start_) {
    wake = polling_delay_;
  }
  if (!arrivals_watched_) wake = std::min<std::uint32_t>(wake.value_or(polling_delay_), polling_delay_);
  if (wake) {
    timer_.WakeIn(*wake);
  } else {
    timer_.CancelWake();
  }
}

// The first tick strictly later than the timeout after the fragment's start
// passes it on; 0 when that moment is already here.
std::uint32_t TSerialPort::FragmentDueIn(std::uint32_t now) const {
  const std::uint32_t due = *packet_start_ + static_cast<std::uint32_t>(packet_timeout_) + 1;
  const auto left = static_cast<std::int32_t>(due - now);
  return left > 0 ? static_cast<std::uint32_t>(left) : 0;
}

void TSerialPort::ResizeInputBuffer(std::uint32_t size) {
  input_buffer_.assign(size, 0);
}

std::uint32_t TSerialPort::PacketWireTime(std::uint32_t count) const {
  std::uint32_t speed = baud_rate_ == brCustom ? baud_rate_value_ : BaudRateBits(baud_rate_);
  if (speed == 0) return 0;
  double ms = static_cast<double>(count) / (static_cast<double>(speed) / 10.0) * 1000.0;
  // nearbyint rounds halves to even under the default rounding mode.
  return static_cast<std::uint32_t>(std::nearbyint(ms));
}

bool TSerialPort::ReadQueued(std::uint32_t count, std::uint32_t& got) {
  got = 0;
  count = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(input_buffer_.size()));
  std::size_t n = 0;
  SysError error = device_.Read(input_buffer_.data(), count, n);
  if (!error.ok()) {
    LostOn(error);
    return false;
  }
  got = static_cast<std::uint32_t>(n);
  return true;
}

void TSerialPort::Poll() {
  if (!LineUp()) return;
  // A hung-up line reads as an empty one; only the hang-up itself tells.
  if (LostOn(device_.CheckHangUp())) return;
  // Bytes arriving from here on wake the next poll; those queued now are seen below.
  device_.ClearArrival();
  std::uint32_t queued = 0;
  SysError error = device_.InputQueued(queued);
  if (!error.ok()) {
    // A count that fails for another reason may work at the next tick, which
    // no arrival may bring: ask for one at the period.
    if (!LostOn(error)) timer_.WakeIn(polling_delay_);
    return;
  }
  // A handler that throws must not cost the packets behind its own, nor
  // leave the start time half updated, nor the next wake-up unasked for:
  // the error goes on at the end of the tick.
  std::exception_ptr handler_error;
  std::uint32_t left = 0;
  if (packet_size_ <= 0) {
    left = PollRaw(queued, handler_error);
  } else if (queued >= static_cast<std::uint32_t>(packet_size_)) {
    left = PollPackets(queued, handler_error);
  } else {
    left = PollFragment(queued, handler_error);
  }
  // A handler may have closed the port or lost the device: the timer is not
  // the poll's any more.
  if (LineUp()) ArmNextPoll(left > 0);
  if (handler_error) std::rethrow_exception(handler_error);
}

void TSerialPort::Deliver(const TReceivePacketEvent& handler, std::uint32_t size,
                          std::exception_ptr& handler_error) {
  if (!handler) return;
  try {
    handler(*this, input_buffer_.data(), size);
  } catch (...) {
    if (!handler_error) handler_error = std::current_exception();
  }
}

std::uint32_t TSerialPort::PollRaw(std::uint32_t queued, std::exception_ptr& handler_error) {
  if (queued == 0) return 0;
  std::uint32_t got = 0;
  if (!ReadQueued(std::min(queued, in_buf_size_), got)) return 0;
  if (got > 0) Deliver(OnReceiveData, got, handler_error);
  return queued - got;
}

std::uint32_t TSerialPort::PollPackets(std::uint32_t queued, std::exception_ptr& handler_error) {
  // The count is taken once per tick: bytes arriving while packets are
  // handed out wait for the next tick.
  const auto size = static_cast<std::uint32_t>(packet_size_);
  const std::uint32_t wire_time = PacketWireTime(size);
  // A handler's answer may find the device gone: the rest of the run is lost with it.
  while (queued >= size && LineUp()) {
    std::uint32_t got = 0;
    if (ReadQueued(size, got) && got > 0) Deliver(OnReceivePacket, got, handler_error);
    // The moment the first byte of the following packet is expected.
    if (packet_start_) *packet_start_ += wire_time;
    queued -= size;
    if (queued == 0) packet_start_.reset();
  }
  return queued;
}

std::uint32_t TSerialPort::PollFragment(std::uint32_t queued, std::exception_ptr& handler_error) {
  const std::uint32_t now = clock_.NowTick();
  if (packet_timeout_ > 0 && packet_start_ &&
      now - *packet_start_ > static_cast<std::uint32_t>(packet_timeout_)) {
    std::uint32_t got = 0;
    const bool read = ReadQueued(queued, got);
    packet_start_.reset();
    if (read && packet_mode_ == pmPass && got > 0) Deliver(OnReceivePacket, got, handler_error);
    return 0;
  }
  if (queued > 0 && !packet_start_) packet_start_ = now;
  return queued;
}

bool TSerialPort::LineSignalsPresent() const {
  ModemLines lines;
  if (!device_.GetModemLines(lines).ok()) return false;
  return lines.cts || lines.dsr || lines.ring || lines.dcd;
}

std::uint32_t TSerialPort::SendData(const std::uint8_t* DataPtr, std::uint32_t DataSize) {
  if (!LineUp() || DataPtr == nullptr) return 0;
  std::uint32_t last = clock_.NowTick();
  std::uint32_t sent = 0;
  while (sent < DataSize) {
    std::uint32_t waiting = 0;
    device_.OutputQueued(waiting);  // an unknown count reads as an empty queue
    const auto room = static_cast<std::uint16_t>(out_buf_size_ - waiting);
    if (room > 0) {
      if (check_line_status_ && !LineSignalsPresent()) break;
      std::size_t chunk = std::min<std::uint32_t>(room, DataSize - sent);
      std::size_t written = 0;
      SysError error = device_.Write(DataPtr + sent, chunk, kSingleWriteWaitMs, written);
      if (written > 0) {
        sent += static_cast<std::uint32_t>(written);
        last = clock_.NowTick();
        continue;
      }
      // A device that has gone away will not take bytes however long we
      // wait; only a full queue is worth the wait.
      if (!error.ok() && !WouldBlock(error)) {
        LostOn(error);
        break;
      }
    }
    if (clock_.NowTick() - last > output_timeout_) break;
  }
  return sent;
}

void TSerialPort::SetDTR(bool On) {
  if (LineUp()) device_.SetDtr(On);
}

void TSerialPort::SetPort(TPortNumber value) {
  if (Connected()) return;
  port_ = value;
  if (value != pnCustom)
    port_name_ = std::string(kDeviceNamespacePrefix) + "COM" + std::to_string(static_cast<int>(value));
}

void TSerialPort::SetPortName(const std::string& value) {
  if (Connected()) return;
  port_name_ = value;
  port_ = pnCustom;
}

void TSerialPort::SetBaudRate(TBaudRate value) {
  baud_rate_ = value;
  if (value != brCustom) baud_rate_value_ = BaudRateBits(value);
  ReapplyIfOpen();
}

void TSerialPort::SetBaudRateValue(std::uint32_t value) {
  baud_rate_value_ = value;
  baud_rate_ = brCustom;
  ReapplyIfOpen();
}

void TSerialPort::SetDataBits(TDataBits value) {
  data_bits_ = value;
  ReapplyIfOpen();
}

void TSerialPort::SetStopBits(TStopBits value) {
  stop_bits_ = value;
  ReapplyIfOpen();
}

void TSerialPort::SetParity(TParity value) {
  parity_ = value;
  ReapplyIfOpen();
}

void TSerialPort::SetHwFlow(THwFlowControl value) {
  hw_flow_ = value;
  ReapplyIfOpen();
}

void TSerialPort::SetSwFlow(TSwFlowControl value) {
  sw_flow_ = value;
  ReapplyIfOpen();
}

void TSerialPort::SetInBufSize(std::uint32_t value) {
  if (Connected()) return;
  in_buf_size_ = std::clamp(value, kMinBufSize, kMaxBufSize);
  ResizeInputBuffer(in_buf_size_);
  SetPacketSize(packet_size_);
}

void TSerialPort::SetOutBufSize(std::uint32_t value) {
  if (Connected()) return;
  out_buf_size_ = std::clamp(value, kMinBufSize, kMaxBufSize);
}

void TSerialPort::SetPacketSize(std::int16_t value) {
  if (value <= 0) {
    packet_size_ = -1;
    return;
  }
  // A packet must fit the input buffer, whose largest size is kMaxBufSize.
  packet_size_ = static_cast<std::int16_t>(std::min<std::uint32_t>(value, kMaxBufSize));
  const auto size = static_cast<std::uint32_t>(packet_size_);
  if (size > in_buf_size_) {
    // Grown even while open: the buffer is ours, only the system queue
    // size was fixed by Connect.
    in_buf_size_ = size;
    ResizeInputBuffer(size);
  }
}

void TSerialPort::SetPacketTimeout(std::int32_t value) {
  packet_timeout_ = value <= 0 ? -1 : value;
}

void TSerialPort::SetPollingDelay(std::uint16_t value) {
  value = std::max(value, kMinPollingDelay);
  if (value == polling_delay_) return;
  polling_delay_ = value;
  // Only a timer that cannot watch the device polls by the period.
  if (LineUp() && !arrivals_watched_) timer_.WakeIn(polling_delay_);
}

}  // namespace drvvzt
