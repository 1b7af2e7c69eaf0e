// The spool writer as the link's place for unanswered records; see link_reports.h.
#include "server/link_reports.h"

#include <algorithm>

namespace drvvzt {

bool SpoolRecordTo(SpoolWriter& writer, std::span<const std::uint8_t> record) {
  if (record.size() != kStationEventSize) return false;
  StationEventBytes bytes{};
  std::copy(record.begin(), record.end(), bytes.begin());
  return writer.Spool(bytes);
}

}  // namespace drvvzt
