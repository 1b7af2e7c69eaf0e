// Reading and writing "drvvzt.ini" values.
#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

using testing::TempDir;

TEST(IniFileRead, LookupRules) {
  TempDir dir;
  dir.Write("drvvzt.ini",
            "; a comment line\r\n"
            "[Main]\r\n"
            "  FirstNumber =  0x10  \r\n"
            "Empty=\r\n"
            ";Log=1\r\n"
            "garbage line without equals\r\n"
            "Dup=first\r\n"
            "Dup=second\r\n"
            "[Other]\n"
            "k=v\n"
            "[MAIN]\n"
            "Late=1\n"
            "[Razdels]\n"
            "1234_1=5678\n"
            "Last=no line end");
  const std::string ini = dir.File("drvvzt.ini");
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  } cases[] = {
      {"main", "firstnumber", "0x10"},  // case-blind names, blanks trimmed
      {"MAIN", "Empty", ""},            // present but empty is not the default
      {"main", "Log", "dflt"},          // commented out
      {"main", "Dup", "first"},
      {"other", "K", "v"},
      {"main", "Late", "dflt"},  // a section that appears again is ignored
      {"main", "1234_1", "dflt"},  // belongs to another section
      {"Razdels", "1234_1", "5678"},
      {"razdels", "Last", "no line end"},
      {"missing", "FirstNumber", "dflt"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadIniString(ini, c.section, c.key, "dflt"), c.expected) << c.section << "/" << c.key;
  }
  EXPECT_EQ(ReadIniString(dir.File("absent.ini"), "main", "ComPort", "COM255"), "COM255");
}

TEST(IniFileRead, LongValueIsCutAndGarbageIsHarmless) {
  TempDir dir;
  std::string binary(5000, '\0');
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7);
  dir.Write("drvvzt.ini", binary + "\n[main]\nPathForSoob=" + std::string(5000, 'x') + "\n" + binary);
  EXPECT_EQ(ReadIniString(dir.File("drvvzt.ini"), "main", "PathForSoob", ""), std::string(2047, 'x'));
}

TEST(IniFileWrite, CreatesMissingFileWithOnlyThatKey) {
  TempDir dir;
  ASSERT_TRUE(WriteIniString(dir.File("drvvzt.ini"), "main", "ComPort", "COM3"));
  EXPECT_EQ(dir.Read("drvvzt.ini"), "[main]\nComPort=COM3\n");
}

TEST(IniFileWrite, ReplacesOrAddsAndKeepsOtherLines) {
  TempDir dir;
  const std::string before =
      "; settings\r\n[main]\r\ncomport = COM1\r\nLog=1\r\n\r\n[ServerHost]\r\nPort=1\r\n";
  struct Case {
    const char* section;
    const char* key;
    const char* value;
    std::string expected;
  } cases[] = {
      {"Main", "ComPort", "COM7",
       "; settings\r\n[main]\r\ncomport=COM7\r\nLog=1\r\n\r\n[ServerHost]\r\nPort=1\r\n"},
      {"ServerHost", "Address", "10.1.1.1",
       "; settings\r\n[main]\r\ncomport = COM1\r\nLog=1\r\n\r\n[ServerHost]\r\nPort=1\r\nAddress=10.1.1.1\r\n"},
      {"main", "SendT8", "0",
       "; settings\r\n[main]\r\ncomport = COM1\r\nLog=1\r\nSendT8=0\r\n\r\n[ServerHost]\r\nPort=1\r\n"},
      {"Razdels", "1_1", "2", before + "[Razdels]\r\n1_1=2\r\n"},
  };
  for (const auto& c : cases) {
    dir.Write("drvvzt.ini", before);
    ASSERT_TRUE(WriteIniString(dir.File("drvvzt.ini"), c.section, c.key, c.value));
    EXPECT_EQ(dir.Read("drvvzt.ini"), c.expected) << c.key;
    EXPECT_EQ(ReadIniString(dir.File("drvvzt.ini"), c.section, c.key, "?"), c.value);
  }
}

TEST(IniFileWrite, LastLineWithoutLineEnd) {
  TempDir dir;
  dir.Write("drvvzt.ini", "[main]\nLog=1");
  ASSERT_TRUE(WriteIniString(dir.File("drvvzt.ini"), "main", "ComPort", "COM2"));
  EXPECT_EQ(dir.Read("drvvzt.ini"), "[main]\nLog=1\nComPort=COM2\n");
}

TEST(IniFileWrite, RefusesTextThatWouldReadBackAsOtherLines) {
  TempDir dir;
  const std::string ini = dir.File("drvvzt.ini");
  EXPECT_FALSE(WriteIniString(ini, "main", "ComPort", "COM1\n[other]"));
  EXPECT_FALSE(WriteIniString(ini, "ma]in", "ComPort", "COM1"));
  EXPECT_FALSE(WriteIniString(ini, "main", "a=b", "COM1"));
  EXPECT_FALSE(WriteIniString(ini, "main", ";x", "COM1"));
  EXPECT_EQ(dir.Read("drvvzt.ini"), "");
}

TEST(IniFileWrite, WriteIntoMissingDirectoryFails) {
  TempDir dir;
  EXPECT_FALSE(WriteIniString(dir.File("no/such/drvvzt.ini"), "main", "ComPort", "COM2"));
}

TEST(IniFileWrite, ConcurrentWritersLoseNoKey) {
  TempDir dir;
  const std::string ini = dir.File("drvvzt.ini");
  auto writer = [&](const char* key) {
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(WriteIniString(ini, "main", key, std::to_string(i)));
  };
  std::thread a(writer, "A"), b(writer, "B");
  for (int i = 0; i < 20; ++i) {
    const std::string value = ReadIniString(ini, "main", "A", "none");
    EXPECT_FALSE(value.empty());
  }
  a.join();
  b.join();
  EXPECT_EQ(ReadIniString(ini, "main", "A", ""), "19");
  EXPECT_EQ(ReadIniString(ini, "main", "B", ""), "19");
}

}  // namespace
}  // namespace drvvzt
