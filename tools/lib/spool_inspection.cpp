#include "tools/lib/spool_inspection.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "platform/bytes.h"
#include "tools/lib/event_text.h"

namespace drvvzt {
namespace {

namespace fs = std::filesystem;

}  // namespace

void InspectSpoolBytes(const std::string& bytes, SpoolEntry& entry) {
  entry.size = bytes.size();
  if (bytes.size() < 4) {
    entry.problem = "shorter than the 4-byte message type";
    return;
  }
  entry.msg_type = GetU32(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), 0);
  const std::string body = bytes.substr(4);
  if (body.size() == kStationEventSize) {
    entry.event = DecodeStationEvent(
        std::span(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
  }
  if (*entry.msg_type != mtStationEvent) {
    entry.problem = "message type is not a station event";
  } else if (!entry.event) {
    entry.problem = "body is " + std::to_string(body.size()) + " bytes, not 22";
  } else if (entry.event->Kind != kStationEventKind) {
    entry.problem = "record kind is not 15";
  }
}

std::optional<std::vector<SpoolEntry>> InspectSpoolDirectory(const std::string& dir,
                                                             std::string* error) {
  std::error_code ec;
  fs::directory_iterator it(dir.empty() ? "." : dir, ec);
  if (ec) {
    if (error) *error = "opendir " + dir + ": " + ec.message();
    return std::nullopt;
  }
  std::vector<SpoolEntry> entries;
  for (const auto& item : it) {
    const std::string name = item.path().filename().string();
    const bool bad = name.ends_with(".bad");
    if (!name.ends_with(".dd8") && !bad) continue;
    if (!item.is_regular_file(ec)) continue;
    SpoolEntry entry;
    entry.name = name;
    entry.set_aside = bad;
    entry.mtime_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         item.last_write_time(ec).time_since_epoch()).count();
    std::ifstream in(item.path(), std::ios::binary);
    if (!in) {
      entry.problem = "cannot be read";
    } else {
      InspectSpoolBytes({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()}, entry);
    }
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(), [](const SpoolEntry& a, const SpoolEntry& b) {
    return a.mtime_ns != b.mtime_ns ? a.mtime_ns < b.mtime_ns : a.name < b.name;
  });
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
