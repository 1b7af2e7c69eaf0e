// The handling of one serial delivery from the station: raw log, station-link
// bookkeeping, acknowledgement, decoding and dispatch.
//
// Not thread-safe: the user-interface thread owns a PacketHandler and calls it
// one delivery at a time; the state it exposes is read on that thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/ini_snapshot.h"
#include "station/event_dispatch.h"
#include "station/packet_decoder.h"
#include "station/station_event.h"

namespace drvvzt {

struct PacketHandlerSettings {
  bool Log = false;              // append every delivery to "drvvzt.log"
  std::int32_t FirstNumber = 4;
  bool Razdel = false;
  std::string StartDir;          // working directory: drvvzt.ini, drvvzt.log, error.txt
  // The configuration shared with the rest of the driver; none: the handler
  // keeps a snapshot of StartDir's drvvzt.ini of its own.
  std::shared_ptr<IniSnapshot> Ini;
};

// Both indicators animate in steps 0, 1, ..., 16, then 0 again.
inline constexpr std::int32_t kIndicatorTickLimit = 16;

class PacketHandler {
public:
  // Sends bytes on the serial line; returns how many were written.
  using SendFunction = std::function<std::uint32_t(const std::uint8_t*, std::uint32_t)>;
  using RedrawFunction = std::function<void()>;

  PacketHandler(PacketHandlerSettings settings, DateTimeClock& clock, SendFunction send,
                RedrawFunction redraw_station_indicator, EventDispatch& dispatch);

  // One delivery of the serial port: size bytes at packet.
  void SerialPort1ReceivePacket(const std::uint8_t* packet, std::uint32_t size);

  double LastPacketTime() const { return last_packet_time_; }
  void SetLastPacketTime(double t) { last_packet_time_ = t; }
  // Animation step of the station indicator: 1, 2, ..., 16, 0, 1, ...
  std::int32_t StationTick() const { return station_tick_; }
  // The last decoded record; kept until the next one replaces it.
  const TStationEvent& CurrentEvent() const { return current_; }

private:
  void AppendRawLog(const std::uint8_t* packet, std::uint32_t size);

  const PacketHandlerSettings settings_;
  const DecoderSettings decoder_;
  DateTimeClock& clock_;
  SendFunction send_;
  RedrawFunction redraw_;
  EventDispatch& dispatch_;

  double last_packet_time_ = 0.0;
  std::int32_t station_tick_ = 0;
  TStationEvent current_;
  bool raw_log_failing_ = false;  // code 20 was written for the current run of failures
};

}  // namespace drvvzt
