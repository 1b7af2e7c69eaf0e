// Where records go: server queue, spool file, or nowhere.
#include "station/event_dispatch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "platform/datetime.h"
#include "platform/durable_file.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

namespace fs = std::filesystem;

class FakeLink final : public ServerLinkPort {
public:
  bool IsLinkUp() const override { return up; }
  bool PutMessage(std::uint32_t type, std::span<const std::uint8_t> body) override {
    return PutStationEvent(body, "") && (types.back() = type, true);
  }
  bool PutStationEvent(std::span<const std::uint8_t> record, const std::string& path) override {
    if (accept == 0) return false;
    --accept;
    types.push_back(mtStationEvent);
    bodies.emplace_back(record.begin(), record.end());
    paths.push_back(path);
    return true;
  }
  bool up = true;
  int accept = 1000;
  std::vector<std::uint32_t> types;
  std::vector<std::vector<std::uint8_t>> bodies;
  std::vector<std::string> paths;  // the write-ahead file of each event, "" when none
};

TStationEvent Event(std::int32_t object) {
  TStationEvent e;
  e.ObjectNumber = object;
  return e;
}

std::vector<std::uint8_t> Bytes(std::int32_t object) {
  const auto b = EncodeStationEvent(Event(object));
  return {b.begin(), b.end()};
}

class DispatchTest : public ::testing::Test {
protected:
  std::size_t SpoolFiles() const {
    std::size_t n = 0;
    for (const auto& entry : fs::directory_iterator(dir.path() / "spool")) n += entry.path().extension() == ".dd8";
    return n;
  }
  testing::TempDir dir;
  testing::FakeDateTimeClock clock{EncodeDateTime({2026, 3, 5, 10, 20, 30, 456})};
  SpoolWriter spool{dir.path().string() + "/spool/", dir.path().string(), clock};
  InFlightFiles in_flight;
  FakeLink link;
};

// With the link up the record is on disk before it is queued, and the queue
// learns which file holds it.
TEST_F(DispatchTest, LinkUpWritesAheadThenQueuesWithTheFile) {
  for (bool not_send_to_disk : {false, true}) {
    SCOPED_TRACE(not_send_to_disk);
    fs::remove_all(dir.path() / "spool");
    link = FakeLink{};
    EventDispatch dispatch(&link, not_send_to_disk, spool, in_flight);
    dispatch.DispatchEvent(Event(40161));
    ASSERT_EQ(link.types, std::vector<std::uint32_t>{0x03000032});
    EXPECT_EQ(link.bodies[0], Bytes(40161));
    ASSERT_EQ(SpoolFiles(), 1u);
    ASSERT_FALSE(link.paths[0].empty());
    const std::string content = ReadWholeFile(link.paths[0]).value_or("");
    EXPECT_EQ(content.substr(4), std::string(link.bodies[0].begin(), link.bodies[0].end()));
  }
}

TEST_F(DispatchTest, LinkDownOrAbsentSpoolsUnlessSwitchedOff) {
  struct Case {
    bool have_link;
    bool not_send_to_disk;
    std::size_t files;
  } cases[] = {{true, false, 1}, {false, false, 1}, {true, true, 0}, {false, true, 0}};
  for (const auto& c : cases) {
    fs::remove_all(dir.path() / "spool");
    link.up = false;
    EventDispatch dispatch(c.have_link ? &link : nullptr, c.not_send_to_disk, spool, in_flight);
    dispatch.DispatchEvent(Event(1));
    EXPECT_EQ(fs::exists(dir.path() / "spool") ? SpoolFiles() : 0u, c.files)
        << c.have_link << c.not_send_to_disk;
  }
  EXPECT_TRUE(link.types.empty());
}

// A full queue leaves the written file to spool forwarding: one file, no copy.
TEST_F(DispatchTest, RefusedMessageStaysInItsFile) {
  link.accept = 0;
  EventDispatch dispatch(&link, false, spool, in_flight);
  dispatch.DispatchEvent(Event(5));
  EXPECT_EQ(SpoolFiles(), 1u);
  EXPECT_EQ(spool.BacklogSize(), 0u);
}

// A disk that refuses the write-ahead does not hold the event back: it goes to
// the server alone, behind the records already waiting in memory.
TEST_F(DispatchTest, WithoutADiskTheServerGetsTheBacklogFirst) {
  dir.Write("spool", "");  // spool path unusable: records stay in memory
  EventDispatch dispatch(&link, false, spool, in_flight);
  link.up = false;
  dispatch.DispatchEvent(Event(1));
  dispatch.DispatchEvent(Event(2));
  ASSERT_EQ(spool.BacklogSize(), 2u);

  link.up = true;
  link.accept = 1;  // takes the oldest only, then refuses
  dispatch.DispatchEvent(Event(3));
  ASSERT_EQ(link.bodies.size(), 1u);
  EXPECT_EQ(link.bodies[0], Bytes(1));
  EXPECT_EQ(spool.BacklogSize(), 2u);  // 2 back in front, 3 behind it

  link.accept = 1000;
  dispatch.DispatchEvent(Event(4));
  ASSERT_EQ(link.bodies.size(), 4u);
  EXPECT_EQ(link.bodies[1], Bytes(2));
  EXPECT_EQ(link.bodies[2], Bytes(3));
  EXPECT_EQ(link.bodies[3], Bytes(4));
  EXPECT_EQ(link.paths, std::vector<std::string>(4, ""));
  EXPECT_EQ(spool.BacklogSize(), 0u);
}

// Records the disk refused earlier are written out before the next live one
// once it takes them again, instead of travelling in memory.
TEST_F(DispatchTest, BacklogGoesToDiskOnceItIsWritable) {
  dir.Write("spool", "");
  EventDispatch dispatch(&link, false, spool, in_flight);
  link.up = false;
  dispatch.DispatchEvent(Event(1));
  ASSERT_EQ(spool.BacklogSize(), 1u);
  fs::remove(dir.path() / "spool");
  link.up = true;
  dispatch.DispatchEvent(Event(2));
  EXPECT_EQ(spool.BacklogSize(), 0u);
  EXPECT_EQ(SpoolFiles(), 2u);
  ASSERT_EQ(link.bodies.size(), 1u);
  EXPECT_EQ(link.bodies[0], Bytes(2));
}

}  // namespace
}  // namespace drvvzt
