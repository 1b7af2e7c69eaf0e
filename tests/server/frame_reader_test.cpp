// ReceiveFrame against a scripted byte stream: header checks, bounded body
// requests resumed after short reads, and giving up on hostile or stalled peers.
#include "server/frame_reader.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "tests/support/fake_clock.h"

namespace drvvzt {
namespace {

using testing::FakeTickClock;

// Serves queued bytes. Each request may be cut short by the next scripted step
// (deliver at most `limit` bytes, then report `status`, and let time pass);
// without a step, a request that runs out of bytes reports the peer closing.
class ScriptedStream final : public ByteStream {
public:
  struct Step {
    std::size_t limit;
    ReadStatus status;
    std::uint32_t elapse_ms = 0;
  };

  explicit ScriptedStream(FakeTickClock& clock) : clock_(clock) {}

  void Feed(const Bytes& bytes) { data_.insert(data_.end(), bytes.begin(), bytes.end()); }
  void Script(std::vector<Step> steps) { steps_.assign(steps.begin(), steps.end()); }

  void SetReadTimeout(int milliseconds) override { timeout_ms = milliseconds; }

  ReadResult ReadExact(std::span<std::uint8_t> buf) override {
    requests.push_back(buf.size());
    std::size_t limit = buf.size();
    ReadStatus short_status = ReadStatus::kClosed;
    if (!steps_.empty()) {
      const Step step = steps_.front();
      steps_.pop_front();
      clock_.Advance(step.elapse_ms);
      if (step.limit < limit) {
        limit = step.limit;
        short_status = step.status;
      }
    }
    const std::size_t n = std::min(limit, data_.size());
    for (std::size_t i = 0; i < n; ++i) {
      buf[i] = data_.front();
      data_.pop_front();
    }
    return {n, n == buf.size() ? ReadStatus::kOk : short_status};
  }

  std::size_t Remaining() const { return data_.size(); }

