#include "core/station_chain.h"

#include <utility>

namespace drvvzt {

StationChain::StationChain(StationChainSetup setup, DateTimeClock& clock)
    : setup_(std::move(setup)),
      clock_(clock),
      spool_(std::make_unique<SpoolWriter>(setup_.settings.PathForSoob, setup_.start_dir, clock)) {
  spool_->SetRescueDirectory(setup_.start_dir + "/" + kRescueDirName + "/");
  spool_->RecoverLeftovers();
}

void StationChain::Connect(ServerLinkPort* link) {
  dispatch_ = std::make_unique<EventDispatch>(link, setup_.settings.NotSendToDiskT8, *spool_, in_flight_);
  PacketHandlerSettings handler_settings;
  handler_settings.Log = setup_.settings.Log;
  handler_settings.FirstNumber = setup_.settings.FirstNumber;
  handler_settings.Razdel = setup_.settings.Razdel;
  handler_settings.StartDir = setup_.start_dir;
  handler_settings.Ini = setup_.ini;
  handler_ = std::make_unique<PacketHandler>(handler_settings, clock_, setup_.send, setup_.redraw_station,
                                             *dispatch_);
}

}  // namespace drvvzt
