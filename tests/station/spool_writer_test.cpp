// Spool file names, content, clashes, failures and recovery after a crash.
#include "station/spool_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/datetime.h"
#include "platform/diagnostics.h"
#include "platform/error_log.h"
#include "tests/support/fake_clock.h"
#include "tests/support/faulty_file_system.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

using testing::FileNames;

namespace fs = std::filesystem;
using testing::FakeDateTimeClock;
using testing::FaultyFileSystem;
using testing::TempDir;

double At(int day, int h, int m, int s, int ms) {
  return EncodeDateTime(DateTimeFields{2026, 3, day, h, m, s, ms});
}

StationEventBytes Record(std::uint8_t tag) {
  TStationEvent e;
  e.ObjectNumber = tag;
  return EncodeStationEvent(e);
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

// Reports the driver makes while a test runs, for reading afterwards.
class ReportLog {
public:
  ReportLog() {
    SetDiagnosticSink([this](Severity, const std::string& text) {
      std::lock_guard lock(mutex_);
      lines_.push_back(text);
    });
  }
  ~ReportLog() { SetDiagnosticSink({}); }
  std::vector<std::string> Containing(const std::string& part) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> found;
    for (const std::string& line : lines_) {
      if (line.find(part) != std::string::npos) found.push_back(line);
    }
    return found;
  }

private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Both locations are recovered at start; a leftover that cannot be finished
// stays and is logged as a refused record.
TEST_F(SpoolWriterTest, RecoverLeftoversInBothLocations) {
  const auto full = SpoolFileContent(Record(9));
  const std::string whole(full.begin(), full.end());
  fs::create_directory(dir.path() / "q");
  fs::create_directory(dir.path() / "rescue");
  dir.Write("q/1BF7E378-1-0.dd8-tmp", whole);
  dir.Write("rescue/5265C00-1-1.dd8-tmp", whole);
  ReportLog reports;
  FaultyFileSystem faulty;
  faulty.FailEvery("link", EIO, dir.File("q/"));
  SpoolWriter writer(Prefix("q/"), dir.path().string(), clock, kSpoolBacklogCapacity, faulty);
  writer.SetRescueDirectory(dir.File("rescue"));
  writer.RecoverLeftovers();
  EXPECT_EQ(reports.Containing("link " + dir.File("q/1BF7E378-1-0.dd8-tmp")).size(), 1u);
  EXPECT_EQ(FileNames(dir.path() / "q"), std::vector<std::string>{"1BF7E378-1-0.dd8-tmp"});
  EXPECT_EQ(FileNames(dir.path() / "rescue"), std::vector<std::string>{"5265C00.dd8"});
  EXPECT_EQ(dir.Read("error.txt"), ErrorLogLine(21));
}

// Whatever call the spool location fails, the record is on disk in the rescue
// directory, whole, and the cause is kept for the operator.
TEST_F(SpoolWriterTest, RefusedRecordGoesToTheRescueDirectoryWithItsCause) {
  struct Case {
    const char* op;
    int error;
  } cases[] = {
      {"mkdir", EACCES}, {"open", EACCES}, {"write", ENOSPC}, {"write", EIO},
      {"fsync", EIO},    {"close", EIO},   {"link", EIO},     {"unlink", EIO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op + std::string(" ") + ErrnoText(c.error));
    TempDir work;
    ReportLog reports;
    FaultyFileSystem faulty;
    faulty.FailNth(c.op, 1, c.error, work.File("spool"));
    SpoolWriter writer(work.File("spool/"), work.path().string(), clock, kSpoolBacklogCapacity, faulty);
    writer.SetRescueDirectory(work.File("rescue"));
    const std::optional<std::string> path = writer.SpoolToFile(Record(5));
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, work.File("rescue/1BF7E378.dd8"));
    const auto full = SpoolFileContent(Record(5));
    EXPECT_EQ(work.Read("rescue/1BF7E378.dd8"), std::string(full.begin(), full.end()));
    EXPECT_TRUE(FileNames(work.path() / "spool").empty()) << "no half record left behind";

    const SysError cause = writer.LastFailure();
    EXPECT_EQ(cause.call, c.op);
    EXPECT_EQ(cause.error_number, c.error);
    EXPECT_EQ(reports.Containing(cause.Text()).size(), 1u) << "the rescue is reported with its cause";
    EXPECT_EQ(work.Read("error.txt"), ErrorLogLine(21));
  }
}

// With both directories refusing, records wait in memory in order and reach
// the disk, oldest first, as soon as the file system takes them again.
TEST_F(SpoolWriterTest, BothLocationsRefusingKeepsRecordsInMemoryUntilTheDiskTakesThem) {
  ReportLog reports;
  FaultyFileSystem faulty;
  faulty.FailEvery("write", ENOSPC);
  SpoolWriter writer(Prefix("spool/"), dir.path().string(), clock, kSpoolBacklogCapacity, faulty);
  writer.SetRescueDirectory(dir.File("rescue"));
  EXPECT_FALSE(writer.Spool(Record(1)));
  EXPECT_FALSE(writer.WriteAhead(Record(2))) << "a write-ahead copy is not kept in memory";
  EXPECT_FALSE(writer.Spool(Record(3)));
  EXPECT_EQ(writer.BacklogSize(), 2u);
  EXPECT_EQ(writer.LastFailure().call, "write");
  EXPECT_EQ(writer.LastFailure().path.rfind(Prefix("spool/"), 0), 0u) << "the spool location's cause";
  EXPECT_EQ(reports.Containing("kept in memory").size(), 1u);

  faulty.Heal();
  clock.AdvanceMs(1);
  EXPECT_TRUE(writer.Spool(Record(4)));
  EXPECT_EQ(writer.BacklogSize(), 0u);
  const auto names = FileNames(dir.path() / "spool");
  ASSERT_EQ(names.size(), 3u);
  const std::uint8_t expected[] = {1, 3, 4};
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(static_cast<std::uint8_t>(dir.Read("spool/" + names[i])[5]), expected[i]) << names[i];
  }
  EXPECT_TRUE(FileNames(dir.path() / "rescue").empty());
}

// A directory that cannot be flushed keeps the record where it is (a detour
// would double every record on such a file system) and is reported once.
TEST_F(SpoolWriterTest, DirectoryFlushFailureKeepsTheRecordAndIsReportedOnce) {
  ReportLog reports;
  fs::create_directory(dir.path() / "spool");
  FaultyFileSystem faulty;
  faulty.FailOn("fsync", EINVAL, dir.File("spool"));  // files in it flush, the directory does not
  SpoolWriter writer(Prefix("spool/"), dir.path().string(), clock, kSpoolBacklogCapacity, faulty);
  writer.SetRescueDirectory(dir.File("rescue"));
  EXPECT_TRUE(writer.Spool(Record(1)));
  clock.AdvanceMs(1);
  EXPECT_TRUE(writer.Spool(Record(2)));
  EXPECT_EQ(FileNames(dir.path() / "spool").size(), 2u);
  EXPECT_FALSE(fs::exists(dir.path() / "rescue"));
  EXPECT_EQ(reports.Containing("power cut").size(), 1u);
  EXPECT_EQ(dir.Read("error.txt"), "");
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
