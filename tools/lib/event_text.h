// Readable text for station event records, shared by the tools.
#pragma once

#include <string>

#include "station/station_event.h"

namespace drvvzt {

// The significant characters of an event code ("0320", "700").
std::string EventCodeText(const TEventCode& code);

// "object=40161 code="0320" zone=10 digit3=1 digit5=2 time=05.12.2026 10:20:30.456"
std::string DescribeStationEvent(const TStationEvent& event);

// A date-time value as "dd.MM.yyyy HH:mm:ss.zzz" ("invalid" when it is none).
std::string DateTimeWithMilliseconds(double value);

}  // namespace drvvzt
