// Fuzz target: frames read from arbitrary bytes, as if the message server had
// sent them. The first input byte picks how the stream ends (closed, or waits
// that time out while the clock runs on); the rest is the byte stream. Frames
// are read until the stream is exhausted; every frame returned must be exactly
// the bytes its transport header announced.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "platform/clock.h"
#include "server/byte_stream.h"
#include "server/frame_reader.h"
#include "server/wire_format.h"

namespace {

using namespace drvvzt;

class SteppingTick final : public TickClock {
public:
  std::uint32_t now = 0xFFFFF000u;  // close to the wrap
  std::uint32_t NowTick() override { return now; }
};

// Serves the input; a request that runs past its end gets what is left and
// `end` (timeouts advance the clock, as the real waits would).
class InputStream final : public ByteStream {
public:
  InputStream(std::span<const std::uint8_t> input, ReadStatus end, SteppingTick& tick)
      : input_(input), end_(end), tick_(tick) {}
  void SetReadTimeout(int milliseconds) override {
    if (milliseconds <= 0) std::abort();
  }
  ReadResult ReadExact(std::span<std::uint8_t> buf) override {
    ++requests_;
    if (requests_ > 1000000) std::abort();  // the reader must not spin forever
    const std::size_t left = input_.size() - pos_;
    const std::size_t n = std::min(buf.size(), left);
    std::memcpy(buf.data(), input_.data() + pos_, n);
    pos_ += n;
    if (n == buf.size()) return {n, ReadStatus::kOk};
    if (end_ == ReadStatus::kTimeout) tick_.now += 400;
    return {n, end_};
  }
  std::size_t pos() const { return pos_; }
  bool exhausted() const { return pos_ == input_.size(); }

private:
  std::span<const std::uint8_t> input_;
  ReadStatus end_;
  SteppingTick& tick_;
  std::size_t pos_ = 0;
  std::size_t requests_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t mode = data[0];
  const std::span<const std::uint8_t> input(data + 1, size - 1);
  static constexpr ReadStatus kEnds[] = {ReadStatus::kClosed, ReadStatus::kTimeout,
                                         ReadStatus::kError, ReadStatus::kTimeout};
  SteppingTick tick;
  tick.now -= mode;
  InputStream stream(input, kEnds[mode & 3], tick);

  for (int frames = 0; frames < 10000 && !stream.exhausted(); ++frames) {
    const std::size_t start = stream.pos();
    const Bytes message = ReceiveFrame(stream, tick);
    if (message.empty()) {
      // A failed read consumed at least something, or there was nothing left.
      if (stream.pos() == start && !stream.exhausted()) std::abort();
      continue;
    }
    // The frame is the announced length of bytes right after its 21-byte header.
    if (stream.pos() - start != kTransportHeaderSize + message.size()) std::abort();
    if (message.size() > static_cast<std::size_t>(kMaxFrameLength)) std::abort();
    if (std::memcmp(message.data(), input.data() + start + kTransportHeaderSize,
                    message.size()) != 0)
      std::abort();
    if (IsValidMessage(message)) {
      const auto header = DecodeMessageHeader(message);
      if (!header) std::abort();
      const Bytes body = ReceivedBody(message);
      if (body.size() > message.size() - kMessageHeaderSize) std::abort();
      (void)MessageTypeName(header->MsgType);
    }
  }
  return 0;
}
