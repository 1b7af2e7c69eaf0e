// A pseudo-terminal pair standing in for a serial line: the slave path is the
// "device" the code under test opens, the master is the station's end.
// Both ends are raw. Not thread-safe; use from the test's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace drvvzt::testing {

class PtyPair {
public:
  // Fails the current test (ADD_FAILURE) when no pair can be made.
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0; }
  const std::string& slave_path() const { return slave_path_; }
  int master_fd() const { return master_; }

  // Writes all bytes to the master, as the station would send them.
  bool WriteMaster(std::string_view bytes);
  bool WriteMaster(const std::uint8_t* data, std::size_t size);
  // Reads from the master until count bytes came or timeout_ms passed.
  std::string ReadMaster(std::size_t count, int timeout_ms);
  // Everything the master can read right now, waiting at most timeout_ms
  // for the first byte.
  std::string DrainMaster(int timeout_ms);
  // Waits until the slave side has at least count bytes queued for reading
  // (the pty moves written bytes across asynchronously).
  bool WaitSlaveQueued(std::size_t count, int timeout_ms);
  // Bytes queued on the slave side for reading right now.
  std::size_t SlaveQueued() const;
  // The device vanishes: the slave's reads and writes fail from now on.
  void CloseMaster();
  // Points the symbolic link link_path at this pair's slave, replacing what
  // it pointed at in one step, as udev moves a /dev/serial/by-id/ name to the
  // adapter's new device.
  bool LinkAt(const std::string& link_path) const;

private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

}  // namespace drvvzt::testing
