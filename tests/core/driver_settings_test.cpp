// The [main] settings with their defaults and the values operators write.
#include "core/driver_settings.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/datetime.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

TEST(DriverSettings, MissingFileGivesDefaults) {
  testing::TempDir dir;
  const DriverSettings s = ReadDriverSettings(dir.File("drvvzt.ini"));
  EXPECT_EQ(s.ComPort, "COM255");
  EXPECT_EQ(s.FirstNumber, 4);
  EXPECT_EQ(s.PathForSoob, "");
  EXPECT_FALSE(s.NotSendToDiskT8);
  EXPECT_FALSE(s.Razdel);
  EXPECT_DOUBLE_EQ(s.Attention, DurationDays(0, 10, 0));
  EXPECT_FALSE(s.Log);
  EXPECT_FALSE(s.SendT7);
  EXPECT_TRUE(s.SendT8);
}

TEST(DriverSettings, ValuesAsWritten) {
  struct Case {
    const char* line;
    std::function<bool(const DriverSettings&)> holds;
  } cases[] = {
      {"SendT8=false", [](const DriverSettings& s) { return s.SendT8; }},
      {"SendT8=0", [](const DriverSettings& s) { return !s.SendT8; }},
      {"FirstNumber=0x10", [](const DriverSettings& s) { return s.FirstNumber == 16; }},
      {"FirstNumber=$10", [](const DriverSettings& s) { return s.FirstNumber == 16; }},
      {"FirstNumber=abc", [](const DriverSettings& s) { return s.FirstNumber == 4; }},
      {"Attention=00:00:30",
       [](const DriverSettings& s) { return s.Attention == DurationDays(0, 0, 30); }},
      {"Attention=", [](const DriverSettings& s) { return s.Attention == DurationDays(0, 10, 0); }},
      {"Attention=25:00:00",
       [](const DriverSettings& s) { return s.Attention == DurationDays(0, 10, 0); }},
      {"ComPort=com255", [](const DriverSettings& s) { return s.ComPort == "com255"; }},
      {"PathForSoob= /var/spool/drvvzt/ ",
       [](const DriverSettings& s) { return s.PathForSoob == "/var/spool/drvvzt/"; }},
      {"NotSendToDiskT8=1", [](const DriverSettings& s) { return s.NotSendToDiskT8; }},
      {"Log=2", [](const DriverSettings& s) { return s.Log; }},
  };
  for (const auto& c : cases) {
    testing::TempDir dir;
    dir.Write("drvvzt.ini", std::string("[main]\r\n") + c.line + "\r\n");
    EXPECT_TRUE(c.holds(ReadDriverSettings(dir.File("drvvzt.ini")))) << c.line;
  }
}

TEST(DriverSettings, GarbageFileGivesDefaults) {
  testing::TempDir dir;
  std::string junk;
  for (int i = 0; i < 70000; ++i) junk += static_cast<char>((i * 31) % 256);
  dir.Write("drvvzt.ini", junk + "\n[main\nSendT8\n=0\n[main]]\n" + std::string(100000, '=') + "\n");
  const DriverSettings s = ReadDriverSettings(dir.File("drvvzt.ini"));
  EXPECT_TRUE(s.SendT8);
  EXPECT_EQ(s.FirstNumber, 4);
  EXPECT_EQ(s.ComPort, "COM255");
}

}  // namespace
}  // namespace drvvzt