  int timeout_ms = -1;
  std::vector<std::size_t> requests;

private:
  FakeTickClock& clock_;
  std::deque<std::uint8_t> data_;
  std::deque<Step> steps_;
};

Bytes Header(std::uint8_t marker, std::int32_t length, std::int32_t copy) {
  TTransportHeader header;
  header.Marker = marker;
  header.FrameLength = length;
  header.FrameLengthCopy = copy;
  const auto bytes = EncodeTransportHeader(header);
  return Bytes(bytes.begin(), bytes.end());
}

Bytes Pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

class FrameReaderTest : public ::testing::Test {
protected:
  FakeTickClock clock{5000};
  ScriptedStream stream{clock};
};

TEST_F(FrameReaderTest, ReadsOneFrameAndLeavesTheNextInTheStream) {
  const Bytes message = BuildMessage(mtAccepted, 9, Bytes{1, 2, 3});
  stream.Feed(EncodeFrame(message));
  stream.Feed(EncodeFrame(PollMessage()));

  EXPECT_EQ(ReceiveFrame(stream, clock), message);
  EXPECT_EQ(stream.timeout_ms, 1000);
  EXPECT_EQ(stream.Remaining(), 39u);
  EXPECT_EQ(ReceiveFrame(stream, clock), PollMessage());
}

TEST_F(FrameReaderTest, AltMarkerIsAcceptedAndLengthCopyIgnored) {
  const Bytes message = BuildMessage(mtSpoolAck, 1, {});
  stream.Feed(Header(0xF0, static_cast<std::int32_t>(message.size()), 5000));
  stream.Feed(message);
  EXPECT_EQ(ReceiveFrame(stream, clock), message);
  EXPECT_EQ(stream.Remaining(), 0u);
}

TEST_F(FrameReaderTest, BadMarkerConsumesOnlyTheTransportHeader) {
  const Bytes message = BuildMessage(mtPing, 0, {});
  Bytes bad = EncodeFrame(message);
  bad[0] = 0xFE;
  stream.Feed(bad);
  stream.Feed(EncodeFrame(message));

  EXPECT_TRUE(ReceiveFrame(stream, clock).empty());
  EXPECT_EQ(stream.requests, (std::vector<std::size_t>{21}));
  EXPECT_EQ(stream.Remaining(), message.size() + 39);
}

TEST_F(FrameReaderTest, LargeBodyIsRequestedInPiecesOfAtMost50000) {
  const Bytes body = Pattern(120000);
  stream.Feed(Header(0xFF, 120000, 120000));
  stream.Feed(body);
  EXPECT_EQ(ReceiveFrame(stream, clock), body);
  EXPECT_EQ(stream.requests, (std::vector<std::size_t>{21, 50000, 50000, 20000}));
}

TEST_F(FrameReaderTest, ShortReadIsResumedAtTheFillPosition) {
  const Bytes body = Pattern(120000);
  stream.Feed(Header(0xFF, 120000, 120000));
  stream.Feed(body);
  stream.Script({{21, ReadStatus::kOk},
                 {50000, ReadStatus::kOk},
                 {30000, ReadStatus::kTimeout, 1000},
                 {0, ReadStatus::kTimeout, 600},
                 {40000, ReadStatus::kOk}});
  EXPECT_EQ(ReceiveFrame(stream, clock), body);
  EXPECT_EQ(stream.requests, (std::vector<std::size_t>{21, 50000, 50000, 40000, 40000}));
}

TEST_F(FrameReaderTest, SlowButSteadyBodyIsCollected) {
  const Bytes body = Pattern(6);
  stream.Feed(Header(0xFF, 6, 6));
  stream.Feed(body);
  std::vector<ScriptedStream::Step> steps{{21, ReadStatus::kOk}};
  for (int i = 0; i < 6; ++i) steps.push_back({1, ReadStatus::kTimeout, 999});
  stream.Script(steps);
  EXPECT_EQ(ReceiveFrame(stream, clock), body);
}

TEST_F(FrameReaderTest, HostileOrBrokenInputFailsWithEmptyResult) {
  struct Case {
    const char* what;
    Bytes input;
    std::vector<ScriptedStream::Step> script;
    std::size_t max_requests;
  };
  Bytes truncated = Header(0xFF, 18, 18);
  truncated.resize(10);
  const Bytes body = Pattern(100);
  Bytes half_body = Header(0xFF, 100, 100);
  half_body.insert(half_body.end(), body.begin(), body.begin() + 50);
  Bytes full_body = Header(0xFF, 100, 100);
  full_body.insert(full_body.end(), body.begin(), body.end());

  const Case cases[] = {
      {"truncated header, then closed", truncated, {}, 1},
      {"header timed out", Header(0xFF, 18, 18), {{5, ReadStatus::kTimeout}}, 1},
      {"zero length", Header(0xFF, 0, 0), {}, 1},
      {"negative length", Header(0xFF, -1, -1), {}, 1},
      {"huge length", Header(0xFF, 0x7FFFFFFF, 0x7FFFFFFF), {}, 1},
      {"just above 1 MiB", Header(0xFF, (1 << 20) + 1, 0), {}, 1},
      {"body cut by close", half_body, {}, 2},
      {"body cut by reset", full_body, {{21, ReadStatus::kOk}, {10, ReadStatus::kError}}, 2},
      {"body stalls",
       half_body,
       {{21, ReadStatus::kOk}, {50, ReadStatus::kTimeout, 1000},
        {0, ReadStatus::kTimeout, 500}, {0, ReadStatus::kTimeout, 500}},
       4},
  };
  for (const Case& c : cases) {
    FakeTickClock clock{0xFFFFFF00u};  // the stall deadline must survive the tick wrap
    ScriptedStream s{clock};
    s.Feed(c.input);
    s.Script(c.script);
    EXPECT_TRUE(ReceiveFrame(s, clock).empty()) << c.what;
    EXPECT_LE(s.requests.size(), c.max_requests) << c.what;
  }
}

TEST_F(FrameReaderTest, ExactlyOneMebibyteIsAccepted) {
  const Bytes body = Pattern(1 << 20);
  stream.Feed(Header(0xFF, 1 << 20, 0));
  stream.Feed(body);
  EXPECT_EQ(ReceiveFrame(stream, clock).size(), body.size());
}

}  // namespace
}  // namespace drvvzt
