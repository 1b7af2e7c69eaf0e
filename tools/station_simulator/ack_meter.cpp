// Acknowledgement matching and latency figures.
#include "tools/station_simulator/ack_meter.h"

#include <algorithm>
#include <cstdio>

#include "station/station_packet.h"

namespace drvvzt::tools {

void AckMeter::Feed(const std::uint8_t* data, std::size_t size, Clock::time_point now) {
  partial_.append(reinterpret_cast<const char*>(data), size);
  const std::string_view ack = kAcknowledgement;
  std::size_t pos = 0;
  while (partial_.size() - pos >= ack.size()) {
    if (std::string_view(partial_).substr(pos, ack.size()) == ack) {
      Matched(now);
      pos += ack.size();
    } else {
      ++stray_;
      ++pos;
    }
  }
  // Keep a tail that may still become an acknowledgement.
  while (pos < partial_.size() &&
         ack.substr(0, partial_.size() - pos) != std::string_view(partial_).substr(pos)) {
    ++stray_;
    ++pos;
  }
  partial_.erase(0, pos);
}

void AckMeter::Matched(Clock::time_point now) {
  if (pending_.empty()) {
    ++unexpected_;
    return;
  }
  double ms = std::chrono::duration<double, std::milli>(now - pending_.front()).count();
  pending_.pop_front();
  ++expected_total_;
  min_ms_ = acknowledged_ == 0 ? ms : std::min(min_ms_, ms);
  max_ms_ = std::max(max_ms_, ms);
  sum_ms_ += ms;
  ++acknowledged_;
}

std::string AckMeter::Summary(std::size_t packets_sent) const {
  char line[256];
  double mean = acknowledged_ ? sum_ms_ / static_cast<double>(acknowledged_) : 0.0;
  std::snprintf(line, sizeof line,
                "sent %zu packets, %zu expecting an acknowledgement; acknowledged %zu, "
                "missing %zu, unexpected %zu, stray bytes %zu; latency ms min %.2f mean %.2f "
                "max %.2f",
                packets_sent, Expected(), acknowledged_, pending_.size(), unexpected_, stray_,
                min_ms_, mean, max_ms_);
  return line;
}

}  // namespace drvvzt::tools
