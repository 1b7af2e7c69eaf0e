// The station's end of a serial line: a real device opened raw at 9600 bit/s
// 8N1, or the master of a pseudo-terminal pair made here, whose slave path the
// driver opens. Single-threaded.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace drvvzt::tools {

class StationLine {
public:
  StationLine() = default;
  ~StationLine();
  StationLine(const StationLine&) = delete;
  StationLine& operator=(const StationLine&) = delete;

  bool OpenDevice(const std::string& path, std::string& error);
  // Makes a pseudo-terminal pair; slave_path is what the driver should open.
  bool CreatePty(std::string& slave_path, std::string& error);
  bool IsPty() const { return is_pty_; }

  // Pseudo-terminal only: true once somebody holds the slave open.
  bool PeerPresent() const;
  // Writes every byte; when paced, one byte per character time (10 bits at
  // 9600 bit/s). Reads arriving meanwhile are left queued. False when the
  // line failed or stop was raised.
  bool Write(const std::uint8_t* data, std::size_t size, bool paced,
             const std::atomic<bool>& stop);
  // Waits up to timeout_ms for bytes and reads what is there: the count,
  // 0 when nothing came, -1 when the other end has gone.
  long Read(std::uint8_t* buffer, std::size_t size, int timeout_ms);

private:
  int fd_ = -1;
  bool is_pty_ = false;
};

}  // namespace drvvzt::tools
