// Reading one frame from the message server's connection. Called only by the
// server link thread; not meant for concurrent use of the same stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/clock.h"
#include "server/byte_stream.h"
#include "server/wire_format.h"

namespace drvvzt {

// Largest message a frame may announce; a longer (or negative) FrameLength fails
// the read before anything is allocated for it.
inline constexpr std::int32_t kMaxFrameLength = 1 << 20;
// Largest single request for body bytes.
inline constexpr std::size_t kBodyRequestMax = 50000;
// Per-wait read timeout, and how long a body may stall before the read gives up.
inline constexpr int kReplyReadTimeoutMs = 1000;
inline constexpr std::uint32_t kBodyStallMs = 1000;

// Reads one frame and returns its message (header and body, FrameLength bytes),
// or an empty buffer when the read failed: the transport header did not arrive
// whole, its marker is neither 0xFF nor 0xF0, FrameLength is 0, negative or above
// kMaxFrameLength, or the body stopped arriving (the connection closed or failed,
// or kBodyStallMs passed on `clock` without a byte). After a bad marker only the
// 21 header bytes have been consumed. Validity of the message itself is the
// caller's business (IsValidMessage). A negative FrameLength is no timing or
// connection fault but a broken peer: `unexpected`, when given, is set then.
Bytes ReceiveFrame(ByteStream& stream, TickClock& clock, bool* unexpected = nullptr);

}  // namespace drvvzt
