// Reading a raw packet log ("drvvzt.log") back: the driver appends every serial
// delivery byte for byte with no separator, so the log is cut into 38-byte
// packets from its start; what is left at the end is a fragment. A fragment in
// the middle of the log (a delivery the serial layer passed on short after its
// timeout) shifts the blocks after it, which then show up as packets that make
// no sense — the decoder says so when a block does not look like a packet.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "station/packet_decoder.h"

namespace drvvzt {

struct RawLogItem {
  std::size_t offset = 0;       // byte offset in the log
  std::string bytes;
  bool fragment = false;        // fewer than 38 bytes
  bool acknowledged = false;    // a packet whose offset 2 is not '0'
  std::optional<TStationEvent> event;  // decoded as the driver would
};

// The decoder settings of the driver whose working directory is dir: FirstNumber
// and Razdel from [main] of dir's "drvvzt.ini" (defaults 4 and off); [Razdels]
// is read from the same file for every packet.
DecoderSettings DecoderSettingsForDirectory(const std::string& dir);

std::vector<RawLogItem> DecodeRawLog(const std::string& content, const DecoderSettings& settings);

// Non-printable bytes as \xNN.
std::string PrintableBytes(const std::string& bytes);

std::string DescribeRawLogItem(const RawLogItem& item);

}  // namespace drvvzt
