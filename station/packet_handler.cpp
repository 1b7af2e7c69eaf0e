// One serial delivery from the station, from raw bytes to a dispatched record.
#include "station/packet_handler.h"

#include <span>

#include "platform/durable_file.h"
#include "platform/error_log.h"

namespace drvvzt {
namespace {

DecoderSettings DecoderSettingsFor(const PacketHandlerSettings& settings) {
  std::shared_ptr<IniSnapshot> ini = settings.Ini;
  if (!ini) ini = std::make_shared<IniSnapshot>(IniPathIn(settings.StartDir));
  return DecoderSettings{settings.FirstNumber, settings.Razdel, std::move(ini)};
}

}  // namespace

PacketHandler::PacketHandler(PacketHandlerSettings settings, DateTimeClock& clock,
                             SendFunction send, RedrawFunction redraw_station_indicator,
                             EventDispatch& dispatch)
    : settings_(std::move(settings)),
      decoder_(DecoderSettingsFor(settings_)),
      clock_(clock),
      send_(std::move(send)),
      redraw_(std::move(redraw_station_indicator)),
      dispatch_(dispatch) {}

void PacketHandler::SerialPort1ReceivePacket(const std::uint8_t* packet, std::uint32_t size) {
  if (packet == nullptr || size == 0) return;
  if (settings_.Log) AppendRawLog(packet, size);
  if (size != kPacketSize) return;

  last_packet_time_ = clock_.Now();
  if (++station_tick_ > kIndicatorTickLimit) station_tick_ = 0;
  if (redraw_) redraw_();

  if (packet[kAckFlagOffset] == '0') return;
  // The station gets its acknowledgement whatever becomes of the record; a
  // short write is not repeated.
  if (send_)
    send_(reinterpret_cast<const std::uint8_t*>(kAcknowledgement.data()),
          static_cast<std::uint32_t>(kAcknowledgement.size()));

  current_ = DecodePacket(std::span<const std::uint8_t, kPacketSize>(packet, kPacketSize),
                          decoder_, clock_.Now());
  dispatch_.DispatchEvent(current_);
}

void PacketHandler::AppendRawLog(const std::uint8_t* packet, std::uint32_t size) {
  const std::string path =
      settings_.StartDir.empty() ? "drvvzt.log" : settings_.StartDir + "/drvvzt.log";
  if (AppendToFile(path, std::span(packet, size))) {
    raw_log_failing_ = false;
    return;
  }
  // The raw log is a diagnostic aid: losing it must not cost an alarm.
  if (!raw_log_failing_) {
    raw_log_failing_ = true;
    WriteErrorLog(settings_.StartDir, kErrorRawLog);
  }
}

}  // namespace drvvzt
