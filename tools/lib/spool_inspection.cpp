#include "tools/lib/spool_inspection.h"

#include <cstdio>
#include <sstream>

#include "station/spool_store.h"
#include "tools/lib/event_text.h"

namespace drvvzt {

void InspectSpoolBytes(const std::string& bytes, SpoolEntry& entry) {
  entry.size = bytes.size();
  const std::optional<SpoolMessage> message = ParseSpoolFile(bytes);
  if (!message) {
    entry.problem = "shorter than the " + std::to_string(kSpoolTypeSize) + "-byte message type";
    return;
  }
  entry.msg_type = message->type;
  if (message->body.size() == kStationEventSize) entry.event = DecodeStationEvent(message->body);
  if (*entry.msg_type != mtStationEvent) {
    entry.problem = "message type is not a station event";
  } else if (!entry.event) {
    entry.problem = "body is " + std::to_string(message->body.size()) + " bytes, not " +
                    std::to_string(kStationEventSize);
  } else if (entry.event->Kind != kStationEventKind) {
    entry.problem = "record kind is not 15";
  }
}

std::optional<std::vector<SpoolEntry>> InspectSpoolDirectory(const std::string& dir,
                                                             std::string* error) {
  const SpoolStore store(dir.empty() ? std::string() : dir + "/");
  std::vector<SpoolFile> files;
  if (const SysError listing = store.List(files, {SpoolFileKind::kWaiting, SpoolFileKind::kSetAside});
      !listing.ok()) {
    if (error) *error = listing.Text();
    return std::nullopt;
  }
  std::vector<SpoolEntry> entries;
  for (const SpoolFile& file : files) {
    SpoolEntry entry;
    entry.name = file.name;
    entry.set_aside = file.kind == SpoolFileKind::kSetAside;
    entry.mtime_ns = file.mtime_ns;
    std::string bytes;
    if (!store.ReadBytes(file.path, bytes).ok()) {
      entry.size = file.size;
      entry.problem = "cannot be read";
    } else {
      InspectSpoolBytes(bytes, entry);
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::string DescribeSpoolEntry(const SpoolEntry& entry) {
  std::ostringstream out;
  out << entry.name << (entry.set_aside ? " [set aside]" : "") << " " << entry.size << " bytes";
  if (entry.event) out << " " << DescribeStationEvent(*entry.event);
  if (entry.msg_type && *entry.msg_type != mtStationEvent) {
    char type[16];
    std::snprintf(type, sizeof type, "0x%08X", *entry.msg_type);
    out << " type=" << type;
  }
  if (!entry.problem.empty()) out << "  NOT WELL-FORMED: " << entry.problem;
  return out.str();
}

}  // namespace drvvzt
