#include "tools/lib/event_text.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "platform/datetime.h"

namespace drvvzt {

std::string EventCodeText(const TEventCode& code) {
  const std::size_t n = std::min<std::size_t>(code.Length, code.Chars.size());
  std::string text(code.Chars.data(), n);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  }
  return text;
}

std::string DateTimeWithMilliseconds(double value) {
  const auto f = SplitDateTime(value);
  if (!f) return "invalid";
  char text[40];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d.%03d", f->day, f->month,
                f->year, f->hour, f->minute, f->second, f->millisecond);
  return text;
}

std::string DescribeStationEvent(const TStationEvent& event) {
  std::ostringstream out;
  out << "object=" << event.ObjectNumber << " code=\"" << EventCodeText(event.Code)
      << "\" zone=" << event.Zone << " digit3=" << static_cast<int>(event.Digit3)
      << " digit5=" << static_cast<int>(event.Digit5)
      << " time=" << DateTimeWithMilliseconds(event.Time);
  if (event.Kind != kStationEventKind) out << " kind=" << static_cast<int>(event.Kind);
  return out.str();
}

}  // namespace drvvzt
