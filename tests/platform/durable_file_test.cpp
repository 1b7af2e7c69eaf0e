// The file helpers the spool and the configuration rely on for safety.
#include "platform/durable_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "tests/support/faulty_file_system.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

namespace fs = std::filesystem;
using testing::FaultyFileSystem;
using testing::TempDir;

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(DurableFile, RenameNoReplaceNeverOverwrites) {
  TempDir dir;
  dir.Write("a", "new");
  dir.Write("b", "old");
  EXPECT_EQ(RenameNoReplace(dir.File("a"), dir.File("b")), LinkResult::kNameTaken);
  EXPECT_EQ(dir.Read("a"), "new");
  EXPECT_EQ(dir.Read("b"), "old");
  EXPECT_EQ(RenameNoReplace(dir.File("a"), dir.File("c")), LinkResult::kLinked);
  EXPECT_FALSE(fs::exists(dir.File("a")));
  EXPECT_EQ(dir.Read("c"), "new");
  EXPECT_EQ(RenameNoReplace(dir.File("missing"), dir.File("d")), LinkResult::kFailed);
}

TEST(DurableFile, NewFileMustNotExist) {
  TempDir dir;
  ASSERT_TRUE(WriteNewFileDurably(dir.File("x"), Bytes("first")));
  EXPECT_FALSE(WriteNewFileDurably(dir.File("x"), Bytes("second")));
  EXPECT_EQ(dir.Read("x"), "first");
}

TEST(DurableFile, ReplaceKeepsPermissionsAndLeavesNoTemporary) {
  TempDir dir;
  dir.Write("drvvzt.ini", "old");
  ::chmod(dir.File("drvvzt.ini").c_str(), 0600);
  ASSERT_TRUE(ReplaceFileAtomically(dir.File("drvvzt.ini"), "new"));
  EXPECT_EQ(dir.Read("drvvzt.ini"), "new");
  struct stat info {};
  ASSERT_EQ(::stat(dir.File("drvvzt.ini").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(*ListFiles(dir.path().string()), std::vector<std::string>{"drvvzt.ini"});
}

TEST(DurableFile, DirectoriesAndListing) {
  TempDir dir;
  ASSERT_TRUE(EnsureDirectory(dir.File("a/b/c")));
  EXPECT_TRUE(fs::is_directory(dir.File("a/b/c")));
  dir.Write("a/file", "");
  EXPECT_FALSE(EnsureDirectory(dir.File("a/file")));
  auto names = *ListFiles(dir.File("a"));
  EXPECT_EQ(names, std::vector<std::string>{"file"});  // directories are not listed
  EXPECT_FALSE(ListFiles(dir.File("none")).has_value());
  EXPECT_EQ(DirectoryOf("/x/y.dd8"), "/x");
  EXPECT_EQ(DirectoryOf("y.dd8"), "");
  EXPECT_EQ(DirectoryOf("/y"), "/");
}

// One failing call of the file system, and what it must leave behind.
struct Fault {
  const char* op;
  int nth;
  int error;
};

std::vector<std::string> Names(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A new file is either whole on disk or not there at all, and the failure
// names the call and the file.
TEST(DurableFileFaults, NewFileIsWholeOrAbsent) {
  const Fault faults[] = {
      {"open", 1, EACCES}, {"write", 1, ENOSPC}, {"write", 1, EIO},
      {"fsync", 1, EIO},   {"close", 1, EIO},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.op);
    TempDir dir;
    FaultyFileSystem faulty;
    faulty.FailNth(f.op, f.nth, f.error);
    const SysError error = WriteNewFileDurably(faulty, dir.File("x"), Bytes("record"));
    EXPECT_EQ(error.call, f.op);
    EXPECT_EQ(error.path, dir.File("x"));
    EXPECT_EQ(error.error_number, f.error);
    EXPECT_TRUE(Names(dir).empty());
  }
}

// A failed replacement leaves the original untouched and no temporary behind;
// only the directory flush may fail without failing the replacement.
TEST(DurableFileFaults, ReplacementKeepsTheOriginalOnFailure) {
  struct Case {
    Fault fault;
    bool replaced;
  } cases[] = {
      {{"open", 1, EACCES}, false}, {{"write", 1, ENOSPC}, false}, {{"fchmod", 1, EPERM}, false},
      {{"fsync", 1, EIO}, false},   {{"close", 1, EIO}, false},    {{"rename", 1, EIO}, false},
      {{"fsync", 2, EIO}, true},  // the directory's
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fault.op) + " #" + std::to_string(c.fault.nth));
    TempDir dir;
    dir.Write("drvvzt.ini", "old");
    FaultyFileSystem faulty;
    faulty.FailNth(c.fault.op, c.fault.nth, c.fault.error);
    const SysError error = ReplaceFileAtomically(faulty, dir.File("drvvzt.ini"), "new");
    EXPECT_EQ(error.ok(), c.replaced) << error.Text();
    if (!c.replaced) {
      EXPECT_EQ(error.call, c.fault.op);
      EXPECT_EQ(error.error_number, c.fault.error);
    }
    EXPECT_EQ(dir.Read("drvvzt.ini"), c.replaced ? "new" : "old");
    EXPECT_EQ(Names(dir), std::vector<std::string>{"drvvzt.ini"});
  }
}

