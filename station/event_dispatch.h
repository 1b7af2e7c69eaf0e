// Where a freshly decoded station event goes: to the message server while the
// link is up, otherwise to a spool file (or nowhere under NotSendToDiskT8).
//
// Not thread-safe by itself: one EventDispatch is driven by the user-interface
// thread. The SpoolWriter and ServerLinkPort it uses are thread-safe.
#pragma once

#include "station/server_link_port.h"
#include "station/spool_writer.h"
#include "station/station_event.h"

namespace drvvzt {

class EventDispatch {
public:
  // link is nullptr when there is no server link thread (SendT8 off).
  EventDispatch(ServerLinkPort* link, bool not_send_to_disk, SpoolWriter& spool);

  // Link up: the records held in memory go to the server first (oldest first,
  // until the queue refuses one), then this record; a record the queue refuses
  // is spooled. Link down or absent: spooled, or dropped under NotSendToDiskT8.
  void DispatchEvent(const TStationEvent& event);

private:
  // True when the whole backlog was taken by the server.
  bool ForwardBacklog();

  ServerLinkPort* const link_;
  const bool not_send_to_disk_;
  SpoolWriter& spool_;
};

}  // namespace drvvzt
