// One serial delivery: raw log, bookkeeping, acknowledgement, decoding, dispatch.
#include "station/packet_handler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "platform/error_log.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

namespace fs = std::filesystem;

class RecordingLink final : public ServerLinkPort {
public:
  bool IsLinkUp() const override { return true; }
  bool PutMessage(std::uint32_t, std::span<const std::uint8_t> body) override {
    bodies.emplace_back(body.begin(), body.end());
    return true;
  }
  bool PutStationEvent(std::span<const std::uint8_t> record, const std::string&) override {
    return PutMessage(mtStationEvent, record);
  }
  std::vector<std::vector<std::uint8_t>> bodies;
};

std::string Packet(char flag) {
  std::string p(kPacketSize, '0');
  p[2] = flag;
  p.replace(8, 4, "00A1");
  p.replace(14, 2, "12");
  p.replace(17, 6, "03002A");
  return p;
}

class PacketHandlerTest : public ::testing::Test {
protected:
  PacketHandler MakeHandler(bool log, const std::string& start_dir) {
    return PacketHandler(
        PacketHandlerSettings{log, 4, false, start_dir, nullptr}, clock,
        [this](const std::uint8_t* data, std::uint32_t size) {
          sent.append(reinterpret_cast<const char*>(data), size);
          return size;
        },
        [this] { ++redraws; }, dispatch);
  }
  void Deliver(PacketHandler& h, const std::string& bytes) {
    h.SerialPort1ReceivePacket(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                               static_cast<std::uint32_t>(bytes.size()));
  }

  testing::TempDir dir;
  testing::FakeDateTimeClock clock{46000.25};
  RecordingLink link;
  SpoolWriter spool{dir.path().string() + "/", dir.path().string(), clock};
  InFlightFiles in_flight;
  EventDispatch dispatch{&link, false, spool, in_flight};
  std::string sent;
  int redraws = 0;
};

TEST_F(PacketHandlerTest, DeliveryKinds) {
  struct Case {
    std::string bytes;
    bool counted;
    bool acknowledged;
  } cases[] = {
      {Packet('1'), true, true},
      {Packet('0'), true, false},
      {Packet('1').substr(0, 37), false, false},
      {Packet('1') + "x", false, false},
  };
  for (const auto& c : cases) {
    link.bodies.clear();
    sent.clear();
    redraws = 0;
    PacketHandler h = MakeHandler(true, dir.path().string());
    fs::remove(dir.path() / "drvvzt.log");
    clock.AdvanceMs(1000);
    Deliver(h, c.bytes);
    EXPECT_EQ(dir.Read("drvvzt.log"), c.bytes);  // every delivery, whatever it holds
    EXPECT_EQ(h.StationTick(), c.counted ? 1 : 0);
    EXPECT_EQ(redraws, c.counted ? 1 : 0);
    EXPECT_EQ(h.LastPacketTime(), c.counted ? clock.Now() : 0.0);
    EXPECT_EQ(sent, c.acknowledged ? "OK\r\n" : "");
    EXPECT_EQ(link.bodies.size(), c.acknowledged ? 1u : 0u);
  }
}

TEST_F(PacketHandlerTest, DecodesIntoCurrentEventAndDispatchesIt) {
  PacketHandler h = MakeHandler(false, dir.path().string());
  Deliver(h, Packet('1'));
  EXPECT_EQ(h.CurrentEvent().ObjectNumber, 40161);
  EXPECT_EQ(h.CurrentEvent().Zone, 10);
  EXPECT_EQ(h.CurrentEvent().Time, clock.Now());
  ASSERT_EQ(link.bodies.size(), 1u);
  const auto expected = EncodeStationEvent(h.CurrentEvent());
  EXPECT_EQ(link.bodies[0], std::vector<std::uint8_t>(expected.begin(), expected.end()));
  EXPECT_FALSE(fs::exists(dir.path() / "drvvzt.log"));
}

TEST_F(PacketHandlerTest, RazdelsComeFromTheSharedConfigurationOrStartDir) {
  dir.Write("drvvzt.ini", "[Razdels]\n161_12=5\n");
  dir.Write("shared.ini", "[Razdels]\n161_12=7\n");
  struct Case {
    std::shared_ptr<IniSnapshot> ini;
    std::int32_t object;
  } cases[] = {
      {std::make_shared<IniSnapshot>(dir.File("shared.ini")), 40007},
      {nullptr, 40005},  // the handler's own reading of StartDir/drvvzt.ini
  };
  for (const auto& c : cases) {
    PacketHandlerSettings settings{false, 4, false, dir.path().string(), c.ini};
    PacketHandler h(settings, clock, nullptr, nullptr, dispatch);
    Deliver(h, Packet('1'));
    EXPECT_EQ(h.CurrentEvent().ObjectNumber, c.object);
  }
}

TEST_F(PacketHandlerTest, StationTickWrapsAfterSixteen) {
  PacketHandler h = MakeHandler(false, dir.path().string());
  for (int i = 0; i < 16; ++i) Deliver(h, Packet('0'));
  EXPECT_EQ(h.StationTick(), 16);
  Deliver(h, Packet('0'));
  EXPECT_EQ(h.StationTick(), 0);
}

TEST_F(PacketHandlerTest, UnwritableRawLogDoesNotStopDecoding) {
  fs::create_directory(dir.path() / "drvvzt.log");  // cannot be opened as a file
  PacketHandler h = MakeHandler(true, dir.path().string());
  Deliver(h, Packet('1'));
  Deliver(h, Packet('1'));
  EXPECT_EQ(sent, "OK\r\nOK\r\n");
  EXPECT_EQ(link.bodies.size(), 2u);
  EXPECT_EQ(dir.Read("error.txt"), ErrorLogLine(20));  // once for the run

  fs::remove(dir.path() / "drvvzt.log");
  Deliver(h, Packet('1'));
  fs::remove(dir.path() / "drvvzt.log");
  fs::create_directory(dir.path() / "drvvzt.log");
  Deliver(h, Packet('1'));
  EXPECT_EQ(dir.Read("error.txt"), ErrorLogLine(20) + ErrorLogLine(20));  // a new run
}

}  // namespace
}  // namespace drvvzt
