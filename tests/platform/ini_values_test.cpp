// Configuration value parsing and the error log line.
#include "platform/ini_values.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/datetime.h"
#include "platform/error_log.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

TEST(IniValues, Integers) {
  struct Case {
    const char* text;
    std::int32_t expected;
  } cases[] = {
      {"0x10", 16},        {"$10", 16},         {"0X1f", 31},    {"abc", 4},
      {"12", 12},          {"-7", -7},          {"+7", 7},       {"", 4},
      {"1 2", 4},          {"12abc", 4},        {"0x", 4},       {"$", 4},
      {"-", 4},            {"$FFFFFFFF", -1},   {"$100000000", 4}, {"2147483647", 2147483647},
      {"2147483648", 4},   {"-2147483648", INT32_MIN}, {"0xG1", 4},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseIniInteger(c.text, 4), c.expected) << c.text;
}

TEST(IniValues, BooleansAreIntegers) {
  struct Case {
    const char* text;
    bool fallback;
    bool expected;
  } cases[] = {
      {"0", true, false}, {"1", false, true},    {"-1", false, true},
      {"false", true, true},  // not an integer: the default
      {"true", false, false}, {"$0", true, false},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseIniBoolean(c.text, c.fallback), c.expected) << c.text;
}

TEST(IniValues, Attention) {
  const double ten_minutes = DurationDays(0, 10, 0);
  struct Case {
    const char* text;
    double expected;
  } cases[] = {
      {"00:00:30", DurationDays(0, 0, 30)}, {"00:10:00", ten_minutes},
      {"1:05", DurationDays(1, 5, 0)},      {"23:59:59", DurationDays(23, 59, 59)},
      {"", ten_minutes},                    {"25:00:00", ten_minutes},
      {"24:00", ten_minutes},               {"00:60", ten_minutes},
      {"00:00:60", ten_minutes},            {"ab:cd", ten_minutes},
      {"10", ten_minutes},                  {"1:2:3:4", ten_minutes},
  };
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(ParseAttention(c.text), c.expected) << c.text;
}

TEST(ErrorLog, LineBytesAndAppending) {
  testing::TempDir dir;
  ASSERT_TRUE(WriteErrorLog(dir.path().string(), 11));
  ASSERT_TRUE(WriteErrorLog(dir.path().string(), 9));
  EXPECT_EQ(dir.Read("error.txt"),
            "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9" "11\r\n"
            "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9" "9\r\n");
  EXPECT_FALSE(WriteErrorLog(dir.File("missing"), 20));
}

TEST(ErrorLog, TwoThreadsNeverInterleave) {
  testing::TempDir dir;
  auto writer = [&](int code) {
    for (int i = 0; i < 200; ++i) WriteErrorLog(dir.path().string(), code);
  };
  std::thread a(writer, 20), b(writer, 21);
  a.join();
  b.join();
  const std::string content = dir.Read("error.txt");
  const std::string line20 = ErrorLogLine(20), line21 = ErrorLogLine(21);
  ASSERT_EQ(line20.size(), line21.size());
  ASSERT_EQ(content.size(), 400 * line20.size());
  for (std::size_t at = 0; at < content.size(); at += line20.size()) {
    const std::string line = content.substr(at, line20.size());
    EXPECT_TRUE(line == line20 || line == line21) << at;
  }
}

}  // namespace
}  // namespace drvvzt
