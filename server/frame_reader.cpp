// ReceiveFrame: transport header first, then the body in bounded requests that
// resume at the fill position after a short read.
#include "server/frame_reader.h"

#include <algorithm>

namespace drvvzt {
namespace {

// Collects the body into `message`, which is already sized. A timed-out request
// that brought bytes counts as progress and is followed by one for the rest.
bool ReadBody(ByteStream& stream, TickClock& clock, Bytes& message) {
  std::size_t filled = 0;
  std::uint32_t last_progress = clock.NowTick();
  while (filled < message.size()) {
    const std::size_t want = std::min(message.size() - filled, kBodyRequestMax);
    const ReadResult result = stream.ReadExact(std::span(message).subspan(filled, want));
    const std::size_t got = std::min(result.received, want);
    filled += got;
    if (result.status == ReadStatus::kOk) continue;
    if (result.status != ReadStatus::kTimeout) return false;
    const std::uint32_t now = clock.NowTick();
    if (got > 0) {
      last_progress = now;
    } else if (static_cast<std::uint32_t>(now - last_progress) >= kBodyStallMs) {
      return false;
    }
  }
  return true;
}

}  // namespace

Bytes ReceiveFrame(ByteStream& stream, TickClock& clock, bool* unexpected) {
  if (unexpected != nullptr) *unexpected = false;
  stream.SetReadTimeout(kReplyReadTimeoutMs);
  TransportHeaderBytes head{};
  const ReadResult header_read = stream.ReadExact(head);
  if (header_read.status != ReadStatus::kOk || header_read.received != head.size()) return {};
  const TTransportHeader header = DecodeTransportHeader(head);
  if (!IsFrameMarker(header.Marker)) return {};
  if (header.FrameLength < 0 && unexpected != nullptr) *unexpected = true;
  if (header.FrameLength <= 0 || header.FrameLength > kMaxFrameLength) return {};
  Bytes message(static_cast<std::size_t>(header.FrameLength));
  if (!ReadBody(stream, clock, message)) return {};
  return message;
}

}  // namespace drvvzt
