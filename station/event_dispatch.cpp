// Dispatch of one station event.
#include "station/event_dispatch.h"

#include <vector>

namespace drvvzt {

EventDispatch::EventDispatch(ServerLinkPort* link, bool not_send_to_disk, SpoolWriter& spool,
                             InFlightFiles& in_flight)
    : link_(link), not_send_to_disk_(not_send_to_disk), spool_(spool), in_flight_(in_flight) {}

void EventDispatch::DispatchEvent(const TStationEvent& event) {
  const StationEventBytes record = EncodeStationEvent(event);
  if (link_ != nullptr && link_->IsLinkUp()) {
    SendLive(record);
    return;
  }
  if (not_send_to_disk_) return;
  spool_.Spool(record);
}

void EventDispatch::SendLive(const StationEventBytes& record) {
  // Records the disk refused earlier go to disk now if it takes them; they are
  // older than this one.
  if (spool_.BacklogSize() > 0) spool_.FlushBacklog();
  {
    // The forwarder must not take the new file for a forgotten one before the
    // link has it.
    auto hold = in_flight_.Hold();
    if (const std::optional<std::string> path = spool_.WriteAhead(record)) {
      // A full queue leaves the file to spool forwarding.
      link_->PutStationEvent(record, *path);
      return;
    }
  }
  // Nothing on disk takes it: the server is the only place left. A refused
  // message must not jump ahead of records already waiting in memory.
  if (ForwardBacklog() && link_->PutStationEvent(record, "")) return;
  spool_.Spool(record);
}

bool EventDispatch::ForwardBacklog() {
  if (spool_.BacklogSize() == 0) return true;
  std::vector<StationEventBytes> backlog = spool_.TakeBacklog();
  std::size_t sent = 0;
  while (sent < backlog.size() && link_->PutStationEvent(backlog[sent], "")) ++sent;
  if (sent == backlog.size()) return true;
  spool_.ReturnToBacklog(std::span(backlog).subspan(sent));
  return false;
}

}  // namespace drvvzt
