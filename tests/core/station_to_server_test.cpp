// The whole road of one station packet: pseudo-terminal, serial component,
// the driver's station chain, link thread (stepped), emulator; and a spool
// file while the link is down.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "core/station_chain.h"
#include "server/server_link.h"
#include "station/serial_port.h"
#include "tests/support/fake_clock.h"
#include "tests/support/link_doubles.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"
#include "tools/lib/message_server_emulator.h"
#include "tools/lib/station_packet.h"

namespace drvvzt {
namespace {

using namespace std::chrono_literals;

TEST(StationToServer, PacketReachesTheServerWhileUpAndASpoolFileWhileDown) {
  testing::TempDir dir;
  testing::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  tools::MessageServerEmulator emulator;
  ASSERT_TRUE(emulator.Start());
  dir.Write("drvvzt.ini", "[ServerHost]\nPort=" + std::to_string(emulator.Port()) +
                              "\n[ComPorts]\nCOM5=" + pty.slave_path() + "\n");
  const std::string spool_dir = dir.path().string() + "/spool/";
  std::filesystem::create_directory(spool_dir);

  testing::FakeTickClock tick{100000};
  testing::FakeDateTimeClock clock;
  ManualPollTimer timer;
  TSerialPort port(timer, tick, dir.File("drvvzt.ini"));
  port.SetPortName("COM5");
  port.SetHwFlow(hfNONE);
  port.SetPacketSize(38);
  port.SetPacketTimeout(100);
  port.SetPacketMode(pmPass);
  port.SetPollingDelay(5);

  testing::FixedHost host{"COM5"};
  testing::RecordingReports reports;
  StationChainSetup setup;
  setup.settings.PathForSoob = spool_dir;
  setup.start_dir = dir.path().string();
  setup.send = [&](const std::uint8_t* data, std::uint32_t size) { return port.SendData(data, size); };
  setup.redraw_station = [] {};
  StationChain chain(std::move(setup), clock);
  ServerLinkOptions options;
  options.work_dir = dir.path().string();
  options.in_flight = &chain.InFlight();
  cl link(host, reports, MakeServerTransport(tick), tick, clock, options);
  link.PrepareRun();
  chain.Connect(&link);
  port.OnReceivePacket = [&](TSerialPort&, const std::uint8_t* packet, std::uint32_t size) {
    chain.Deliver(packet, size);
  };
  ASSERT_TRUE(port.Connect());

  auto deliver = [&](std::uint16_t object) {
    tools::StationPacketFields fields;
    fields.object_number = object;
    const std::string text = tools::StationPacketText(fields);
    const std::size_t queued = pty.SlaveQueued();
    ASSERT_TRUE(pty.WriteMaster(text));
    ASSERT_TRUE(pty.WaitSlaveQueued(queued + text.size(), 2000));
    timer.Fire();
    EXPECT_EQ(pty.ReadMaster(4, 2000), "OK\r\n");
  };

  link.LinkStep();  // connect
  for (int i = 0; i < 4; ++i) link.LinkStep();
  ASSERT_TRUE(emulator.WaitForMessageCount(4, 2s));

  deliver(0x0123);
  link.LinkStep();
  ASSERT_TRUE(emulator.WaitForMessageCount(5, 2s));
  const tools::ReceivedMessage event = emulator.Messages()[4];
  EXPECT_EQ(event.type, mtStationEvent);
  EXPECT_EQ(kTransportHeaderSize + event.message.size(), 61u);
  const StationEventBytes record = EncodeStationEvent(chain.Handler().CurrentEvent());
  EXPECT_EQ(event.body, Bytes(record.begin(), record.end()));
  EXPECT_TRUE(std::filesystem::is_empty(spool_dir));

  // The server orders a disconnection; the next packet goes to disk.
  emulator.AnswerNextWith(mtDisconnect);
  tick.Advance(501);
  link.LinkStep();
  ASSERT_FALSE(link.IsLinkUp());
  deliver(0x0456);
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(spool_dir)) {
    ++files;
    EXPECT_EQ(entry.path().extension(), ".dd8");
    EXPECT_EQ(std::filesystem::file_size(entry.path()), kSpoolFileSize);
  }
  EXPECT_EQ(files, 1u);
  EXPECT_EQ(emulator.MessageCount(), 6u) << "nothing more went to the server";
  port.Disconnect();
}

}  // namespace
}  // namespace drvvzt
