// The field tools read files the driver wrote: spool files and the raw log.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/datetime.h"
#include "station/spool_writer.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"
#include "tools/lib/event_text.h"
#include "tools/lib/raw_log_decoding.h"
#include "tools/lib/spool_inspection.h"
#include "station/station_packet.h"

namespace drvvzt {
namespace {

using testing::FakeDateTimeClock;
using testing::TempDir;

TStationEvent SampleEvent(std::int32_t object) {
  TStationEvent e;
  e.ObjectNumber = object;
  e.Code = {4, {'0', '3', '2', '0'}};
  e.Zone = 10;
  e.Digit3 = 1;
  e.Digit5 = 2;
  e.Time = EncodeDateTime({2026, 12, 5, 10, 20, 30, 456});
  return e;
}

void SetMtime(const std::filesystem::path& p, int seconds_ago) {
  std::filesystem::last_write_time(
      p, std::filesystem::file_time_type::clock::now() - std::chrono::seconds(seconds_ago));
}

TEST(SpoolInspector, ListsWrittenFilesOldestFirstAndFlagsMalformedOnes) {
  TempDir dir;
  FakeDateTimeClock clock(EncodeDateTime({2026, 12, 5, 10, 20, 30, 456}));
  SpoolWriter writer(dir.path().string() + "/", dir.path().string(), clock);
  ASSERT_TRUE(writer.Spool(EncodeStationEvent(SampleEvent(40161))));
  clock.AdvanceMs(1000);
  ASSERT_TRUE(writer.Spool(EncodeStationEvent(SampleEvent(40162))));
  dir.Write("short.bad", "ab");
  dir.Write("other.dd8", std::string("\x01\x00\x00\x02", 4));
  dir.Write("ignored.txt", "not a spool file");

  // The second record is made the oldest: the order is by age, not by name.
  const auto files = *InspectSpoolDirectory(dir.path().string());
  std::vector<std::string> names;
  for (const auto& f : files) names.push_back(f.name);
  ASSERT_EQ(names.size(), 4u);
  for (const auto& f : files) {
    const auto path = dir.path() / f.name;
    if (f.event && f.event->ObjectNumber == 40162) SetMtime(path, 300);
    if (f.event && f.event->ObjectNumber == 40161) SetMtime(path, 200);
    if (f.name == "short.bad") SetMtime(path, 100);
    if (f.name == "other.dd8") SetMtime(path, 50);
  }
  const auto sorted = *InspectSpoolDirectory(dir.path().string());
  ASSERT_EQ(sorted.size(), 4u);
  EXPECT_EQ(sorted[0].event->ObjectNumber, 40162);
  EXPECT_EQ(sorted[1].event->ObjectNumber, 40161);
  EXPECT_TRUE(sorted[0].problem.empty());
  EXPECT_EQ(sorted[2].name, "short.bad");
  EXPECT_TRUE(sorted[2].set_aside);
  EXPECT_FALSE(sorted[2].problem.empty());
  EXPECT_EQ(sorted[3].name, "other.dd8");
  EXPECT_FALSE(sorted[3].problem.empty());

  const std::string line = DescribeSpoolEntry(sorted[1]);
  EXPECT_NE(line.find("object=40161 code=\"0320\" zone=10 digit3=1 digit5=2 time=05.12.2026 10:20:30.456"),
            std::string::npos)
      << line;
  EXPECT_NE(DescribeSpoolEntry(sorted[3]).find("NOT WELL-FORMED"), std::string::npos);
}

TEST(SpoolInspector, MissingDirectoryIsAnError) {
  EXPECT_FALSE(InspectSpoolDirectory("/nonexistent/drvvzt-spool"));
}

TEST(RawLogDecoder, DecodesPacketsWithTheDriversSettingsAndShowsFragments) {
  TempDir dir;
  dir.Write("drvvzt.ini", "[main]\nFirstNumber=4\nRazdel=1\n[Razdels]\n161_12=7\n");
  StationPacketFields fields;
  fields.object_number = 0x00A1;
  fields.section = "12";
  fields.class_chars = "032A";
  std::string log = StationPacketText(fields);
  fields.acknowledge = false;
  log += StationPacketText(fields);
  log += "0123456789";

  const auto items = DecodeRawLog(log, DecoderSettingsForDirectory(dir.path().string()));
  ASSERT_EQ(items.size(), 3u);
  ASSERT_TRUE(items[0].event);
  // 161_12 is replaced by 7, then 4 x 10000 and the section digits 0x12 are added.
  EXPECT_EQ(items[0].event->ObjectNumber, 40007 + 0x12);
  EXPECT_EQ(EventCodeText(items[0].event->Code), "0320");
  EXPECT_EQ(items[0].event->Zone, 10);
  EXPECT_FALSE(items[1].event);
  EXPECT_NE(DescribeRawLogItem(items[1]).find("not acknowledged"), std::string::npos);
  EXPECT_TRUE(items[2].fragment);
  EXPECT_EQ(items[2].offset, 76u);
  EXPECT_NE(DescribeRawLogItem(items[2]).find("fragment of 10 bytes"), std::string::npos);
}

TEST(RawLogDecoder, EscapesBytesThatAreNotPrintable) {
  EXPECT_EQ(PrintableBytes(std::string("A\r\n\\\xff", 5)), "A\\x0D\\x0A\\x5C\\xFF");
}

}  // namespace
}  // namespace drvvzt
