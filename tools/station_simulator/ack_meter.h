// Matches the acknowledgements coming back from the driver to the packets
// sent, in order, and keeps their latency. Single-threaded.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace drvvzt::tools {

class AckMeter {
public:
  using Clock = std::chrono::steady_clock;

  // A packet expecting an acknowledgement left the line at `sent`.
  void Expect(Clock::time_point sent) { pending_.push_back(sent); }
  // Bytes read from the line at `now`.
  void Feed(const std::uint8_t* data, std::size_t size, Clock::time_point now);

  std::size_t Expected() const { return expected_total_ + pending_.size(); }
  std::size_t Acknowledged() const { return acknowledged_; }
  std::size_t Pending() const { return pending_.size(); }
  // Acknowledgements with no packet waiting for them.
  std::size_t Unexpected() const { return unexpected_; }
  // Bytes that were not part of an acknowledgement.
  std::size_t StrayBytes() const { return stray_; }
  // One line: counts and latency (ms) minimum, mean and maximum.
  std::string Summary(std::size_t packets_sent) const;

private:
  void Matched(Clock::time_point now);

  std::deque<Clock::time_point> pending_;
  std::string partial_;
  std::size_t expected_total_ = 0;
  std::size_t acknowledged_ = 0;
  std::size_t unexpected_ = 0;
  std::size_t stray_ = 0;
  double min_ms_ = 0, max_ms_ = 0, sum_ms_ = 0;
};

}  // namespace drvvzt::tools
