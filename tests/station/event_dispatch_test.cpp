// Where records go: server queue, spool file, or nowhere.
#include "station/event_dispatch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "platform/datetime.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

namespace fs = std::filesystem;

class FakeLink final : public ServerLinkPort {
public:
  bool IsLinkUp() const override { return up; }
  bool PutMessage(std::uint32_t type, std::span<const std::uint8_t> body) override {
    if (accept == 0) return false;
    --accept;
    types.push_back(type);
    bodies.emplace_back(body.begin(), body.end());
    return true;
  }
  bool up = true;
  int accept = 1000;
  std::vector<std::uint32_t> types;
  std::vector<std::vector<std::uint8_t>> bodies;
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
  FakeLink link;
};

TEST_F(DispatchTest, LinkUpQueuesAndWritesNothing) {
  EventDispatch dispatch(&link, false, spool);
  dispatch.DispatchEvent(Event(40161));
  ASSERT_EQ(link.types, std::vector<std::uint32_t>{0x03000032});
  EXPECT_EQ(link.bodies[0], Bytes(40161));
  EXPECT_FALSE(fs::exists(dir.path() / "spool"));
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
    EventDispatch dispatch(c.have_link ? &link : nullptr, c.not_send_to_disk, spool);
    dispatch.DispatchEvent(Event(1));
    EXPECT_EQ(fs::exists(dir.path() / "spool") ? SpoolFiles() : 0u, c.files)
        << c.have_link << c.not_send_to_disk;
  }
  EXPECT_TRUE(link.types.empty());
}

TEST_F(DispatchTest, RefusedMessageIsSpooled) {
  link.accept = 0;
  EventDispatch dispatch(&link, false, spool);
  dispatch.DispatchEvent(Event(5));
  EXPECT_EQ(SpoolFiles(), 1u);
}

TEST_F(DispatchTest, BacklogGoesToTheServerFirst) {
  dir.Write("spool", "");  // spool path unusable: records stay in memory
  EventDispatch dispatch(&link, false, spool);
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
  EXPECT_EQ(spool.BacklogSize(), 0u);
}

}  // namespace
}  // namespace drvvzt
