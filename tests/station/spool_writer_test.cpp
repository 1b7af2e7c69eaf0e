// Spool file names, content, clashes, failures and recovery after a crash.
#include "station/spool_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "platform/datetime.h"
#include "platform/error_log.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

namespace fs = std::filesystem;
using testing::FakeDateTimeClock;
using testing::TempDir;

double At(int day, int h, int m, int s, int ms) {
  return EncodeDateTime(DateTimeFields{2026, 3, day, h, m, s, ms});
}

StationEventBytes Record(std::uint8_t tag) {
  TStationEvent e;
  e.ObjectNumber = tag;
  return EncodeStationEvent(e);
}

std::vector<std::string> FileNames(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(SpoolFileName, FromTimeOfMonth) {
  TempDir dir;
  struct Case {
    double t;
    const char* expected;
  } cases[] = {
      {At(5, 10, 20, 30, 456), "1BF7E378"},
      {At(1, 0, 0, 0, 0), "5265C00"},
      {At(31, 23, 59, 59, 999), "A4CB7FFF"},
  };
  for (const auto& c : cases) EXPECT_EQ(SpoolFileName(c.t, dir.path().string()), c.expected);
  EXPECT_EQ(dir.Read("error.txt"), "");
  EXPECT_EQ(SpoolFileName(std::numeric_limits<double>::quiet_NaN(), dir.path().string()), "");
  EXPECT_EQ(dir.Read("error.txt"), ErrorLogLine(11));
}

class SpoolWriterTest : public ::testing::Test {
protected:
  std::string Prefix(const std::string& sub) const { return dir.path().string() + "/" + sub; }
  TempDir dir;
  FakeDateTimeClock clock{At(5, 10, 20, 30, 456)};
};

TEST_F(SpoolWriterTest, WritesTheTwentySixBytes) {
  SpoolWriter writer(Prefix("spool/"), dir.path().string(), clock);
  const StationEventBytes record = Record(7);
  ASSERT_TRUE(writer.Spool(record));  // the missing directory is created
  const std::string content = dir.Read("spool/1BF7E378.dd8");
  ASSERT_EQ(content.size(), 26u);
  EXPECT_EQ(content.substr(0, 5), std::string("\x32\x00\x00\x03\x0F", 5));
  EXPECT_EQ(content.substr(4), std::string(record.begin(), record.end()));
  EXPECT_EQ(FileNames(dir.path() / "spool"), std::vector<std::string>{"1BF7E378.dd8"});
}

TEST_F(SpoolWriterTest, PrefixWithoutSlashNamesFilesInTheParent) {
  SpoolWriter writer(Prefix("spool"), dir.path().string(), clock);
  ASSERT_TRUE(writer.Spool(Record(1)));
  EXPECT_EQ(dir.Read("spool1BF7E378.dd8").size(), 26u);
}

TEST_F(SpoolWriterTest, NameClashKeepsBothRecords) {
  SpoolWriter writer(Prefix(""), dir.path().string(), clock);
  dir.Write("1BF7E379.dd8", "from last month");
  ASSERT_TRUE(writer.Spool(Record(1)));
  ASSERT_TRUE(writer.Spool(Record(2)));  // same millisecond
  EXPECT_EQ(FileNames(dir.path()),
            (std::vector<std::string>{"1BF7E378.dd8", "1BF7E379.dd8", "1BF7E37A.dd8"}));
  EXPECT_EQ(dir.Read("1BF7E379.dd8"), "from last month");
  EXPECT_EQ(static_cast<std::uint8_t>(dir.Read("1BF7E37A.dd8")[5]), 2);
}

TEST_F(SpoolWriterTest, UnwritableDirectoryKeepsRecordsAndWritesThemLater) {
  // A plain file where the spool directory should be makes every write fail.
  dir.Write("spool", "not a directory");
  SpoolWriter writer(Prefix("spool/"), dir.path().string(), clock);
  EXPECT_FALSE(writer.Spool(Record(1)));
  EXPECT_FALSE(writer.Spool(Record(2)));
  EXPECT_EQ(writer.BacklogSize(), 2u);
  EXPECT_EQ(dir.Read("error.txt"), ErrorLogLine(21));  // once for the run of failures

  fs::remove(dir.path() / "spool");
  clock.AdvanceMs(1);
  EXPECT_TRUE(writer.Spool(Record(3)));
  EXPECT_EQ(writer.BacklogSize(), 0u);
  const auto names = FileNames(dir.path() / "spool");
  ASSERT_EQ(names.size(), 3u);
  // Oldest first: the backlog got the lower names.
  EXPECT_EQ(static_cast<std::uint8_t>(dir.Read("spool/" + names[0])[5]), 1);
  EXPECT_EQ(static_cast<std::uint8_t>(dir.Read("spool/" + names[2])[5]), 3);
}

TEST_F(SpoolWriterTest, BacklogOverflowLosesOnlyWhatDoesNotFitAndSaysSo) {
  dir.Write("spool", "");
  SpoolWriter writer(Prefix("spool/"), dir.path().string(), clock, 2);
  for (std::uint8_t i = 1; i <= 4; ++i) EXPECT_FALSE(writer.Spool(Record(i)));
  EXPECT_EQ(dir.Read("error.txt"), ErrorLogLine(21) + ErrorLogLine(21));
  const auto kept = writer.TakeBacklog();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0], Record(1));
  EXPECT_EQ(kept[1], Record(2));
  writer.ReturnToBacklog(std::span(kept).subspan(1));
  EXPECT_EQ(writer.BacklogSize(), 1u);
  fs::remove(dir.path() / "spool");
  EXPECT_TRUE(writer.FlushBacklog());
  EXPECT_EQ(FileNames(dir.path() / "spool").size(), 1u);
}

TEST_F(SpoolWriterTest, RecoverLeftovers) {
  SpoolWriter writer(Prefix("q/"), dir.path().string(), clock);
  fs::create_directory(dir.path() / "q");
  const auto full = SpoolFileContent(Record(9));
  dir.Write("q/1BF7E378.dd8", "taken");
  dir.Write("q/1BF7E378-1-0.dd8-tmp", std::string(full.begin(), full.end()));
  dir.Write("q/5265C00-1-1.dd8-tmp", std::string(full.begin(), full.begin() + 10));
  dir.Write("q/notes.txt", "left alone");
  writer.RecoverLeftovers();
  EXPECT_EQ(FileNames(dir.path() / "q"),
            (std::vector<std::string>{"1BF7E378.dd8", "1BF7E379.dd8", "notes.txt"}));
  EXPECT_EQ(dir.Read("q/1BF7E379.dd8"), std::string(full.begin(), full.end()));
}

TEST_F(SpoolWriterTest, TwoThreadsLoseNothing) {
  SpoolWriter writer(Prefix(""), dir.path().string(), clock);
  auto spool = [&](std::uint8_t tag) {
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(writer.Spool(Record(tag)));
  };
  std::thread a(spool, 1), b(spool, 2);
  a.join();
  b.join();
  EXPECT_EQ(FileNames(dir.path()).size(), 100u);
}

}  // namespace
}  // namespace drvvzt
