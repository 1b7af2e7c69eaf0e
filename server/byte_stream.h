// The byte source a frame is read from. The link thread adapts its TCP client to
// it; tests feed scripted bytes through it. Implementations are used by one
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace drvvzt {

enum class ReadStatus {
  kOk,       // the whole request arrived
  kTimeout,  // a wait for more bytes ran out
  kClosed,   // the peer closed the connection
  kError,    // the connection failed (reset, not connected, ...)
};

struct ReadResult {
  std::size_t received = 0;  // bytes placed at the start of the buffer
  ReadStatus status = ReadStatus::kOk;
};

class ByteStream {
public:
  virtual ~ByteStream() = default;
  // Every wait for further bytes gives up after this many milliseconds without
  // data; the wait restarts whenever data arrive.
  virtual void SetReadTimeout(int milliseconds) = 0;
  // Reads exactly buf.size() bytes. On failure, the bytes that did arrive are in
  // buf[0, received) and must not be lost by the caller.
  virtual ReadResult ReadExact(std::span<std::uint8_t> buf) = 0;
};

}  // namespace drvvzt
