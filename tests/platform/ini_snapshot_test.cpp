// The settled reading of drvvzt.ini: a half-written file is never used, a
// settled change is, an unchanged file is not read again.
#include "platform/ini_snapshot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/ini_edits.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

using testing::FakeWallClock;
using testing::kNsPerSecond;
using testing::ReplaceByRename;
using testing::RewriteInPlace;

const std::string kOld = "[ServerHost]\nAddress=192.0.2.10\nPort=2000\n[Razdels]\n1234_1=5678\n";
const std::string kNew = "[ServerHost]\nAddress=192.0.2.99\nPort=3000\n[Razdels]\n1234_1=42\n";

class IniSnapshotTest : public ::testing::Test {
protected:
  std::string Address() { return snapshot.ReadString("ServerHost", "Address", "127.0.0.1"); }
  std::int32_t Port() { return snapshot.ReadInteger("ServerHost", "Port", 12543); }
  std::int32_t Razdel() { return snapshot.ReadInteger("Razdels", "1234_1", -1); }
  // A first reading of kOld, written long ago.
  void StartWithOld() {
    dir.Write("drvvzt.ini", kOld);
    testing::SetModificationTime(ini, clock.Now() - 3600 * kNsPerSecond);
    ASSERT_EQ(Address(), "192.0.2.10");
  }
  void ExpectOld() {
    EXPECT_EQ(Address(), "192.0.2.10");
    EXPECT_EQ(Port(), 2000);
    EXPECT_EQ(Razdel(), 5678);
  }
  void ExpectNew() {
    EXPECT_EQ(Address(), "192.0.2.99");
    EXPECT_EQ(Port(), 3000);
    EXPECT_EQ(Razdel(), 42);
  }

  testing::TempDir dir;
  const std::string ini = dir.File("drvvzt.ini");
  FakeWallClock clock;
  // Looking at every lookup, so that the rule can be seen to the millisecond.
  IniSnapshot snapshot{ini, clock.Function(), 0};
};

TEST_F(IniSnapshotTest, FirstLookupTakesTheFileAsItIs) {
  // Even a file written this very moment: there is nothing older to use.
  dir.Write("drvvzt.ini", "[serverhost]\n  ADDRESS = 192.0.2.10 \nPort=0x10\n");
  EXPECT_EQ(snapshot.ReadString("ServerHost", "Address", ""), "192.0.2.10");
  EXPECT_EQ(snapshot.ReadInteger("SERVERHOST", "port", 0), 16);
  EXPECT_EQ(snapshot.ReadInteger("ServerHost", "Missing", 7), 7);

  IniSnapshot absent(dir.File("absent.ini"), clock.Function(), 0);
  EXPECT_EQ(absent.ReadString("ServerHost", "Address", "127.0.0.1"), "127.0.0.1");
  EXPECT_FALSE(absent.LastError());
}

TEST_F(IniSnapshotTest, InPlaceRewriteIsUsedOnlyOnceASecondOld) {
  StartWithOld();
  // The editor has truncated the file and written its first bytes.
  RewriteInPlace(ini, kNew.substr(0, 17), clock.Now());
  ExpectOld();
  clock.AdvanceMs(999);
  ExpectOld();
  // It writes the rest: the second starts again.
  RewriteInPlace(ini, kNew, clock.Now());
  clock.AdvanceMs(999);
  ExpectOld();
  clock.AdvanceMs(1);
  ExpectNew();
}

// A truncation caught between its new size and its new modification time
// looks like an emptied file written long ago. It must rest like any fresh
// change, or the driver would run on defaults until the editor's next save,
// whether or not the save before it was ever looked at.
TEST_F(IniSnapshotTest, FileCaughtMidTruncationIsNotTakenByItsOldTime) {
  for (const bool earlier_save_unseen : {false, true}) {
    SCOPED_TRACE(earlier_save_unseen ? "an earlier save never looked at" : "the last look saw the file");
    IniSnapshot fresh(ini, clock.Function(), 0);
    dir.Write("drvvzt.ini", kOld);
    testing::SetModificationTime(ini, clock.Now() - 3600 * kNsPerSecond);
    ASSERT_EQ(fresh.ReadString("ServerHost", "Address", ""), "192.0.2.10");
    if (earlier_save_unseen) RewriteInPlace(ini, kOld + "; saved again\n", clock.Now() - 60 * kNsPerSecond);
    struct stat before {};
    ASSERT_EQ(::stat(ini.c_str(), &before), 0);
    ASSERT_EQ(::truncate(ini.c_str(), 0), 0);
    testing::SetModificationTime(ini, before.st_mtim.tv_sec * kNsPerSecond + before.st_mtim.tv_nsec);
    for (int look = 0; look < 3; ++look) EXPECT_EQ(fresh.ReadString("ServerHost", "Address", ""), "192.0.2.10");
    clock.AdvanceMs(999);
    EXPECT_EQ(fresh.ReadString("ServerHost", "Address", ""), "192.0.2.10");
    clock.AdvanceMs(1);
    EXPECT_EQ(fresh.ReadString("ServerHost", "Address", "none"), "none")
        << "an empty file that stays so is the file";
  }
}

