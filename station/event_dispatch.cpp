// Dispatch of one station event.
#include "station/event_dispatch.h"

#include <vector>

namespace drvvzt {

EventDispatch::EventDispatch(ServerLinkPort* link, bool not_send_to_disk, SpoolWriter& spool)
    : link_(link), not_send_to_disk_(not_send_to_disk), spool_(spool) {}

void EventDispatch::DispatchEvent(const TStationEvent& event) {
  const StationEventBytes record = EncodeStationEvent(event);
  if (link_ != nullptr && link_->IsLinkUp()) {
    // A refused message must not jump ahead of records already waiting: when
    // the backlog does not go through, this record is spooled behind it.
    if (ForwardBacklog() && link_->PutMessage(mtStationEvent, record)) return;
    spool_.Spool(record);
    return;
  }
  if (not_send_to_disk_) return;
  spool_.Spool(record);
}

bool EventDispatch::ForwardBacklog() {
  if (spool_.BacklogSize() == 0) return true;
  std::vector<StationEventBytes> backlog = spool_.TakeBacklog();
  std::size_t sent = 0;
  while (sent < backlog.size() && link_->PutMessage(mtStationEvent, backlog[sent])) ++sent;
  if (sent == backlog.size()) return true;
  spool_.ReturnToBacklog(std::span(backlog).subspan(sent));
  return false;
}

}  // namespace drvvzt
