// Stand-ins for what the server link talks to: a host with fixed handshake
// facts, and LinkReports that records everything the link reports.
//
// Thread-safe: the link's thread reports while the test reads.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "server/link_host.h"
#include "server/link_reports.h"
#include "server/wire_format.h"

namespace drvvzt::testing {

class FixedHost final : public LinkHost {
public:
  FixedHost(std::string com_port = "COM1", bool port_open = true, int first_number = 4)
      : com_port_(std::move(com_port)), port_open_(port_open), first_number_(first_number) {}
  std::string ComPort() override { return com_port_; }
  bool PortOpen() override { return port_open_; }
  int FirstNumber() override { return first_number_; }

private:
  const std::string com_port_;
  const bool port_open_;
  const int first_number_;
};

class RecordingReports final : public LinkReports {
public:
  // Passed on after recording, e.g. to a spool forwarder.
  std::function<void()> on_connected;
  std::function<void(const std::string&, SpoolFate)> on_settled;
  // What SpoolRecord answers.
  bool spool_result = true;

  void LogLine(const std::string& line) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
  }
  void StepServerTick(LinkState state) override {
    std::lock_guard lock(mutex_);
    states_.push_back(state);
  }
  void Connected() override {
    {
      std::lock_guard lock(mutex_);
      ++connected_;
    }
    if (on_connected) on_connected();
  }
  void MessageWritten(std::uint32_t msg_type, std::uint64_t sequence) override {
    {
      std::lock_guard lock(mutex_);
      written_.emplace_back(msg_type, sequence);
    }
    changed_.notify_all();
  }
  void SpoolFileSettled(const std::string& path, SpoolFate fate) override {
    {
      std::lock_guard lock(mutex_);
      fates_.emplace_back(path, fate);
    }
    if (on_settled) on_settled(path, fate);
  }
  bool SpoolRecord(std::span<const std::uint8_t> record) override {
    std::lock_guard lock(mutex_);
    spooled_.emplace_back(record.begin(), record.end());
    return spool_result;
  }

  // Log lines ending with text (the link puts the date and time in front).
  int Count(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(),
                                          [&](const std::string& line) { return line.ends_with(text); }));
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<LinkState> States() const {
    std::lock_guard lock(mutex_);
    return states_;
  }
  int ConnectedCount() const {
    std::lock_guard lock(mutex_);
    return connected_;
  }
  std::vector<std::pair<std::uint32_t, std::uint64_t>> Written() const {
    std::lock_guard lock(mutex_);
    return written_;
  }
  // Waits until at least count messages were written; false on timeout.
  bool WaitForWritten(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return written_.size() >= count; });
  }
  std::vector<std::pair<std::string, SpoolFate>> Fates() const {
    std::lock_guard lock(mutex_);
    return fates_;
  }
  std::vector<Bytes> Spooled() const {
    std::lock_guard lock(mutex_);
    return spooled_;
  }
  void ClearSpooled() {
    std::lock_guard lock(mutex_);
    spooled_.clear();
  }

private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::vector<LinkState> states_;
  int connected_ = 0;
  std::vector<std::pair<std::uint32_t, std::uint64_t>> written_;
  std::vector<std::pair<std::string, SpoolFate>> fates_;
  std::vector<Bytes> spooled_;
};

}  // namespace drvvzt::testing
