// The status file's text and the count of waiting spool files.
#include "core/status_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>

#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

std::map<std::string, std::string> Parse(const std::string& text) {
  std::map<std::string, std::string> keys;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return keys;
}

TEST(StatusFile, EveryKeyOnceAndUnknownTimesEmpty) {
  DriverStatus status;
  status.version = "1.0.0.1";
  status.pid = 42;
  status.station_port = "COM5";
  status.server_enabled = true;
  status.server_link = "up";
  status.spool_files = 3;
  const auto keys = Parse(FormatDriverStatus(status));
  EXPECT_EQ(keys.size(), 20u);
  EXPECT_EQ(keys.at("station.port"), "COM5");
  EXPECT_EQ(keys.at("server.link"), "up");
  EXPECT_EQ(keys.at("spool.files"), "3");
  EXPECT_EQ(keys.at("station.last_packet"), "");
  EXPECT_EQ(keys.at("spool.oldest"), "");
}

TEST(StatusFile, WrittenWholeIntoTheDirectory) {
  testing::TempDir dir;
  DriverStatus status;
  status.pid = 7;
  ASSERT_TRUE(WriteDriverStatus(dir.path().string(), status));
  EXPECT_EQ(dir.Read("drvvzt.status"), FormatDriverStatus(status));
}

TEST(SpoolCount, CountsOnlySpoolNamesAndFindsTheOldest) {
  testing::TempDir dir;
  dir.Write("A.dd8", "x");
  dir.Write("B.DD8", "x");
  dir.Write("C.dd8.bad", "x");
  dir.Write("D.dd8-tmp", "x");
  std::filesystem::last_write_time(dir.path() / "A.dd8",
                                   std::filesystem::file_time_type::clock::now() - std::chrono::hours(2));
  const SpoolCount count = CountSpoolFiles(dir.path().string() + "/", true);
  EXPECT_EQ(count.files, 2u);
  ASSERT_TRUE(count.oldest.has_value());
  EXPECT_LT(*count.oldest, std::time(nullptr) - 3600);
  EXPECT_EQ(CountSpoolFiles(dir.File("missing") + "/", false).files, 0u);
}

}  // namespace
}  // namespace drvvzt
