// Where a freshly decoded station event goes.
//
// The driver has acknowledged the event to the station, which will not send it
// again, so it goes to disk first: while the server link is up, the record is
// written to a spool file of its own (the write-ahead file) and then queued,
// and the server link deletes that file once the server has answered the
// event; while the link is down, the record is written to a spool file and
// nothing else (or dropped under NotSendToDiskT8). A write-ahead that fails
// never holds back the live send: the record is then queued alone, and the
// link spools it if it gets no answer.
//
// Not thread-safe by itself: one EventDispatch is driven by the user-interface
// thread. The SpoolWriter, InFlightFiles and ServerLinkPort it uses are
// thread-safe.
#pragma once

#include "station/in_flight_files.h"
#include "station/server_link_port.h"
#include "station/spool_writer.h"
#include "station/station_event.h"

namespace drvvzt {

class EventDispatch {
public:
  // link is nullptr when there is no server link thread (SendT8 off). in_flight
  // is shared with the server link and spool forwarding.
  EventDispatch(ServerLinkPort* link, bool not_send_to_disk, SpoolWriter& spool,
                InFlightFiles& in_flight);

  void DispatchEvent(const TStationEvent& event);

private:
  void SendLive(const StationEventBytes& record);
  // True when the whole in-memory backlog was taken by the server.
  bool ForwardBacklog();

  ServerLinkPort* const link_;
  const bool not_send_to_disk_;
  SpoolWriter& spool_;
  InFlightFiles& in_flight_;
};

}  // namespace drvvzt
