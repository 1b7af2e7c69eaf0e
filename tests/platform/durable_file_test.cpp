// The file helpers the spool and the configuration rely on for safety.
#include "platform/durable_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

namespace fs = std::filesystem;
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

}  // namespace
}  // namespace drvvzt
