// The chain every serial delivery runs through: the packet handler (raw log,
// acknowledgement, decoding), the event dispatch and the spool writer, built
// in the order they depend on each other. The driver core owns one; the fuzz
// targets and the tests that put a station in front of a server build it the
// same way.
//
// Not thread-safe by itself: deliveries come from one thread. The spool
// writer and the in-flight set it shares with the server link are
// thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/driver_settings.h"
#include "platform/clock.h"
#include "platform/ini_snapshot.h"
#include "station/event_dispatch.h"
#include "station/in_flight_files.h"
#include "station/packet_handler.h"
#include "station/server_link_port.h"
#include "station/spool_writer.h"

namespace drvvzt {

inline constexpr char kIniFileName[] = "drvvzt.ini";

struct StationChainSetup {
  DriverSettings settings;
  std::string start_dir;  // drvvzt.ini, error.txt, drvvzt.log, rescue/
  std::shared_ptr<IniSnapshot> ini;  // none: the handler keeps one of its own
  PacketHandler::SendFunction send;  // the acknowledgement to the station
  PacketHandler::RedrawFunction redraw_station;
};

class StationChain {
public:
  // The spool writer is made at once, with its rescue directory, and
  // recovers what an earlier run left half written; the link may come later.
  StationChain(StationChainSetup setup, DateTimeClock& clock);

  // Connects the dispatch to the server link (nullptr: no link thread) and
  // makes the handler. Once, before the first delivery.
  void Connect(ServerLinkPort* link);

  void Deliver(const std::uint8_t* packet, std::uint32_t size) {
    handler_->SerialPort1ReceivePacket(packet, size);
  }

  SpoolWriter& Spool() { return *spool_; }
  const SpoolWriter& Spool() const { return *spool_; }
  InFlightFiles& InFlight() { return in_flight_; }
  PacketHandler& Handler() { return *handler_; }
  const PacketHandler& Handler() const { return *handler_; }
  bool Connected() const { return handler_ != nullptr; }

private:
  StationChainSetup setup_;
  DateTimeClock& clock_;
  InFlightFiles in_flight_;
  std::unique_ptr<SpoolWriter> spool_;
  std::unique_ptr<EventDispatch> dispatch_;
  std::unique_ptr<PacketHandler> handler_;
};

}  // namespace drvvzt