TEST(DurableFileFaults, RenameNoReplaceLeavesOneNameOnFailure) {
  struct Case {
    const char* op;
    const char* failed_call;
  } cases[] = {{"link", "link"}, {"unlink", "unlink"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    TempDir dir;
    dir.Write("a", "record");
    FaultyFileSystem faulty;
    faulty.FailNth(c.op, 1, EIO);
    SysError error;
    EXPECT_EQ(RenameNoReplace(faulty, dir.File("a"), dir.File("b"), error), LinkResult::kFailed);
    EXPECT_EQ(error.call, c.failed_call);
    EXPECT_EQ(error.path, dir.File("a"));
    EXPECT_EQ(error.error_number, EIO);
    // Never both names: the record would be sent twice.
    EXPECT_EQ(Names(dir), std::vector<std::string>{"a"});
  }
}

TEST(DurableFileFaults, EachHelperReportsTheCallThatFailed) {
  TempDir dir;
  dir.Write("f", "content");
  struct Case {
    const char* name;
    Fault fault;
    std::function<SysError(FileSystem&)> run;
    std::string path;
  } cases[] = {
      {"directory flush", {"fsync", 1, EIO}, [&](FileSystem& f) { return SyncDirectory(f, dir.path().string()); },
       dir.path().string()},
      {"mkdir", {"mkdir", 1, EACCES}, [&](FileSystem& f) { return EnsureDirectory(f, dir.File("d")); },
       dir.File("d")},
      {"opendir", {"opendir", 1, EACCES},
       [&](FileSystem& f) {
         std::vector<std::string> names;
         return ListFiles(f, dir.path().string(), names);
       },
       dir.path().string()},
      {"readdir", {"readdir", 1, EIO},
       [&](FileSystem& f) {
         std::vector<std::string> names;
         SysError error = ListFiles(f, dir.path().string(), names);
         EXPECT_TRUE(names.empty()) << "a partial listing is no listing";
         return error;
       },
       dir.path().string()},
      {"read", {"read", 1, EIO},
       [&](FileSystem& f) {
         std::string content;
         return ReadWholeFile(f, dir.File("f"), content);
       },
       dir.File("f")},
      {"append", {"write", 1, ENOSPC},
       [&](FileSystem& f) { return AppendToFile(f, dir.File("f"), Bytes("more")); }, dir.File("f")},
      {"unlink", {"unlink", 1, EBUSY}, [&](FileSystem& f) { return RemoveFile(f, dir.File("f")); },
       dir.File("f")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaultyFileSystem faulty;
    faulty.FailNth(c.fault.op, c.fault.nth, c.fault.error);
    const SysError error = c.run(faulty);
    EXPECT_EQ(error.call, c.fault.op);
    EXPECT_EQ(error.path, c.path);
    EXPECT_EQ(error.error_number, c.fault.error);
  }
  EXPECT_EQ(dir.Read("f"), "content");
  EXPECT_TRUE(RemoveFile(PosixFileSystem(), dir.File("missing")).ok()) << "gone is gone";
}

}  // namespace
}  // namespace drvvzt