TEST_F(IniSnapshotTest, AtomicReplaceIsPickedUpOnceSettled) {
  struct Case {
    const char* what;
    std::int64_t modified_from_now_ms;  // the new file's modification time
    std::int64_t settle_ms;             // when it is first used
  } cases[] = {
      {"written just now", 0, 1000},
      {"written a minute ago (moved in)", -60'000, 0},
      {"stamped an hour ahead (clock skew)", 3'600'000, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir case_dir;
    const std::string path = case_dir.File("drvvzt.ini");
    ReplaceByRename(path, kOld, clock.Now() - 3600 * kNsPerSecond);
    IniSnapshot s(path, clock.Function(), 0);
    ASSERT_EQ(s.ReadInteger("Razdels", "1234_1", -1), 5678);

    ReplaceByRename(path, kNew, clock.Now() + c.modified_from_now_ms * testing::kNsPerMs);
    if (c.settle_ms > 0) {
      EXPECT_EQ(s.ReadInteger("Razdels", "1234_1", -1), 5678);
      clock.AdvanceMs(c.settle_ms - 1);
      EXPECT_EQ(s.ReadInteger("Razdels", "1234_1", -1), 5678);
      clock.AdvanceMs(1);
    }
    EXPECT_EQ(s.ReadInteger("Razdels", "1234_1", -1), 42);
  }
}

TEST_F(IniSnapshotTest, UnchangedFileIsNotReadAgain) {
  StartWithOld();
  for (int i = 0; i < 50; ++i) {
    clock.AdvanceMs(100);
    ExpectOld();
  }
  EXPECT_EQ(snapshot.FileReads(), 1u);

  RewriteInPlace(ini, kNew, clock.Now());
  for (int i = 0; i < 5; ++i) ExpectOld();  // pending: looked at, not read
  EXPECT_EQ(snapshot.FileReads(), 1u);
  clock.AdvanceMs(1000);
  for (int i = 0; i < 5; ++i) ExpectNew();
  EXPECT_EQ(snapshot.FileReads(), 2u);
}

TEST_F(IniSnapshotTest, LooksAtTheFileAtMostOncePerInterval) {
  dir.Write("drvvzt.ini", kOld);
  IniSnapshot throttled(ini, clock.Function(), IniSnapshot::kStatIntervalNs);
  ASSERT_EQ(throttled.ReadInteger("Razdels", "1234_1", -1), 5678);
  ReplaceByRename(ini, kNew, clock.Now() - 60 * kNsPerSecond);  // settled at once
  clock.AdvanceMs(99);
  EXPECT_EQ(throttled.ReadInteger("Razdels", "1234_1", -1), 5678);
  clock.AdvanceMs(1);
  EXPECT_EQ(throttled.ReadInteger("Razdels", "1234_1", -1), 42);

  // A wall clock set back does not stop it looking until the clock catches up.
  clock.AdvanceMs(-3'600'000);
  ReplaceByRename(ini, kOld, clock.Now() - 60 * kNsPerSecond);
  EXPECT_EQ(throttled.ReadInteger("Razdels", "1234_1", -1), 5678);
}

TEST_F(IniSnapshotTest, MissingFileCountsOnlyOnceGoneForASecond) {
  StartWithOld();
  // An editor that saves by renaming the old file away and writing a new one:
  // for a moment there is no file at all.
  std::filesystem::rename(ini, ini + "~");
  ExpectOld();
  clock.AdvanceMs(500);
  ExpectOld();
  dir.Write("drvvzt.ini", kNew);
  testing::SetModificationTime(ini, clock.Now());
  clock.AdvanceMs(999);
  ExpectOld();
  clock.AdvanceMs(1);
  ExpectNew();

  // Deleted for good: the defaults, a second later.
  std::filesystem::remove(ini);
  ExpectNew();
  clock.AdvanceMs(999);
  ExpectNew();
  clock.AdvanceMs(1);
  EXPECT_EQ(Address(), "127.0.0.1");
  EXPECT_EQ(Port(), 12543);
  EXPECT_EQ(Razdel(), -1);
  EXPECT_FALSE(snapshot.LastError());
}

TEST_F(IniSnapshotTest, UnreadableFileKeepsTheLastReadingAndItsCause) {
  StartWithOld();
  // Something that opens but does not read as a file.
  std::filesystem::remove(ini);
  std::filesystem::create_directory(ini);
  testing::SetModificationTime(ini, clock.Now() - 60 * kNsPerSecond);
  ExpectOld();
  const auto error = snapshot.LastError();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->call, "read");
  EXPECT_EQ(error->path, ini);
  EXPECT_EQ(error->error_number, EISDIR);

  std::filesystem::remove(ini);
  dir.Write("drvvzt.ini", kNew);
  testing::SetModificationTime(ini, clock.Now() - 60 * kNsPerSecond);
  ExpectNew();
  EXPECT_FALSE(snapshot.LastError());
}

TEST_F(IniSnapshotTest, ThreadsLookingUpDuringAnEditSeeOnlyTheOldFile) {
  StartWithOld();
  std::atomic<bool> editing{true};
  std::atomic<int> wrong{0};
  std::atomic<int> lookups{0};
  auto reader = [&] {
    while (editing.load()) {
      if (snapshot.ReadString("ServerHost", "Address", "") != "192.0.2.10" ||
          snapshot.ReadInteger("Razdels", "1234_1", -1) != 5678) {
        ++wrong;
      }
      ++lookups;
    }
  };
  std::thread window(reader), link(reader);
  // The editor saves over and over without the clock moving: no state of the
  // file ever rests for a second. Each save stamps a time of its own, just
  // before now, as saves a moment apart do.
  std::int64_t saved_ns = clock.Now();
  for (int i = 0; i < 300 || lookups.load() < 100; ++i) {
    RewriteInPlace(ini, kNew.substr(0, static_cast<std::size_t>(i) % kNew.size()), --saved_ns);
    RewriteInPlace(ini, kNew, --saved_ns);
  }
  editing.store(false);
  window.join();
  link.join();
  EXPECT_EQ(wrong.load(), 0);
  // The last save is seen, and taken once it has rested for a second.
  ExpectOld();
  clock.AdvanceMs(1000);
  ExpectNew();
}

}  // namespace
}  // namespace drvvzt
