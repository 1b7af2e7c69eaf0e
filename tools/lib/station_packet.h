// The tools' names for the station packet builder, which lives with the packet
// layout in station/station_packet.h.
#pragma once

#include "station/station_packet.h"

namespace drvvzt::tools {

using drvvzt::BuildStationPacket;
using drvvzt::kAcknowledgement;
using drvvzt::StationPacket;
using drvvzt::StationPacketFields;
using drvvzt::StationPacketText;

}  // namespace drvvzt::tools
