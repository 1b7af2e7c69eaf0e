// The spool files' names, layout and directory: durable writing, order,
// reading, setting aside and recovery, on real directories and through a file
// system that fails on request.
#include "station/spool_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "tests/support/faulty_file_system.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

using testing::FileNames;

namespace fs = std::filesystem;
using testing::FaultyFileSystem;
using testing::TempDir;

StationEventBytes Record(std::uint8_t tag) {
  TStationEvent e;
  e.ObjectNumber = tag;
  return EncodeStationEvent(e);
}

std::string Content(const StationEventBytes& record) {
  const auto bytes = SpoolFileContent(record);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> ListedNames(const SpoolStore& store,
                                     std::initializer_list<SpoolFileKind> kinds = {SpoolFileKind::kWaiting}) {
  std::vector<SpoolFile> files;
  EXPECT_TRUE(store.List(files, kinds).ok());
  std::vector<std::string> names;
  for (const SpoolFile& f : files) names.push_back(f.name);
  return names;
}

// Gives a file the modification time `seconds` before one fixed moment.
void Age(const TempDir& dir, const std::string& name, int seconds) {
  static const fs::file_time_type now = fs::file_time_type::clock::now();
  fs::last_write_time(dir.path() / name, now - std::chrono::seconds(seconds));
}

TEST(SpoolNames, OneRuleForEveryKindAndLetterCase) {
  struct Case {
    const char* name;
    const char* prefix;
    std::optional<SpoolFileKind> kind;
  } cases[] = {
      {"1BF7E378.dd8", "", SpoolFileKind::kWaiting},
      {"1BF7E378.DD8", "", SpoolFileKind::kWaiting},  // copied from a Windows station
      {"T81BF7E378.Dd8", "T8", SpoolFileKind::kWaiting},
      {"1BF7E378.dd8", "T8", std::nullopt},            // another prefix's file
      {"t81BF7E378.dd8", "T8", std::nullopt},          // the prefix is matched exactly
      {"1BF7E378-12-0.dd8-tmp", "", SpoolFileKind::kTemporary},
      {"1BF7E378.dd8.bad", "", SpoolFileKind::kSetAside},
      {"1BF7E378.dd8.2.BAD", "", SpoolFileKind::kSetAside},
      {"1BF7E378.dd80", "", std::nullopt},
      {"notes.txt", "", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ClassifySpoolName(c.name, c.prefix), c.kind) << c.name << " under '" << c.prefix << "'";
  }
}

TEST(SpoolContent, TypeThenRecordAndTheShortestReadableFile) {
  const std::string content = Content(Record(7));
  ASSERT_EQ(content.size(), kSpoolFileSize);
  EXPECT_EQ(content.substr(0, 5), std::string("\x32\x00\x00\x03\x0F", 5));
  EXPECT_TRUE(IsCompleteRecordFile(content));
  EXPECT_FALSE(IsCompleteRecordFile(content.substr(0, 25)));
  EXPECT_FALSE(IsCompleteRecordFile(std::string("\x33", 1) + content.substr(1)));

  const auto four = ParseSpoolFile(std::string("\x62\x00\x20\x02", 4));
  ASSERT_TRUE(four);
  EXPECT_EQ(four->type, 0x02200062u);
  EXPECT_TRUE(four->body.empty());
  EXPECT_FALSE(ParseSpoolFile("xyz"));
}

TEST(SpoolStore, PutCreatesTheDirectoryAndNeverReplacesAFile) {
  TempDir dir;
  SpoolStore store(dir.File("spool") + "/");
  const SpoolPut first = store.Put("1BF7E378", Record(1));
  ASSERT_TRUE(first.ok()) << first.error.Text();
  EXPECT_EQ(first.path, dir.File("spool/1BF7E378.dd8"));
  EXPECT_TRUE(first.directory_sync.ok());
  dir.Write("spool/1BF7E379.dd8", "from last month");
  const SpoolPut second = store.Put("1BF7E378", Record(2));
  EXPECT_EQ(second.path, dir.File("spool/1BF7E37A.dd8"));
  EXPECT_EQ(dir.Read("spool/1BF7E379.dd8"), "from last month");
  EXPECT_EQ(dir.Read("spool/1BF7E37A.dd8"), Content(Record(2)));
  EXPECT_EQ(FileNames(dir.path() / "spool"),
            (std::vector<std::string>{"1BF7E378.dd8", "1BF7E379.dd8", "1BF7E37A.dd8"}));
}

// Whatever call fails, the record is either under its spool name or nowhere,
// no temporary is left, and the failure keeps its call and errno.
TEST(SpoolStore, FailedPutLeavesNothingAndKeepsTheCause) {
  struct Case {
    const char* op;
    int error;
    const char* under;  // below the spool directory: its files, not the directory's own sync
  } cases[] = {
      {"mkdir", EACCES, "spool"}, {"open", EMFILE, "spool/"}, {"write", ENOSPC, "spool/"},
      {"write", EIO, "spool/"},   {"fsync", EIO, "spool/"},   {"close", EIO, "spool/"},
      {"link", EIO, "spool/"},    {"unlink", EIO, "spool/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op + std::string(" ") + std::strerror(c.error));
    TempDir dir;
    FaultyFileSystem faulty;
    faulty.FailNth(c.op, 1, c.error, dir.File(c.under));
    SpoolStore store(dir.File("spool") + "/", faulty);
    const SpoolPut put = store.Put("5265C00", Record(1));
    EXPECT_FALSE(put.ok());
    EXPECT_EQ(put.error.call, c.op);
    EXPECT_EQ(put.error.error_number, c.error);
    EXPECT_NE(put.error.Text().find(dir.File("spool")), std::string::npos) << put.error.Text();
    EXPECT_TRUE(FileNames(dir.path() / "spool").empty());
  }
}

TEST(SpoolStore, DirectoryFlushFailureStillPutsTheRecord) {
  TempDir dir;
  fs::create_directory(dir.path() / "spool");
  FaultyFileSystem faulty;
  faulty.FailNth("fsync", 2, EINVAL);  // the file's flush first, then the directory's
  SpoolStore store(dir.File("spool") + "/", faulty);
  const SpoolPut put = store.Put("5265C00", Record(1));
  ASSERT_TRUE(put.ok()) << put.error.Text();
  EXPECT_EQ(put.directory_sync.call, "fsync");
  EXPECT_EQ(put.directory_sync.path, dir.File("spool"));
  EXPECT_EQ(put.directory_sync.error_number, EINVAL);
  EXPECT_EQ(dir.Read("spool/5265C00.dd8"), Content(Record(1)));
}

TEST(SpoolStore, ListsOldestFirstThenByName) {
  TempDir dir;
  dir.Write("C.dd8", "c");
  dir.Write("B.DD8", "b");
  dir.Write("A.dd8", "a");
  dir.Write("D.dd8.bad", "d");
  dir.Write("E-1-0.dd8-tmp", "e");
  dir.Write("notes.txt", "n");
  fs::create_directory(dir.path() / "F.dd8");  // not a file
  Age(dir, "C.dd8", 100);
  Age(dir, "B.DD8", 300);
  Age(dir, "A.dd8", 100);
  Age(dir, "D.dd8.bad", 500);
  const SpoolStore store(dir.path().string() + "/");
  EXPECT_EQ(ListedNames(store), (std::vector<std::string>{"B.DD8", "A.dd8", "C.dd8"}));
  EXPECT_EQ(ListedNames(store, {SpoolFileKind::kWaiting, SpoolFileKind::kSetAside}),
            (std::vector<std::string>{"D.dd8.bad", "B.DD8", "A.dd8", "C.dd8"}));
  EXPECT_EQ(ListedNames(store, {SpoolFileKind::kTemporary}), std::vector<std::string>{"E-1-0.dd8-tmp"});

  std::size_t count = 0;
  std::optional<std::time_t> oldest;
  ASSERT_TRUE(store.Count(true, count, oldest).ok());
  EXPECT_EQ(count, 3u);
  ASSERT_TRUE(oldest);
  EXPECT_NEAR(static_cast<double>(*oldest), static_cast<double>(std::time(nullptr) - 300), 5);
}

TEST(SpoolStore, ListingThatFailsSaysWhy) {
  TempDir dir;
  dir.Write("A.dd8", "a");
  const char* ops[] = {"opendir", "readdir"};
  for (const char* op : ops) {
    SCOPED_TRACE(op);
    FaultyFileSystem faulty;
    faulty.FailEvery(op, EACCES);
    const SpoolStore store(dir.path().string() + "/", faulty);
    std::vector<SpoolFile> files;
    const SysError error = store.List(files);
    EXPECT_EQ(error.call, op);
    EXPECT_EQ(error.error_number, EACCES);
    EXPECT_TRUE(files.empty());
    std::size_t count = 7;
    std::optional<std::time_t> oldest;
    EXPECT_FALSE(store.Count(false, count, oldest).ok());
    EXPECT_EQ(count, 0u);
  }
}

TEST(SpoolStore, ReadGivesTheMessageOrWhyNot) {
  TempDir dir;
  dir.Write("A.dd8", Content(Record(4)));
  dir.Write("S.dd8", "xy");
  FaultyFileSystem faulty;
  const SpoolStore store(dir.path().string() + "/", faulty);
  const SpoolRead whole = store.Read(dir.File("A.dd8"));
  ASSERT_TRUE(whole.ok());
  EXPECT_EQ(whole.message->type, mtStationEvent);
  const StationEventBytes record = Record(4);
  EXPECT_EQ(whole.message->body, std::vector<std::uint8_t>(record.begin(), record.end()));

  const SpoolRead short_file = store.Read(dir.File("S.dd8"));
  EXPECT_FALSE(short_file.ok());
  EXPECT_TRUE(short_file.error.ok());
  EXPECT_NE(short_file.Problem(dir.File("S.dd8")).find("2 bytes"), std::string::npos);

  faulty.FailNth("read", 1, EIO);
  const SpoolRead failed = store.Read(dir.File("A.dd8"));
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.error.call, "read");
  EXPECT_EQ(failed.error.error_number, EIO);
  EXPECT_EQ(failed.Problem(dir.File("A.dd8")), failed.error.Text());
}

TEST(SpoolStore, SetAsideKeepsEarlierBadFilesAndReportsFailure) {
  TempDir dir;
  dir.Write("A.dd8", "xy");
  dir.Write("A.dd8.bad", "earlier");
  FaultyFileSystem faulty;
  const SpoolStore store(dir.path().string() + "/", faulty);
  std::string set_aside;
  ASSERT_TRUE(store.SetAside(dir.File("A.dd8"), set_aside).ok());
  EXPECT_EQ(set_aside, dir.File("A.dd8.1.bad"));
  EXPECT_EQ(dir.Read("A.dd8.bad"), "earlier");
  EXPECT_EQ(dir.Read("A.dd8.1.bad"), "xy");

  dir.Write("B.dd8", "xy");
  faulty.FailNth("link", 1, EROFS);
  const SysError error = store.SetAside(dir.File("B.dd8"), set_aside);
  EXPECT_EQ(error.call, "link");
  EXPECT_EQ(error.error_number, EROFS);
  EXPECT_EQ(dir.Read("B.dd8"), "xy");
}

TEST(SpoolStore, RecoveryFinishesWholeTemporariesAndRemovesTheRest) {
  TempDir dir;
  const std::string full = Content(Record(9));
  fs::create_directory(dir.path() / "q");
  dir.Write("q/1BF7E378.dd8", "taken");
  dir.Write("q/1BF7E378-1-0.dd8-tmp", full);
  dir.Write("q/5265C00-1-1.dd8-tmp", full.substr(0, 10));
  dir.Write("q/notes.txt", "left alone");
  SpoolStore store(dir.File("q") + "/");
  const SpoolRecovery recovery = store.RecoverLeftovers();
  EXPECT_TRUE(recovery.failures.empty());
  EXPECT_EQ(recovery.finished, std::vector<std::string>{dir.File("q/1BF7E379.dd8")});
  EXPECT_EQ(recovery.removed, std::vector<std::string>{dir.File("q/5265C00-1-1.dd8-tmp")});
  EXPECT_EQ(FileNames(dir.path() / "q"),
            (std::vector<std::string>{"1BF7E378.dd8", "1BF7E379.dd8", "notes.txt"}));
  EXPECT_EQ(dir.Read("q/1BF7E379.dd8"), full);

  EXPECT_TRUE(SpoolStore(dir.File("none") + "/").RecoverLeftovers().failures.empty())
      << "a spool directory not made yet holds nothing to recover";
}

// A temporary that cannot be read now may still be whole: it is kept for the
// next start, not removed; every failure is handed back with its cause.
TEST(SpoolStore, RecoveryFailuresKeepTheFiles) {
  struct Case {
    const char* op;
    const char* content;  // "whole" or a fragment
  } cases[] = {{"read", "whole"}, {"link", "whole"}, {"unlink", "part"}, {"opendir", "whole"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    TempDir dir;
    const std::string full = Content(Record(9));
    dir.Write("5265C00-1-0.dd8-tmp", std::string(c.content) == "whole" ? full : full.substr(0, 3));
    FaultyFileSystem faulty;
    faulty.FailNth(c.op, 1, EIO);
    SpoolStore store(dir.path().string() + "/", faulty);
    const SpoolRecovery recovery = store.RecoverLeftovers();
    ASSERT_EQ(recovery.failures.size(), 1u);
    EXPECT_EQ(recovery.failures[0].call, c.op);
    EXPECT_EQ(recovery.failures[0].error_number, EIO);
    EXPECT_EQ(FileNames(dir.path()), std::vector<std::string>{"5265C00-1-0.dd8-tmp"});
  }
}

}  // namespace
}  // namespace drvvzt
